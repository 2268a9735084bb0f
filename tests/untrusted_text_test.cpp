// Escaping of bytes from the network for logs, terminals and JSON output.
#include "core/support/UntrustedText.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "core/support/internal/JsonPtr.h"

namespace {

using namespace iotcloud;

// True when every byte of `text` is printable ASCII or part of well-formed
// UTF-8 for a character above U+009F (JSON's layout: also tab and line feed).
bool PrintableOnly(const std::string& text, bool json = false) {
  for (unsigned char c : text)
    if ((c < 0x20 && !(json && (c == '\t' || c == '\n'))) || c == 0x7F) return false;
  return IsValidUtf8(text) && text.find("\xc2\x80") == std::string::npos && text.find("\xc2\x9b") == std::string::npos;
}

// The text form escapes what a terminal would act on and keeps the rest. What
// cJSON prints from the same bytes (up to a NUL) becomes JSON that stays
// printable and reads back to the same string wherever it was valid UTF-8.
TEST(UntrustedText, EscapesWhatATerminalWouldActOnAndJsonKeepsItsMeaning) {
  const struct {
    std::string in, out;
    bool utf8 = true;
  } cases[] = {
      // clang-format off
      {"plain text, with \\ and \"quotes\" and {json}", "plain text, with \\ and \"quotes\" and {json}"},
      {"line\nbreak\r\ttab", "line\\nbreak\\r\\ttab"}, {"\x1b]0;retitled\x07\x1b[2J", "\\x1b]0;retitled\\x07\\x1b[2J"},
      {std::string("del\x7f nul\0", 9), "del\\x7f nul\\x00"},
      {"utf-8 \xe4\xb8\x8a \xf0\x9f\x98\x80 \xc3\xa9", "utf-8 \xe4\xb8\x8a \xf0\x9f\x98\x80 \xc3\xa9"},
      {"c1 csi \xc2\x9b" "31m nel \xc2\x85", "c1 csi \\u009b31m nel \\u0085"},
      {"bidi \xe2\x80\xae" "evil\xe2\x81\xa6 sep \xe2\x80\xa8", "bidi \\u202eevil\\u2066 sep \\u2028"},
      // Not UTF-8: stray continuation, overlong '/', surrogate, above U+10FFFF, never a byte, cut sequence.
      {"\x80 \xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xff \xe4\xb8",
       "\\x80 \\xc0\\xaf \\xed\\xa0\\x80 \\xf4\\x90\\x80\\x80 \\xff \\xe4\\xb8", false},
      // clang-format on
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EscapeUntrusted(c.in), c.out);
    EXPECT_TRUE(PrintableOnly(EscapeUntrusted(c.in))) << c.out;
    EXPECT_EQ(IsValidUtf8(c.in), c.utf8) << c.out;
    JsonPtr object(cJSON_CreateObject());
    cJSON_AddStringToObject(object.get(), "v", c.in.c_str());
    const std::string safe = MakeJsonTerminalSafe(JsonText(cJSON_Print(object.get())).get());
    EXPECT_TRUE(PrintableOnly(safe, true)) << safe;
    const JsonPtr back(cJSON_Parse(safe.c_str()));
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(back.get(), "v");
    ASSERT_TRUE(cJSON_IsString(item)) << safe;
    EXPECT_TRUE(IsValidUtf8(item->valuestring)) << safe;
    EXPECT_TRUE(!c.utf8 || item->valuestring == std::string(c.in.c_str())) << item->valuestring;
  }
}

TEST(UntrustedText, ExcerptKeepsShortTextAndCutsLongTextWithItsLength) {
  EXPECT_EQ(EscapeUntrustedExcerpt(std::string(512, 'a'), 512), std::string(512, 'a'));
  EXPECT_EQ(EscapeUntrustedExcerpt(std::string(511, 'a') + "\n" + std::string(4000000, 'b'), 512),
            std::string(511, 'a') + "\\n... (4000512 bytes)");
  // A character cut at the limit shows its first byte escaped.
  EXPECT_EQ(EscapeUntrustedExcerpt("ab\xe4\xb8\x8a", 3), "ab\\xe4... (5 bytes)");
}

// An escaped backslash then text, other escapes and a cut escape are no NUL.
TEST(UntrustedText, NulEscapeIsFoundOnlyInsideStrings) {
  const std::pair<const char*, bool> cases[] = {{R"({"a":"x\u0000y"})", true},   {R"({"a\u0000":1})", true},
                                                {R"(["\\", "\u0000"])", true},   {R"({"a":"\u00001"})", true},
                                                {R"({"a":"x\\u0000y"})", false}, {R"({"a":"\u0001\u1000"})", false},
                                                {R"({"a":"x\)", false}};
  for (const auto& [json, nul] : cases) EXPECT_EQ(JsonHasNulEscape(json), nul) << json;
}

}  // namespace
