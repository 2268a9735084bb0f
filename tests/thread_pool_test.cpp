// The worker pool: results through futures, finishing versus stopping, growing
// and shrinking, and jobs that throw.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/api/smart/framework/ThreadPool.h"
#include "support/TestUtil.h"

using namespace std::chrono_literals;

namespace {

constexpr auto kWait = 10s;

// Holds the jobs that wait on it until Open(); counts how many are waiting.
class Gate {
 public:
  void Pass() {
    state_.Update([](State& s) { ++s.waiting; });
    state_.WaitFor([](const State& s) { return s.open; }, kWait);
  }
  bool WaitForWaiting(int n) {
    return state_.WaitFor([n](const State& s) { return s.waiting >= n; }, kWait);
  }
  void Open() {
    state_.Update([](State& s) { s.open = true; });
  }

 private:
  struct State {
    int waiting = 0;
    bool open = false;
  };
  iotcloud_test::Waitable<State> state_;
};

// A ready future whose get() throws std::future_error: the promise was
// destroyed unsatisfied (broken_promise, the only error a valid, ready future
// can hold). The exception is not read here: libstdc++ shares it with the
// thread that broke the promise through a reference count ThreadSanitizer
// cannot see, so reading it would be reported as a race.
bool IsBrokenPromise(std::future<void>& future) {
  if (future.wait_for(kWait) != std::future_status::ready) return false;
  try {
    future.get();
  } catch (const std::future_error&) {
    return true;
  }
  return false;
}

TEST(ThreadPoolTest, PushReturnsTheResultAndPassesArguments) {
  ctpl::thread_pool pool(2);
  auto sum = pool.push([](int, int a, const std::string& b) { return a + static_cast<int>(b.size()); },
                       40, std::string("ab"));
  ASSERT_EQ(sum.wait_for(kWait), std::future_status::ready);
  EXPECT_EQ(sum.get(), 42);
}

TEST(ThreadPoolTest, StopWithWaitRunsTheWholeQueue) {
  std::atomic<int> ran{0};
  Gate gate;
  {
    ctpl::thread_pool pool(1);
    pool.push([&gate](int) { gate.Pass(); });
    ASSERT_TRUE(gate.WaitForWaiting(1));
    for (int i = 0; i < 1000; ++i) pool.push([&ran](int) { ++ran; });
    gate.Open();
    pool.stop(true);
    EXPECT_EQ(ran, 1000);
    EXPECT_EQ(pool.size(), 0);
    pool.stop(true);  // a second stop returns at once
    pool.stop(false);
  }
  EXPECT_EQ(ran, 1000);
}

TEST(ThreadPoolTest, StopWithoutWaitDiscardsTheQueueAndFinishesCurrentJobs) {
  ctpl::thread_pool pool(2);
  Gate gate;
  std::atomic<int> finished{0};
  for (int i = 0; i < 2; ++i) pool.push([&](int) { gate.Pass(); ++finished; });
  ASSERT_TRUE(gate.WaitForWaiting(2));
  std::atomic<int> ran{0};
  std::vector<std::future<void>> queued;
  for (int i = 0; i < 10; ++i) queued.push_back(pool.push([&ran](int) { ++ran; }));

  std::thread stopper([&pool] { pool.stop(false); });
  // The queue is discarded before the workers are joined.
  EXPECT_TRUE(IsBrokenPromise(queued.back()));
  gate.Open();
  stopper.join();
  EXPECT_EQ(finished, 2);
  EXPECT_EQ(ran, 0);
  for (auto& f : queued) {
    if (f.valid()) {
      EXPECT_TRUE(IsBrokenPromise(f));
    }
  }
  pool.stop(true);  // after stop(false): returns at once
}

TEST(ThreadPoolTest, ResizeGrowsWithTheNextIndicesAndShrinksAfterTheCurrentJob) {
  ctpl::thread_pool pool(1);
  pool.resize(1);
  EXPECT_EQ(pool.size(), 1);
  pool.resize(3);
  EXPECT_EQ(pool.size(), 3);

  // Three jobs that must run at once occupy all three workers.
  Gate gate;
  std::vector<std::future<int>> indices;
  for (int i = 0; i < 3; ++i) {
    indices.push_back(pool.push([&gate](int index) {
      gate.Pass();
      return index;
    }));
  }
  ASSERT_TRUE(gate.WaitForWaiting(3));
  pool.resize(1);  // workers 1 and 2 finish their job, then end
  EXPECT_EQ(pool.size(), 1);
  gate.Open();
  std::set<int> seen;
  for (auto& f : indices) seen.insert(f.get());
  EXPECT_EQ(seen, (std::set<int>{0, 1, 2}));

  for (int i = 0; i < 20; ++i) EXPECT_EQ(pool.push([](int index) { return index; }).get(), 0);
}

TEST(ThreadPoolTest, ThrowingJobIsReportedThroughItsFutureAndDeleted) {
  iotcloud_test::LogCapture log;
  ctpl::thread_pool pool(1);
  auto resource = std::make_shared<int>(7);
  auto failing = pool.push([resource](int) -> int { throw std::runtime_error("job failed"); });
  ASSERT_EQ(failing.wait_for(kWait), std::future_status::ready);
  // The message is checked through the log: libstdc++ shares the exception
  // object between threads with a reference count ThreadSanitizer cannot see.
  EXPECT_THROW(failing.get(), std::runtime_error);
  auto throwsAnything = pool.push([](int) { throw 5; });
  EXPECT_THROW(throwsAnything.get(), int);
  // The worker survives and the jobs, with what they captured, are gone.
  EXPECT_EQ(pool.push([](int) { return 1; }).get(), 1);
  EXPECT_EQ(resource.use_count(), 1);
  EXPECT_EQ(log.Count("job threw: job failed"), 1u);
  EXPECT_EQ(log.Count("job threw: an exception of unknown type"), 1u);
}

TEST(ThreadPoolTest, JobsWithoutWorkersWaitUntilStopDeletesThem) {
  ctpl::thread_pool pool(0);
  auto resource = std::make_shared<int>(1);
  std::atomic<bool> ran{false};
  auto future = pool.push([&ran, resource](int) { ran = true; });
  EXPECT_EQ(resource.use_count(), 2);
  pool.stop(true);
  EXPECT_FALSE(ran);
  EXPECT_EQ(resource.use_count(), 1);
  EXPECT_TRUE(IsBrokenPromise(future));

  // Stopped for good: resize is ignored, later jobs never run.
  pool.resize(2);
  EXPECT_EQ(pool.size(), 0);
  auto late = pool.push([&ran](int) { ran = true; });
  pool.clear_queue();
  EXPECT_TRUE(IsBrokenPromise(late));
  EXPECT_FALSE(ran);
}

TEST(ThreadPoolTest, ManyProducersLoseNoJob) {
  std::atomic<int> ran{0};
  {
    ctpl::thread_pool pool(3);
    std::vector<std::thread> producers;
    for (int p = 0; p < 4; ++p) {
      producers.emplace_back([&] {
        for (int i = 0; i < 2500; ++i) pool.push([&ran](int) { ++ran; });
      });
    }
    for (auto& t : producers) t.join();
  }  // the destructor finishes the queue
  EXPECT_EQ(ran, 10000);
}

}  // namespace
