#include "core/concurrency.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <mutex>
#include <set>
#include <algorithm>
#include <stdexcept>
#include <thread>
#include <vector>

namespace quorvel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(Channel, DeliversInOrderAndDrainsAfterClose) {
  Channel<int> channel;
  EXPECT_TRUE(channel.send(1));
  EXPECT_TRUE(channel.send(2));
  channel.close();
  EXPECT_FALSE(channel.send(3)) << "a closed channel refuses new values";
  EXPECT_EQ(channel.receive(), 1);
  EXPECT_EQ(channel.receive(), 2);
  EXPECT_EQ(channel.receive(), std::nullopt) << "closed and empty";
}

TEST(Channel, WaitingReceiverWakesForValueCloseAndStop) {
  Channel<int> channel;
  auto value = std::async(std::launch::async, [&] { return channel.receive(); });
  std::this_thread::sleep_for(50ms);
  channel.send(7);
  EXPECT_EQ(value.get(), 7);

  auto closed = std::async(std::launch::async, [&] { return channel.receive(); });
  std::this_thread::sleep_for(50ms);
  channel.close();
  EXPECT_EQ(closed.get(), std::nullopt);

  Channel<int> open;
  std::stop_source stop;
  auto stopped = std::async(std::launch::async, [&] { return open.receive(stop.get_token()); });
  std::this_thread::sleep_for(50ms);
  stop.request_stop();
  EXPECT_EQ(stopped.get(), std::nullopt);
  open.send(1);
  EXPECT_EQ(open.receive(stop.get_token()), std::nullopt) << "a stopped receiver takes nothing";
  EXPECT_EQ(open.size(), 1u);
}

TEST(Channel, ManyReceiversTakeEachValueOnce) {
  Channel<int> channel;
  std::mutex mutex;
  std::vector<int> seen;
  std::vector<std::thread> receivers;
  for (int r = 0; r < 4; ++r) {
    receivers.emplace_back([&] {
      while (auto v = channel.receive()) {
        std::lock_guard lock(mutex);
        seen.push_back(*v);
      }
    });
  }
  for (int i = 0; i < 1000; ++i) channel.send(i);
  channel.close();
  for (auto& t : receivers) t.join();
  std::sort(seen.begin(), seen.end());
  ASSERT_EQ(seen.size(), 1000u);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(seen[i], i);
}

TEST(WorkWindow, RunsAtMostWidthAtOnceAndStartsInOrder) {
  for (int width : {1, 3}) {
    std::atomic<int> running{0}, most{0};
    std::mutex mutex;
    std::vector<int> started;
    {
      WorkWindow window(width);
      for (int i = 0; i < 12; ++i) {
        window.submit([&, i] {
          {
            std::lock_guard lock(mutex);
            started.push_back(i);
          }
          int now = ++running;
          int seen = most.load();
          while (now > seen && !most.compare_exchange_weak(seen, now)) {
          }
          std::this_thread::sleep_for(10ms);
          --running;
        });
      }
      window.wait();
      EXPECT_EQ(running, 0);
    }
    EXPECT_EQ(most, width) << "width " << width;
    // Items are handed out in order; threads that took them at about the same
    // time may reach their first line in either order, never further apart.
    ASSERT_EQ(started.size(), 12u);
    for (int pos = 0; pos < 12; ++pos) {
      EXPECT_LT(std::abs(started[pos] - pos), width) << "width " << width << " position " << pos;
    }
  }
}

TEST(WorkWindow, SlowItemDoesNotHoldBackOthers) {
  WorkWindow window(2);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> quick{0};
  window.submit([released] { released.wait(); });
  for (int i = 0; i < 5; ++i) window.submit([&] { ++quick; });
  // submit() returned for all five: each quick item ran beside the slow one.
  EXPECT_GE(quick.load(), 4);
  release.set_value();
  window.wait();
  EXPECT_EQ(quick, 5);
}

TEST(WorkWindow, ThrowingItemIsDroppedAndCounted) {
  WorkWindow window(2);
  std::atomic<int> ran{0};
  window.submit([] { throw std::runtime_error("boom"); });
  window.submit([&] { ++ran; });
  window.wait();
  EXPECT_EQ(ran, 1);
}

TEST(WorkWindow, DestroyedFromItsOwnThreadDoesNotJoinItself) {
  auto window = std::make_shared<WorkWindow>(2);
  std::promise<void> done;
  auto holder = std::make_shared<std::shared_ptr<WorkWindow>>(window);
  window->submit([holder, &done] {
    holder->reset();  // the last owner lets go on a window thread
    done.set_value();
  });
  window.reset();
  EXPECT_EQ(done.get_future().wait_for(2s), std::future_status::ready);
}

