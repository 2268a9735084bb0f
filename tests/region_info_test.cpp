#include "core/api/smart/framework/IotRegionInfo.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "support/TestUtil.h"

namespace {

using iotcloud_test::LogCapture;

// The seven members in field order.
const struct Field {
  const char* key;
  void (IotRegionInfo::*set)(const std::string&);
} kFields[] = {
    {"regionId", &IotRegionInfo::setRegionId},
    {"mqttEndpoint", &IotRegionInfo::setMqttEndpoint},
    {"apiGatewayEndpoint", &IotRegionInfo::setApiGatewayEndpoint},
    {"oaApiGatewayEndpoint", &IotRegionInfo::setOaApiGatewayEndpoint},
    {"regionEnglishName", &IotRegionInfo::setRegionEnglishName},
    {"pushChannelEndpoint", &IotRegionInfo::setPushChannelEndpoint},
    {"shortRegionId", &IotRegionInfo::setShortRegionId},
};

// A record whose every field differs from the defaults and from the others.
IotRegionInfo Marked(const std::string& mark) {
  IotRegionInfo record;
  for (const Field& field : kFields) (record.*field.set)(mark + "-" + field.key);
  return record;
}

// The messages logged; each must be a failure logged by `function`.
std::vector<std::string> Failures(const LogCapture& log, const std::string& function) {
  std::vector<std::string> messages;
  for (const iotcloud_test::CapturedLine& line : log.Lines()) {
    EXPECT_EQ(std::to_string(line.level) + " " + line.function, "4 " + function) << line.message;
    messages.push_back(line.message);
  }
  return messages;
}

// "<key> not found." for every key but the one at `except`, in field order.
std::vector<std::string> NotFound(size_t except = 7) {
  std::vector<std::string> lines;
  for (size_t i = 0; i < 7; ++i)
    if (i != except) lines.push_back(std::string(kFields[i].key) + " not found.");
  return lines;
}

// The layout the cache holds: member names in field order. A reset record
// equals a new one; the China defaults that no deployment setting changes
// are fixed (the hosts are build settings, so they are not checked here).
TEST(RegionInfo, JsonLayoutAndChinaDefaults) {
  EXPECT_EQ(
      Marked("m").toJsonString(),
      "{\n\t\"regionId\":\t\"m-regionId\",\n\t\"mqttEndpoint\":\t\"m-mqttEndpoint\",\n"
      "\t\"apiGatewayEndpoint\":\t\"m-apiGatewayEndpoint\",\n\t\"oaApiGatewayEndpoint\":\t\"m-oaApiGatewayEndpoint\",\n"
      "\t\"regionEnglishName\":\t\"m-regionEnglishName\",\n\t\"pushChannelEndpoint\":\t\"m-pushChannelEndpoint\",\n"
      "\t\"shortRegionId\":\t\"m-shortRegionId\"\n}");
  IotRegionInfo reset = Marked("x");
  reset.resetToChina();
  EXPECT_TRUE(reset == IotRegionInfo());
  EXPECT_EQ(reset.getRegionId() + "|" + reset.getRegionEnglishName() + "|" + reset.getPushChannelEndpoint() + "|" +
                reset.getShortRegionId(),
            "cn-shanghai|ShangHai||0");
}

// Out to JSON and back in, bare and as the data of a successful response.
TEST(RegionInfo, JsonRoundTripKeepsEveryByte) {
  for (const std::string& value : {std::string(), std::string(70000, 'y'), std::string("quote\" backslash\\ /"),
                                   std::string("controls \b\f\n\r\t \x01\x1f, utf-8 \xe4\xb8\x8a\xf0\x9f\x98\x80, "
                                               "not utf-8 \xff\xfe\xc0")}) {
    IotRegionInfo source, copy = Marked("other"), viaResponse;
    for (const Field& field : kFields) (source.*field.set)(value + field.key);
    LogCapture log;
    ASSERT_TRUE(copy.parseFromJsonString(source.toJsonString())) << value;
    ASSERT_TRUE(viaResponse.parseFromHttpResponse(
        "{\"code\":200,\"message\":\"success\",\"data\":" + source.toJsonString() + ",\"id\":\"0f1e\"}"));
    EXPECT_TRUE(copy == source && viaResponse == source && !(copy != source)) << value;
    EXPECT_TRUE(log.Lines().empty());
  }
}

TEST(RegionInfo, FailuresLeaveTheRecordAndLogWhy) {
  const std::string html = "<html><body><h1>502 Bad Gateway</h1></body></html>";
  const std::string er = "region get response error, code=";
  // Unreadable answers are logged as they came up to 512 bytes; beyond,
  // their first 512 bytes and their length. Controls are escaped.
  const std::string page512 = html + std::string(512 - html.size(), '.');
  const std::string huge = "\x1b]0;retitled\x07\x1b[2J" + std::string(4000000, 'x');
  const std::string hugeLogged = "\\x1b]0;retitled\\x07\\x1b[2J" + std::string(512 - 17, 'x') + "... (4000017 bytes)";
  const std::string nulValue = R"({"code":200,"data":{"regionId":"eu\u0000-evil"}})";
  const struct {
    bool response;  // parseFromHttpResponse, else parseFromJsonString
    std::string text;
    std::vector<std::string> log;
  } cases[] = {
      {true, html, {"region get response parse json failed! " + html}},
      {true, R"({"message":"x","data":{"regionId":"a"}})", {"region get response code not found."}},
      {true, R"({"code":"200","message":"ok","data":{"regionId":"a"}})", {er + "0 message=ok"}},
      {true, R"({"code":401})", {er + "401 message="}},
      {true, R"({"code":500,"message":{"text":"x"}})", {er + "500 message="}},
      {true, R"({"code":200,"message":"success"})", {}},
      {false, "{'regionId':'a'}", {"region info parse json failed! {'regionId':'a'}"}},
      {true, page512, {"region get response parse json failed! " + page512}},
      {true, page512 + "\n", {"region get response parse json failed! " + page512 + "... (513 bytes)"}},
      {true, huge, {"region get response parse json failed! " + hugeLogged}},
      {true, R"({"code":500,"message":"\u001b[2Jforged\nline"})", {er + "500 message=\\x1b[2Jforged\\nline"}},
      {true, nulValue, {"region get response holds \\u0000, which cannot be kept: " + nulValue}},
      {false,
       R"({"regionId":"eu\u0000-evil"})",
       {R"(region info holds \u0000, which cannot be kept: {"regionId":"eu\u0000-evil"})"}},
  };
  for (const auto& c : cases) {
    IotRegionInfo record = Marked("keep");
    LogCapture log;
    SCOPED_TRACE(c.text.substr(0, 100));
    EXPECT_FALSE(c.response ? record.parseFromHttpResponse(c.text) : record.parseFromJsonString(c.text));
    EXPECT_TRUE(record == Marked("keep"));
    EXPECT_EQ(Failures(log, c.response ? "parseFromHttpResponse" : "parseFromJsonString"), c.log);
  }
}

// Cached region JSON: keys match in any letter case; a member that is not a
// string counts as absent: logged as not found, field kept.
TEST(RegionInfo, EachKeyMatchesAnyCaseAndNeedsAStringValue) {
  for (size_t i = 0; i < 7; ++i) {
    std::string upper = kFields[i].key;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const std::string value : {"\"found\"", "1", "null", "true", "{}", "[\"found\"]"}) {
      const bool isString = value[0] == '"';
      IotRegionInfo record = Marked("keep"), expected = Marked("keep");
      if (isString) (expected.*kFields[i].set)("found");
      LogCapture log;
      ASSERT_TRUE(record.parseFromJsonString("{\"" + upper + "\":" + value + ",\"x\":\"y\"}"));
      EXPECT_TRUE(record == expected && (record != Marked("keep")) == isString) << upper << " " << value;
      EXPECT_EQ(Failures(log, "parseFromJsonString"), NotFound(isString ? i : 7)) << upper << " " << value;
    }
  }
}

// A lookup answer must name the region and its three endpoints as non-empty
// strings; anything less is refused whole, the member named, nothing taken.
TEST(RegionInfo, IncompleteAnswersAreRefusedAndNameWhatIsMissing) {
  const struct {
    std::string data;
    std::string missing;
  } cases[] = {
      {"null", "data"},
      {"[]", "data"},
      {R"({"mqttEndpoint":"m:1883","apiGatewayEndpoint":"a","oaApiGatewayEndpoint":"o"})", "regionId"},
      {R"({"regionId":"eu","mqttEndpoint":"","apiGatewayEndpoint":"a","oaApiGatewayEndpoint":"o"})", "mqttEndpoint"},
      {R"({"regionId":"eu","mqttEndpoint":"m","apiGatewayEndpoint":1,"oaApiGatewayEndpoint":"o"})",
       "apiGatewayEndpoint"},
      {R"({"regionId":"eu","mqttEndpoint":"m","apiGatewayEndpoint":"a"})", "oaApiGatewayEndpoint"},
  };
  for (const auto& c : cases) {
    IotRegionInfo record = Marked("keep");
    std::string missing;
    EXPECT_FALSE(record.parseFromHttpResponse("{\"code\":200,\"data\":" + c.data + "}", &missing)) << c.data;
    EXPECT_EQ(missing, c.missing) << c.data;
    EXPECT_TRUE(record == Marked("keep")) << c.data;
  }
  // The three descriptive members may be absent: they keep their values.
  IotRegionInfo record = Marked("keep");
  std::string missing = "untouched";
  ASSERT_TRUE(record.parseFromHttpResponse(
      R"({"code":200,"data":{"regionId":"eu-central-1","mqttEndpoint":"m","apiGatewayEndpoint":"a","oaApiGatewayEndpoint":"o"}})",
      &missing));
  EXPECT_EQ(missing, "untouched");
  EXPECT_EQ(record.getRegionId() + " " + record.getShortRegionId(), "eu-central-1 keep-shortRegionId");
  // Not a success answer: nothing is missing, the answer is something else.
  EXPECT_FALSE(record.parseFromHttpResponse(R"({"code":500,"data":{}})", &missing));
  EXPECT_EQ(missing, "untouched");
}

}  // namespace
