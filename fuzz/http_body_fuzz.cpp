// MakeHttpBody with arbitrary strings: the envelope parses back as JSON and is
// byte for byte what cJSON prints for the expected tree (every input given
// back, members in order). Fields are split from the input at NUL bytes (cJSON
// strings end at the first NUL, so fields never hold one): language, apiVer,
// id, token, a parameter name and its value. An odd first byte means no params
// object.
#include <cjson/cJSON.h>

#include <cstdint>
#include <cstdlib>
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const bool withParams = size == 0 || (data[0] & 1) == 0;
  std::vector<std::string> fields(6);
  for (size_t i = 1, field = 0; i < size && field < fields.size(); ++i) {
    data[i] == 0 ? void(++field) : fields[field].push_back(static_cast<char>(data[i]));
  }
  const char *language = fields[0].c_str(), *apiVer = fields[1].c_str(), *id = fields[2].c_str(),
             *token = fields[3].c_str(), *name = fields[4].c_str(), *value = fields[5].c_str();

  cJSON* params = withParams ? cJSON_CreateObject() : nullptr;
  if (withParams && cJSON_AddStringToObject(params, name, value) == nullptr) std::abort();
  LanguageCallback callback;
  callback.language = language;
  std::string out;
  HttpUtil(&callback).MakeHttpBody(params, apiVer, id, out, token);

  cJSON* expected = cJSON_CreateObject();
  cJSON* request = cJSON_AddObjectToObject(expected, "request");
  cJSON_AddStringToObject(request, "language", language);
  cJSON_AddStringToObject(request, "apiVer", apiVer);
  if (*token != '\0') cJSON_AddStringToObject(request, "iotToken", token);
  if (withParams) cJSON_AddStringToObject(cJSON_AddObjectToObject(expected, "params"), name, value);
  cJSON_AddStringToObject(expected, "id", id);
  cJSON_AddStringToObject(expected, "version", "1.0");
  char* printed = cJSON_Print(expected);
  cJSON* parsed = cJSON_Parse(out.c_str());
  if (printed == nullptr || out != printed || !cJSON_Compare(parsed, expected, 1)) std::abort();
  cJSON_free(printed);
  cJSON_Delete(parsed);
  cJSON_Delete(expected);
  return 0;
}
