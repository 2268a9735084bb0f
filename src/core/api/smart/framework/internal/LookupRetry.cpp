#include "core/api/smart/framework/internal/LookupRetry.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdlib>

namespace iotcloud {

bool IsRetriedCurlCode(int curlCode) {
  switch (curlCode) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR: return true;
    default: return false;
  }
}

bool IsRetriedStatus(int status) {
  switch (status) {
    case 408:
    case 429:
    case 500:
    case 502:
    case 503:
    case 504: return true;
    default: return false;
  }
}

bool ParseHttpDateMs(const std::string& text, int64_t* ms) {
  // curl_getdate reads all three forms HTTP allows, and more; an HTTP date
  // always names its zone as GMT.
  if (text.empty() || text.size() > 64 || text.find("GMT") == std::string::npos) return false;
  const time_t seconds = curl_getdate(text.c_str(), nullptr);
  if (seconds == static_cast<time_t>(-1)) return false;
  *ms = static_cast<int64_t>(seconds) * 1000;
  return true;
}

bool RetryAfterMs(const std::string& value, int64_t serverNowMs, int64_t* delayMs) {
  if (value.empty()) return false;
  if (std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    // More digits than any wait worth honouring: the cap applies anyway.
    const int64_t seconds = value.size() > 9 ? 999999999 : std::strtoll(value.c_str(), nullptr, 10);
    *delayMs = seconds * 1000;
    return true;
  }
  int64_t at = 0;
  if (!ParseHttpDateMs(value, &at)) return false;
  *delayMs = std::max<int64_t>(0, at - serverNowMs);
  return true;
}

int64_t BackoffMs(int retry, int64_t baseMs, int64_t maxMs, uint64_t random) {
  if (baseMs <= 0 || maxMs <= 0) return 0;
  int64_t ceiling = std::min(baseMs, maxMs);
  for (int i = 1; i < retry && ceiling < maxMs; ++i) ceiling = ceiling > maxMs / 2 ? maxMs : ceiling * 2;
  // Unsigned, so a ceiling of INT64_MAX still has a successor.
  return static_cast<int64_t>(random % (static_cast<uint64_t>(ceiling) + 1));
}

std::chrono::steady_clock::time_point AddMs(std::chrono::steady_clock::time_point at, int64_t ms) {
  using TimePoint = std::chrono::steady_clock::time_point;
  if (ms <= 0) return at;
  const int64_t roomMs = std::chrono::duration_cast<std::chrono::milliseconds>(TimePoint::max() - at).count();
  return ms >= roomMs ? TimePoint::max() : at + std::chrono::milliseconds(ms);
}

ClockReading ReadAnswerDate(int status, const std::string& date, int64_t localMs, int64_t sentOffsetMs) {
  ClockReading reading;
  int64_t serverMs = 0;
  if (!ParseHttpDateMs(date, &serverMs)) return reading;
  const int64_t skew = serverMs - localMs;
  if (skew > kAbsurdSkewMs || skew < -kAbsurdSkewMs) return reading;
  reading.valid = true;
  reading.skewMs = skew;
  reading.agrees = std::llabs(skew) <= kClockAgreesMs;
  reading.refusal = status >= 400 && std::llabs(skew - sentOffsetMs) > kClockRefusedSkewMs;
  return reading;
}

}  // namespace iotcloud
