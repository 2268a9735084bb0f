// Arbitrary bytes through the escaping of network text.
// Checks: the text form and the JSON form are valid UTF-8 and hold no
// character a terminal acts on (C0 but the JSON form's tab and line feed,
// DEL, C1); text without anything to escape comes out unchanged; an excerpt
// never exceeds what its limit allows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/support/UntrustedText.h"

namespace {

void CheckSafe(const std::string& text, bool allowTabAndLineFeed) {
  if (!iotcloud::IsValidUtf8(text)) std::abort();
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const bool c0 = c < 0x20 && !(allowTabAndLineFeed && (c == '\t' || c == '\n'));
    const bool c1 = c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (c0 || c == 0x7F || c1) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string escaped = iotcloud::EscapeUntrusted(bytes);
  CheckSafe(escaped, false);
  if (escaped.size() == bytes.size() && escaped != bytes) std::abort();
  CheckSafe(iotcloud::MakeJsonTerminalSafe(bytes), true);
  // Each byte escapes to at most 6 characters ("\u009b" for 2 bytes, "\xHH").
  const std::string excerpt = iotcloud::EscapeUntrustedExcerpt(bytes, 16);
  if (excerpt.size() > 16 * 4 + 40) std::abort();
  (void)iotcloud::JsonHasNulEscape(bytes);
  return 0;
}
