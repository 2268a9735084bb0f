// What the lookup benchmarks share: the library set up with a default
// platform over a fresh cache folder, and the region lookup's request as a
// plain libcurl client sends it (built and signed with the library's request
// builder, posted with curl_easy_perform on the caller's easy handle, whose
// URL, TLS and write callback are already set) for the blocking reference
// clients.
#pragma once

#include <cjson/cJSON.h>
#include <curl/curl.h>

#include <stdlib.h>

#include <map>
#include <memory>
#include <string>

#include "core/api/smart/framework/IotCacheManager.h"
#include "core/io/network/http/HttpUtil.h"
#include "core/support/PlatformServices.h"
#include "core/support/QZRandom.h"
#include "platform/DefaultPlatform.h"
#include "support/TestUtil.h"

namespace iotcloud_bench {

constexpr char kRegionPath[] = "/velmo/account/region/get";

// Makes a fresh folder from `folderTemplate` (mkdtemp's form), sets a
// default platform with its cache there and the application's key and
// secret, and the start-up configuration's key. The folder, or "" when it
// could not be made.
inline std::string SetUpPlatform(std::string folderTemplate, const char* appKey, const char* appSecret) {
  if (mkdtemp(&folderTemplate[0]) == nullptr) return std::string();
  setSharedPlatformImpl(std::make_shared<iotcloud::DefaultPlatform>(
      iotcloud_test::PlatformOptions(folderTemplate + "/cache.db", appKey, appSecret)));
  IotSmartInitConfig init;
  init.appKey = appKey;
  IotCacheManager::getInstance()->setSmartInitConfig(init);
  return folderTemplate;
}

class PlainLookup {
 public:
  explicit PlainLookup(std::string appKey) : signer_(std::move(appKey)), util_(&signer_) {}
  PlainLookup(const PlainLookup&) = delete;
  PlainLookup& operator=(const PlainLookup&) = delete;

  // Posts a lookup of `email` on `easy`, whose write callback appends to
  // `answer` (cleared first). libcurl's result.
  CURLcode Post(CURL* easy, const char* email, std::string* answer) {
    std::string body;
    cJSON* params = cJSON_CreateObject();
    cJSON_AddStringToObject(params, "type", "EMAIL");
    cJSON_AddStringToObject(params, "email", email);
    util_.MakeHttpBody(params, "1.0.2", QZRandom::getRandomGUID(32), body);
    std::map<std::string, std::string> headers;
    util_.MakeHttpHeader(kRegionPath, body, headers, false);
    curl_slist* list = nullptr;
    for (const auto& [key, value] : headers) list = curl_slist_append(list, (key + ": " + value).c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, body.c_str());
    answer->clear();
    const CURLcode rc = curl_easy_perform(easy);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(list);
    return rc;
  }

 private:
  class Signer final : public IHttpUtilCallback {
   public:
    explicit Signer(std::string appKey) : appKey_(std::move(appKey)) {}
    std::string OnStringSign(std::string text) override { return getSharedPlatformImpl()->signString(text, 1); }
    std::string OnAppKeyGet() override { return appKey_; }
    std::string OnLanguageGet() override { return "en-US"; }
    int32_t OnEnvGet() override { return 0; }

   private:
    std::string appKey_;
  };

  Signer signer_;
  HttpUtil util_;
};

}  // namespace iotcloud_bench
