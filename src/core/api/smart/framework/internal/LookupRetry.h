// The decisions a region lookup takes between its attempts: which failures
// are worth another attempt, how long to wait before it, and what an
// answer's "Date" says about the local clock. Pure functions; internal to
// the library.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace iotcloud {

// libcurl results that a later attempt may not meet: the host name did not
// resolve, the connection was refused, reset or dropped before the answer
// was whole, or a time limit ran out.
// TLS failures are not among them.
bool IsRetriedCurlCode(int curlCode);

// HTTP statuses that a later attempt may not meet: 408, 429, 500, 502, 503
// and 504.
bool IsRetriedStatus(int status);

// An HTTP date that names its zone GMT (IMF-fixdate or the obsolete RFC 850
// form) as milliseconds since 1970; false for any other text, the zoneless
// asctime form included.
bool ParseHttpDateMs(const std::string& text, int64_t* ms);

// The wait a "Retry-After" value asks for, in milliseconds: a number of
// seconds, or an HTTP date taken against `serverNowMs` (the gateway's
// present time as this side knows it). A date in the past asks for no wait.
// False when the value is empty or neither form.
bool RetryAfterMs(const std::string& value, int64_t serverNowMs, int64_t* delayMs);

// "Full jitter" backoff before retry number `retry` (1 for the second
// attempt): `random` mapped into [0, min(maxMs, baseMs * 2^(retry-1))]. The
// doubling saturates at maxMs, so no value overflows.
int64_t BackoffMs(int retry, int64_t baseMs, int64_t maxMs, uint64_t random);

// `at` plus `ms` milliseconds, saturating: a sum past what the clock can
// hold is the clock's last point, so a huge wait or deadline means "very
// long" rather than overflowing into the past. A negative `ms` counts as 0.
std::chrono::steady_clock::time_point AddMs(std::chrono::steady_clock::time_point at, int64_t ms);

// What one answer's "Date" says about the local clock.
struct ClockReading {
  bool valid = false;    // the Date parsed and is within kAbsurdSkewMs of the local clock
  int64_t skewMs = 0;    // the gateway's time minus the local clock's
  bool agrees = false;   // within kClockAgreesMs: a learned offset is no longer needed
  bool refusal = false;  // the answer refused the request for its date: see ReadAnswerDate
};
// Offsets beyond these are an absurd Date (ignored), a date the gateway
// refuses, and a clock that is right.
constexpr int64_t kAbsurdSkewMs = 30LL * 24 * 3600 * 1000;
constexpr int64_t kClockRefusedSkewMs = 5LL * 60 * 1000;
constexpr int64_t kClockAgreesMs = 60LL * 1000;

// Reads `date` (the answer's "Date" header) against `localMs` (the local
// clock when the answer came). `sentOffsetMs` is the correction the request
// was signed with: a refusal (status 400 or above) is put down to the clock
// when the gateway's time is more than kClockRefusedSkewMs from the date the
// request carried.
ClockReading ReadAnswerDate(int status, const std::string& date, int64_t localMs, int64_t sentOffsetMs);

}  // namespace iotcloud
