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
#include "gateway-sim/RequestCheck.h"
#include "platform/DefaultPlatform.h"

namespace {

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

TEST(MakeHttpHeaderTest, WritesTheEntriesAndSignsWhatTheGatewayRebuilds) {
  const struct {
    int32_t env;
    bool form;
    const char* stage;  // null: no "x-ca-stage"
    std::string path, body;
  } cases[] = {{0, false, nullptr, "/velmo/account/region/get", "{\"a\":1}"},
               {1, true, "PRE", "/p", "z=%2F+&a=1"},  // neither sorted nor re-encoded
               {2, false, "TEST", "", "ignored"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    RecordingCallback callback("204000001", c.env);
    Headers h = {{"x-ca-key", "old"}, {"x-custom", "kept"}};
    ASSERT_TRUE(HttpUtil(&callback).MakeHttpHeader(c.path, c.body, h, c.form));
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
    // The string-to-sign as the local gateway rebuilds it from the request.
    const std::string rebuilt = iotcloud::gateway::BuildStringToSign(
        {"POST", c.path, {h.begin(), h.end()}, c.body}, {"x-ca-key", "x-ca-nonce", "x-ca-signature-method"});
    EXPECT_EQ(callback.signed_, std::vector<std::string>{rebuilt});
    EXPECT_EQ(h["x-ca-signature"], std::string(rebuilt.rbegin(), rebuilt.rend()));
  }
}

TEST(MakeHttpHeaderTest, FailsWithoutAnApplicationKeyAndLeavesTheHeaders) {
  RecordingCallback noKey("", 0);
  HttpUtil withCallback(&noKey), withoutCallback(nullptr);
  for (HttpUtil* util : {&withCallback, &withoutCallback}) {
    Headers h = {{"x-custom", "kept"}};
    EXPECT_FALSE(util->MakeHttpHeader("/p", "a=1", h, true));
    EXPECT_EQ(h, (Headers{{"x-custom", "kept"}}));
  }
  EXPECT_TRUE(noKey.signed_.empty());
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
       "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"}};
  iotcloud::DefaultPlatformOptions options;
  options.cachePath = ":memory:";
  for (const auto& v : vectors) {
    unsigned char digest[20], base64[29];
    for (size_t i = 0; i < 20; ++i)
      digest[i] = static_cast<unsigned char>(std::stoi(v.digestHex.substr(2 * i, 2), nullptr, 16));
    EVP_EncodeBlock(base64, digest, sizeof digest);
    options.applicationSecret = v.key;
    EXPECT_EQ(iotcloud::DefaultPlatform(options).signString(v.data, 1), reinterpret_cast<char*>(base64)) << v.data;
    EXPECT_EQ(iotcloud::gateway::HmacSha1Base64(v.key, v.data), reinterpret_cast<char*>(base64)) << v.data;
  }
}

}  // namespace
