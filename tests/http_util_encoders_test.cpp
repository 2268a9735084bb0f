// Text encoders: URL encoding and decoding, hex digits, Base64 (against the
// RFC 4648 vectors and OpenSSL's encoder) and the HTTP date (against strftime
// in the POSIX locale, whatever the process locale).
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <locale.h>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "core/io/network/http/HttpUtil.h"
#include "core/io/network/http/internal/Base64.h"
#include "core/io/network/http/internal/HttpDate.h"

namespace {

using namespace std::string_literals;

std::string AllBytes() {
  std::string all(256, '\0');
  for (int b = 0; b < 256; ++b) all[b] = static_cast<char>(b);
  return all;
}

// Only ASCII letters, digits and "-._~" are kept and space becomes "+" (the
// URL fuzz target checks the alphabet for any bytes). A "%" with fewer than two
// characters after it stays literal, and nothing beyond the input is read.
TEST(UrlCodecTest, EncodesAndDecodes) {
  // clang-format off
  const std::pair<std::string, std::string> encodes[] = {{"a b", "a+b"}, {"a/b+%*", "a%2Fb%2B%25%2A"},
      {"-._~AZaz09", "-._~AZaz09"}, {"\t\xC3\xA9", "%09%C3%A9"}, {"a\0b"s, "a%00b"}, {"\xFF\x80\x7F", "%FF%80%7F"}};
  const std::pair<std::string, std::string> decodes[] = {{"", ""}, {"a+b%2Fc%2f", "a b/c/"}, {"100%25", "100%"},
      {"%00", "\0"s}, {"%C3%a9", "\xC3\xA9"}, {"%", "%"}, {"abc%", "abc%"}, {"%4", "%4"}, {"x%+", "x%+"},
      {"%41%", "A%"}, {"%41%4", "A%4"}};
  // clang-format on
  for (const auto& [in, out] : encodes) EXPECT_EQ(HttpUtil::UrlEncode(in), out) << out;
  for (const auto& [in, out] : decodes) EXPECT_EQ(UrlDecode(in), out) << in;
  EXPECT_EQ(UrlDecode(HttpUtil::UrlEncode(AllBytes())), AllBytes());
}

// RFC 4648, section 10 (the prefixes of "foobar"), then any bytes in every
// padding case against OpenSSL's encoder. An exact-size buffer is enough and
// nothing is written past it; one byte less fails and writes nothing.
TEST(Base64Test, MatchesRfc4648AndOpenSslAndNeverWritesPastTheOutput) {
  const char* rfc[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
  std::mt19937 rng(7);
  for (size_t length = 0; length <= 100; ++length) {
    std::string data = "foobar"s.substr(0, length);
    while (data.size() < length) data.push_back(static_cast<char>(rng()));
    const size_t needed = 4 * ((length + 2) / 3);
    std::vector<unsigned char> reference(needed + 1);
    EVP_EncodeBlock(reference.data(), reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(length));
    std::vector<char> out(needed + 1, '#');
    EXPECT_FALSE(length > 0 && Base64::Encode(data.data(), length, out.data(), needed - 1)) << length;
    EXPECT_EQ(std::string(out.begin(), out.end()), std::string(needed + 1, '#'));
    EXPECT_TRUE(Base64::Encode(data.data(), length, out.data(), needed)) << length;
    const std::string expected = length < 7 ? rfc[length] : reinterpret_cast<const char*>(reference.data());
    EXPECT_EQ(std::string(out.begin(), out.end()), expected + "#") << length;
  }
}

std::string PosixHttpDate(std::time_t t) {
  std::tm utc{};
  gmtime_r(&t, &utc);
  locale_t posix = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  char text[64] = {};
  strftime_l(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &utc, posix);
  freelocale(posix);
  return text;
}

// Every day of 2024 (a leap year) at a shifting time of day, and instants up
// to the year 9999; under the POSIX locale and under any other one installed
// (a host that calls setlocale must not change the date or the URL encoding).
// HttpUtil::GetGmtTime formats the current time with it; the local gateway
// checks that date against its clock in every region lookup test.
TEST(HttpDateTest, MatchesPosixStrftimeUnderAnyLocale) {
  const std::string posixEncoding = HttpUtil::UrlEncode(AllBytes());
  for (const char* name : {"C", "de_DE.UTF-8", "fr_FR.UTF-8", "ru_RU.UTF-8", "zh_CN.UTF-8", "C.UTF-8"}) {
    if (setlocale(LC_ALL, name) == nullptr) continue;
    SCOPED_TRACE(name);
    std::mt19937_64 rng(99);
    for (int i = -1; i < 866; ++i) {
      const std::time_t t = i < 0 ? 0 : i < 366 ? 1704067200 + i * 86400 + (i * 3607) % 86400 : rng() % 253402300800ULL;
      char out[iotcloud::kHttpDateBufferSize];
      const size_t length = iotcloud::FormatHttpDate(t, out, sizeof out);
      ASSERT_EQ(length, std::strlen(out));
      ASSERT_EQ(out, PosixHttpDate(t));
    }
    EXPECT_EQ(HttpUtil::UrlEncode(AllBytes()), posixEncoding);
  }
  setlocale(LC_ALL, "C");
}

}  // namespace
