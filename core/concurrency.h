#pragma once
// Small concurrency pieces shared by the core's background work: an unbounded
// channel that can be closed, a bounded window of parallel work that starts
// its items in order, and a serial queue with cancellable delayed work.
//
// None of their destructors joins the thread it runs on: the threads share
// their state with the object, so when the last owner lets go of it from one
// of those threads, that thread is detached and finishes on its own.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace quorvel {

// Joins the thread, or detaches it when called on that thread itself.
// Does nothing for a thread that is not joinable.
void joinOrDetach(std::thread& thread);

// A first-in first-out channel without a bound. Any number of threads may send
// and receive. After close(), what was sent before is still received; new
// sends are refused.
template <class T>
class Channel {
 public:
  // Appends the value; never waits. False (value dropped) once closed.
  bool send(T value) {
    {
      std::lock_guard lock(mutex_);
      if (closed_) return false;
      items_.push_back(std::move(value));
    }
    ready_.notify_one();
    return true;
  }

  // The oldest value, waiting while the channel is empty and open. None when
  // it is closed and empty, or when `stop` is requested (values stay in it).
  std::optional<T> receive(std::stop_token stop = {}) {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, stop, [this] { return !items_.empty() || closed_; });
    if (stop.stop_requested() || items_.empty()) return std::nullopt;
    T value = std::move(items_.front());
    items_.pop_front();
    return value;
  }

  // Refuses further sends and wakes every waiting receiver.
  void close() {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
    }
    ready_.notify_all();
  }

  bool isClosed() const {
    std::lock_guard lock(mutex_);
    return closed_;
  }
  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return items_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable_any ready_;
  std::deque<T> items_;  // guarded by mutex_
  bool closed_ = false;  // guarded by mutex_
};

// At most `width` work items at a time on threads of its own, started in the
// order they were submitted. Threads are made on demand, up to the width, and
// kept until the window is destroyed. Submit from one thread at a time; wait()
// and the destructor from a thread that is not running one of the items.
// An exception that escapes an item is dropped.
class WorkWindow {
 public:
  explicit WorkWindow(int width);  // a width below 1 counts as 1
  // Waits for every submitted item, then ends the threads.
  ~WorkWindow();
  WorkWindow(const WorkWindow&) = delete;
  WorkWindow& operator=(const WorkWindow&) = delete;

  // Waits while `width` items are unfinished, then hands the work to a
  // thread and returns.
  void submit(std::function<void()> work);
  // Waits until every submitted item has finished.
  void wait();
  int width() const { return width_; }

  struct State;

 private:
  int width_;
  std::shared_ptr<State> state_;  // shared with the threads
  std::vector<std::thread> threads_;  // touched only by the submitting thread
};

// A handle of delayed work on a SerialQueue. Copies share the work.
class DelayedWork {
 public:
  DelayedWork() = default;
  // Keeps the work from running if it has not started; harmless when it has
  // run or was cancelled. On the queue's own thread this is exact; from other
  // threads a work item already being started may still run.
  void cancel();
  bool isCancelled() const;

 private:
  friend class SerialQueue;
  struct Flag;
  explicit DelayedWork(std::shared_ptr<Flag> flag) : flag_(std::move(flag)) {}
  std::shared_ptr<Flag> flag_;
};

// One thread that runs tasks one after another, in the order they were
// queued, and delayed tasks when they are due (a due delayed task joins the
// line behind what was queued before it came due). The thread carries the
// label as its name (the first 15 bytes). Any thread may queue work.
// Destruction drops what has not run yet and waits for the running task,
// unless it happens on the queue's own thread.
class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }
  // True on the queue's own thread.
  bool isCurrent() const;

  // Queues the task and returns at once. Dropped after shutdown().
  void async(std::function<void()> task);
  // Runs the task on the queue and waits for it to end. On the queue's own
  // thread the task runs at once, inline. False (task not run) after
  // shutdown(). An exception from the task is rethrown here.
  bool sync(const std::function<void()>& task);
  // Runs the task on the queue after `seconds` (at once for 0 or less).
  DelayedWork after(double seconds, std::function<void()> task);

  // Drops what has not run, refuses new work and waits for the running task
  // to end (unless called on the queue's own thread). Idempotent.
  void shutdown();

  struct State;

 private:
  std::string label_;
  std::shared_ptr<State> state_;  // shared with the thread
  std::mutex threadLock_;         // guards thread_ across concurrent shutdown() calls
  std::thread thread_;
  std::thread::id threadId_;
};

}  // namespace quorvel
