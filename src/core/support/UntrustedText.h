// Bytes that came from the network (an answer, a region value, a message)
// made safe to put in a log line, on a terminal or into a JSON document.
//
// "Safe" means: valid UTF-8, and no character that a terminal acts on
// instead of showing it. Escaped are the C0 controls (0x00-0x1F), DEL, the
// C1 controls (U+0080-U+009F, which some terminals read as ESC sequences),
// the line and paragraph separators and the bidirectional embeddings,
// overrides and isolates (U+2028-U+202E, U+2066-U+2069), which can make a
// line read as something else. Every other byte and character is kept as it
// is, so printable text (backslashes included) comes out unchanged.
//
// Pure functions of their arguments; any thread.
#pragma once

#include <cstddef>
#include <string>

#include "core/support/Export.h"

namespace iotcloud {

// For a log line or a terminal: "\n", "\r" and "\t" for those three
// controls, "\xHH" for every other C0 control, for DEL and for each byte that
// is not part of well-formed UTF-8, and "\uXXXX" for the escaped characters
// above U+007F.
IOTCLOUD_API std::string EscapeUntrusted(const std::string& bytes);

// EscapeUntrusted of at most the first `limit` bytes; when `bytes` is longer,
// followed by "... (N bytes)" with N its whole length. A UTF-8 sequence cut
// at the limit shows as "\xHH" bytes.
IOTCLOUD_API std::string EscapeUntrustedExcerpt(const std::string& bytes, size_t limit);

// How much of one untrusted text the library puts into a log line, and the
// tools into a line of text output.
constexpr size_t kLoggedBytes = 512;

// An untrusted text as the library logs it: escaped, and past kLoggedBytes
// cut with its whole length.
inline std::string ForLog(const std::string& bytes) { return EscapeUntrustedExcerpt(bytes, kLoggedBytes); }

// For JSON text printed by cJSON (whose strings may hold any bytes it was
// given): the escaped characters become JSON escapes "\uXXXX" and each byte
// that is not well-formed UTF-8 becomes "\ufffd". Tabs and line feeds, the
// only controls a printer puts between members, are kept. Valid JSON in,
// valid JSON out, with the same meaning for every string that was valid UTF-8.
IOTCLOUD_API std::string MakeJsonTerminalSafe(const std::string& printedJson);

// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF). The empty string is.
IOTCLOUD_API bool IsValidUtf8(const std::string& bytes);

// True when a JSON string in `json` holds the escape \u0000. cJSON ends a
// decoded string at the first NUL, so such a string cannot be read whole.
// Scans the raw text; needs no parse and does not judge whether the rest is
// valid JSON.
IOTCLOUD_API bool JsonHasNulEscape(const std::string& json);

}  // namespace iotcloud
