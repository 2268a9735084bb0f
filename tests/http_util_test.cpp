// The request builder's pieces, each against a reference written apart from
// it:
// - text encoders: URL encoding and decoding, Base64 (against the RFC 4648
//   vectors and OpenSSL's encoder) and the HTTP date (against Python's
//   email.utils.formatdate and libcurl's date parser, whatever the process
//   locale);
// - the request envelope: byte for byte the service's text (members in its
//   order, cJSON's tab layout and escaping); the parameters object is taken
//   over on every path (LeakSanitizer sees a leak);
// - the gateway signature headers: the string-to-sign is rebuilt from the
//   headers actually produced by the local gateway's own code, written apart
//   from the library's; the default platform's signer and the local
//   gateway's are checked against RFC 2202;
// - RSA public-key encryption: every ciphertext is decrypted by the openssl
//   command-line tool with the matching test private key (tests/data/rsa).
#include <cjson/cJSON.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <locale.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/io/network/http/HttpUtil.h"
#include "core/io/network/http/internal/Base64.h"
#include "core/io/network/http/internal/HttpDate.h"
#include "gateway-sim/RequestCheck.h"
#include "platform/DefaultPlatform.h"
#include "support/TestUtil.h"

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

// Instants around leap days, 2038, the century and 400-year rules, after
// 3000 (where the Windows runtime's gmtime gives up) and the last second of
// 9999, as Python's email.utils.formatdate(t, usegmt=True) writes them;
// random instants up to 9999 read back to themselves by libcurl's date
// parser. Under the POSIX locale and under any other one installed (a host
// that calls setlocale must not change the date or the URL encoding).
// HttpUtil::GetGmtTime formats the current time with it; the local gateway
// checks that date against its clock in every region lookup test.
TEST(HttpDateTest, MatchesOutsideReferencesUnderAnyLocale) {
  const std::pair<std::time_t, const char*> python[] = {
      {0, "Thu, 01 Jan 1970 00:00:00 GMT"},           {-1, "Wed, 31 Dec 1969 23:59:59 GMT"},
      {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},   {951868799, "Tue, 29 Feb 2000 23:59:59 GMT"},
      {1704153599, "Mon, 01 Jan 2024 23:59:59 GMT"},  {1709164800, "Thu, 29 Feb 2024 00:00:00 GMT"},
      {2147483647, "Tue, 19 Jan 2038 03:14:07 GMT"},  {2147483648, "Tue, 19 Jan 2038 03:14:08 GMT"},
      {4102444799, "Thu, 31 Dec 2099 23:59:59 GMT"},  {4107542400, "Mon, 01 Mar 2100 00:00:00 GMT"},
      {13569465600, "Sat, 01 Jan 2400 00:00:00 GMT"}, {32503680000, "Wed, 01 Jan 3000 00:00:00 GMT"},
      {32535215999, "Wed, 31 Dec 3000 23:59:59 GMT"}, {95617584000, "Wed, 01 Jan 5000 00:00:00 GMT"},
      {253402300799, "Fri, 31 Dec 9999 23:59:59 GMT"}};
  const std::string posixEncoding = HttpUtil::UrlEncode(AllBytes());
  for (const char* name : {"C", "de_DE.UTF-8", "fr_FR.UTF-8", "ru_RU.UTF-8", "zh_CN.UTF-8", "C.UTF-8",
                           "German_Germany.1252", "Russian_Russia.1251"}) {
    if (setlocale(LC_ALL, name) == nullptr) continue;
    SCOPED_TRACE(name);
    char out[iotcloud::kHttpDateBufferSize];
    for (const auto& [t, text] : python) {
      ASSERT_EQ(iotcloud::FormatHttpDate(t, out, sizeof out), std::strlen(text));
      ASSERT_STREQ(out, text);
    }
    std::mt19937_64 rng(99);
    for (int i = 0; i < 500; ++i) {
      const std::time_t t = static_cast<std::time_t>(rng() % 253402300800ULL);
      ASSERT_EQ(iotcloud::FormatHttpDate(t, out, sizeof out), 29u) << t;
      ASSERT_EQ(curl_getdate(out, nullptr), t) << out;
    }
    EXPECT_EQ(HttpUtil::UrlEncode(AllBytes()), posixEncoding);
  }
  setlocale(LC_ALL, "C");
}

struct FixedCallback final : IHttpUtilCallback {
  explicit FixedCallback(std::string tag) : language(std::move(tag)) {}
  std::string OnStringSign(std::string) override { return {}; }
  std::string OnAppKeyGet() override { return "key"; }
  std::string OnLanguageGet() override { return language; }
  int32_t OnEnvGet() override { return 0; }
  std::string language;
};

