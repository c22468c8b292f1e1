// The lock around engine calls: taken in the order asked for, so no request is overtaken again and again.

#include "translate/fifo_lock.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "support/raw_socket.h"

namespace tessarine::translate {
namespace {

TEST(FifoLock, WaitersGetTheLockInTheOrderTheyAskedEvenAgainstLateComers) {
  TFifoLock lock;
  std::mutex orderMutex;
  std::vector<int> order;
  auto take = [&](int who) {
    std::lock_guard held(lock);
    std::lock_guard record(orderMutex);
    order.push_back(who);
  };
  std::vector<std::thread> threads;
  lock.lock();
  for (int who = 0; who < 4; ++who) {
    threads.emplace_back(take, who);
    ASSERT_TRUE(test_support::WaitFor([&] { return lock.Waiting() == static_cast<size_t>(who) + 1; }));
  }
  lock.unlock();
  // Latecomers that keep arriving while the first four are served queue behind them.
  for (int who = 4; who < 8; ++who) threads.emplace_back(take, who);
  for (std::thread& thread : threads) thread.join();
  ASSERT_EQ(order.size(), 8u);
  EXPECT_EQ(std::vector<int>(order.begin(), order.begin() + 4), (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(lock.Waiting(), 0u);
  // Free again: taken at once.
  lock.lock();
  lock.unlock();
}

TEST(FifoLock, ExcludesUnderContention) {
  TFifoLock lock;
  int counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        std::lock_guard held(lock);
        ++counter;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(counter, 8000);
}

}  // namespace
}  // namespace tessarine::translate
