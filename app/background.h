#pragma once
// Running blocking core calls off the GUI thread and bringing their results
// back to it.
//
// GuiLink: a thread-safe way back to one QObject on the GUI thread. post()
// may be called from any thread; the function runs later on the receiver's
// thread by a queued call. Once the receiver has let go (detach(), called
// from its destructor), posts are dropped; calls already queued are dropped
// by Qt when the receiver is destroyed.
//
// Workers: threads owned by one object. Each run() gets a thread of its own
// and a stop token; the destructor (or stopAll()) requests every stop and
// joins the threads. A worker must never wait for the GUI thread: it only
// posts. Finished threads are joined the next time run() is called.
#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>

#include <QObject>

namespace quorvel::app {

class GuiLink {
 public:
  explicit GuiLink(QObject* receiver) : receiver_(receiver) {}
  // Queues fn to run on the receiver's thread; dropped once detached.
  void post(std::function<void()> fn);
  // The receiver is going away: later posts are dropped.
  void detach();

 private:
  std::mutex lock_;
  QObject* receiver_;  // guarded by lock_
};

using GuiLinkPtr = std::shared_ptr<GuiLink>;

// A handle on one worker: asks it to stop, tells whether it still runs.
class WorkerHandle {
 public:
  WorkerHandle() = default;
  void requestStop() const {
    if (state_) state_->source.request_stop();
  }
  bool running() const { return state_ && !state_->finished.load(); }
  explicit operator bool() const { return state_ != nullptr; }

  struct State {
    std::stop_source source;
    std::atomic<bool> finished{false};
  };
  explicit WorkerHandle(std::shared_ptr<State> state) : state_(std::move(state)) {}

 private:
  std::shared_ptr<State> state_;
};

class Workers {
 public:
  Workers() = default;
  ~Workers() { stopAll(); }
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  // Runs fn on a new thread with a stop token. An exception escaping fn is dropped.
  WorkerHandle run(std::function<void(std::stop_token)> fn);
  // Requests every stop and joins every thread. Call from the owning thread.
  void stopAll();
  // Joins the threads that have finished.
  void reap();

 private:
  struct Entry {
    std::shared_ptr<WorkerHandle::State> state;
    std::thread thread;
  };
  std::mutex lock_;
  std::list<Entry> entries_;  // guarded by lock_
};

}  // namespace quorvel::app
