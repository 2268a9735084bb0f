// The decisions between a lookup's attempts: HTTP dates, Retry-After, the
// backoff's bounds and what an answer's Date says about the local clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>

#include "core/api/smart/framework/internal/LookupRetry.h"

namespace {

using namespace std::string_literals;

// The example instant of RFC 9110, section 5.6.7.
constexpr int64_t kExampleMs = 784111777000;

// Retry-After is seconds or an HTTP date in either form HTTP allows (IMF-fixdate,
// RFC 850); the asctime form names no zone and is not taken as GMT, and text
// longer than any date is not read. A huge number of seconds is taken (the
// policy's cap applies later); a date in the past asks for no wait.
TEST(LookupRetry, RetryAfterTakesSecondsOrADate) {
  const std::string date = "Sun, 06 Nov 1994 08:49:47 GMT";
  // clang-format off
  const std::pair<std::string, int64_t> taken[] = {{"3", 3000}, {"0", 0}, {"99999999999999999999", 999999999000},
      {date, 10000}, {"Sunday, 06-Nov-94 08:49:47 GMT", 10000}, {"Sun, 06 Nov 1994 08:49:27 GMT", 0}};
  // clang-format on
  int64_t delay = -1;
  for (const auto& [value, delayMs] : taken) {
    EXPECT_TRUE(iotcloud::RetryAfterMs(value, kExampleMs, &delay)) << value;
    EXPECT_EQ(delay, delayMs) << value;
  }
  for (const std::string& value :
       {"Sun Nov  6 08:49:47 1994"s, date + std::string(40, ' '), "yesterday GMT"s, "-1"s, "1.5"s, ""s}) {
    EXPECT_FALSE(iotcloud::RetryAfterMs(value, kExampleMs, &delay)) << value;
  }
}

TEST(LookupRetry, BackoffStaysWithinItsDoublingCeiling) {
  for (int retry = 1; retry <= 8; ++retry) {
    const int64_t ceiling = std::min<int64_t>(4000, 250LL << (retry - 1));
    EXPECT_EQ(iotcloud::BackoffMs(retry, 250, 4000, 0), 0);
    EXPECT_EQ(iotcloud::BackoffMs(retry, 250, 4000, static_cast<uint64_t>(ceiling)), ceiling) << retry;
    EXPECT_LE(iotcloud::BackoffMs(retry, 250, 4000, UINT64_MAX), ceiling) << retry;
  }
  EXPECT_EQ(iotcloud::BackoffMs(3, 0, 4000, 12345), 0);
}

// Values past what the arithmetic can hold saturate instead of wrapping.
TEST(LookupRetry, HugeValuesSaturate) {
  constexpr int64_t kMax = INT64_MAX;
  EXPECT_EQ(iotcloud::BackoffMs(10, int64_t{1} << 62, kMax, UINT64_MAX), kMax);
  EXPECT_EQ(iotcloud::BackoffMs(10, kMax, 4000, 4000), 4000);
  using TimePoint = std::chrono::steady_clock::time_point;
  const TimePoint now = std::chrono::steady_clock::now();
  EXPECT_EQ(iotcloud::AddMs(now, kMax), TimePoint::max());
  EXPECT_EQ(iotcloud::AddMs(now, 10000000000000), TimePoint::max());  // past ~292 years of nanoseconds
  EXPECT_EQ(iotcloud::AddMs(now, 1500), now + std::chrono::milliseconds(1500));
  EXPECT_EQ(iotcloud::AddMs(now, -5), now);
}

// The answer's Date against the local clock: skew, and as flags whether it is
// valid (v), whether the clocks agree (a) and whether a refusal is put down to
// the clock (r).
TEST(LookupRetry, AnswerDateJudgesTheLocalClock) {
  const std::string date = "Sun, 06 Nov 1994 08:49:37 GMT";
  constexpr int64_t kHour = 3600 * 1000, kSlow = kExampleMs - kHour;
  const struct {
    int status;
    std::string date;
    int64_t localMs, sentOffsetMs;
    const char* flags;
  } cases[] = {
      {200, date, kExampleMs + 500, 0, "va-"},              // right clock
      {403, date, kExampleMs, 0, "va-"},                    // right clock, refusal
      {400, date, kSlow, 0, "v-r"},                         // an hour slow, refusal
      {200, date, kSlow, 0, "v--"},                         // an hour slow, success
      {400, date, kSlow, kHour, "v--"},                     // an hour slow, corrected
      {400, date, kExampleMs + 4 * 60000, 0, "v--"},        // four minutes fast
      {400, date, kExampleMs, kHour, "var"},                // stale correction
      {400, date, kExampleMs + 31 * 24 * kHour, 0, "---"},  // absurd
      {400, "soon", kExampleMs, 0, "---"},
  };
  for (const auto& c : cases) {
    const iotcloud::ClockReading r = iotcloud::ReadAnswerDate(c.status, c.date, c.localMs, c.sentOffsetMs);
    const std::string flags = std::string(r.valid ? "v" : "-") + (r.agrees ? "a" : "-") + (r.refusal ? "r" : "-");
    EXPECT_EQ(flags, c.flags) << &c - cases;
    EXPECT_EQ(r.valid ? r.skewMs : 0, r.valid ? kExampleMs - c.localMs : 0) << &c - cases;
  }
}

}  // namespace
