// The threads under the transport and the host's jobs: thread handles
// (restart after close, no waiting for oneself), random identifiers, the
// logger, and the worker pool (finishing versus stopping, resizing, jobs that
// throw).
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <stdexcept>
#include <thread>

#include "core/api/smart/framework/ThreadPool.h"
#include "core/support/COSThread.h"
#include "core/support/QZRandom.h"
#include "support/TestUtil.h"

using namespace std::chrono_literals;

namespace {

struct Started {
  COSThread thread;
  iotcloud_test::Waitable<bool> release;  // also: the handle is filled in
  std::atomic<int> runs{0}, selfWait{0};
};

unsigned long WaitForReleaseThenForItself(void* argument) {
  auto* run = static_cast<Started*>(argument);
  ++run->runs;
  run->release.WaitFor([](const bool& open) { return open; }, 10s);
  run->selfWait = WaitForSingleObjectEx(&run->thread, COS_WAIT_INFINITE);  // must fail, not deadlock
  return 0;
}

TEST(COSThreadTest, WaitsWithTimeOutRefusesSelfWaitAndRestartsAfterClose) {
  Started run;
  EXPECT_EQ(WaitForSingleObjectEx(&run.thread, 0), COS_WAIT_FAILED);
  EXPECT_EQ(CloseThreadEx(&run.thread), -1);
  for (int round = 1; round <= 2; ++round) {  // closing cleared the started flag: the handle starts anew
    run.release.Update([](bool& open) { open = false; });
    ASSERT_EQ(CreateThreadEx(&run.thread, 0, WaitForReleaseThenForItself, &run, 0, nullptr), 0);
    EXPECT_EQ(CreateThreadEx(&run.thread, 0, WaitForReleaseThenForItself, &run, 0, nullptr), -1);
    EXPECT_EQ(WaitForSingleObjectEx(&run.thread, 20), COS_WAIT_TIMEOUT);
    run.release.Update([](bool& open) { open = true; });
    EXPECT_EQ(WaitForSingleObjectEx(&run.thread, COS_WAIT_INFINITE), COS_WAIT_OBJECT_0);
    EXPECT_EQ(CloseThreadEx(&run.thread), 0);
    EXPECT_FALSE(run.thread.isStarted());
    EXPECT_EQ(run.selfWait, COS_WAIT_FAILED);
    EXPECT_EQ(run.runs, round);
  }
}

TEST(QZRandomTest, IdentifiersHaveTheLengthAskedForInLowerCaseHexAndDoNotRepeat) {
  for (int length : {-1, 0, 1, 33}) EXPECT_EQ(QZRandom::getRandomGUID(length).size(), size_t(length > 0 ? length : 0));
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) seen.insert(QZRandom::getRandomGUID(32));
  EXPECT_EQ(seen.size(), 1000u);
  for (const std::string& id : seen) EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
}

TEST(TovoLogTest, MinimumLevelFiltersBeforeTheValuesAreBuiltAndLongMessagesArriveWhole) {
  iotcloud_test::LogCapture log(3);
  int built = 0;
  QZ_LOG(2, "dropped %d", ++built);  // a dropped line does not even build its values
  EXPECT_EQ(built, 0);
  QZ_LOG(4, "kept %s=%d", std::string(5000, 'L').c_str(), 42);  // longer than any fixed buffer
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_EQ(log.Lines()[0].message, "kept " + std::string(5000, 'L') + "=42");
}

// Holds the jobs that Pass() it until Open(); counts how many are waiting.
struct Gate {
  iotcloud_test::Waitable<std::pair<int, bool>> state;  // waiting, open
  void Pass() {
    state.Update([](auto& s) { ++s.first; });
    state.WaitFor([](const auto& s) { return s.second; }, 10s);
  }
  bool WaitForWaiting(int n) {
    return state.WaitFor([n](const auto& s) { return s.first >= n; }, 10s);
  }
  void Open() {
    state.Update([](auto& s) { s.second = true; });
  }
};

// A ready future whose promise was destroyed unsatisfied. The exception is not
// read: libstdc++ shares it across threads through a count TSan cannot see.
bool IsBrokenPromise(std::future<void>& future) {
  if (future.wait_for(10s) != std::future_status::ready) return false;
  try {
    future.get();
  } catch (const std::future_error&) {
    return true;
  }
  return false;
}

// One worker is held while four threads push; stop(true) must still run every job.
TEST(ThreadPoolTest, StopWithWaitRunsEveryJobPushedFromManyThreads) {
  std::atomic<int> ran{0};
  Gate gate;
  ctpl::thread_pool pool(2);
  pool.push([&gate](int) { gate.Pass(); });
  ASSERT_TRUE(gate.WaitForWaiting(1));
  std::vector<std::thread> producers;
  for (int p = 0; p < 4; ++p)
    producers.emplace_back([&] {
      for (int i = 0; i < 2500; ++i) pool.push([&ran](int) { ++ran; });
    });
  for (auto& t : producers) t.join();
  gate.Open();
  pool.stop(true);
  EXPECT_EQ(ran, 10000);
  pool.stop(false);  // a second stop returns at once
}

