// HTTP dates in GMT with fixed English day and month names, the text that
// strftime's "%a, %d %b %Y %H:%M:%S GMT" gives in the POSIX locale. Internal
// to the library.
//
// Thread safety: stateless (the UTC breakdown is per call); any thread.
#pragma once

#include <cstddef>
#include <ctime>

namespace iotcloud {

// Room for any date FormatHttpDate writes, terminator included.
constexpr size_t kHttpDateBufferSize = 64;

// Writes `when` broken down as UTC, for example
// "Fri, 04 Dec 2026 00:18:29 GMT", with a terminating zero to `out` and
// returns its length (29 for years 1000 to 9999). A time that cannot be
// broken down is written as the epoch. Returns 0 and writes only a
// terminating zero (when `outSize` allows) when the text does not fit.
size_t FormatHttpDate(std::time_t when, char* out, size_t outSize);

}  // namespace iotcloud