// Control characters, quotes and backslashes are escaped; UTF-8 and DEL pass
// as they are. Without a token or parameters their members are left out (the
// overload without a token gives the same text), and `out` may be one of the
// inputs: they are read before it is replaced.
TEST(MakeHttpBodyTest, MatchesTheGoldenTexts) {
  FixedCallback de("de"), odd("q\"b\\s\x01\n\t/"), en("en");
  std::string full = "previous text", escaped, withoutToken, alias = "same", none = "previous text";
  cJSON* params = cJSON_CreateObject();
  cJSON_AddStringToObject(params, "type", "PHONE");
  cJSON_AddStringToObject(params, "phone", "13800000000");
  HttpUtil(&de).MakeHttpBody(params, "2.0", "id-3", full, "token-xyz");
  EXPECT_EQ(full,
            "{\n\t\"request\":\t{\n\t\t\"language\":\t\"de\",\n\t\t\"apiVer\":\t\"2.0\",\n"
            "\t\t\"iotToken\":\t\"token-xyz\"\n\t},\n"
            "\t\"params\":\t{\n\t\t\"type\":\t\"PHONE\",\n\t\t\"phone\":\t\"13800000000\"\n\t},\n"
            "\t\"id\":\t\"id-3\",\n\t\"version\":\t\"1.0\"\n}");
  HttpUtil util(&odd);
  util.MakeHttpBody(nullptr, "\x1f\x7f", "\xC3\xA9\xE4\xB8\xAD", escaped, "a\"\\\r");
  EXPECT_EQ(escaped,
            "{\n\t\"request\":\t{\n\t\t\"language\":\t\"q\\\"b\\\\s\\u0001\\n\\t/\",\n"
            "\t\t\"apiVer\":\t\"\\u001f\x7f\",\n\t\t\"iotToken\":\t\"a\\\"\\\\\\r\"\n\t},\n"
            "\t\"id\":\t\"\xC3\xA9\xE4\xB8\xAD\",\n\t\"version\":\t\"1.0\"\n}");
  util.MakeHttpBody(nullptr, "v", "id", withoutToken);
  util.MakeHttpBody(nullptr, "v", "id", escaped, "");
  EXPECT_EQ(escaped, withoutToken);
  HttpUtil(&en).MakeHttpBody(nullptr, alias, alias, alias);
  EXPECT_EQ(alias,
            "{\n\t\"request\":\t{\n\t\t\"language\":\t\"en\",\n\t\t\"apiVer\":\t\"same\"\n\t},\n"
            "\t\"id\":\t\"same\",\n\t\"version\":\t\"1.0\"\n}");
  HttpUtil(nullptr).MakeHttpBody(cJSON_CreateObject(), "1.0.2", "id", none, "token");  // releases the params
  EXPECT_EQ(none, "");
}

using Headers = std::map<std::string, std::string>;

// Records what it is asked to sign; the signature is the text reversed.
struct RecordingCallback final : IHttpUtilCallback {
  RecordingCallback(std::string key, int32_t environment) : appKey(std::move(key)), env(environment) {}
  std::string OnStringSign(std::string text) override {
    signed_.push_back(text);
    return {text.rbegin(), text.rend()};
  }
  std::string OnAppKeyGet() override { return appKey; }
  std::string OnLanguageGet() override { return "en"; }
  int32_t OnEnvGet() override { return env; }
  std::string appKey;
  int32_t env;
  std::vector<std::string> signed_;
};

