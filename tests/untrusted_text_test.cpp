// Escaping of bytes from the network for logs, terminals and JSON output.
#include "core/support/UntrustedText.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/support/internal/JsonPtr.h"

namespace {

using iotcloud::EscapeUntrusted;
using iotcloud::EscapeUntrustedExcerpt;
using iotcloud::IsValidUtf8;
using iotcloud::JsonHasNulEscape;
using iotcloud::MakeJsonTerminalSafe;

// True when every byte of `text` is printable ASCII or part of well-formed
// UTF-8 for a character above U+009F.
bool PrintableOnly(const std::string& text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7F) return false;
  return IsValidUtf8(text) && text.find("\xc2\x80") == std::string::npos && text.find("\xc2\x9b") == std::string::npos;
}

TEST(UntrustedText, EscapesWhatATerminalWouldActOnAndKeepsTheRest) {
  const struct {
    std::string in, out;
    bool utf8 = true;
  } cases[] = {
      {"plain text, with \\ and \"quotes\" and {json}", "plain text, with \\ and \"quotes\" and {json}"},
      {"line\nbreak\r\ttab", "line\\nbreak\\r\\ttab"},
      {"\x1b]0;retitled\x07\x1b[2J", "\\x1b]0;retitled\\x07\\x1b[2J"},
      {std::string("nul\0del\x7f", 8), "nul\\x00del\\x7f"},
      {"utf-8 \xe4\xb8\x8a \xf0\x9f\x98\x80 \xc3\xa9", "utf-8 \xe4\xb8\x8a \xf0\x9f\x98\x80 \xc3\xa9"},
      {"c1 csi \xc2\x9b"
       "31m nel \xc2\x85",
       "c1 csi \\u009b31m nel \\u0085"},
      {"bidi \xe2\x80\xae"
       "evil\xe2\x81\xa6 sep \xe2\x80\xa8",
       "bidi \\u202eevil\\u2066 sep \\u2028"},
      // Not UTF-8: stray continuation, overlong '/', surrogate, above U+10FFFF, cut sequence.
      {"\x80 \xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xe4\xb8",
       "\\x80 \\xc0\\xaf \\xed\\xa0\\x80 \\xf4\\x90\\x80\\x80 \\xe4\\xb8", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EscapeUntrusted(c.in), c.out);
    EXPECT_TRUE(PrintableOnly(EscapeUntrusted(c.in))) << c.out;
    EXPECT_EQ(IsValidUtf8(c.in), c.utf8) << c.out;
  }
}

TEST(UntrustedText, ExcerptKeepsShortTextAndCutsLongTextWithItsLength) {
  EXPECT_EQ(EscapeUntrustedExcerpt(std::string(512, 'a'), 512), std::string(512, 'a'));
  EXPECT_EQ(EscapeUntrustedExcerpt(std::string(511, 'a') + "\n" + std::string(4000000, 'b'), 512),
            std::string(511, 'a') + "\\n... (4000512 bytes)");
  // A character cut at the limit shows its first byte escaped.
  EXPECT_EQ(EscapeUntrustedExcerpt("ab\xe4\xb8\x8a", 3), "ab\\xe4... (5 bytes)");
}

// What cJSON prints from strings of any bytes becomes JSON that cJSON reads
// back to the same strings wherever they were valid UTF-8.
TEST(UntrustedText, JsonStaysValidAndMeansTheSame) {
  // clang-format off
  const std::vector<std::string> values = {"plain", "\x1b[2J\x07\n", "del\x7f", "\xc2\x9b" "c1", "\xe2\x80\xae" "bidi",
                                           "\xe4\xb8\x8a\xf0\x9f\x98\x80", "bad \xff\xfe\xc0"};
  // clang-format on
  for (const std::string& value : values) {
    iotcloud::JsonPtr object(cJSON_CreateObject());
    cJSON_AddStringToObject(object.get(), "v", value.c_str());
    const std::string safe = MakeJsonTerminalSafe(iotcloud::JsonText(cJSON_Print(object.get())).get());
    SCOPED_TRACE(safe);
    for (char c : safe) EXPECT_TRUE(static_cast<unsigned char>(c) >= 0x20 || c == '\n' || c == '\t');
    EXPECT_TRUE(IsValidUtf8(safe));
    iotcloud::JsonPtr back(cJSON_Parse(safe.c_str()));
    ASSERT_NE(back, nullptr);
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(back.get(), "v");
    ASSERT_TRUE(cJSON_IsString(item));
    if (IsValidUtf8(value))
      EXPECT_EQ(item->valuestring, value);
    else
      EXPECT_EQ(std::string(item->valuestring), "bad \xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
  }
}

TEST(UntrustedText, NulEscapeIsFoundOnlyInsideStrings) {
  for (const char* json : {R"({"a":"x\u0000y"})", R"({"a\u0000":1})", R"(["\\", "\u0000"])", R"({"a":"\u00001"})"}) {
    EXPECT_TRUE(JsonHasNulEscape(json)) << json;
  }
  // An escaped backslash, then text; other escapes; a cut escape.
  for (const char* json : {R"({"a":"x\\u0000y"})", R"({"a":"\u0001\u1000"})", R"({"a":"x\)"}) {
    EXPECT_FALSE(JsonHasNulEscape(json)) << json;
  }
}

}  // namespace