TEST(SerialQueue, RunsTasksInOrderOnOneNamedThread) {
  SerialQueue queue("quorvel.watcher");
  std::vector<int> order;
  std::set<std::thread::id> threads;
  char name[32] = {};
  for (int i = 0; i < 50; ++i) {
    queue.async([&, i] {
      order.push_back(i);
      threads.insert(std::this_thread::get_id());
      if (i == 0) pthread_getname_np(pthread_self(), name, sizeof name);
    });
  }
  ASSERT_TRUE(queue.sync([] {}));
  ASSERT_EQ(order.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_STREQ(name, "quorvel.watcher");
  EXPECT_FALSE(queue.isCurrent());
}

TEST(SerialQueue, SyncFromTheQueueRunsInlineAndRethrows) {
  SerialQueue queue("q");
  bool inner = false;
  bool current = false;
  queue.sync([&] {
    current = queue.isCurrent();
    EXPECT_TRUE(queue.sync([&] { inner = true; }));
  });
  EXPECT_TRUE(current);
  EXPECT_TRUE(inner);
  EXPECT_THROW(queue.sync([] { throw std::runtime_error("x"); }), std::runtime_error);
  EXPECT_TRUE(queue.sync([] {})) << "the queue carries on after a failed task";
}

TEST(SerialQueue, DelayedWorkRunsWhenDueUnlessCancelled) {
  SerialQueue queue("q");
  const auto start = Clock::now();
  std::promise<double> ranAt;
  std::atomic<bool> cancelledRan{false};
  DelayedWork cancelled = queue.after(0.1, [&] { cancelledRan = true; });
  queue.after(0.3, [&] { ranAt.set_value(secondsSince(start)); });
  cancelled.cancel();
  EXPECT_TRUE(cancelled.isCancelled());
  double at = ranAt.get_future().get();
  EXPECT_GE(at, 0.3);
  EXPECT_LT(at, 1.0);
  EXPECT_FALSE(cancelledRan);
}

TEST(SerialQueue, CancelOnTheQueueBeforeItIsDueIsExact) {
  SerialQueue queue("q");
  std::atomic<int> runs{0};
  // The watcher's pattern: each new event pushes the sweep back.
  DelayedWork pending;
  for (int i = 0; i < 5; ++i) {
    queue.sync([&] {
      pending.cancel();
      pending = queue.after(0.15, [&] { ++runs; });
    });
    std::this_thread::sleep_for(50ms);
  }
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(runs, 1);
}

TEST(SerialQueue, DelayedWorkKeepsOrderOfEqualTimesAndZeroDelay) {
  SerialQueue queue("q");
  std::vector<int> order;
  std::promise<void> done;
  queue.sync([&] {
    queue.after(0, [&] { order.push_back(1); });
    queue.after(0, [&] { order.push_back(2); });
    queue.async([&] { order.push_back(0); });
  });
  queue.after(0.05, [&] { done.set_value(); });
  done.get_future().wait();
  // The async task was queued before the delayed ones came due.
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
}

TEST(SerialQueue, ShutdownDropsPendingWorkAndRefusesNew) {
  SerialQueue queue("q");
  std::promise<void> entered;
  std::promise<void> release;
  std::atomic<int> ran{0};
  queue.async([&] {
    entered.set_value();
    release.get_future().wait();
  });
  entered.get_future().wait();
  queue.async([&] { ++ran; });
  queue.after(0, [&] { ++ran; });
  std::thread stopper([&] { queue.shutdown(); });
  std::this_thread::sleep_for(50ms);
  release.set_value();
  stopper.join();  // waited for the running task
  EXPECT_EQ(ran, 0);
  EXPECT_FALSE(queue.sync([&] { ++ran; }));
  queue.async([&] { ++ran; });
  EXPECT_EQ(ran, 0);
}

TEST(SerialQueue, ShutdownWhileWaitingForATimerLeavesTheWaitSound) {
  // The thread sleeps until a timer an hour away; shutdown drops that timer
  // and wakes the thread, which must not look at the dropped deadline again
  // (the sanitizer pass catches a read of it).
  for (int i = 0; i < 20; ++i) {
    SerialQueue queue("q");
    std::atomic<bool> ran{false};
    queue.after(3600, [&] { ran = true; });
    std::this_thread::sleep_for(2ms);
    queue.shutdown();
    EXPECT_FALSE(ran);
  }
}

TEST(SerialQueue, SyncWaitingWhenShutdownDropsItReturnsFalse) {
  auto queue = std::make_unique<SerialQueue>("q");
  std::promise<void> entered;
  std::promise<void> release;
  queue->async([&] {
    entered.set_value();
    release.get_future().wait();
  });
  entered.get_future().wait();
  auto result = std::async(std::launch::async, [&] { return queue->sync([] {}); });
  std::this_thread::sleep_for(50ms);
  std::thread stopper([&] { queue->shutdown(); });
  std::this_thread::sleep_for(50ms);
  release.set_value();
  stopper.join();
  EXPECT_FALSE(result.get());
}

TEST(SerialQueue, DestroyedFromItsOwnThreadDoesNotJoinItself) {
  auto holder = std::make_shared<std::unique_ptr<SerialQueue>>(std::make_unique<SerialQueue>("q"));
  std::promise<void> done;
  (*holder)->async([holder, &done] {
    holder->reset();  // destroys the queue on its own thread
    done.set_value();
  });
  EXPECT_EQ(done.get_future().wait_for(2s), std::future_status::ready);
}

}  // namespace
}  // namespace quorvel
