#include "gateway-sim/RegionTable.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <cctype>

#include "core/support/internal/JsonPtr.h"
#include "gateway-sim/RequestCheck.h"

namespace iotcloud {
namespace gateway {
namespace {

const char* const kRegionMembers[] = {
    "regionId",          "mqttEndpoint",        "apiGatewayEndpoint", "oaApiGatewayEndpoint",
    "regionEnglishName", "pushChannelEndpoint", "shortRegionId"};

// The lookups the service knows: the parameter the route matches on, and
// another parameter the lookup requires.
struct LookupType {
  const char* type;
  const char* routeParam;
  const char* otherParam;  // also required, or null
};
const LookupType kLookupTypes[] = {
    {"PHONE", "phoneLocationCode", "phone"},
    {"COUNTRY_CODE", "countryCode", nullptr},
    {"EMAIL", "email", nullptr},
    {"THIRD_AUTHCODE", "authCode", nullptr},
};

const LookupType* FindLookupType(const std::string& type) {
  for (const LookupType& entry : kLookupTypes) {
    if (type == entry.type) return &entry;
  }
  return nullptr;
}

std::string ToLower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Parses a whole text as one JSON value; trailing white space is allowed,
// anything else after the value is not.
JsonPtr ParseWhole(const std::string& text) {
  const char* end = nullptr;
  JsonPtr root(cJSON_ParseWithLengthOpts(text.data(), text.size(), &end, false));
  if (!root) return nullptr;
  const char* limit = text.data() + text.size();
  for (const char* p = end; p != nullptr && p < limit; ++p) {
    if (*p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') return nullptr;
  }
  return root;
}

std::string Compact(const cJSON* item) {
  JsonText printed(cJSON_PrintUnformatted(item));
  return printed ? std::string(printed.get()) : std::string();
}

// The built-in region table (see BuiltIn in the header).
const char kBuiltInJson[] = R"({
  "regions": {
    "cn-shanghai": {
      "regionId": "cn-shanghai",
      "mqttEndpoint": "mqtt.cn-shanghai.iot.example.com:1883",
      "apiGatewayEndpoint": "api.iot.example.com",
      "oaApiGatewayEndpoint": "account.cn-shanghai.iot.example.com",
      "regionEnglishName": "ShangHai",
      "pushChannelEndpoint": "",
      "shortRegionId": "0"
    },
    "ap-southeast-1": {
      "regionId": "ap-southeast-1",
      "mqttEndpoint": "mqtt.ap-southeast-1.iot.example.com:1883",
      "apiGatewayEndpoint": "api.ap-southeast-1.iot.example.com",
      "oaApiGatewayEndpoint": "account.ap-southeast-1.iot.example.com",
      "regionEnglishName": "Singapore",
      "pushChannelEndpoint": "push.ap-southeast-1.iot.example.com",
      "shortRegionId": "sg"
    },
    "us-west-1": {
      "regionId": "us-west-1",
      "mqttEndpoint": "mqtt.us-west-1.iot.example.com:1883",
      "apiGatewayEndpoint": "api.us-west-1.iot.example.com",
      "oaApiGatewayEndpoint": "account.us-west-1.iot.example.com",
      "regionEnglishName": "Silicon Valley",
      "pushChannelEndpoint": "push.us-west-1.iot.example.com",
      "shortRegionId": "us"
    },
    "eu-central-1": {
      "regionId": "eu-central-1",
      "mqttEndpoint": "mqtt.eu-central-1.iot.example.com:1883",
      "apiGatewayEndpoint": "api.eu-central-1.iot.example.com",
      "oaApiGatewayEndpoint": "account.eu-central-1.iot.example.com",
      "regionEnglishName": "Frankfurt",
      "pushChannelEndpoint": "push.eu-central-1.iot.example.com",
      "shortRegionId": "de"
    }
  },
  "routes": {
    "PHONE": {
      "default": "cn-shanghai",
      "match": { "86": "cn-shanghai", "65": "ap-southeast-1", "1": "us-west-1",
                 "49": "eu-central-1", "33": "eu-central-1", "44": "eu-central-1" }
    },
    "COUNTRY_CODE": {
      "default": "ap-southeast-1",
      "match": { "CN": "cn-shanghai", "SG": "ap-southeast-1", "US": "us-west-1", "CA": "us-west-1",
                 "DE": "eu-central-1", "FR": "eu-central-1", "GB": "eu-central-1" }
    },
    "EMAIL": {
      "default": "ap-southeast-1",
      "match": { "example.cn": "cn-shanghai", "example.sg": "ap-southeast-1", "example.com": "us-west-1",
                 "example.de": "eu-central-1", "shanghai.user@example.com": "cn-shanghai" }
    },
    "THIRD_AUTHCODE": {
      "default": "ap-southeast-1",
      "match": { "authcode-cn": "cn-shanghai", "authcode-us": "us-west-1", "authcode-eu": "eu-central-1" }
    }
  }
}
)";

const char* StringMember(const cJSON* object, const char* name) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
  return cJSON_IsString(item) ? item->valuestring : nullptr;
}

}  // namespace

