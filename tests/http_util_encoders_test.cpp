// Text encoders: URL encoding and decoding, hex digits, Base64 (against the
// RFC 4648 vectors and OpenSSL's encoder) and the HTTP date (against strftime
// in the POSIX locale).
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cctype>
#include <clocale>
#include <cstring>
#include <ctime>
#include <locale.h>
#include <random>
#include <string>
#include <vector>

#include "core/io/network/http/Base64.h"
#include "core/io/network/http/HttpDate.h"
#include "core/io/network/http/HttpUtil.h"

namespace {

using namespace std::string_literals;

TEST(UrlEncodeTest, EscapesAsFormEncoding) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {"a b", "a+b"},
      {"a/b", "a%2Fb"},
      {"+", "%2B"},
      {"%", "%25"},
      {"*", "%2A"},
      {"-._~", "-._~"},
      {"AZaz09", "AZaz09"},
      {"\xC3\xA9", "%C3%A9"},
      {"\t", "%09"},
      {"a\0b"s, "a%00b"},
      {"\xFF\x80\x7F", "%FF%80%7F"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HttpUtil::UrlEncode(c.in), c.out) << "input " << testing::PrintToString(c.in);
  }
}

// Every byte: only ASCII letters, digits and "-._~" stay as they are.
TEST(UrlEncodeTest, KeepsExactlyTheUnreservedAsciiBytes) {
  for (int b = 0; b < 256; ++b) {
    const std::string in(1, static_cast<char>(b));
    const bool unreserved = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') ||
                            (b >= '0' && b <= '9') || std::strchr("-._~", b) != nullptr;
    const std::string out = HttpUtil::UrlEncode(in);
    if (b != 0 && unreserved) {
      EXPECT_EQ(out, in) << "byte " << b;
    } else if (b == ' ') {
      EXPECT_EQ(out, "+");
    } else {
      char expected[4];
      std::snprintf(expected, sizeof expected, "%%%02X", b);
      EXPECT_EQ(out, expected) << "byte " << b;
    }
  }
}

TEST(UrlDecodeTest, DecodesEscapesAndPlus) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {"a+b%2Fc", "a b/c"},
      {"%2f", "/"},
      {"%2F", "/"},
      {"%41%42", "AB"},
      {"100%25", "100%"},
      {"plain-text_~.", "plain-text_~."},
      {"%00", "\0"s},
      {"%C3%a9", "\xC3\xA9"},
      // Fewer than two characters after "%": kept literally, nothing beyond
      // the input is read.
      {"%", "%"},
      {"abc%", "abc%"},
      {"%4", "%4"},
      {"x%+", "x%+"},
      {"%41%", "A%"},
      {"%41%4", "A%4"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(UrlDecode(c.in), c.out) << "input " << testing::PrintToString(c.in);
  }
}

TEST(UrlDecodeTest, UndoesUrlEncodeForAnyBytes) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  EXPECT_EQ(UrlDecode(HttpUtil::UrlEncode(all)), all);

  std::mt19937 rng(12345);
  for (int round = 0; round < 500; ++round) {
    std::string s(rng() % 64, '\0');
    for (char& ch : s) ch = static_cast<char>(rng());
    ASSERT_EQ(UrlDecode(HttpUtil::UrlEncode(s)), s);
  }
}

TEST(HexDigitTest, ConvertsBothWays) {
  const char digits[] = "0123456789ABCDEF";
  for (unsigned v = 0; v < 16; ++v) {
    EXPECT_EQ(ToHex(static_cast<unsigned char>(v)), static_cast<unsigned char>(digits[v]));
    EXPECT_EQ(FromHex(static_cast<unsigned char>(digits[v])), v);
    EXPECT_EQ(FromHex(static_cast<unsigned char>(std::tolower(digits[v]))), v);
  }
  EXPECT_EQ(ToHex(16), 'G');
}

// ---- Base64 ----------------------------------------------------------------

std::string Encode64(const std::string& data) {
  std::vector<char> out(4 * ((data.size() + 2) / 3) + 1, '\0');
  EXPECT_TRUE(Base64::Encode(data.data(), data.size(), out.data(), out.size() - 1));
  return std::string(out.data());
}

