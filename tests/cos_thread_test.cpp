// The support layer under the transport: thread handles (restart after close,
// no waiting for oneself), random identifiers, and the logger.
#include <gtest/gtest.h>

#include <atomic>
#include <set>

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

TEST(TovoLogTest, MinimumLevelFiltersAndLongMessagesArriveWhole) {
  iotcloud_test::LogCapture log(3);
  QZ_LOG(2, "dropped %d", 1);
  QZ_LOG(4, "kept %s=%d", std::string(5000, 'L').c_str(), 42);  // longer than any fixed buffer
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_EQ(log.Lines()[0].message, "kept " + std::string(5000, 'L') + "=42");
}

}  // namespace
