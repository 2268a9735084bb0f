// Request envelope: byte for byte the service's text (members in its order,
// cJSON's tab layout and escaping); the parameters object is taken over on
// every path (LeakSanitizer sees a leak).
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <string>

#include "core/io/network/http/HttpUtil.h"

namespace {

struct FixedCallback final : IHttpUtilCallback {
  explicit FixedCallback(std::string tag) : language(std::move(tag)) {}
  std::string OnStringSign(std::string) override { return {}; }
  std::string OnAppKeyGet() override { return "key"; }
  std::string OnLanguageGet() override {
    ++languageCalls;
    return language;
  }
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

TEST(MakeHttpBodyTest, MatchesTheGoldenText) {
  FixedCallback callback("de");
  HttpUtil util(&callback);
  std::string out = "previous text";
  util.MakeHttpBody(LookupParams(), "2.0", "id-3", out, "token-xyz");
  EXPECT_EQ(out,
            "{\n\t\"request\":\t{\n\t\t\"language\":\t\"de\",\n\t\t\"apiVer\":\t\"2.0\",\n"
            "\t\t\"iotToken\":\t\"token-xyz\"\n\t},\n"
            "\t\"params\":\t{\n\t\t\"type\":\t\"PHONE\",\n\t\t\"phone\":\t\"13800000000\"\n\t},\n"
            "\t\"id\":\t\"id-3\",\n\t\"version\":\t\"1.0\"\n}");
  EXPECT_EQ(callback.languageCalls, 1);
}

// Control characters, quotes and backslashes are escaped; UTF-8 and DEL pass
// as they are. Without a token or parameters their members are left out, and
// the overload without a token gives the same text.
TEST(MakeHttpBodyTest, EscapesAndLeavesOutWhatIsEmpty) {
  FixedCallback callback("q\"b\\s\x01\n\t/");
  HttpUtil util(&callback);
  std::string withToken, withoutToken;
  util.MakeHttpBody(nullptr, "\x1f\x7f", "\xC3\xA9\xE4\xB8\xAD", withToken, "a\"\\\r");
  EXPECT_EQ(withToken,
            "{\n\t\"request\":\t{\n\t\t\"language\":\t\"q\\\"b\\\\s\\u0001\\n\\t/\",\n"
            "\t\t\"apiVer\":\t\"\\u001f\x7f\",\n\t\t\"iotToken\":\t\"a\\\"\\\\\\r\"\n\t},\n"
            "\t\"id\":\t\"\xC3\xA9\xE4\xB8\xAD\",\n\t\"version\":\t\"1.0\"\n}");
  util.MakeHttpBody(nullptr, "\x1f\x7f", "\xC3\xA9\xE4\xB8\xAD", withoutToken);
  EXPECT_EQ(withoutToken.find("iotToken"), std::string::npos);
  std::string emptyToken;
  util.MakeHttpBody(nullptr, "\x1f\x7f", "\xC3\xA9\xE4\xB8\xAD", emptyToken, "");
  EXPECT_EQ(emptyToken, withoutToken);
}

// `out` may be one of the inputs: they are read before it is replaced.
TEST(MakeHttpBodyTest, OutMayAliasAnInput) {
  FixedCallback callback("en");
  HttpUtil util(&callback);
  std::string text = "same";
  util.MakeHttpBody(nullptr, text, text, text);
  EXPECT_EQ(text,
            "{\n\t\"request\":\t{\n\t\t\"language\":\t\"en\",\n\t\t\"apiVer\":\t\"same\"\n\t},\n"
            "\t\"id\":\t\"same\",\n\t\"version\":\t\"1.0\"\n}");
}

TEST(MakeHttpBodyTest, WithoutCallbackLeavesOutEmptyAndReleasesParams) {
  HttpUtil util(nullptr);
  std::string out = "previous text";
  util.MakeHttpBody(LookupParams(), "1.0.2", "id", out, "token");
  EXPECT_EQ(out, "");
}

}  // namespace
