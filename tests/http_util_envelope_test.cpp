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

}  // namespace