// The date and nonce are checked on the wire by the region lookup tests.
TEST(MakeHttpHeaderTest, WritesTheEntriesAndSignsWhatTheGatewayRebuilds) {
  // Environment, form or stream, the stage it gives (null: no "x-ca-stage"), path, body.
  const std::tuple<int32_t, bool, const char*, std::string, std::string> cases[] = {
      {0, false, nullptr, "/velmo/account/region/get", "{\"a\":1}"},
      {1, true, "PRE", "/p", "z=%2F+&a=1"},  // neither sorted nor re-encoded
      {2, false, "TEST", "", "ignored"}};
  for (const auto& [env, form, stage, path, body] : cases) {
    SCOPED_TRACE(body);
    RecordingCallback callback("204000001", env);
    Headers h = {{"x-ca-key", "old"}, {"x-custom", "kept"}};
    ASSERT_TRUE(HttpUtil(&callback).MakeHttpHeader(path, body, h, form));
    // clang-format off
    Headers expected = {
        {"accept", "application/json; charset=utf-8"}, {"date", h["date"]}, {"x-custom", "kept"},
        {"content-type", form ? "application/x-www-form-urlencoded; charset=utf-8"
                              : "application/octet-stream; charset=utf-8"},
        {"x-ca-key", "204000001"}, {"x-ca-nonce", h["x-ca-nonce"]}, {"x-ca-signature", h["x-ca-signature"]},
        {"x-ca-signature-headers", "x-ca-key,x-ca-nonce,x-ca-signature-method"},
        {"x-ca-signature-method", "HmacSHA1"}, {"x-ca-version", "1"}};
    // clang-format on
    if (form) expected["appKey"] = "204000001";
    if (stage != nullptr) expected["x-ca-stage"] = stage;
    EXPECT_EQ(h, expected);
    // The string-to-sign as the local gateway rebuilds it from the request.
    const std::string rebuilt = iotcloud::gateway::BuildStringToSign(
        {"POST", path, {h.begin(), h.end()}, body}, {"x-ca-key", "x-ca-nonce", "x-ca-signature-method"});
    EXPECT_EQ(callback.signed_, std::vector<std::string>{rebuilt});
    EXPECT_EQ(h["x-ca-signature"], std::string(rebuilt.rbegin(), rebuilt.rend()));
  }
}

// No application key, from the callback or for want of one: no signature,
// the headers untouched, and one error line each naming what is missing.
TEST(MakeHttpHeaderTest, FailsWithoutAnApplicationKeyAndLeavesTheHeaders) {
  iotcloud_test::LogCapture log;
  RecordingCallback noKey("", 0);
  HttpUtil withCallback(&noKey), withoutCallback(nullptr);
  for (HttpUtil* util : {&withCallback, &withoutCallback}) {
    Headers h = {{"x-custom", "kept"}};
    EXPECT_FALSE(util->MakeHttpHeader("/p", "a=1", h, true));
    EXPECT_EQ(h, (Headers{{"x-custom", "kept"}}));
  }
  EXPECT_TRUE(noKey.signed_.empty());
  EXPECT_EQ(log.Count("AppKey"), 2u);
}

