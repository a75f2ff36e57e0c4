#include "app/background.h"

#include <QMetaObject>

namespace quorvel::app {

void GuiLink::post(std::function<void()> fn) {
  std::lock_guard lock(lock_);
  if (!receiver_) return;
  // Posting only queues an event; holding the lock keeps the receiver alive
  // until it is queued, and Qt drops queued calls of a destroyed receiver.
  QMetaObject::invokeMethod(receiver_, std::move(fn), Qt::QueuedConnection);
}

void GuiLink::detach() {
  std::lock_guard lock(lock_);
  receiver_ = nullptr;
}

WorkerHandle Workers::run(std::function<void(std::stop_token)> fn) {
  reap();
  auto state = std::make_shared<WorkerHandle::State>();
  std::thread thread([state, fn = std::move(fn)] {
    try {
      fn(state->source.get_token());
    } catch (...) {
      // A worker reports through its own posts; nothing may escape the thread.
    }
    state->finished = true;
  });
  std::lock_guard lock(lock_);
  entries_.push_back(Entry{state, std::move(thread)});
  return WorkerHandle(state);
}

void Workers::reap() {
  std::list<Entry> done;
  {
    std::lock_guard lock(lock_);
    for (auto it = entries_.begin(); it != entries_.end();) {
      if (it->state->finished) {
        done.splice(done.end(), entries_, it++);
      } else {
        ++it;
      }
    }
  }
  for (Entry& entry : done) entry.thread.join();
}

void Workers::stopAll() {
  std::list<Entry> all;
  {
    std::lock_guard lock(lock_);
    all.swap(entries_);
  }
  for (Entry& entry : all) entry.state->source.request_stop();
  for (Entry& entry : all) entry.thread.join();
}

}  // namespace quorvel::app
