#pragma once
// The first-in-first-out list of items waiting for a handwriting reading, and
// its one worker thread that reads them one at a time and stores the texts in
// the catalog. The list survives a quit in "work.json" in the data folder.
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "core/handwriting_engine.h"

namespace quorvel {

class Catalog;

// The queue as the views see it.
struct QueueState {
  std::optional<std::int64_t> currentItemId;  // being read now
  std::vector<std::int64_t> waiting;          // in reading order; no id twice, never the current one
  std::optional<HandwritingProgress> progress;  // last report of the current reading
  std::optional<std::string> lastMessage;       // what became of the last item, or "Stopped"

  bool isBusy() const { return currentItemId.has_value() || !waiting.empty(); }
  bool operator==(const QueueState&) const = default;
};

// Any thread may call. One lock guards the state and the worker; it is held
// while "work.json" is written, never while a callback runs or a page is read.
// The catalog and the engine must outlive the queue; the destructor stops the
// worker and waits for it.
class HandwritingQueue {
 public:
  HandwritingQueue(Catalog& catalog, HandwritingEngine& engine);
  ~HandwritingQueue();
  HandwritingQueue(const HandwritingQueue&) = delete;
  HandwritingQueue& operator=(const HandwritingQueue&) = delete;

  // Set once, before the first enqueue() or restore(). Called without the
  // lock, on the caller's thread (enqueue, cancel) or on the worker's.
  std::function<void(const QueueState&)> onChange;  // after each change the views show
  std::function<void(std::int64_t)> onItemDone;     // an item's handwriting text was stored

  // The data root + "/work.json": a compact JSON array of item ids, the
  // current one first; deleted when the list is empty.
  static std::string filePath();

  // A copy of the state.
  QueueState snapshot() const;

  // Queues the ids saved in "work.json" when the reader's settings are
  // complete and returns how many the file held; 0, with the file left as it
  // is, when the reader is not complete or the file is missing, empty or not
  // an array of integers.
  int restore();

  // Appends each id that is neither current nor waiting, saves the list,
  // starts the worker when none runs, then calls onChange (also when nothing
  // was added).
  void enqueue(const std::vector<std::int64_t>& ids);

  // Takes the id out of the waiting list and saves the list. When it is the
  // item being read, stops the worker (which drops every waiting item and
  // reports "Stopped"); otherwise calls onChange.
  void cancel(std::int64_t id);

  // Empties the waiting list, saves it and stops the worker, which reports
  // "Stopped" once the current reading has ended.
  void cancelAll();

 private:
  void runLoop(std::stop_token stop);
  std::string readOne(std::int64_t id, std::stop_token stop);
  void persistLocked() const;
  void notify(const QueueState& state) const;
  void reapRetired();

  Catalog& catalog_;
  HandwritingEngine& engine_;

  mutable std::mutex lock_;  // guards everything below
  QueueState state_;
  bool running_ = false;     // a worker is in its loop
  bool shuttingDown_ = false;  // the destructor stops the worker: the list stays saved
  std::jthread worker_;      // the current (or last) worker
  std::vector<std::jthread> retired_;  // finished workers still to be joined
};

}  // namespace quorvel