// A job pushed after stop() is deleted at once, with what it captured; it
// used to stay queued for ever.
TEST(ThreadPoolTest, StopWithoutWaitDiscardsTheQueueFinishesCurrentJobsAndIsFinal) {
  ctpl::thread_pool pool(2);
  Gate gate;
  std::atomic<int> finished{0}, ran{0};
  for (int i = 0; i < 2; ++i) pool.push([&](int) { gate.Pass(), ++finished; });
  ASSERT_TRUE(gate.WaitForWaiting(2));
  std::vector<std::future<void>> queued;
  for (int i = 0; i < 10; ++i) queued.push_back(pool.push([&ran](int) { ++ran; }));
  std::thread stopper([&pool] { pool.stop(false); });
  EXPECT_TRUE(IsBrokenPromise(queued.back()));  // discarded before the workers are joined
  gate.Open();
  stopper.join();
  EXPECT_EQ(finished, 2);
  for (auto& f : queued) EXPECT_TRUE(!f.valid() || IsBrokenPromise(f));
  pool.resize(2);  // stopped for good: ignored
  EXPECT_EQ(pool.size(), 0);
  auto captured = std::make_shared<int>(1);
  auto late = pool.push([&ran, captured](int) { ++ran; });
  EXPECT_TRUE(IsBrokenPromise(late));
  EXPECT_EQ(captured.use_count(), 1);
  EXPECT_EQ(ran, 0);
}

// Growing gives the next indices; shrinking lets busy workers finish their
// job first. Each ended but unjoined worker keeps its stack mapped (8 MiB by
// default), so workers retired by shrinking must be joined as they end, not
// at stop().
TEST(ThreadPoolTest, ResizeKeepsRunningJobsAndRepeatedShrinkingDoesNotPileUpEndedWorkers) {
  ctpl::thread_pool pool(1);
  pool.resize(3);
  Gate gate;  // three jobs that wait together occupy all three workers
  std::vector<std::future<int>> indices;
  for (int i = 0; i < 3; ++i) indices.push_back(pool.push([&gate](int index) { return gate.Pass(), index; }));
  ASSERT_TRUE(gate.WaitForWaiting(3));
  pool.resize(1);
  gate.Open();
  std::set<int> seen;
  for (auto& f : indices) seen.insert(f.get());
  EXPECT_EQ(seen, (std::set<int>{0, 1, 2}));
  for (int i = 0; i < 20; ++i) EXPECT_EQ(pool.push([](int index) { return index; }).get(), 0);

  const auto vmSizeKiB = iotcloud_test::AddressSpaceKiB;
  const long before = vmSizeKiB();
  ASSERT_GT(before, 0);
  for (int i = 0; i < 600; ++i) pool.resize(2), pool.push([](int) {}).get(), pool.resize(1);
  // Unjoined, 600 stacks would add almost 5 GiB. What may stay is bounded:
  // glibc's malloc arenas and its cache of stacks, and the few workers still
  // ending when the loop stopped (a later resize() joins them).
  const long limitKiB = 1536 * 1024;
  for (auto deadline = std::chrono::steady_clock::now() + 10s;
       vmSizeKiB() - before >= limitKiB && std::chrono::steady_clock::now() < deadline;)
    std::this_thread::yield(), pool.resize(1);
  EXPECT_LT(vmSizeKiB() - before, limitKiB);
}

TEST(ThreadPoolTest, ThrowingJobIsReportedThroughItsFutureAndDeleted) {
  iotcloud_test::LogCapture log;
  ctpl::thread_pool pool(1);
  auto resource = std::make_shared<int>(7);
  auto failing = pool.push([resource](int) -> int { throw std::runtime_error("job failed"); });
  auto throwsAnything = pool.push([](int) { throw 5; });
  // Messages are checked through the log (see IsBrokenPromise for why).
  EXPECT_THROW(failing.get(), std::runtime_error);
  EXPECT_THROW(throwsAnything.get(), int);
  // The worker survives; the jobs, with what they captured, are gone.
  EXPECT_EQ(pool.push([](int, int a, const std::string& b) { return a + b.size(); }, 40, "ab").get(), 42u);
  EXPECT_EQ(resource.use_count(), 1);
  EXPECT_EQ(log.Count("job threw: job failed"), 1u);
  EXPECT_EQ(log.Count("job threw: an exception of unknown type"), 1u);
}

}  // namespace