TEST(Base64Test, MatchesRfc4648Vectors) {
  // RFC 4648, section 10.
  const struct {
    const char *in, *out;
  } vectors[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                 {"foo", "Zm9v"},  {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                 {"foobar", "Zm9vYmFy"}};
  for (const auto& v : vectors) EXPECT_EQ(Encode64(v.in), v.out) << v.in;
}

// Any bytes, every padding case: the same text as OpenSSL's encoder.
TEST(Base64Test, MatchesOpenSslForBinaryData) {
  std::mt19937 rng(7);
  for (size_t length = 0; length <= 100; ++length) {
    std::string data(length, '\0');
    for (char& ch : data) ch = static_cast<char>(rng());
    std::vector<unsigned char> reference(4 * ((length + 2) / 3) + 1);
    EVP_EncodeBlock(reference.data(), reinterpret_cast<const unsigned char*>(data.data()),
                    static_cast<int>(length));
    EXPECT_EQ(Encode64(data), reinterpret_cast<const char*>(reference.data())) << length;
  }
}

// An exact-size buffer is enough; one byte less fails and leaves it alone.
TEST(Base64Test, ChecksTheOutputSize) {
  for (size_t length = 1; length <= 7; ++length) {
    const std::string data(length, 'x');
    const size_t needed = 4 * ((length + 2) / 3);
    std::vector<char> out(needed + 1, '#');
    EXPECT_FALSE(Base64::Encode(data.data(), length, out.data(), needed - 1)) << length;
    EXPECT_EQ(std::string(out.begin(), out.end()), std::string(needed + 1, '#'));
    EXPECT_TRUE(Base64::Encode(data.data(), length, out.data(), needed)) << length;
    EXPECT_EQ(out[needed], '#') << "wrote past the encoded text";
  }
  char untouched = '#';
  EXPECT_TRUE(Base64::Encode(nullptr, 0, &untouched, 0));
  EXPECT_EQ(untouched, '#');
}

// ---- HTTP date -------------------------------------------------------------

// strftime in the POSIX locale, whatever the process locale is.
std::string PosixHttpDate(std::time_t t) {
  std::tm utc{};
  gmtime_r(&t, &utc);
  locale_t posix = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  char text[64] = {};
  strftime_l(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &utc, posix);
  freelocale(posix);
  return text;
}

std::string Format(std::time_t t) {
  char out[iotcloud::kHttpDateBufferSize];
  const size_t n = iotcloud::FormatHttpDate(t, out, sizeof out);
  EXPECT_EQ(n, std::strlen(out));
  return out;
}

TEST(HttpDateTest, MatchesStrftimeInThePosixLocale) {
  EXPECT_EQ(Format(0), "Thu, 01 Jan 1970 00:00:00 GMT");
  // Every day of 2024 (a leap year), at a shifting time of day, and a spread
  // of instants up to 9999.
  const std::time_t start2024 = 1704067200;
  for (int day = 0; day < 366; ++day) {
    const std::time_t t = start2024 + day * 86400 + (day * 3607) % 86400;
    ASSERT_EQ(Format(t), PosixHttpDate(t)) << t;
  }
  std::mt19937_64 rng(99);
  for (int i = 0; i < 2000; ++i) {
    const std::time_t t = static_cast<std::time_t>(rng() % 253402300800ULL);
    ASSERT_EQ(Format(t), PosixHttpDate(t)) << t;
  }
}

TEST(HttpDateTest, GetGmtTimeGivesTheCurrentDate) {
  char out[64];
  std::memset(out, '#', sizeof out);
  const std::time_t before = std::time(nullptr);
  const size_t n = HttpUtil::GetGmtTime(out);
  const std::time_t after = std::time(nullptr);
  ASSERT_EQ(n, 29u);
  ASSERT_EQ(out[29], '\0');
  bool matched = false;
  for (std::time_t t = before; t <= after; ++t) matched = matched || PosixHttpDate(t) == out;
  EXPECT_TRUE(matched) << out;
}

// A host that switches the process locale must not change the date text or
// the URL encoding. Uses whichever locales this machine has installed.
TEST(HttpDateTest, IgnoresTheProcessLocale) {
  const char* candidates[] = {"de_DE.UTF-8", "fr_FR.UTF-8", "es_ES.UTF-8", "ru_RU.UTF-8",
                              "zh_CN.UTF-8", "ja_JP.UTF-8", "de_DE",       "fr_FR",
                              "C.UTF-8",     "C.utf8",      "en_US.UTF-8"};
  const std::time_t t = 1796343509;  // a Friday in December
  const std::string expectedDate = PosixHttpDate(t);
  std::string allBytes;
  for (int b = 0; b < 256; ++b) allBytes.push_back(static_cast<char>(b));
  const std::string expectedEncoding = HttpUtil::UrlEncode(allBytes);

  std::vector<std::string> tried;
  for (const char* name : candidates) {
    if (std::setlocale(LC_ALL, name) == nullptr) continue;
    tried.push_back(name);
    EXPECT_EQ(Format(t), expectedDate) << "under " << name;
    char now[64];
    HttpUtil::GetGmtTime(now);
    const std::string text(now);
    EXPECT_NE(text.find_first_of("0123456789"), std::string::npos);
    EXPECT_NE(std::string("SunMonTueWedThuFriSat").find(text.substr(0, 3)), std::string::npos)
        << text << " under " << name;
    EXPECT_NE(std::string("JanFebMarAprMayJunJulAugSepOctNovDec").find(text.substr(8, 3)),
              std::string::npos)
        << text << " under " << name;
    EXPECT_EQ(HttpUtil::UrlEncode(allBytes), expectedEncoding) << "under " << name;
  }
  std::setlocale(LC_ALL, "C");
  if (tried.empty()) GTEST_SKIP() << "no locale besides POSIX is installed";
}

}  // namespace
