// Gateway signature headers. The string-to-sign is rebuilt here from the
// headers actually produced, the way a gateway rebuilds it from a request,
// then signed with HMAC-SHA1 and compared with "x-ca-signature". The signer
// (the default platform's signString) is checked against RFC 2202.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <ctime>
#include <locale.h>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/io/network/http/HttpUtil.h"
#include "core/support/TovoLog.h"
#include "platform/DefaultPlatform.h"

namespace {

using Headers = std::map<std::string, std::string>;

constexpr char kAppKey[] = "204000001";
constexpr char kSecret[] = "gateway-test-secret";

// Signs through the default platform, as a host with no platform of its own
// does, and records what it was asked to sign.
class PlatformCallback final : public IHttpUtilCallback {
 public:
  explicit PlatformCallback(std::string appKey = kAppKey, int32_t env = 0)
      : platform_(MakeOptions(appKey)), env_(env) {}

  std::string OnStringSign(std::string text) override {
    signed_.push_back(text);
    return platform_.signString(std::move(text), 1);
  }
  std::string OnAppKeyGet() override { return platform_.getApplicationKey(); }
  std::string OnLanguageGet() override { return "en"; }
  int32_t OnEnvGet() override { return env_; }

  std::vector<std::string> signed_;

 private:
  static iotcloud::DefaultPlatformOptions MakeOptions(const std::string& appKey) {
    iotcloud::DefaultPlatformOptions options;
    options.cachePath = ":memory:";
    options.applicationKey = appKey;
    options.applicationSecret = kSecret;
    return options;
  }

  iotcloud::DefaultPlatform platform_;
  int32_t env_;
};

std::string Base64Of(const unsigned char* data, size_t length) {
  std::vector<unsigned char> text(4 * ((length + 2) / 3) + 1);
  EVP_EncodeBlock(text.data(), data, static_cast<int>(length));
  return reinterpret_cast<const char*>(text.data());
}

std::string HmacSha1Base64(const std::string& key, const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  size_t length = 0;
  EXPECT_NE(EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA1", nullptr, key.data(), key.size(),
                      reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest,
                      sizeof digest, &length),
            nullptr);
  return Base64Of(digest, length);
}

// The string-to-sign as a gateway rebuilds it from the request it received.
std::string RebuildStringToSign(const Headers& h, const std::string& path, const std::string& body) {
  std::string s = "POST\n" + h.at("accept") + "\n\n" + h.at("content-type") + "\n" + h.at("date") + "\n";
  std::stringstream names(h.at("x-ca-signature-headers"));
  for (std::string name; std::getline(names, name, ',');) s += name + ":" + h.at(name) + "\n";
  s += path;
  if (h.at("content-type").rfind("application/x-www-form-urlencoded", 0) == 0) s += "?" + body;
  return s;
}

std::vector<std::string> KeysOf(const Headers& h) {
  std::vector<std::string> keys;
  for (const auto& entry : h) keys.push_back(entry.first);
  return keys;
}

// The HTTP date of some second in [before, after], in the POSIX locale.
bool IsDateBetween(const std::string& date, std::time_t before, std::time_t after) {
  locale_t posix = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  bool found = false;
  for (std::time_t t = before; t <= after && !found; ++t) {
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[64] = {};
    strftime_l(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &utc, posix);
    found = date == text;
  }
  freelocale(posix);
  return found;
}

