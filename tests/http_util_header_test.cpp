// Gateway signature headers. The string-to-sign is rebuilt from the headers
// actually produced by the local gateway's own code, written apart from the
// library's; the default platform's signer and the local gateway's are
// checked against RFC 2202.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <map>
#include <string>
#include <vector>

#include "core/io/network/http/HttpUtil.h"
#include "core/support/TovoLog.h"
#include "gateway-sim/RequestCheck.h"
#include "platform/DefaultPlatform.h"

namespace {

using Headers = std::map<std::string, std::string>;

// Records what it is asked to sign; the signature is the text reversed.
struct RecordingCallback final : IHttpUtilCallback {
  RecordingCallback(std::string key, int32_t environment) : appKey(std::move(key)), env(environment) {}
  std::string OnStringSign(std::string text) override {
    signed_.push_back(text);
    return Reversed(text);
  }
  std::string OnAppKeyGet() override { return appKey; }
  std::string OnLanguageGet() override { return "en"; }
  int32_t OnEnvGet() override { return env; }
  static std::string Reversed(const std::string& text) { return {text.rbegin(), text.rend()}; }
  std::string appKey;
  int32_t env;
  std::vector<std::string> signed_;
};

// The string-to-sign as the local gateway rebuilds it from the request it
// received (the list of signed headers is checked above it).
std::string RebuildStringToSign(const Headers& h, const std::string& path, const std::string& body) {
  const iotcloud::gateway::RequestView request{"POST", path, {h.begin(), h.end()}, body};
  return iotcloud::gateway::BuildStringToSign(request, {"x-ca-key", "x-ca-nonce", "x-ca-signature-method"});
}

TEST(MakeHttpHeaderTest, WritesTheEntriesAndSignsWhatTheGatewayRebuilds) {
  const struct {
    int32_t env;
    bool form;
    const char* stage;  // null: no "x-ca-stage"
    std::string path, body;
  } cases[] = {
      {0, false, nullptr, "/velmo/account/region/get", "{\"a\":1}"},
      {1, true, "PRE", "/p", "z=%2F+&a=1"},  // neither sorted nor re-encoded
      {2, false, "TEST", "", "ignored"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("env " + std::to_string(c.env) + (c.form ? " form " : " stream ") + c.body);
    RecordingCallback callback("204000001", c.env);
    HttpUtil util(&callback);
    Headers h = {{"x-ca-key", "old"}, {"x-custom", "kept"}};
    ASSERT_TRUE(util.MakeHttpHeader(c.path, c.body, h, c.form));
    // The date and nonce are checked on the wire by the region lookup tests.
    Headers expected = {{"accept", "application/json; charset=utf-8"},
                        {"date", h["date"]},
                        {"x-custom", "kept"},
                        {"content-type", c.form ? "application/x-www-form-urlencoded; charset=utf-8"
                                                : "application/octet-stream; charset=utf-8"},
                        {"x-ca-key", "204000001"},
                        {"x-ca-nonce", h["x-ca-nonce"]},
                        {"x-ca-signature", h["x-ca-signature"]},
                        {"x-ca-signature-headers", "x-ca-key,x-ca-nonce,x-ca-signature-method"},
                        {"x-ca-signature-method", "HmacSHA1"},
                        {"x-ca-version", "1"}};
    if (c.form) expected["appKey"] = "204000001";
    if (c.stage != nullptr) expected["x-ca-stage"] = c.stage;
    EXPECT_EQ(h, expected);
    const std::string rebuilt = RebuildStringToSign(h, c.path, c.body);
    EXPECT_EQ(callback.signed_, std::vector<std::string>{rebuilt});
    EXPECT_EQ(h["x-ca-signature"], RecordingCallback::Reversed(rebuilt));
  }
}

TEST(MakeHttpHeaderTest, FailsWithoutAnApplicationKey) {
  std::vector<std::string> lines;
  iotcloud::SetLogSink(
      [&](int level, const char* tag, const char*, int, const char* function, const std::string& message) {
        lines.push_back(std::to_string(level) + " " + tag + " " + function + " " + message);
      });
  RecordingCallback noKey("", 0);
  HttpUtil withCallback(&noKey), withoutCallback(nullptr);
  for (HttpUtil* util : {&withCallback, &withoutCallback}) {
    Headers h = {{"x-custom", "kept"}};
    EXPECT_FALSE(util->MakeHttpHeader("/p", "a=1", h, true));
    EXPECT_EQ(h, (Headers{{"x-custom", "kept"}}));
  }
  iotcloud::SetLogSink(nullptr);
  EXPECT_TRUE(noKey.signed_.empty());
  const std::string line = "4 QZ MakeHttpHeader AppKey is invalid.";
  EXPECT_EQ(lines, (std::vector<std::string>{line, line}));
}

// RFC 2202, section 3: the default platform signs with HMAC-SHA1 keyed with
// the application secret, Base64-encoded; the local gateway checks requests
// with its own HMAC-SHA1.
TEST(SignStringTest, BothSignersMatchRfc2202Vectors) {
  const std::string largeKey(80, '\xaa');
  const struct {
    std::string key, data, digestHex;
  } vectors[] = {
      {std::string(20, '\x0b'), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
      {"Jefe", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {std::string(20, '\xaa'), std::string(50, '\xdd'), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
      {largeKey, "Test Using Larger Than Block-Size Key - Hash Key First", "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
      {largeKey, "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
       "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
  };
  for (const auto& v : vectors) {
    unsigned char digest[20], base64[29];
    for (size_t i = 0; i < 20; ++i)
      digest[i] = static_cast<unsigned char>(std::stoi(v.digestHex.substr(2 * i, 2), nullptr, 16));
    EVP_EncodeBlock(base64, digest, sizeof digest);
    iotcloud::DefaultPlatformOptions options;
    options.cachePath = ":memory:";
    options.applicationSecret = v.key;
    const std::string expected = reinterpret_cast<char*>(base64);
    EXPECT_EQ(iotcloud::DefaultPlatform(options).signString(v.data, 1), expected) << v.data;
    EXPECT_EQ(iotcloud::gateway::HmacSha1Base64(v.key, v.data), expected) << v.data;
  }
}

}  // namespace
