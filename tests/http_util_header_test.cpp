// Gateway signature headers. The string-to-sign is rebuilt from the headers
// actually produced by the local gateway's own code, written apart from the
// library's; the default platform's signer and the local gateway's are
// checked against RFC 2202.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "core/io/network/http/HttpUtil.h"
#include "gateway-sim/RequestCheck.h"
#include "platform/DefaultPlatform.h"
#include "support/TestUtil.h"

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

}  // namespace
