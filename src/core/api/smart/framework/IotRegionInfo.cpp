#include "core/api/smart/framework/IotRegionInfo.h"

#include <cjson/cJSON.h>

#include <memory>
#include <vector>

#include "core/api/smart/framework/internal/RegionAnswer.h"
#include "core/support/DeploymentConfig.h"
#include "core/support/TovoLog.h"
#include "core/support/UntrustedText.h"
#include "core/support/internal/JsonPtr.h"

namespace {

// China defaults. The host names come from the deployment's build settings.
constexpr const char* kChinaRegionId = "cn-shanghai";
constexpr const char* kChinaMqttEndpoint = IOTCLOUD_DEFAULT_CHINA_MQTT_HOST ":" IOTCLOUD_DEFAULT_CHINA_MQTT_PORT;
constexpr const char* kChinaApiGatewayEndpoint = IOTCLOUD_DEFAULT_API_GATEWAY_HOST;
constexpr const char* kChinaOaApiGatewayEndpoint = IOTCLOUD_DEFAULT_CHINA_ACCOUNT_HOST;
constexpr const char* kChinaRegionEnglishName = "ShangHai";
constexpr const char* kChinaPushChannelEndpoint = "";
constexpr const char* kChinaShortRegionId = "0";

constexpr int kFieldCount = 7;
// JSON keys in field order.
constexpr const char* kKeys[kFieldCount] = {
    "regionId",          "mqttEndpoint",        "apiGatewayEndpoint", "oaApiGatewayEndpoint",
    "regionEnglishName", "pushChannelEndpoint", "shortRegionId",
};

// The members a lookup answer must hold as non-empty strings: the first four
// keys (the region and the endpoints the client connects to).
constexpr int kRequiredCount = 4;

iotcloud::JsonPtr Parse(const std::string& text) {
  return iotcloud::JsonPtr(cJSON_ParseWithLength(text.data(), text.size()));
}

using iotcloud::ForLog;

// Each of the seven members of `object` that is a string replaces its field
// of *region; returns the keys of the others, whose fields are left alone.
std::vector<const char*> TakeStrings(const cJSON* object, IotRegionInfo* region) {
  using Setter = void (*)(IotRegionInfo&, const char*);
  static constexpr Setter kSetters[kFieldCount] = {
      [](IotRegionInfo& r, const char* v) { r.setRegionId(v); },
      [](IotRegionInfo& r, const char* v) { r.setMqttEndpoint(v); },
      [](IotRegionInfo& r, const char* v) { r.setApiGatewayEndpoint(v); },
      [](IotRegionInfo& r, const char* v) { r.setOaApiGatewayEndpoint(v); },
      [](IotRegionInfo& r, const char* v) { r.setRegionEnglishName(v); },
      [](IotRegionInfo& r, const char* v) { r.setPushChannelEndpoint(v); },
      [](IotRegionInfo& r, const char* v) { r.setShortRegionId(v); },
  };
  std::vector<const char*> absent;
  for (int i = 0; i < kFieldCount; ++i) {
    const cJSON* member = cJSON_GetObjectItem(object, kKeys[i]);
    if (cJSON_IsString(member) && member->valuestring != nullptr) {
      kSetters[i](*region, member->valuestring);
    } else {
      absent.push_back(kKeys[i]);
    }
  }
  return absent;
}

}  // namespace

namespace iotcloud {

RegionAnswer ReadRegionAnswer(const std::string& response, IotRegionInfo* region) {
  RegionAnswer answer;
  JsonPtr root = Parse(response);
  if (!root) return answer;  // kNotJson
  const cJSON* code = cJSON_GetObjectItem(root.get(), "code");
  if (code == nullptr) {
    answer.kind = RegionAnswer::Kind::kNoCode;
    return answer;
  }
  // cJSON's integer view of the item: 0 for anything that is not a number,
  // so a code sent as the string "200" is a failure.
  answer.code = code->valueint;
  const cJSON* message = cJSON_GetObjectItem(root.get(), "message");
  if (cJSON_IsString(message) && message->valuestring != nullptr) answer.message = message->valuestring;
  if (answer.code != 200) {
    answer.kind = RegionAnswer::Kind::kServiceError;
    return answer;
  }
  const cJSON* data = cJSON_GetObjectItem(root.get(), "data");
  // cJSON ends a string at a NUL: a value holding \u0000 would be taken cut.
  if (data != nullptr && JsonHasNulEscape(response)) {
    answer.kind = RegionAnswer::Kind::kNulEscape;
    return answer;
  }
  const char* missing = cJSON_IsObject(data) ? nullptr : "data";
  for (int i = 0; i < kRequiredCount && missing == nullptr; ++i) {
    const cJSON* member = cJSON_GetObjectItem(data, kKeys[i]);
    if (!cJSON_IsString(member) || member->valuestring == nullptr || member->valuestring[0] == '\0') {
      missing = kKeys[i];
    }
  }
  if (missing != nullptr) {
    answer.kind = RegionAnswer::Kind::kIncomplete;
    answer.missing = missing;
    return answer;
  }
  answer.kind = RegionAnswer::Kind::kRegion;
  answer.absent = TakeStrings(data, region);
  return answer;
}

}  // namespace iotcloud

