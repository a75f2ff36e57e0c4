#include "core/concurrency.h"

#include <pthread.h>

#include <atomic>
#include <future>
#include <map>
#include <vector>

namespace quorvel {

void joinOrDetach(std::thread& thread) {
  if (!thread.joinable()) return;
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();  // its loop holds the shared state and ends by itself
  } else {
    thread.join();
  }
}

// ---- WorkWindow ----

struct WorkWindow::State {
  std::mutex mutex;
  std::condition_variable changed;  // work queued, an item finished, or stopping
  std::deque<std::function<void()>> work;  // handed over, not yet taken by a thread
  int unfinished = 0;  // submitted and not finished
  int idle = 0;        // threads waiting for work
  bool stopping = false;
};

namespace {

void runWindowThread(const std::shared_ptr<WorkWindow::State>& state) {
  std::unique_lock lock(state->mutex);
  for (;;) {
    if (state->work.empty()) {
      if (state->stopping) return;
      ++state->idle;
      state->changed.wait(lock, [&] { return !state->work.empty() || state->stopping; });
      --state->idle;
      continue;
    }
    std::function<void()> work = std::move(state->work.front());
    state->work.pop_front();
    lock.unlock();
    try {
      work();
    } catch (...) {
      // An item's failure is its own; the window carries on.
    }
    work = nullptr;  // release what the item captured before counting it finished
    lock.lock();
    --state->unfinished;
    state->changed.notify_all();
  }
}

}  // namespace

WorkWindow::WorkWindow(int width) : width_(width < 1 ? 1 : width), state_(std::make_shared<State>()) {}

WorkWindow::~WorkWindow() {
  bool onOwnThread = false;
  for (auto& t : threads_) onOwnThread = onOwnThread || t.get_id() == std::this_thread::get_id();
  if (!onOwnThread) wait();
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->changed.notify_all();
  for (auto& t : threads_) joinOrDetach(t);
}

void WorkWindow::submit(std::function<void()> work) {
  std::unique_lock lock(state_->mutex);
  state_->changed.wait(lock, [&] { return state_->unfinished < width_; });
  ++state_->unfinished;
  state_->work.push_back(std::move(work));
  if (static_cast<int>(state_->work.size()) > state_->idle &&
      static_cast<int>(threads_.size()) < width_) {
    auto state = state_;
    threads_.emplace_back([state] { runWindowThread(state); });
  }
  state_->changed.notify_all();
}

void WorkWindow::wait() {
  std::unique_lock lock(state_->mutex);
  state_->changed.wait(lock, [&] { return state_->unfinished == 0; });
}

// ---- DelayedWork ----

struct DelayedWork::Flag {
  std::atomic<bool> cancelled{false};
};

void DelayedWork::cancel() {
  if (flag_) flag_->cancelled = true;
}

bool DelayedWork::isCancelled() const { return flag_ && flag_->cancelled; }

// ---- SerialQueue ----

struct SerialQueue::State {
  using Clock = std::chrono::steady_clock;
  struct Timed {
    std::shared_ptr<DelayedWork::Flag> flag;
    std::function<void()> task;
  };

  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::function<void()>> tasks;     // ready, in order
  std::multimap<Clock::time_point, Timed> timers;  // equal times keep their order
  bool stopped = false;
};

namespace {

void runSerialThread(const std::shared_ptr<SerialQueue::State>& state, const std::string& label) {
  pthread_setname_np(pthread_self(), label.substr(0, 15).c_str());
  using Clock = SerialQueue::State::Clock;
  std::unique_lock lock(state->mutex);
  for (;;) {
    if (state->stopped) return;
    const auto now = Clock::now();
    while (!state->timers.empty() && state->timers.begin()->first <= now) {
      auto node = state->timers.extract(state->timers.begin());
      if (!node.mapped().flag->cancelled) {
        auto flag = node.mapped().flag;
        auto task = std::move(node.mapped().task);
        state->tasks.push_back([flag, task = std::move(task)] {
          if (!flag->cancelled) task();
        });
      }
    }
    if (!state->tasks.empty()) {
      std::function<void()> task = std::move(state->tasks.front());
      state->tasks.pop_front();
      lock.unlock();
      try {
        task();
      } catch (...) {
        // A task's failure is its own; the queue carries on.
      }
      task = nullptr;
      lock.lock();
      continue;
    }
    if (state->timers.empty()) {
      state->changed.wait(lock);
    } else {
      // A copy: the wait reads the deadline again after waking, when
      // shutdown() or a task may have dropped the timer it belongs to.
      const auto deadline = state->timers.begin()->first;
      state->changed.wait_until(lock, deadline);
    }
  }
}

}  // namespace

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), state_(std::make_shared<State>()) {
  auto state = state_;
  thread_ = std::thread([state, label = label_] { runSerialThread(state, label); });
  threadId_ = thread_.get_id();
}

SerialQueue::~SerialQueue() { shutdown(); }

bool SerialQueue::isCurrent() const { return threadId_ == std::this_thread::get_id(); }

// The queue's condition variable is notified under its lock throughout: a
// queued task may destroy the queue, and must not run before the caller is
// done with it.
void SerialQueue::async(std::function<void()> task) {
  std::lock_guard lock(state_->mutex);
  if (state_->stopped) return;
  state_->tasks.push_back(std::move(task));
  state_->changed.notify_all();
}

bool SerialQueue::sync(const std::function<void()>& task) {
  if (isCurrent()) {
    task();
    return true;
  }
  // The promise lives in the queued task: when shutdown() drops the task
  // unrun, the future reports a broken promise instead of waiting forever.
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  {
    std::lock_guard lock(state_->mutex);
    if (state_->stopped) return false;
    state_->tasks.push_back([done = std::move(done), &task] {
      try {
        task();
        done->set_value();
      } catch (...) {
        done->set_exception(std::current_exception());
      }
    });
    state_->changed.notify_all();
  }
  try {
    finished.get();
  } catch (const std::future_error&) {
    return false;
  }
  return true;
}

DelayedWork SerialQueue::after(double seconds, std::function<void()> task) {
  auto flag = std::make_shared<DelayedWork::Flag>();
  const auto delay = std::chrono::duration_cast<State::Clock::duration>(
      std::chrono::duration<double>(seconds > 0 ? seconds : 0));
  {
    std::lock_guard lock(state_->mutex);
    if (state_->stopped) {
      flag->cancelled = true;
      return DelayedWork(flag);
    }
    for (auto it = state_->timers.begin(); it != state_->timers.end();) {
      it = it->second.flag->cancelled ? state_->timers.erase(it) : std::next(it);
    }
    state_->timers.emplace(State::Clock::now() + delay, State::Timed{flag, std::move(task)});
    state_->changed.notify_all();
  }
  return DelayedWork(flag);
}

void SerialQueue::shutdown() {
  std::deque<std::function<void()>> dropped;
  std::multimap<State::Clock::time_point, State::Timed> droppedTimers;
  {
    std::lock_guard lock(state_->mutex);
    state_->stopped = true;
    dropped.swap(state_->tasks);
    droppedTimers.swap(state_->timers);
  }
  state_->changed.notify_all();
  // Dropped here, outside the lock: their captures may own other queues.
  dropped.clear();
  droppedTimers.clear();
  std::lock_guard guard(threadLock_);
  joinOrDetach(thread_);
}

}  // namespace quorvel
