// MakeHttpBody with arbitrary strings: the envelope always parses as JSON,
// gives every input back, keeps its members in order and prints back to the
// same bytes. Fields are split from the input at NUL bytes (cJSON strings end
// at the first NUL, so fields never hold one): language, apiVer, id, token,
// a parameter name and its value. An odd first byte means no params object.
#include <cjson/cJSON.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/io/network/http/HttpUtil.h"

namespace {

struct LanguageCallback final : IHttpUtilCallback {
  std::string language;
  std::string OnStringSign(std::string) override { return {}; }
  std::string OnAppKeyGet() override { return {}; }
  std::string OnLanguageGet() override { return language; }
  int32_t OnEnvGet() override { return 0; }
};

void Require(bool condition) {
  if (!condition) std::abort();
}

// Requires `item` to be the string member `name` holding `expected`; returns the member after it.
const cJSON* Member(const cJSON* item, const char* name, const std::string& expected) {
  Require(item != nullptr && std::strcmp(item->string, name) == 0 && cJSON_IsString(item));
  Require(expected == item->valuestring);
  return item->next;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const bool withParams = size == 0 || (data[0] & 1) == 0;
  std::vector<std::string> fields(6);
  for (size_t i = 1, field = 0; i < size && field < fields.size(); ++i) {
    data[i] == 0 ? void(++field) : fields[field].push_back(static_cast<char>(data[i]));
  }
  const std::string &language = fields[0], &apiVer = fields[1], &id = fields[2], &token = fields[3], &name = fields[4],
                    &value = fields[5];

  cJSON* params = nullptr;
  if (withParams) {
    params = cJSON_CreateObject();
    Require(params != nullptr && cJSON_AddStringToObject(params, name.c_str(), value.c_str()) != nullptr);
  }
  LanguageCallback callback;
  callback.language = language;
  std::string out;
  HttpUtil(&callback).MakeHttpBody(params, apiVer, id, out, token);

  const char* end = nullptr;
  cJSON* parsed = cJSON_ParseWithOpts(out.c_str(), &end, 1);
  Require(parsed != nullptr && cJSON_IsObject(parsed));
  const cJSON* member = parsed->child;
  Require(member != nullptr && std::strcmp(member->string, "request") == 0);
  const cJSON* inRequest = Member(Member(member->child, "language", language), "apiVer", apiVer);
  Require((token.empty() ? inRequest : Member(inRequest, "iotToken", token)) == nullptr);
  member = member->next;
  if (withParams) {
    Require(member != nullptr && std::strcmp(member->string, "params") == 0);
    Require(Member(member->child, name.c_str(), value) == nullptr);
    member = member->next;
  }
  Require(Member(Member(member, "id", id), "version", "1.0") == nullptr);

  char* reprinted = cJSON_Print(parsed);
  Require(reprinted != nullptr && out == reprinted);
  cJSON_free(reprinted);
  cJSON_Delete(parsed);
  return 0;
}
