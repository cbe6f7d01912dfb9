// The admission gate: capacity, first-come first-served hand-off, and waiters holding no thread.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "core/engine/gate.h"

namespace qy {
namespace {

TEST(Gate, ThirdJobWaitsUntilOneOfTheFirstTwoLeaves) {
  Gate gate(2);
  std::vector<int> admitted;
  for (int i = 0; i < 3; ++i) gate.enter([&, i] { admitted.push_back(i); });
  EXPECT_EQ(admitted, (std::vector<int>{0, 1}));
  EXPECT_EQ(gate.freePlaces(), 0);
  EXPECT_EQ(gate.waiting(), 1u);

  gate.leave();  // the place goes straight to job 2
  EXPECT_EQ(admitted, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(gate.freePlaces(), 0);
  EXPECT_EQ(gate.waiting(), 0u);
}

TEST(Gate, WaitersAreAdmittedInTheOrderTheyAsked) {
  Gate gate(1);
  std::vector<int> admitted;
  gate.enter([] {});
  for (int i = 0; i < 5; ++i) gate.enter([&, i] { admitted.push_back(i); });
  EXPECT_TRUE(admitted.empty());
  for (int i = 0; i < 5; ++i) {
    gate.leave();
    EXPECT_EQ(admitted.size(), static_cast<size_t>(i + 1));
    EXPECT_EQ(gate.freePlaces(), 0);
  }
  EXPECT_EQ(admitted, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(Gate, NewcomerAfterAHandOffQueuesBehindOlderWaiters) {
  Gate gate(1);
  std::vector<std::string> order;
  gate.enter([&] { order.push_back("first"); });
  gate.enter([&] { order.push_back("waiter"); });
  // The first job leaves and, from inside the waiter's admission, a newcomer asks to enter.
  gate.leave();
  gate.enter([&] { order.push_back("newcomer"); });
  EXPECT_EQ(order, (std::vector<std::string>{"first", "waiter"}));
  EXPECT_EQ(gate.waiting(), 1u);
  gate.leave();
  EXPECT_EQ(order, (std::vector<std::string>{"first", "waiter", "newcomer"}));
}

TEST(Gate, LeaveWithoutWaitersRaisesFreeWithoutCap) {
  Gate gate(2);
  for (int i = 0; i < 3; ++i) gate.leave();
  EXPECT_EQ(gate.freePlaces(), 5);
}

TEST(Gate, CapacityZeroAdmitsNobodyUntilALeave) {
  Gate gate(0);
  int admitted = 0;
  gate.enter([&] { ++admitted; });
  gate.enter([&] { ++admitted; });
  EXPECT_EQ(admitted, 0);
  gate.leave();
  EXPECT_EQ(admitted, 1);
  EXPECT_EQ(gate.freePlaces(), 0);
}

TEST(Gate, ContinuationsThatLeaveDoNotNest) {
  // A long queue of jobs that each leave at once: admitted one after another on the leaving
  // thread, without the stack growing with the queue.
  Gate gate(1);
  gate.enter([] {});
  int depth = 0;
  int maxDepth = 0;
  int ran = 0;
  for (int i = 0; i < 10000; ++i) {
    gate.enter([&] {
      ++depth;
      maxDepth = std::max(maxDepth, depth);
      ++ran;
      gate.leave();
      --depth;
    });
  }
  gate.leave();
  EXPECT_EQ(ran, 10000);
  EXPECT_EQ(maxDepth, 1);
  EXPECT_EQ(gate.freePlaces(), 1);
}

TEST(Gate, ManyThreadsNeverExceedTheCapacity) {
  Gate gate(2);
  std::atomic<int> inside{0};
  std::atomic<int> maxInside{0};
  std::atomic<int> done{0};
  constexpr int kThreads = 8;
  constexpr int kRounds = 200;
  auto work = [&] {
    const int now = ++inside;
    int seen = maxInside.load();
    while (now > seen && !maxInside.compare_exchange_weak(seen, now)) {
    }
    --inside;
    ++done;
    gate.leave();
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      for (int r = 0; r < kRounds; ++r) gate.enter(work);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(done.load(), kThreads * kRounds);
  EXPECT_LE(maxInside.load(), 2);
  EXPECT_EQ(gate.freePlaces(), 2);
  EXPECT_EQ(gate.waiting(), 0u);
}

}  // namespace
}  // namespace qy
