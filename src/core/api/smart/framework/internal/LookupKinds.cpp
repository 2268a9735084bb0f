#include "core/api/smart/framework/internal/LookupKinds.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <cctype>

namespace iotcloud {
namespace lookup {

const Kind kEmail{"regionGetByEmail", "EMAIL", {{"email", Mask::kEmailDomain}}, HostRule::kApiGateway};
const Kind kPhone{"regionGetByPhone",
                  "PHONE",
                  {{"phoneLocationCode", Mask::kNone}, {"phone", Mask::kLastTwoDigits}},
                  HostRule::kApiGateway};
const Kind kCountryCode{
    "regionGetByCountryCode", "COUNTRY_CODE", {{"countryCode", Mask::kNone}}, HostRule::kChinaOrShanghai};
const Kind kAuthCode{"regionGetByAuthCode", "THIRD_AUTHCODE", {{"authCode", Mask::kWhole}}, HostRule::kApiGateway};

std::string Masked(Mask mask, const std::string& value) {
  switch (mask) {
    case Mask::kNone: return value;
    case Mask::kEmailDomain: {
      const size_t at = value.rfind('@');
      return at == std::string::npos ? "***" : "***" + value.substr(at);
    }
    case Mask::kLastTwoDigits:
      if (value.size() > 2) return "***" + value.substr(value.size() - 2);
      return "***";
    case Mask::kWhole: return "***";
  }
  return "***";
}

JsonPtr Identifiers::Params() const {
  JsonPtr params(cJSON_CreateObject());
  cJSON_AddItemToObject(params.get(), "type", cJSON_CreateString(kind->type));
  for (size_t i = 0; i < kind->members.size(); ++i) {
    cJSON_AddItemToObject(params.get(), kind->members[i].key, cJSON_CreateString(values[i].c_str()));
  }
  return params;
}

const std::string& Identifiers::Value(const char* key) const {
  static const std::string kNoValue;
  for (size_t i = 0; i < kind->members.size(); ++i) {
    if (std::string(kind->members[i].key) == key) return values[i];
  }
  return kNoValue;
}

std::string Identifiers::MaskIn(const std::string& text) const {
  auto same = [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  };
  std::string masked = text;
  for (size_t i = 0; i < kind->members.size(); ++i) {
    const Mask mask = kind->members[i].mask;
    const std::string& value = values[i];
    if (mask == Mask::kNone || value.empty()) continue;
    const std::string replacement = Masked(mask, value);
    // Searched on past each replacement, which may end like the value.
    for (size_t from = 0;;) {
      const auto at = std::search(masked.begin() + static_cast<std::ptrdiff_t>(from), masked.end(), value.begin(),
                                  value.end(), same);
      if (at == masked.end()) break;
      const size_t offset = static_cast<size_t>(at - masked.begin());
      masked.replace(offset, value.size(), replacement);
      from = offset + replacement.size();
    }
  }
  return masked;
}

std::string Identifiers::BodyForLog(const std::string& body) const {
  JsonPtr tree(cJSON_Parse(body.c_str()));
  cJSON* params = tree ? cJSON_GetObjectItemCaseSensitive(tree.get(), "params") : nullptr;
  if (params == nullptr) return "(withheld)";
  for (const Member& member : kind->members) {
    if (member.mask == Mask::kNone) continue;
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(params, member.key);
    if (item == nullptr) continue;
    const std::string value = cJSON_IsString(item) ? item->valuestring : "";
    cJSON_ReplaceItemInObjectCaseSensitive(params, member.key, cJSON_CreateString(Masked(member.mask, value).c_str()));
  }
  JsonText text(cJSON_Print(tree.get()));
  return text ? std::string(text.get()) : "(withheld)";
}

}  // namespace lookup
}  // namespace iotcloud
