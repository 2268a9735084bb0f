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

class LanguageCallback final : public IHttpUtilCallback {
 public:
  explicit LanguageCallback(std::string language) : language_(std::move(language)) {}
  std::string OnStringSign(std::string) override { return {}; }
  std::string OnAppKeyGet() override { return {}; }
  std::string OnLanguageGet() override { return language_; }
  int32_t OnEnvGet() override { return 0; }

 private:
  std::string language_;
};

void Require(bool condition) {
  if (!condition) std::abort();
}

void RequireString(const cJSON* item, const char* name, const std::string& expected) {
  Require(item != nullptr && std::strcmp(item->string, name) == 0 && cJSON_IsString(item));
  Require(expected == item->valuestring);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const bool withParams = size == 0 || (data[0] & 1) == 0;
  std::vector<std::string> fields(6);
  size_t field = 0;
  for (size_t i = size == 0 ? 0 : 1; i < size && field < fields.size(); ++i) {
    if (data[i] == 0) {
      ++field;
    } else {
      fields[field].push_back(static_cast<char>(data[i]));
    }
  }
  const std::string &language = fields[0], &apiVer = fields[1], &id = fields[2], &token = fields[3], &name = fields[4],
                    &value = fields[5];

  cJSON* params = nullptr;
  if (withParams) {
    params = cJSON_CreateObject();
    Require(params != nullptr);
    Require(cJSON_AddStringToObject(params, name.c_str(), value.c_str()) != nullptr);
  }
  LanguageCallback callback(language);
  HttpUtil util(&callback);
  std::string out;
  util.MakeHttpBody(params, apiVer, id, out, token);

  const char* end = nullptr;
  cJSON* parsed = cJSON_ParseWithOpts(out.c_str(), &end, 1);
  Require(parsed != nullptr && cJSON_IsObject(parsed));

  const cJSON* member = parsed->child;
  Require(member != nullptr && std::strcmp(member->string, "request") == 0);
  const cJSON* request = member->child;
  RequireString(request, "language", language);
  RequireString(request->next, "apiVer", apiVer);
  if (token.empty()) {
    Require(request->next->next == nullptr);
  } else {
    RequireString(request->next->next, "iotToken", token);
    Require(request->next->next->next == nullptr);
  }
  member = member->next;
  if (withParams) {
    Require(member != nullptr && std::strcmp(member->string, "params") == 0);
    RequireString(member->child, name.c_str(), value);
    Require(member->child->next == nullptr);
    member = member->next;
  }
  RequireString(member, "id", id);
  RequireString(member->next, "version", "1.0");
  Require(member->next->next == nullptr);

  char* reprinted = cJSON_Print(parsed);
  Require(reprinted != nullptr && out == reprinted);
  cJSON_free(reprinted);
  cJSON_Delete(parsed);
  return 0;
}
