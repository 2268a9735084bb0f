// Request envelope: byte for byte the text cJSON_Print gives for the members
// in the service's order, escaping included; the parameters object is taken
// over on every path (LeakSanitizer sees a leak).
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/io/network/http/HttpUtil.h"

namespace {

struct FixedCallback final : IHttpUtilCallback {
  explicit FixedCallback(std::string tag) : language(std::move(tag)) {}
  std::string OnStringSign(std::string) override { return {}; }
  std::string OnAppKeyGet() override { return "key"; }
  std::string OnLanguageGet() override { ++languageCalls; return language; }
  int32_t OnEnvGet() override { return 0; }
  std::string language;
  int languageCalls = 0;
};

cJSON* LookupParams() {
  cJSON* params = cJSON_CreateObject();
  cJSON_AddStringToObject(params, "type", "PHONE");
  cJSON_AddStringToObject(params, "phone", "13800000000");
  return params;
}

std::string ExpectedEnvelope(const std::string& language, const std::string& apiVer, const std::string& id,
                             cJSON* params, const std::string& token) {
  std::unique_ptr<cJSON, decltype(&cJSON_Delete)> envelope(cJSON_CreateObject(), &cJSON_Delete);
  cJSON* request = cJSON_AddObjectToObject(envelope.get(), "request");
  cJSON_AddStringToObject(request, "language", language.c_str());
  cJSON_AddStringToObject(request, "apiVer", apiVer.c_str());
  if (!token.empty()) cJSON_AddStringToObject(request, "iotToken", token.c_str());
  if (params != nullptr) cJSON_AddItemToObject(envelope.get(), "params", params);
  cJSON_AddStringToObject(envelope.get(), "id", id.c_str());
  cJSON_AddStringToObject(envelope.get(), "version", "1.0");
  std::unique_ptr<char, decltype(&cJSON_free)> text(cJSON_Print(envelope.get()), &cJSON_free);
  return text.get();
}

TEST(MakeHttpBodyTest, IsByteIdenticalToCJsonPrint) {
  const struct {
    std::string language, apiVer, id, token;
    bool withParams;
  } cases[] = {
      {"zh", "1.0.2", "id-1", "", false},
      {"en", "1.0.2", "id-2", "", true},
      {"de", "2.0", "id-3", "token-xyz", true},
      {"de", "2.0", "id-4", "t", false},
      {"en", "", "", "", true},
      {"q\"b\\s\x01\n\t/", "\x1f\x7f", "\xC3\xA9\xE4\xB8\xAD", "a\"\\\r", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    FixedCallback callback(c.language);
    HttpUtil util(&callback);
    std::string out = "previous text";
    util.MakeHttpBody(c.withParams ? LookupParams() : nullptr, c.apiVer, c.id, out, c.token);
    EXPECT_EQ(out, ExpectedEnvelope(c.language, c.apiVer, c.id, c.withParams ? LookupParams() : nullptr, c.token));
    EXPECT_EQ(callback.languageCalls, 1);
    if (c.token.empty()) {  // the overload without a token gives the same text
      std::string plain;
      util.MakeHttpBody(c.withParams ? LookupParams() : nullptr, c.apiVer, c.id, plain);
      EXPECT_EQ(plain, out);
    }
  }
}

// `out` may be one of the inputs: they are read before it is replaced.
TEST(MakeHttpBodyTest, OutMayAliasAnInput) {
  FixedCallback callback("en");
  HttpUtil util(&callback);
  std::string text = "same";
  util.MakeHttpBody(nullptr, text, text, text);
  EXPECT_EQ(text, ExpectedEnvelope("en", "same", "same", nullptr, ""));
}

TEST(MakeHttpBodyTest, WithoutCallbackLeavesOutEmptyAndReleasesParams) {
  HttpUtil util(nullptr);
  std::string out = "previous text";
  util.MakeHttpBody(LookupParams(), "1.0.2", "id", out, "token");
  EXPECT_EQ(out, "");
}

}  // namespace