TEST(MakeHttpHeaderTest, WritesTheEntriesForEachEnvironmentAndForm) {
  // The order in which the entries are sent.
  const std::vector<std::string> sendOrder = {
      "accept",         "appKey",         "content-type",           "date",
      "x-ca-key",       "x-ca-nonce",     "x-ca-signature",         "x-ca-signature-headers",
      "x-ca-signature-method", "x-ca-stage", "x-ca-version"};
  const struct {
    int32_t env;
    bool form;
    const char* stage;  // null: no "x-ca-stage"
  } cases[] = {{0, false, nullptr}, {1, false, "PRE"},  {2, false, "TEST"}, {3, false, nullptr},
               {-1, false, nullptr}, {0, true, nullptr}, {1, true, "PRE"},  {2, true, "TEST"}};
  for (const auto& c : cases) {
    SCOPED_TRACE("env " + std::to_string(c.env) + (c.form ? " form" : " stream"));
    PlatformCallback callback(kAppKey, c.env);
    HttpUtil util(&callback);
    Headers h;
    const std::string path = "/velmo/account/region/get";
    const std::string body = c.form ? "a=1&b=2" : "{\"id\":\"x\"}";
    const std::time_t before = std::time(nullptr);
    ASSERT_TRUE(util.MakeHttpHeader(path, body, h, c.form));
    const std::time_t after = std::time(nullptr);

    std::vector<std::string> expectedKeys;
    for (const std::string& key : sendOrder) {
      if ((key != "appKey" || c.form) && (key != "x-ca-stage" || c.stage != nullptr)) {
        expectedKeys.push_back(key);
      }
    }
    EXPECT_EQ(KeysOf(h), expectedKeys);

    EXPECT_EQ(h["accept"], "application/json; charset=utf-8");
    EXPECT_EQ(h["content-type"], c.form ? "application/x-www-form-urlencoded; charset=utf-8"
                                        : "application/octet-stream; charset=utf-8");
    EXPECT_EQ(h["x-ca-key"], kAppKey);
    if (c.form) {
      EXPECT_EQ(h["appKey"], kAppKey);
    }
    if (c.stage != nullptr) {
      EXPECT_EQ(h["x-ca-stage"], c.stage);
    }
    EXPECT_EQ(h["x-ca-signature-method"], "HmacSHA1");
    EXPECT_EQ(h["x-ca-signature-headers"], "x-ca-key,x-ca-nonce,x-ca-signature-method");
    EXPECT_EQ(h["x-ca-version"], "1");
    EXPECT_TRUE(IsDateBetween(h["date"], before, after)) << h["date"];
    EXPECT_EQ(h["x-ca-nonce"].size(), 32u);
    EXPECT_EQ(h["x-ca-nonce"].find_first_not_of("0123456789abcdef"), std::string::npos);

    const std::string rebuilt = RebuildStringToSign(h, path, body);
    ASSERT_EQ(callback.signed_.size(), 1u);
    EXPECT_EQ(callback.signed_[0], rebuilt);
    EXPECT_EQ(h["x-ca-signature"], HmacSha1Base64(kSecret, rebuilt));
  }
}

// The nine lines exactly, for the path and body forms that matter.
TEST(MakeHttpHeaderTest, SignsTheNineLines) {
  const struct {
    bool form;
    std::string path, body, lastLine;
  } cases[] = {
      {false, "/velmo/account/region/get", "{\"a\":1}", "/velmo/account/region/get"},
      {true, "/p", "a=1&b=2", "/p?a=1&b=2"},
      {true, "/p", "", "/p?"},
      {true, "/p", "z=%2F+&a=1", "/p?z=%2F+&a=1"},  // neither sorted nor re-encoded
      {false, "", "ignored", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path + " " + c.body);
    PlatformCallback callback;
    HttpUtil util(&callback);
    Headers h;
    ASSERT_TRUE(util.MakeHttpHeader(c.path, c.body, h, c.form));
    const std::string contentType = c.form ? "application/x-www-form-urlencoded; charset=utf-8"
                                           : "application/octet-stream; charset=utf-8";
    ASSERT_EQ(callback.signed_.size(), 1u);
    EXPECT_EQ(callback.signed_[0], "POST\n"
                                   "application/json; charset=utf-8\n"
                                   "\n" +
                                       contentType + "\n" + h["date"] + "\n" +
                                       "x-ca-key:204000001\n"
                                       "x-ca-nonce:" +
                                       h["x-ca-nonce"] + "\n" +
                                       "x-ca-signature-method:HmacSHA1\n" + c.lastLine);
  }
}

TEST(MakeHttpHeaderTest, EachCallDrawsANewNonce) {
  PlatformCallback callback;
  HttpUtil util(&callback);
  Headers first, second;
  ASSERT_TRUE(util.MakeHttpHeader("/p", "", first, false));
  ASSERT_TRUE(util.MakeHttpHeader("/p", "", second, false));
  EXPECT_NE(first["x-ca-nonce"], second["x-ca-nonce"]);
  EXPECT_NE(first["x-ca-signature"], second["x-ca-signature"]);
}

