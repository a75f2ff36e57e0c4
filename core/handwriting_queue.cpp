#include "core/handwriting_queue.h"

#include "core/catalog.h"
#include "core/paths.h"

namespace quorvel {

HandwritingQueue::HandwritingQueue(Catalog& catalog, HandwritingEngine& engine)
    : catalog_(catalog), engine_(engine) {}

HandwritingQueue::~HandwritingQueue() = default;

std::string HandwritingQueue::filePath() { return QuorvelPaths::dataRoot() + "/work.json"; }

QueueState HandwritingQueue::snapshot() const {
  std::lock_guard guard(lock_);
  return state_;
}

int HandwritingQueue::restore() { return 0; }
void HandwritingQueue::enqueue(const std::vector<std::int64_t>&) {}
void HandwritingQueue::cancel(std::int64_t) {}
void HandwritingQueue::cancelAll() {}

}  // namespace quorvel