std::string ErrorBody(int code, const std::string& message) {
  JsonPtr root(cJSON_CreateObject());
  cJSON_AddNumberToObject(root.get(), "code", code);
  cJSON_AddStringToObject(root.get(), "message", message.c_str());
  return Compact(root.get());
}

const char* RegionTable::BuiltInJson() { return kBuiltInJson; }

RegionTable RegionTable::BuiltIn() {
  RegionTable table;
  std::string error;
  // The built-in text is tested to parse; an empty table would answer every
  // lookup with an unknown type.
  Parse(BuiltInJson(), &table, &error);
  return table;
}

bool RegionTable::Parse(const std::string& json, RegionTable* out, std::string* error) {
  auto fail = [error](const std::string& text) {
    if (error != nullptr) *error = text;
    return false;
  };
  JsonPtr root = ParseWhole(json);
  if (!root) return fail("region table is not JSON");
  if (!cJSON_IsObject(root.get())) return fail("region table is not a JSON object");
  for (const cJSON* member = root->child; member != nullptr; member = member->next) {
    const std::string name = member->string != nullptr ? member->string : "";
    if (name != "regions" && name != "routes") return fail("unknown member \"" + name + "\" in the region table");
  }
  RegionTable table;
  std::string reason;
  if (!table.ParseRegions(cJSON_GetObjectItemCaseSensitive(root.get(), "regions"), &reason) ||
      !table.ParseRoutes(cJSON_GetObjectItemCaseSensitive(root.get(), "routes"), &reason)) {
    return fail(reason);
  }
  *out = std::move(table);
  return true;
}

bool RegionTable::ParseRegions(const cJSON* regions, std::string* error) {
  if (!cJSON_IsObject(regions) || regions->child == nullptr) {
    *error = "\"regions\" must be a non-empty object";
    return false;
  }
  for (const cJSON* region = regions->child; region != nullptr; region = region->next) {
    const std::string key = region->string;
    if (!cJSON_IsObject(region)) {
      *error = "region \"" + key + "\" is not an object";
      return false;
    }
    for (const cJSON* member = region->child; member != nullptr; member = member->next) {
      const std::string name = member->string;
      if (std::find(std::begin(kRegionMembers), std::end(kRegionMembers), name) == std::end(kRegionMembers)) {
        *error = "region \"" + key + "\" has unknown member \"" + name + "\"";
        return false;
      }
    }
    if (!regions_.emplace(key, Compact(region)).second) {
      *error = "region \"" + key + "\" appears twice";
      return false;
    }
  }
  return true;
}

bool RegionTable::ParseRoutes(const cJSON* routes, std::string* error) {
  if (!cJSON_IsObject(routes)) {
    *error = "\"routes\" must be an object";
    return false;
  }
  for (const cJSON* route = routes->child; route != nullptr; route = route->next) {
    const std::string type = route->string;
    RouteRule rule;
    if (!ParseRoute(route, &rule, error)) return false;
    if (!routes_.emplace(type, std::move(rule)).second) {
      *error = "route \"" + type + "\" appears twice";
      return false;
    }
  }
  for (const LookupType& entry : kLookupTypes) {
    if (routes_.count(entry.type) == 0) {
      *error = std::string("route \"") + entry.type + "\" is missing";
      return false;
    }
  }
  return true;
}