// RFC 2202, section 3: the default platform signs with HMAC-SHA1 keyed with
// the application secret, Base64-encoded; the local gateway checks requests
// with its own HMAC-SHA1.
TEST(SignStringTest, BothSignersMatchRfc2202Vectors) {
  const std::string largeKey(80, '\xaa');
  const std::tuple<std::string, std::string, std::string> vectors[] = {
      // key, data, digest
      {std::string(20, '\x0b'), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
      {"Jefe", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {std::string(20, '\xaa'), std::string(50, '\xdd'), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
      {largeKey, "Test Using Larger Than Block-Size Key - Hash Key First", "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
      {largeKey, "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
       "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"}};
  iotcloud::DefaultPlatformOptions options;
  options.cachePath = ":memory:";
  for (const auto& [key, data, digestHex] : vectors) {
    unsigned char digest[20], base64[29];
    for (size_t i = 0; i < 20; ++i) digest[i] = std::stoi(digestHex.substr(2 * i, 2), nullptr, 16);
    EVP_EncodeBlock(base64, digest, sizeof digest);
    options.applicationSecret = key;
    EXPECT_EQ(iotcloud::DefaultPlatform(options).signString(data, 1), reinterpret_cast<char*>(base64)) << data;
    EXPECT_EQ(iotcloud::gateway::HmacSha1Base64(key, data), reinterpret_cast<char*>(base64)) << data;
  }
}

std::string DataPath(const std::string& name) {
  const char* dir = std::getenv("IOTCLOUD_TEST_DATA");
  return std::string(dir != nullptr ? dir : "tests/data") + "/rsa/" + name;
}

std::string ReadKey(const std::string& name) { return iotcloud_test::ReadFile(DataPath(name)); }

// PKCS#1 v1.5 decryption of Base64 text by the openssl tool.
std::string ToolDecrypt(const std::string& base64, const std::string& privateKey) {
  const std::string command = "printf %s '" + base64 + "' | openssl base64 -d -A | openssl pkeyutl -decrypt " +
                              "-pkeyopt rsa_padding_mode:pkcs1 -inkey '" + DataPath(privateKey) + "' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  std::string plain;
  char buffer[512];
  for (size_t n; pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) plain.append(buffer, n);
  return pipe != nullptr && pclose(pipe) == 0 ? plain : "<failed>";
}

class RsaEncodeTest : public testing::Test {
 protected:
  void SetUp() override {
    if (std::system("openssl version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no openssl tool";
  }
  void TearDown() override { public_key = builtIn_; }
  void UseKey(std::string pem) {  // kept alive by the fixture
    keyText_ = std::move(pem);
    public_key = keyText_.c_str();
  }
  const char* const builtIn_ = public_key;
  std::string keyText_;
};

// The built-in key, the "RSA PUBLIC KEY" form, 64-column lines, and the largest
// key whose text still fits: up to the padding limit and not a byte more.
TEST_F(RsaEncodeTest, EncryptsUnderEachUsableKey) {
  const struct {
    const char *publicPem, *privatePem;  // null publicPem: the built-in key
    size_t textLength, maxData;
  } cases[] = {{nullptr, "builtin_2048_private.pem", 344, 245},
               {"pkcs1_2048_public.pem", "pkcs1_2048_private.pem", 344, 245},
               {"builtin_2048_public.pem", "builtin_2048_private.pem", 344, 245},
               {"rsa_3048_public.pem", "rsa_3048_private.pem", 508, 370}};
  std::string data(371, '\0');  // every byte value, zero included
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 37 + 11);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.privatePem);
    if (c.publicPem != nullptr) UseKey(ReadKey(c.publicPem));
    for (const size_t length : {size_t{0}, size_t{7}, c.maxData}) {
      const std::string text = HttpUtil::RsaEncode(data.data(), static_cast<int>(length));
      ASSERT_EQ(text.size(), c.textLength) << length;
      EXPECT_EQ(ToolDecrypt(text, c.privatePem), data.substr(0, length)) << length;
    }
    EXPECT_EQ(HttpUtil::RsaEncode(data.data(), static_cast<int>(c.maxData + 1)), "");
  }
  public_key = builtIn_;
  EXPECT_NE(HttpUtil::RsaEncode("secret", 6), HttpUtil::RsaEncode("secret", 6));  // random padding
  EXPECT_EQ(HttpUtil::RsaEncode("secret", -1), "");
  EXPECT_EQ(HttpUtil::RsaEncode(nullptr, 5), "");
}

// Key texts that must give the empty result, never more than the work areas
// hold (ASan watches the larger keys). 3072 bits: Base64 would need 512
// characters; 4096: the ciphertext fills its area; 8192: larger than the area.
// Then another key type, stray or missing text, a wrong or lower-case label, a
// damaged body, and bodies under the other key form's label.
TEST_F(RsaEncodeTest, GivesEmptyTextForUnusableKeys) {
  const std::string spki = std::string(builtIn_).substr(27, 392), pkcs1 = ReadKey("pkcs1_2048_public.pem"),
                    ec = ReadKey("ec_p256_public.pem");
  // clang-format off
  const std::string cases[] = {ReadKey("rsa_3072_public.pem"), ReadKey("rsa_4096_public.pem"),
      ReadKey("rsa_8192_public.pem"), ec, " " + std::string(builtIn_), "",
      "-----BEGIN CERTIFICATE-----\n" + spki + "\n-----END CERTIFICATE-----",
      "-----begin public key-----\n" + spki + "\n-----end public key-----",
      "-----BEGIN PUBLIC KEY-----\nAAAA" + spki.substr(4) + "\n-----END PUBLIC KEY-----",
      "-----BEGIN RSA PUBLIC KEY-----\n" + ec.substr(27, ec.find("-----END") - 27) + "-----END RSA PUBLIC KEY-----",
      "-----BEGIN PUBLIC KEY-----\n" + pkcs1.substr(31, pkcs1.find("-----END") - 31) + "-----END PUBLIC KEY-----"};
  // clang-format on
  for (const std::string& text : cases) {
    UseKey(text);
    EXPECT_EQ(HttpUtil::RsaEncode("secret", 6), "") << text;
  }
  public_key = nullptr;
  EXPECT_EQ(HttpUtil::RsaEncode("secret", 6), "");
}

// No shared work area: concurrent calls each get their own ciphertext.
TEST_F(RsaEncodeTest, ConcurrentCallsAreIndependent) {
  const std::string plain = "0123456789abcdef";
  std::vector<std::string> texts(plain.size());
  std::vector<std::thread> threads;
  for (size_t t = 0; t < 4; ++t)
    threads.emplace_back([t, &texts, &plain] {
      for (size_t i = t; i < texts.size(); i += 4) texts[i] = HttpUtil::RsaEncode(&plain[i], 1);
    });
  for (std::thread& thread : threads) thread.join();
  for (size_t i = 0; i < texts.size(); ++i)
    EXPECT_EQ(ToolDecrypt(texts[i], "builtin_2048_private.pem"), plain.substr(i, 1));
}

}  // namespace
