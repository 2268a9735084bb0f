// The support layer the transport stands on: thread handles with restart,
// random identifiers, and the logger's sink and minimum level.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>

#include "core/support/COSThread.h"
#include "core/support/QZRandom.h"
#include "core/support/TovoLog.h"
#include "support/TestUtil.h"

using namespace std::chrono_literals;

namespace {

struct Blocker {
  iotcloud_test::Waitable<bool> release{false};
  std::atomic<int> runs{0};
};

unsigned long BlockUntilReleased(void* argument) {
  auto* blocker = static_cast<Blocker*>(argument);
  ++blocker->runs;
  blocker->release.WaitFor([](const bool& open) { return open; }, 10s);
  return 0;
}

TEST(COSThreadTest, WaitsWithTimeOutAndRestartsAfterClose) {
  COSThread thread;
  Blocker blocker;
  EXPECT_FALSE(thread.isStarted());
  EXPECT_EQ(WaitForSingleObjectEx(&thread, 0), COS_WAIT_FAILED);
  EXPECT_EQ(CloseThreadEx(&thread), -1);

  unsigned long id = 0;
  ASSERT_EQ(CreateThreadEx(&thread, 0, BlockUntilReleased, &blocker, 0, &id), 0);
  EXPECT_TRUE(thread.isStarted());
  // One thread per handle until it is closed.
  EXPECT_EQ(CreateThreadEx(&thread, 0, BlockUntilReleased, &blocker, 0, nullptr), -1);
  EXPECT_EQ(WaitForSingleObjectEx(&thread, 20), COS_WAIT_TIMEOUT);

  blocker.release.Update([](bool& open) { open = true; });
  EXPECT_EQ(WaitForSingleObjectEx(&thread, COS_WAIT_INFINITE), COS_WAIT_OBJECT_0);
  EXPECT_EQ(CloseThreadEx(&thread), 0);
  EXPECT_FALSE(thread.isStarted());

  // Closing cleared the started flag: the handle starts a new thread.
  ASSERT_EQ(CreateThreadEx(&thread, 0, BlockUntilReleased, &blocker, 0, nullptr), 0);
  EXPECT_EQ(WaitForSingleObjectEx(&thread, COS_WAIT_INFINITE), COS_WAIT_OBJECT_0);
  EXPECT_EQ(CloseThreadEx(&thread), 0);
  EXPECT_EQ(blocker.runs, 2);
}

struct SelfWait {
  COSThread thread;
  std::atomic<int> result{1};
  iotcloud_test::Waitable<bool> started{false};
};

unsigned long WaitForItself(void* argument) {
  auto* self = static_cast<SelfWait*>(argument);
  self->started.WaitFor([](const bool& s) { return s; }, 10s);  // the handle is filled in
  self->result = WaitForSingleObjectEx(&self->thread, COS_WAIT_INFINITE);
  return 0;
}

TEST(COSThreadTest, AThreadCannotWaitForItself) {
  SelfWait self;
  ASSERT_EQ(CreateThreadEx(&self.thread, 0, WaitForItself, &self, 0, nullptr), 0);
  self.started.Update([](bool& s) { s = true; });
  EXPECT_EQ(WaitForSingleObjectEx(&self.thread, 10000), COS_WAIT_OBJECT_0);
  EXPECT_EQ(self.result, COS_WAIT_FAILED);
  CloseThreadEx(&self.thread);
}

TEST(QZRandomTest, IdentifiersHaveTheLengthAskedForInLowerCaseHex) {
  for (int length : {-1, 0, 1, 31, 32, 33, 64}) {
    std::string id = QZRandom::getRandomGUID(length);
    EXPECT_EQ(id.size(), static_cast<size_t>(length > 0 ? length : 0)) << length;
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
  }
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) seen.insert(QZRandom::getRandomGUID(32));
  EXPECT_EQ(seen.size(), 1000u);
}

TEST(TovoLogTest, SinkReceivesCallSiteAndMinimumLevelFilters) {
  iotcloud_test::LogCapture log(3);
  QZ_LOG(2, "dropped %d", 1);
  const int line = __LINE__ + 1;
  QZ_LOG(4, "kept %s=%d", "value", 42);
  std::vector<iotcloud_test::CapturedLine> lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 4);
  EXPECT_EQ(lines[0].tag, "QZ");
  EXPECT_EQ(lines[0].file, "cos_thread_test.cpp");
  EXPECT_EQ(lines[0].line, line);
  EXPECT_EQ(lines[0].function, "TestBody");
  EXPECT_EQ(lines[0].message, "kept value=42");
  EXPECT_EQ(iotcloud::GetLogMinLevel(), 3);

  // Longer than any fixed buffer: arrives whole.
  std::string longText(5000, 'L');
  QZ_LOG(3, "%s|", longText.c_str());
  lines = log.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].message, longText + "|");
}

}  // namespace
