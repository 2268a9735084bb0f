// HTTP dates in GMT with fixed English day and month names, the text that
// strftime's "%a, %d %b %Y %H:%M:%S GMT" gives in the POSIX locale, computed
// by the library's own calendar arithmetic: the same bytes on every operating
// system and C runtime, whatever the locale. Internal to the library.
//
// Thread safety: stateless; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

namespace iotcloud {

// A time broken down as UTC on the proleptic Gregorian calendar.
struct UtcTime {
  int64_t year = 1970;
  int month = 1;    // 1..12
  int day = 1;      // 1..31
  int hour = 0;     // 0..23
  int minute = 0;   // 0..59
  int second = 0;   // 0..59
  int weekday = 4;  // 0 = Sunday
};

// Any time_t, before 1970 and after 9999 included; no C runtime call.
UtcTime BreakDownUtc(std::time_t when);

// Room for any date FormatHttpDate writes, terminator included.
constexpr size_t kHttpDateBufferSize = 64;

// Writes `when` broken down as UTC, for example
// "Fri, 04 Dec 2026 00:18:29 GMT", with a terminating zero to `out` and
// returns its length (29 for years 1000 to 9999). Every time_t is broken
// down on the proleptic Gregorian calendar, times before 1970 and after 9999
// included. Returns 0 and writes only a terminating zero (when `outSize`
// allows) when the text does not fit.
size_t FormatHttpDate(std::time_t when, char* out, size_t outSize);

}  // namespace iotcloud