bool RegionTable::ParseRoute(const cJSON* route, RouteRule* rule, std::string* error) const {
  const std::string type = route->string;
  auto fail = [error, &type](const std::string& text) {
    *error = "route \"" + type + "\"" + text;
    return false;
  };
  if (FindLookupType(type) == nullptr) {
    *error = "unknown lookup type \"" + type + "\" under \"routes\"";
    return false;
  }
  if (!cJSON_IsObject(route)) return fail(" is not an object");
  for (const cJSON* member = route->child; member != nullptr; member = member->next) {
    const std::string name = member->string;
    if (name == "default") {
      if (!cJSON_IsString(member)) return fail(": \"default\" must be a string");
      rule->defaultRegion = member->valuestring;
    } else if (name == "match") {
      if (!cJSON_IsObject(member)) return fail(": \"match\" must be an object");
      for (const cJSON* entry = member->child; entry != nullptr; entry = entry->next) {
        if (!cJSON_IsString(entry)) return fail(": match \"" + std::string(entry->string) + "\" must name a region");
        const std::string value = type == "EMAIL" ? ToLower(entry->string) : std::string(entry->string);
        if (regions_.count(entry->valuestring) == 0) {
          return fail(": unknown region \"" + std::string(entry->valuestring) + "\"");
        }
        rule->match[value] = entry->valuestring;
      }
    } else {
      return fail(" has unknown member \"" + name + "\"");
    }
  }
  if (rule->defaultRegion.empty()) return fail(" has no \"default\"");
  if (regions_.count(rule->defaultRegion) == 0) return fail(": unknown region \"" + rule->defaultRegion + "\"");
  return true;
}

std::string RegionTable::Route(const std::string& type, const std::string& value) const {
  auto rule = routes_.find(type);
  if (rule == routes_.end()) return std::string();
  const auto& match = rule->second.match;
  if (type == "EMAIL") {
    const std::string address = ToLower(value);
    auto whole = match.find(address);
    if (whole != match.end()) return whole->second;
    const size_t at = address.rfind('@');
    if (at != std::string::npos) {
      auto domain = match.find(address.substr(at + 1));
      if (domain != match.end()) return domain->second;
    }
    return rule->second.defaultRegion;
  }
  auto exact = match.find(value);
  return exact != match.end() ? exact->second : rule->second.defaultRegion;
}

std::string RegionTable::RegionJson(const std::string& regionKey) const {
  auto region = regions_.find(regionKey);
  return region != regions_.end() ? region->second : std::string();
}

ServiceAnswer RegionTable::Answer(const std::string& requestBody) const {
  auto error = [](int code, const std::string& message) {
    ServiceAnswer answer;
    answer.code = code;
    answer.message = message;
    answer.body = ErrorBody(code, message);
    return answer;
  };
  JsonPtr root = ParseWhole(requestBody);
  if (!root) return error(400, "Malformed envelope: body is not JSON");
  if (!cJSON_IsObject(root.get())) return error(400, "Malformed envelope: body is not a JSON object");
  const cJSON* version = cJSON_GetObjectItemCaseSensitive(root.get(), "version");
  if (!cJSON_IsString(version)) return error(400, "Malformed envelope: \"version\" missing");
  if (std::string(version->valuestring) != "1.0") return error(400, "Malformed envelope: \"version\" is not \"1.0\"");
  if (StringMember(root.get(), "id") == nullptr) return error(400, "Malformed envelope: \"id\" missing");
  const cJSON* request = cJSON_GetObjectItemCaseSensitive(root.get(), "request");
  if (!cJSON_IsObject(request)) return error(400, "Malformed envelope: \"request\" missing");
  if (StringMember(request, "language") == nullptr) {
    return error(400, "Malformed envelope: \"request\".\"language\" missing");
  }
  const char* apiVer = StringMember(request, "apiVer");
  if (apiVer == nullptr) return error(400, "Malformed envelope: \"request\".\"apiVer\" missing");
  if (std::string(apiVer) != "1.0.2") return error(400, "Unsupported apiVer: " + Printable(apiVer));
  const cJSON* params = cJSON_GetObjectItemCaseSensitive(root.get(), "params");
  if (!cJSON_IsObject(params)) return error(400, "Malformed envelope: \"params\" missing");

  const char* type = StringMember(params, "type");
  if (type == nullptr) return error(422, "Missing parameter: type");
  const LookupType* lookup = FindLookupType(type);
  if (lookup == nullptr) return error(404, "Unknown type: " + Printable(type));
  const char* value = StringMember(params, lookup->routeParam);
  if (value == nullptr) return error(422, std::string("Missing parameter: ") + lookup->routeParam);
  if (lookup->otherParam != nullptr && StringMember(params, lookup->otherParam) == nullptr) {
    return error(422, std::string("Missing parameter: ") + lookup->otherParam);
  }

  ServiceAnswer answer;
  answer.regionKey = Route(type, value);
  JsonPtr data(cJSON_Parse(RegionJson(answer.regionKey).c_str()));
  JsonPtr reply(cJSON_CreateObject());
  cJSON_AddNumberToObject(reply.get(), "code", 200);
  cJSON_AddStringToObject(reply.get(), "message", "success");
  cJSON_AddItemToObject(reply.get(), "data", data.release());
  answer.body = Compact(reply.get());
  return answer;
}

}  // namespace gateway
}  // namespace iotcloud
