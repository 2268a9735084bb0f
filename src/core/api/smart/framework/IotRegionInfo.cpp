#include "core/api/smart/framework/IotRegionInfo.h"

#include <cjson/cJSON.h>

#include <memory>

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

// How much of a text from outside goes into one log line.
constexpr size_t kLoggedBytes = 512;

iotcloud::JsonPtr Parse(const std::string& text) {
  return iotcloud::JsonPtr(cJSON_ParseWithLength(text.data(), text.size()));
}

// Text from the network or the cache as it is logged: escaped, and cut after
// kLoggedBytes bytes with its whole length.
std::string ForLog(const std::string& text) { return iotcloud::EscapeUntrustedExcerpt(text, kLoggedBytes); }

}  // namespace

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
  iotcloud::JsonPtr root = Parse(response);
  if (!root) {
    QZ_LOG(4, "region get response parse json failed! %s", ForLog(response).c_str());
    return false;
  }
  const cJSON* code = cJSON_GetObjectItem(root.get(), "code");
  if (code == nullptr) {
    QZ_LOG(4, "region get response code not found.");
    return false;
  }
  // cJSON's integer view of the item: 0 for anything that is not a number,
  // so a code sent as the string "200" is a failure.
  if (code->valueint != 200) {
    const cJSON* message = cJSON_GetObjectItem(root.get(), "message");
    const char* messageText = cJSON_IsString(message) && message->valuestring ? message->valuestring : "";
    QZ_LOG(4, "region get response error, code=%d message=%s", code->valueint, ForLog(messageText).c_str());
    return false;
  }
  const cJSON* data = cJSON_GetObjectItem(root.get(), "data");
  if (data == nullptr) {
    if (missingMember != nullptr) *missingMember = "data";
    return false;
  }
  // cJSON ends a string at a NUL: a value holding \u0000 would be taken cut.
  if (iotcloud::JsonHasNulEscape(response)) {
    QZ_LOG(4, "region get response holds \\u0000, which cannot be kept: %s", ForLog(response).c_str());
    return false;
  }
  const char* missing = cJSON_IsObject(data) ? nullptr : "data";
  for (int i = 0; i < kRequiredCount && missing == nullptr; ++i) {
    const cJSON* member = cJSON_GetObjectItem(data, kKeys[i]);
    if (!cJSON_IsString(member) || member->valuestring == nullptr || member->valuestring[0] == '\0') {
      missing = kKeys[i];
    }
  }
  if (missing != nullptr) {
    QZ_LOG(4, "region get response incomplete: %s missing or empty; nothing taken over.", missing);
    if (missingMember != nullptr) *missingMember = missing;
    return false;
  }
  takeStrings(data);
  return true;
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
  takeStrings(root.get());
  return true;
}

void IotRegionInfo::takeStrings(const cJSON* object) {
  std::string* const fields[kFieldCount] = {
      &regionId_,          &mqttEndpoint_,        &apiGatewayEndpoint_, &oaApiGatewayEndpoint_,
      &regionEnglishName_, &pushChannelEndpoint_, &shortRegionId_,
  };
  for (int i = 0; i < kFieldCount; ++i) {
    const cJSON* member = cJSON_GetObjectItem(object, kKeys[i]);
    if (cJSON_IsString(member) && member->valuestring != nullptr) {
      *fields[i] = member->valuestring;
    } else {
      QZ_LOG(4, "%s not found.", kKeys[i]);
    }
  }
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
