// Standard Base64 (RFC 4648, section 4: alphabet A-Z a-z 0-9 + /, padded with
// '=', no line breaks) into a caller's fixed buffer. Internal to the library.
//
// Thread safety: stateless; may run on any thread, concurrently.
#pragma once

#include <cstddef>

namespace Base64 {

// Writes the Base64 text of `length` bytes at `data` to `out`: exactly
// 4 * ceil(length / 3) characters and no terminating zero. An `outSize` equal
// to that count is enough. Returns false, leaving `out` untouched, when
// `outSize` is smaller. A `length` of 0 writes nothing and returns true (then
// `data` and `out` may be null). A caller that wants zero-terminated text
// zero-fills its buffer and passes one byte less than its size.
bool Encode(const char* data, size_t length, char* out, size_t outSize);

}  // namespace Base64