IotRegionInfo::IotRegionInfo() { resetToChina(); }

IotRegionInfo::IotRegionInfo(const IotRegionInfo& other) = default;

IotRegionInfo& IotRegionInfo::operator=(const IotRegionInfo& other) = default;

IotRegionInfo::~IotRegionInfo() = default;

void IotRegionInfo::resetToChina() {
  regionId_ = kChinaRegionId;
  mqttEndpoint_ = kChinaMqttEndpoint;
  apiGatewayEndpoint_ = kChinaApiGatewayEndpoint;
  oaApiGatewayEndpoint_ = kChinaOaApiGatewayEndpoint;
  regionEnglishName_ = kChinaRegionEnglishName;
  pushChannelEndpoint_ = kChinaPushChannelEndpoint;
  shortRegionId_ = kChinaShortRegionId;
}

bool IotRegionInfo::parseFromHttpResponse(const std::string& response, std::string* missingMember) {
  using Kind = iotcloud::RegionAnswer::Kind;
  const iotcloud::RegionAnswer answer = iotcloud::ReadRegionAnswer(response, this);
  switch (answer.kind) {
    case Kind::kRegion:
      for (const char* key : answer.absent) QZ_LOG(4, "%s not found.", key);
      return true;
    case Kind::kNotJson: QZ_LOG(4, "region get response parse json failed! %s", ForLog(response).c_str()); break;
    case Kind::kNoCode: QZ_LOG(4, "region get response code not found."); break;
    case Kind::kServiceError:
      QZ_LOG(4, "region get response error, code=%d message=%s", answer.code, ForLog(answer.message).c_str());
      break;
    case Kind::kNulEscape:
      QZ_LOG(4, "region get response holds \\u0000, which cannot be kept: %s", ForLog(response).c_str());
      break;
    case Kind::kIncomplete:
      QZ_LOG(4, "region get response incomplete: %s missing or empty; nothing taken over.", answer.missing.c_str());
      if (missingMember != nullptr) *missingMember = answer.missing;
      break;
  }
  return false;
}

bool IotRegionInfo::parseFromHttpResponse(const std::string& response) {
  return parseFromHttpResponse(response, nullptr);
}

bool IotRegionInfo::parseFromJsonString(const std::string& json) {
  iotcloud::JsonPtr root = Parse(json);
  if (!root) {
    QZ_LOG(4, "region info parse json failed! %s", ForLog(json).c_str());
    return false;
  }
  // cJSON ends a string at a NUL: a value holding \u0000 would be kept cut.
  if (iotcloud::JsonHasNulEscape(json)) {
    QZ_LOG(4, "region info holds \\u0000, which cannot be kept: %s", ForLog(json).c_str());
    return false;
  }
  for (const char* key : TakeStrings(root.get(), this)) QZ_LOG(4, "%s not found.", key);
  return true;
}

std::string IotRegionInfo::toJsonString() const {
  iotcloud::JsonPtr root(cJSON_CreateObject());
  if (!root) return std::string();
  const std::string* const fields[kFieldCount] = {
      &regionId_,          &mqttEndpoint_,        &apiGatewayEndpoint_, &oaApiGatewayEndpoint_,
      &regionEnglishName_, &pushChannelEndpoint_, &shortRegionId_,
  };
  for (int i = 0; i < kFieldCount; ++i) {
    if (cJSON_AddStringToObject(root.get(), kKeys[i], fields[i]->c_str()) == nullptr) return std::string();
  }
  iotcloud::JsonText printed(cJSON_Print(root.get()));
  return printed ? std::string(printed.get()) : std::string();
}

bool IotRegionInfo::operator==(const IotRegionInfo& other) const {
  return regionId_ == other.regionId_ && mqttEndpoint_ == other.mqttEndpoint_ &&
         apiGatewayEndpoint_ == other.apiGatewayEndpoint_ && oaApiGatewayEndpoint_ == other.oaApiGatewayEndpoint_ &&
         regionEnglishName_ == other.regionEnglishName_ && pushChannelEndpoint_ == other.pushChannelEndpoint_ &&
         shortRegionId_ == other.shortRegionId_;
}

bool IotRegionInfo::operator!=(const IotRegionInfo& other) const { return !(*this == other); }
