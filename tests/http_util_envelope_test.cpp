// Request envelope: member order, the exact text cJSON_Print gives, escaping,
// the token overload, and that the parameters object is always taken over
// (leaks show up under LeakSanitizer).
#include <cJSON.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/io/network/http/HttpUtil.h"
#include "core/support/TovoLog.h"

namespace {

class FixedCallback final : public IHttpUtilCallback {
 public:
  explicit FixedCallback(std::string language) : language_(std::move(language)) {}
  std::string OnStringSign(std::string) override { return {}; }
  std::string OnAppKeyGet() override { return "key"; }
  std::string OnLanguageGet() override {
    ++languageCalls_;
    return language_;
  }
  int32_t OnEnvGet() override { return 0; }

  int languageCalls_ = 0;

 private:
  std::string language_;
};

struct JsonDelete {
  void operator()(cJSON* item) const { cJSON_Delete(item); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDelete>;

std::string Print(const cJSON* item) {
  char* text = cJSON_Print(item);
  std::string out = text != nullptr ? text : "";
  cJSON_free(text);
  return out;
}

cJSON* LookupParams() {
  cJSON* params = cJSON_CreateObject();
  cJSON_AddStringToObject(params, "type", "PHONE");
  cJSON_AddStringToObject(params, "phoneLocationCode", "86");
  cJSON_AddStringToObject(params, "phone", "13800000000");
  return params;
}

// The envelope built independently, members in the order the service reads.
std::string ExpectedEnvelope(const std::string& language, const std::string& apiVer,
                             const std::string& id, cJSON* params, const std::string& token) {
  JsonPtr envelope(cJSON_CreateObject());
  cJSON* request = cJSON_AddObjectToObject(envelope.get(), "request");
  cJSON_AddStringToObject(request, "language", language.c_str());
  cJSON_AddStringToObject(request, "apiVer", apiVer.c_str());
  if (!token.empty()) cJSON_AddStringToObject(request, "iotToken", token.c_str());
  if (params != nullptr) cJSON_AddItemToObject(envelope.get(), "params", params);
  cJSON_AddStringToObject(envelope.get(), "id", id.c_str());
  cJSON_AddStringToObject(envelope.get(), "version", "1.0");
  return Print(envelope.get());
}

TEST(MakeHttpBodyTest, WritesTheFormattedEnvelopeInOrder) {
  FixedCallback callback("en");
  HttpUtil util(&callback);
  std::string out = "previous text";
  util.MakeHttpBody(LookupParams(), "1.0.2", "0123abcd", out);
  EXPECT_EQ(out,
            "{\n"
            "\t\"request\":\t{\n"
            "\t\t\"language\":\t\"en\",\n"
            "\t\t\"apiVer\":\t\"1.0.2\"\n"
            "\t},\n"
            "\t\"params\":\t{\n"
            "\t\t\"type\":\t\"PHONE\",\n"
            "\t\t\"phoneLocationCode\":\t\"86\",\n"
            "\t\t\"phone\":\t\"13800000000\"\n"
            "\t},\n"
            "\t\"id\":\t\"0123abcd\",\n"
            "\t\"version\":\t\"1.0\"\n"
            "}");
  EXPECT_EQ(callback.languageCalls_, 1);
}

TEST(MakeHttpBodyTest, IsByteIdenticalToCJsonPrint) {
  const struct {
    const char* name;
    std::string language, apiVer, id, token;
    bool withParams;
  } cases[] = {
      {"no params", "zh", "1.0.2", "id-1", "", false},
      {"params", "en", "1.0.2", "id-2", "", true},
      {"token", "de", "2.0", "id-3", "token-xyz", true},
      {"token without params", "de", "2.0", "id-4", "t", false},
      {"empty id and apiVer", "en", "", "", "", true},
      {"escaping", "q\"b\\s\x01\n\t/", "\x1f\x7f", "\xC3\xA9\xE4\xB8\xAD", "a\"\\\r", true},
  };
  for (const auto& c : cases) {
    FixedCallback callback(c.language);
    HttpUtil util(&callback);
    std::string out;
    util.MakeHttpBody(c.withParams ? LookupParams() : nullptr, c.apiVer, c.id, out, c.token);
    EXPECT_EQ(out, ExpectedEnvelope(c.language, c.apiVer, c.id,
                                    c.withParams ? LookupParams() : nullptr, c.token))
        << c.name;

    // The text is valid JSON that gives every input back.
    JsonPtr parsed(cJSON_Parse(out.c_str()));
    ASSERT_NE(parsed, nullptr) << c.name;
    const cJSON* request = cJSON_GetObjectItemCaseSensitive(parsed.get(), "request");
    EXPECT_EQ(cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(request, "language")),
              c.language);
    EXPECT_EQ(cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(parsed.get(), "id")), c.id);
    EXPECT_EQ(cJSON_HasObjectItem(request, "iotToken"), !c.token.empty()) << c.name;
  }
}

TEST(MakeHttpBodyTest, EmptyTokenGivesTheFirstOverloadsText) {
  FixedCallback callback("en");
  HttpUtil util(&callback);
  std::string plain, withEmptyToken;
  util.MakeHttpBody(LookupParams(), "1.0.2", "id", plain);
  util.MakeHttpBody(LookupParams(), "1.0.2", "id", withEmptyToken, "");
  EXPECT_EQ(plain, withEmptyToken);
}

// `out` may be one of the inputs; the inputs are read before it is replaced.
TEST(MakeHttpBodyTest, OutMayAliasAnInput) {
  FixedCallback callback("en");
  HttpUtil util(&callback);
  std::string text = "same";
  util.MakeHttpBody(nullptr, text, text, text);
  EXPECT_EQ(text, ExpectedEnvelope("en", "same", "same", nullptr, ""));
}

// Without a callback there is no language to send: no text, params still
// released (LeakSanitizer checks the latter), and one failure line.
TEST(MakeHttpBodyTest, WithoutCallbackLeavesOutEmptyAndReleasesParams) {
  int failures = 0;
  iotcloud::SetLogSink([&](int level, const char*, const char*, int, const char*,
                           const std::string&) { failures += level == 4 ? 1 : 0; });
  HttpUtil util(nullptr);
  std::string out = "previous text";
  util.MakeHttpBody(LookupParams(), "1.0.2", "id", out, "token");
  iotcloud::SetLogSink(nullptr);
  EXPECT_EQ(out, "");
  EXPECT_EQ(failures, 1);
}

}  // namespace
