// The record of the cloud region that serves the user's account: its id,
// display name and the endpoints the client talks to.
//
// Two JSON forms are read and written here:
//  - the region JSON, a flat object of seven string members ("regionId",
//    "mqttEndpoint", "apiGatewayEndpoint", "oaApiGatewayEndpoint",
//    "regionEnglishName", "pushChannelEndpoint", "shortRegionId"), which is
//    both what the platform cache holds under "region" and the "data" member
//    of a region lookup response;
//  - the region lookup response: {"code": 200, "message": "...", "data": {region JSON}}.
//
// Member names are matched without regard to letter case; members that are
// not listed are ignored. A member that is present but not a JSON string is
// treated as absent. Field values are kept exactly as received (no trimming,
// no checking, UTF-8 not validated), so a text holding the escape \u0000
// anywhere in a string is refused as a whole: the JSON parser would cut the
// value at the NUL.
//
// Text from outside is logged escaped (control characters as \xHH and the
// like, see core/support/UntrustedText.h) and, past 512 bytes, as its first
// 512 bytes followed by its whole length.
//
// Thread safety: none. A record is a plain value; its owner guards it.
// Failures: reported by a false result and a level-4 log line; nothing throws.
#pragma once

#include <string>

#include "core/support/Export.h"

struct cJSON;

class IOTCLOUD_API IotRegionInfo {
 public:
  // A record holding the China defaults (the Shanghai region; the host names
  // are deployment settings, see core/support/DeploymentConfig.h).
  IotRegionInfo();
  IotRegionInfo(const IotRegionInfo& other);
  IotRegionInfo& operator=(const IotRegionInfo& other);
  virtual ~IotRegionInfo();

  // Overwrites every field with the China defaults.
  void resetToChina();

  // Reads a region lookup response. True only when the text is JSON with a
  // "code" whose integer value is 200 (a string "200" reads as 0), no
  // \u0000 escape, and a "data" object that names the region completely:
  // "regionId", "mqttEndpoint", "apiGatewayEndpoint" and
  // "oaApiGatewayEndpoint" present as non-empty strings. The fields are then
  // set as parseFromJsonString sets them from "data" (the other three members
  // may be absent and keep their values). On false every field is unchanged;
  // when the answer was a success answer whose "data" is missing, not an
  // object or incomplete, *missingMember (when not null) names the first
  // required member that is absent or empty ("data" for a missing or
  // non-object data), and is left alone otherwise.
  //
  // A region is never made up of defaults from an answer: a partial answer
  // would point an account at another region's endpoints.
  bool parseFromHttpResponse(const std::string& response, std::string* missingMember);
  bool parseFromHttpResponse(const std::string& response);

  // Reads region JSON, as the cache stores it. False, with every field unchanged, when the text is
  // not JSON or holds a \u0000 escape. Otherwise each of the seven members
  // that is present as a string replaces its field, each absent one is logged
  // ("<key> not found.") and leaves its field as it was, and the result is
  // true even if none was found.
  bool parseFromJsonString(const std::string& json);

  // The record as region JSON, formatted (one member per line, tab
  // indentation), members in field order; the empty string if printing
  // fails. JSON strings cannot hold a NUL byte: a field that contains one is
  // written up to it.
  std::string toJsonString() const;

  // Byte-for-byte comparison of all seven fields; letter case matters.
  bool operator==(const IotRegionInfo& other) const;
  bool operator!=(const IotRegionInfo& other) const;

  const std::string& getRegionId() const { return regionId_; }
  const std::string& getMqttEndpoint() const { return mqttEndpoint_; }
  const std::string& getApiGatewayEndpoint() const { return apiGatewayEndpoint_; }
  const std::string& getOaApiGatewayEndpoint() const { return oaApiGatewayEndpoint_; }
  const std::string& getRegionEnglishName() const { return regionEnglishName_; }
  const std::string& getPushChannelEndpoint() const { return pushChannelEndpoint_; }
  const std::string& getShortRegionId() const { return shortRegionId_; }

  void setRegionId(const std::string& value) { regionId_ = value; }
  void setMqttEndpoint(const std::string& value) { mqttEndpoint_ = value; }
  void setApiGatewayEndpoint(const std::string& value) { apiGatewayEndpoint_ = value; }
  void setOaApiGatewayEndpoint(const std::string& value) { oaApiGatewayEndpoint_ = value; }
  void setRegionEnglishName(const std::string& value) { regionEnglishName_ = value; }
  void setPushChannelEndpoint(const std::string& value) { pushChannelEndpoint_ = value; }
  void setShortRegionId(const std::string& value) { shortRegionId_ = value; }

 private:
  // Declaration order is the order of the JSON members, of parsing and of
  // comparison.
  std::string regionId_;              // "cn-shanghai"
  std::string mqttEndpoint_;          // "host:port" of the MQTT broker
  std::string apiGatewayEndpoint_;    // bare host name of the API gateway
  std::string oaApiGatewayEndpoint_;  // bare host name of the account service
  std::string regionEnglishName_;     // "ShangHai"
  std::string pushChannelEndpoint_;   // empty by default
  std::string shortRegionId_;         // "0" by default
};