TEST(MakeHttpHeaderTest, ReplacesItsEntriesAndKeepsOthers) {
  PlatformCallback callback(kAppKey, 0);
  HttpUtil util(&callback);
  Headers h = {{"x-ca-key", "old"}, {"date", "old"}, {"x-ca-stage", "KEPT"}, {"x-custom", "kept"}};
  ASSERT_TRUE(util.MakeHttpHeader("/p", "", h, false));
  EXPECT_EQ(h["x-ca-key"], kAppKey);
  EXPECT_NE(h["date"], "old");
  EXPECT_EQ(h["x-ca-stage"], "KEPT");  // production writes no stage
  EXPECT_EQ(h["x-custom"], "kept");
  EXPECT_EQ(h.size(), 11u);

  PlatformCallback testStage(kAppKey, 2);
  HttpUtil testUtil(&testStage);
  ASSERT_TRUE(testUtil.MakeHttpHeader("/p", "", h, false));
  EXPECT_EQ(h["x-ca-stage"], "TEST");
}

TEST(MakeHttpHeaderTest, FailsWithoutAnApplicationKey) {
  struct Line {
    int level;
    std::string tag, function, message;
  };
  std::vector<Line> lines;
  iotcloud::SetLogSink([&](int level, const char* tag, const char*, int, const char* function,
                           const std::string& message) {
    lines.push_back({level, tag, function, message});
  });

  PlatformCallback noKey("");
  HttpUtil withCallback(&noKey);
  HttpUtil withoutCallback(nullptr);
  const Headers before = {{"x-custom", "kept"}};
  for (HttpUtil* util : {&withCallback, &withoutCallback}) {
    Headers h = before;
    EXPECT_FALSE(util->MakeHttpHeader("/p", "a=1", h, true));
    EXPECT_EQ(h, before);  // not even "x-ca-nonce"
  }
  iotcloud::SetLogSink(nullptr);

  EXPECT_TRUE(noKey.signed_.empty());
  ASSERT_EQ(lines.size(), 2u);
  for (const Line& line : lines) {
    EXPECT_EQ(line.level, 4);
    EXPECT_EQ(line.tag, "QZ");
    EXPECT_EQ(line.function, "MakeHttpHeader");
    EXPECT_EQ(line.message, "AppKey is invalid.");
  }
}

TEST(MakeHttpHeaderTest, AnEmptySignatureIsStillWritten) {
  class Unsigned final : public IHttpUtilCallback {
   public:
    std::string OnStringSign(std::string) override { return {}; }
    std::string OnAppKeyGet() override { return "k"; }
    std::string OnLanguageGet() override { return "en"; }
    int32_t OnEnvGet() override { return 0; }
  } callback;
  HttpUtil util(&callback);
  Headers h;
  EXPECT_TRUE(util.MakeHttpHeader("/p", "", h, false));
  ASSERT_EQ(h.count("x-ca-signature"), 1u);
  EXPECT_EQ(h["x-ca-signature"], "");
}

// RFC 2202, section 3: the platform's signer is HMAC-SHA1 keyed with the
// application secret, Base64-encoded.
TEST(SignStringTest, MatchesRfc2202Vectors) {
  std::string key4;
  for (int i = 1; i <= 25; ++i) key4.push_back(static_cast<char>(i));
  const struct {
    std::string key, data, digestHex;
  } vectors[] = {
      {std::string(20, '\x0b'), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
      {"Jefe", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {std::string(20, '\xaa'), std::string(50, '\xdd'), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
      {key4, std::string(50, '\xcd'), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
      {std::string(20, '\x0c'), "Test With Truncation", "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
      {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
      {std::string(80, '\xaa'),
       "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
       "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
  };
  for (const auto& v : vectors) {
    unsigned char digest[20];
    for (size_t i = 0; i < 20; ++i) {
      digest[i] = static_cast<unsigned char>(std::stoi(v.digestHex.substr(2 * i, 2), nullptr, 16));
    }
    iotcloud::DefaultPlatformOptions options;
    options.cachePath = ":memory:";
    options.applicationSecret = v.key;
    iotcloud::DefaultPlatform platform(options);
    EXPECT_EQ(platform.signString(v.data, 1), Base64Of(digest, sizeof digest)) << v.data;
  }
}

}  // namespace
