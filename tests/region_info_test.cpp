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

// The layout the cache holds: member names in field order. A reset record
// equals a new one.
TEST(RegionInfo, JsonLayoutAndReset) {
  EXPECT_EQ(
      Marked("m").toJsonString(),
      "{\n\t\"regionId\":\t\"m-regionId\",\n\t\"mqttEndpoint\":\t\"m-mqttEndpoint\",\n"
      "\t\"apiGatewayEndpoint\":\t\"m-apiGatewayEndpoint\",\n\t\"oaApiGatewayEndpoint\":\t\"m-oaApiGatewayEndpoint\",\n"
      "\t\"regionEnglishName\":\t\"m-regionEnglishName\",\n\t\"pushChannelEndpoint\":\t\"m-pushChannelEndpoint\",\n"
      "\t\"shortRegionId\":\t\"m-shortRegionId\"\n}");
  IotRegionInfo reset = Marked("x");
  reset.resetToChina();
  EXPECT_TRUE(reset == IotRegionInfo());
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

// A refused answer leaves the record as it was and logs why. A lookup answer
// must name the region and its three endpoints as non-empty strings; anything
// less is refused whole, the member named. (Hostile, huge and \u0000 answers
// and "data": null go through the whole tool in cli_tool_test.)
TEST(RegionInfo, RefusedAnswersLeaveTheRecordAndSayWhy) {
  const std::string er = "region get response error, code=";
  const std::string endpoints = R"("mqttEndpoint":"m","apiGatewayEndpoint":"a","oaApiGatewayEndpoint":"o")";
  auto incomplete = [](const std::string& member) {
    return "region get response incomplete: " + member + " missing or empty; nothing taken over.";
  };
  const struct {
    bool response;  // parseFromHttpResponse, else parseFromJsonString
    std::string text, logged, missing;
  } cases[] = {
      // clang-format off
      {true, R"({"code":"200","message":"ok","data":{"regionId":"a"}})", er + "0 message=ok", ""},
      {true, R"({"code":500,"message":{"text":"x"}})", er + "500 message=", ""},
      {false, "{'regionId':'a'}", "region info parse json failed! {'regionId':'a'}", ""},
      {false, R"({"regionId":"eu\u0000-evil"})",
       R"(region info holds \u0000, which cannot be kept: {"regionId":"eu\u0000-evil"})", ""},
      {true, R"({"code":200,"message":"success"})", incomplete("data"), "data"},
      {true, "{\"code\":200,\"data\":{" + endpoints + "}}", incomplete("regionId"), "regionId"},
      {true, R"({"code":200,"data":{"regionId":"eu","mqttEndpoint":"","apiGatewayEndpoint":"a","oaApiGatewayEndpoint":"o"}})", incomplete("mqttEndpoint"), "mqttEndpoint"},
      {true, R"({"code":200,"data":{"regionId":"eu","mqttEndpoint":"m","apiGatewayEndpoint":1,"oaApiGatewayEndpoint":"o"}})", incomplete("apiGatewayEndpoint"), "apiGatewayEndpoint"},
      {true, R"({"code":200,"data":{"regionId":"eu","mqttEndpoint":"m","apiGatewayEndpoint":"a"}})", incomplete("oaApiGatewayEndpoint"), "oaApiGatewayEndpoint"},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 100));
    IotRegionInfo record = Marked("keep");
    std::string missing;
    LogCapture log;
    EXPECT_FALSE(c.response ? record.parseFromHttpResponse(c.text, &missing) : record.parseFromJsonString(c.text));
    EXPECT_TRUE(record == Marked("keep"));
    EXPECT_EQ(missing, c.missing);
    EXPECT_EQ(Failures(log, c.response ? "parseFromHttpResponse" : "parseFromJsonString"),
              c.logged.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.logged});
  }
  // The three descriptive members may be absent: they keep their values.
  IotRegionInfo record = Marked("keep");
  ASSERT_TRUE(
      record.parseFromHttpResponse("{\"code\":200,\"data\":{\"regionId\":\"eu-central-1\"," + endpoints + "}}"));
  EXPECT_EQ(record.getRegionId() + " " + record.getShortRegionId(), "eu-central-1 keep-shortRegionId");
}

// Cached region JSON: keys match in any letter case; a member that is not a
// string counts as absent: logged as not found, field kept.
TEST(RegionInfo, EachKeyMatchesAnyCaseAndNeedsAStringValue) {
  for (const Field& field : kFields) {
    std::string upper = field.key;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const std::string value : {"\"found\"", "1", "null", "{}", "[\"found\"]"}) {
      IotRegionInfo record = Marked("keep"), expected = Marked("keep");
      if (value[0] == '"') (expected.*field.set)("found");
      std::vector<std::string> notFound;
      for (const Field& other : kFields)
        if (&other != &field || value[0] != '"') notFound.push_back(std::string(other.key) + " not found.");
      LogCapture log;
      ASSERT_TRUE(record.parseFromJsonString("{\"" + upper + "\":" + value + "}"));
      EXPECT_TRUE(record == expected) << upper << " " << value;
      EXPECT_EQ(Failures(log, "parseFromJsonString"), notFound) << upper << " " << value;
    }
  }
}

}  // namespace
