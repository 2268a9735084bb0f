#include "core/api/smart/framework/IotRegionInfo.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "core/support/DeploymentConfig.h"
#include "settings_test_support.h"

namespace {

using iotcloud_test::LogCapture;
using settings_test::LogLine;

using Getter = const std::string& (IotRegionInfo::*)() const;
using Setter = void (IotRegionInfo::*)(const std::string&);

struct Field {
  const char* key;
  Getter get;
  Setter set;
  const char* chinaDefault;
};

// The seven members in field order, with the China defaults.
const Field kFields[] = {
    {"regionId", &IotRegionInfo::getRegionId, &IotRegionInfo::setRegionId, "cn-shanghai"},
    {"mqttEndpoint", &IotRegionInfo::getMqttEndpoint, &IotRegionInfo::setMqttEndpoint,
     IOTCLOUD_DEFAULT_CHINA_MQTT_HOST ":" IOTCLOUD_DEFAULT_CHINA_MQTT_PORT},
    {"apiGatewayEndpoint", &IotRegionInfo::getApiGatewayEndpoint, &IotRegionInfo::setApiGatewayEndpoint,
     IOTCLOUD_DEFAULT_API_GATEWAY_HOST},
    {"oaApiGatewayEndpoint", &IotRegionInfo::getOaApiGatewayEndpoint, &IotRegionInfo::setOaApiGatewayEndpoint,
     IOTCLOUD_DEFAULT_CHINA_ACCOUNT_HOST},
    {"regionEnglishName", &IotRegionInfo::getRegionEnglishName, &IotRegionInfo::setRegionEnglishName, "ShangHai"},
    {"pushChannelEndpoint", &IotRegionInfo::getPushChannelEndpoint, &IotRegionInfo::setPushChannelEndpoint, ""},
    {"shortRegionId", &IotRegionInfo::getShortRegionId, &IotRegionInfo::setShortRegionId, "0"},
};

// A record whose every field differs from the defaults and from the others.
IotRegionInfo Marked(const std::string& mark) {
  IotRegionInfo record;
  for (const Field& field : kFields) (record.*field.set)(mark + "-" + field.key);
  return record;
}

void ExpectChinaDefaults(const IotRegionInfo& record) {
  for (const Field& field : kFields) EXPECT_EQ((record.*field.get)(), field.chinaDefault) << field.key;
}

// The level-4 lines of one parse function, in order.
std::vector<std::string> Failures(const LogCapture& log, const std::string& function) {
  std::vector<std::string> messages;
  for (const LogLine& line : log.Lines()) {
    EXPECT_EQ(line.level, 4) << line.message;
    if (line.function == function) messages.push_back(line.message);
  }
  return messages;
}

std::vector<std::string> NotFoundLines(const std::vector<const char*>& keys) {
  std::vector<std::string> lines;
  for (const char* key : keys) lines.push_back(std::string(key) + " not found.");
  return lines;
}

std::vector<const char*> AllKeys() {
  std::vector<const char*> keys;
  for (const Field& field : kFields) keys.push_back(field.key);
  return keys;
}

TEST(RegionInfo, NewRecordAndResetHoldTheChinaDefaults) {
  ExpectChinaDefaults(IotRegionInfo());
  IotRegionInfo record = Marked("x");
  record.resetToChina();
  ExpectChinaDefaults(record);
  // The MQTT endpoint is host:port, the other hosts are bare.
  EXPECT_EQ(record.getMqttEndpoint().find(':'), std::string(IOTCLOUD_DEFAULT_CHINA_MQTT_HOST).size());
  EXPECT_EQ(record.getApiGatewayEndpoint().find_first_of(":/"), std::string::npos);
  EXPECT_EQ(record.getOaApiGatewayEndpoint().find_first_of(":/"), std::string::npos);
}

TEST(RegionInfo, ToJsonStringIsFormattedInFieldOrder) {
  std::string expected = "{\n";
  for (const Field& field : kFields) {
    expected += std::string("\t\"") + field.key + "\":\t\"" + field.chinaDefault + "\"";
    expected += (&field == &kFields[6]) ? "\n" : ",\n";
  }
  expected += "}";
  EXPECT_EQ(IotRegionInfo().toJsonString(), expected);
}

TEST(RegionInfo, JsonRoundTripKeepsEveryByte) {
  const std::vector<std::string> values = {
      "",
      "plain",
      "quote\" backslash\\ slash/",
      "controls \b\f\n\r\t \x01\x1f end",
      "utf-8 \xe4\xb8\x8a\xe6\xb5\xb7 \xf0\x9f\x98\x80",
      "not utf-8 \xff\xfe\xc0",
      std::string(70000, 'y'),
  };
  for (const std::string& value : values) {
    IotRegionInfo source;
    for (const Field& field : kFields) (source.*field.set)(value + field.key);
    IotRegionInfo copy = Marked("other");
    LogCapture log;
    ASSERT_TRUE(copy.parseFromJsonString(source.toJsonString())) << value;
    EXPECT_TRUE(copy == source) << value;
    EXPECT_TRUE(log.Lines().empty());
  }
}

TEST(RegionInfo, SuccessfulResponseSetsAllSevenFields) {
  const IotRegionInfo expected = Marked("eu");
  const std::string response = std::string("{\"code\":200,\"message\":\"success\",\"data\":") +
                               expected.toJsonString() + ",\"id\":\"0f1e\"}";
  IotRegionInfo record;
  LogCapture log;
  ASSERT_TRUE(record.parseFromHttpResponse(response));
  EXPECT_TRUE(record == expected);
  EXPECT_TRUE(log.Lines().empty());
}

TEST(RegionInfo, FailedResponsesLeaveTheRecordAndLogWhy) {
  const std::string html = "<html><body><h1>502 Bad Gateway</h1></body></html>";
  struct Case {
    const char* name;
    std::string response;
    std::vector<std::string> log;  // expected lines of parseFromHttpResponse
  };
  const Case cases[] = {
      {"html page", html, {"region get response parse json failed! " + html}},
      {"empty", "", {"region get response parse json failed! "}},
      {"no code", R"({"message":"x","data":{"regionId":"a"}})", {"region get response code not found."}},
      {"array root", R"([200])", {"region get response code not found."}},
      {"code as string", R"({"code":"200","message":"ok","data":{"regionId":"a"}})",
       {"region get response error, code=0 message=ok"}},
      {"code 401 without message", R"({"code":401})", {"region get response error, code=401 message="}},
      {"message not a string", R"({"code":500,"message":{"text":"x"}})",
       {"region get response error, code=500 message="}},
      {"message null", R"({"code":500,"message":null})", {"region get response error, code=500 message="}},
      {"code 403 with message", R"({"code":403,"message":"signature mismatch","data":{"regionId":"a"}})",
       {"region get response error, code=403 message=signature mismatch"}},
      {"code 200 without data", R"({"code":200,"message":"success"})", {}},
  };
  for (const Case& c : cases) {
    IotRegionInfo record = Marked("keep");
    LogCapture log;
    EXPECT_FALSE(record.parseFromHttpResponse(c.response)) << c.name;
    EXPECT_TRUE(record == Marked("keep")) << c.name;
    EXPECT_EQ(Failures(log, "parseFromHttpResponse"), c.log) << c.name;
    EXPECT_EQ(log.Lines().size(), c.log.size()) << c.name;
  }
}

TEST(RegionInfo, DataThatIsNotAnObjectFindsNoKeyButSucceeds) {
  for (const char* data : {"null", "\"cn-shanghai\"", "5", "[\"regionId\",\"x\"]", "true"}) {
    IotRegionInfo record = Marked("keep");
    LogCapture log;
    EXPECT_TRUE(record.parseFromHttpResponse(std::string("{\"code\":200,\"data\":") + data + "}")) << data;
    EXPECT_TRUE(record == Marked("keep")) << data;
    EXPECT_EQ(Failures(log, "parseFromJsonString"), NotFoundLines(AllKeys())) << data;
  }
}

TEST(RegionInfo, PartialJsonSetsWhatIsThereAndLogsEachMissingKey) {
  IotRegionInfo record = Marked("keep");
  LogCapture log;
  ASSERT_TRUE(record.parseFromJsonString(R"({"regionId":"ap-southeast-1","unknown":"ignored"})"));
  IotRegionInfo expected = Marked("keep");
  expected.setRegionId("ap-southeast-1");
  EXPECT_TRUE(record == expected);
  EXPECT_EQ(Failures(log, "parseFromJsonString"),
            NotFoundLines({"mqttEndpoint", "apiGatewayEndpoint", "oaApiGatewayEndpoint", "regionEnglishName",
                           "pushChannelEndpoint", "shortRegionId"}));

  IotRegionInfo empty = Marked("keep");
  log.Clear();
  EXPECT_TRUE(empty.parseFromJsonString("{}"));
  EXPECT_TRUE(empty == Marked("keep"));
  EXPECT_EQ(Failures(log, "parseFromJsonString"), NotFoundLines(AllKeys()));
}

TEST(RegionInfo, TextThatIsNotJsonChangesNothing) {
  for (const std::string text : {"", "region", "{\"regionId\":", "{'regionId':'a'}"}) {
    IotRegionInfo record = Marked("keep");
    LogCapture log;
    EXPECT_FALSE(record.parseFromJsonString(text)) << text;
    EXPECT_TRUE(record == Marked("keep")) << text;
    EXPECT_EQ(Failures(log, "parseFromJsonString"), std::vector<std::string>{"region info parse json failed! " + text});
  }
}

// Each key, one at a time: spelled in another letter case it is found; given
// a value that is not a string it counts as absent and its field is kept.
TEST(RegionInfo, EachKeyMatchesAnyCaseAndNeedsAStringValue) {
  for (const Field& field : kFields) {
    std::string upper = field.key;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    IotRegionInfo record = Marked("keep");
    LogCapture log;
    ASSERT_TRUE(record.parseFromJsonString("{\"" + upper + "\":\"found\"}"));
    EXPECT_EQ((record.*field.get)(), "found") << upper;
    EXPECT_EQ(Failures(log, "parseFromJsonString").size(), 6u);

    for (const char* notAString : {"1", "null", "true", "{}", "[\"x\"]"}) {
      IotRegionInfo kept = Marked("keep");
      log.Clear();
      ASSERT_TRUE(kept.parseFromJsonString(std::string("{\"") + field.key + "\":" + notAString + "}"));
      EXPECT_TRUE(kept == Marked("keep")) << field.key << " " << notAString;
      EXPECT_EQ(Failures(log, "parseFromJsonString"), NotFoundLines(AllKeys())) << field.key << " " << notAString;
    }
  }
}

TEST(RegionInfo, RecordsDifferingInOneFieldAreUnequal) {
  const IotRegionInfo base = Marked("same");
  IotRegionInfo copy(base);
  EXPECT_TRUE(copy == base);
  EXPECT_FALSE(copy != base);
  for (const Field& field : kFields) {
    std::string value = (base.*field.get)();
    for (const std::string& changed : {value + "x", std::string(value).replace(0, 1, "S"), value.substr(1)}) {
      IotRegionInfo other = base;
      (other.*field.set)(changed);
      EXPECT_TRUE(other != base) << field.key << " " << changed;
      EXPECT_FALSE(other == base) << field.key << " " << changed;
    }
  }
}

}  // namespace
