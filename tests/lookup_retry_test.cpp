// The decisions between a lookup's attempts: HTTP dates, Retry-After, the
// backoff's bounds and what an answer's Date says about the local clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "core/api/smart/framework/internal/LookupRetry.h"

namespace {

// The example instant of RFC 9110, section 5.6.7.
constexpr int64_t kExampleMs = 784111777000;

// Retry-After is seconds or an HTTP date in either form HTTP allows; the
// asctime form names no zone and is not taken as GMT.
TEST(LookupRetry, RetryAfterTakesSecondsOrADate) {
  const struct {
    const char* value;
    bool ok;
    int64_t delayMs;
  } cases[] = {
      {"3", true, 3000},
      {"0", true, 0},
      {"99999999999999999999", true, 999999999000},     // huge: the policy's cap applies later
      {"Sun, 06 Nov 1994 08:49:47 GMT", true, 10000},   // IMF-fixdate
      {"Sunday, 06-Nov-94 08:49:47 GMT", true, 10000},  // RFC 850
      {"Sun, 06 Nov 1994 08:49:27 GMT", true, 0},       // in the past
      {"Sun Nov  6 08:49:47 1994", false, 0},
      {"Sun, 06 Nov 1994 08:49:47 GMT and a great deal more text after it, past any real date", false, 0},
      {"yesterday GMT", false, 0},
      {"-1", false, 0},
      {"1.5", false, 0},
      {"", false, 0},
  };
  for (const auto& c : cases) {
    int64_t delay = -1;
    EXPECT_EQ(iotcloud::RetryAfterMs(c.value, kExampleMs, &delay), c.ok) << c.value;
    if (c.ok) {
      EXPECT_EQ(delay, c.delayMs) << c.value;
    }
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

TEST(LookupRetry, AnswerDateJudgesTheLocalClock) {
  const std::string date = "Sun, 06 Nov 1994 08:49:37 GMT";
  constexpr int64_t kMinute = 60 * 1000, kDay = 24 * 60 * kMinute;
  const struct {
    const char* name;
    int status;
    std::string date;
    int64_t localMs, sentOffsetMs;
    bool valid, agrees, refusal;
  } cases[] = {
      {"right clock, success", 200, date, kExampleMs + 500, 0, true, true, false},
      {"right clock, refusal", 403, date, kExampleMs, 0, true, true, false},
      {"an hour slow, refusal", 400, date, kExampleMs - 60 * kMinute, 0, true, false, true},
      {"an hour slow, success", 200, date, kExampleMs - 60 * kMinute, 0, true, false, false},
      {"an hour slow, corrected, refusal", 400, date, kExampleMs - 60 * kMinute, 60 * kMinute, true, false, false},
      {"four minutes fast, refusal", 400, date, kExampleMs + 4 * kMinute, 0, true, false, false},
      {"stale correction, refusal", 400, date, kExampleMs, 60 * kMinute, true, true, true},
      {"absurd", 400, date, kExampleMs + 31 * kDay, 0, false, false, false},
      {"unreadable", 400, "soon", kExampleMs, 0, false, false, false},
  };
  for (const auto& c : cases) {
    const iotcloud::ClockReading reading = iotcloud::ReadAnswerDate(c.status, c.date, c.localMs, c.sentOffsetMs);
    EXPECT_EQ(reading.valid, c.valid) << c.name;
    EXPECT_EQ(reading.agrees, c.agrees) << c.name;
    EXPECT_EQ(reading.refusal, c.refusal) << c.name;
    if (c.valid) {
      EXPECT_EQ(reading.skewMs, kExampleMs - c.localMs) << c.name;
    }
  }
}

}  // namespace
