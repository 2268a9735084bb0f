// Region lookup latency: a lookup through the library (build, sign, post, wait
// for the HTTP manager thread, parse, compare, save) against the same signed
// POST made with blocking libcurl on a reused handle, both against the
// in-process gateway over a warm TLS connection. Prints the medians and their
// ratio; the target is a median lookup within 5x of the blocking POST.
#include <cjson/cJSON.h>
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/api/smart/framework/IotAsyncManager.h"
#include "core/api/smart/framework/IotCacheManager.h"
#include "core/api/smart/framework/IotGlobalActivation.h"
#include "core/io/network/http/AsyncHttpRequest.h"
#include "core/io/network/http/HttpUtil.h"
#include "core/support/PlatformServices.h"
#include "core/support/QZRandom.h"
#include "core/support/TovoLog.h"
#include "gateway-sim/GatewaySim.h"
#include "platform/DefaultPlatform.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr char kAppKey[] = "bench-app-key";
constexpr char kAppSecret[] = "bench-app-secret";
constexpr int kWarmup = 20;
constexpr int kRounds = 300;

double MedianMs(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

// Signs with the installed platform, like the library's own callback.
class Signer final : public IHttpUtilCallback {
 public:
  std::string OnStringSign(std::string text) override { return getSharedPlatformImpl()->signString(text, 1); }
  std::string OnAppKeyGet() override { return kAppKey; }
  std::string OnLanguageGet() override { return "en-US"; }
  int32_t OnEnvGet() override { return 0; }
};

size_t Collect(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

}  // namespace

int main() {
  iotcloud::SetLogMinLevel(5);
  iotcloud::gateway::GatewayConfig config;
  config.applications[kAppKey] = kAppSecret;
  iotcloud::gateway::GatewaySim sim(config);
  std::string error;
  if (!sim.Start(&error)) {
    std::fprintf(stderr, "gateway: %s\n", error.c_str());
    return 1;
  }

  iotcloud::DefaultPlatformOptions platform;
  platform.cachePath = ":memory:";
  platform.applicationKey = kAppKey;
  platform.applicationSecret = kAppSecret;
  platform.systemLanguage = "en";
  setSharedPlatformImpl(std::make_shared<iotcloud::DefaultPlatform>(platform));
  IotSmartInitConfig init;
  init.appKey = kAppKey;
  IotCacheManager::getInstance()->setSmartInitConfig(init);
  AsyncHttpOptions options = IotAsyncManager::getInstance()->getHttpOptions();
  options.caPem = sim.caPem();
  IotAsyncManager::getInstance()->setHttpOptions(options);
  IotAsyncManager::getInstance()->init();
  IotGlobalActivation* activation = IotGlobalActivation::getInstance();
  activation->setGatewayHosts(sim.hostPort(), sim.hostPort());

  // Through the library.
  std::vector<double> library;
  for (int i = 0; i < kWarmup + kRounds; ++i) {
    const auto start = Clock::now();
    activation->regionGetByEmail("bench@example.de");
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    const auto outcome = activation->getLastLookupResult().outcome;
    if (outcome != IotGlobalActivation::LookupOutcome::kChanged &&
        outcome != IotGlobalActivation::LookupOutcome::kUnchanged) {
      std::fprintf(stderr, "lookup failed: %s\n", activation->getLastLookupResult().detail.c_str());
      return 1;
    }
    if (i >= kWarmup) library.push_back(ms);
  }
  IotAsyncManager::getInstance()->deInit();

  // The same signed POST, blocking, on one reused easy handle.
  Signer signer;
  HttpUtil util(&signer);
  CURL* easy = curl_easy_init();
  const std::string ca = sim.caPem();
  curl_blob blob{const_cast<char*>(ca.data()), ca.size(), CURL_BLOB_COPY};
  curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  const std::string url = "https://" + sim.hostPort() + "/velmo/account/region/get";
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  std::string answer;
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &answer);
  std::vector<double> blocking;
  for (int i = 0; i < kWarmup + kRounds; ++i) {
    const auto start = Clock::now();
    std::string body;
    cJSON* params = cJSON_CreateObject();
    cJSON_AddStringToObject(params, "type", "EMAIL");
    cJSON_AddStringToObject(params, "email", "bench@example.de");
    util.MakeHttpBody(params, "1.0.2", QZRandom::getRandomGUID(32), body);
    std::map<std::string, std::string> headers;
    util.MakeHttpHeader("/velmo/account/region/get", body, headers, false);
    curl_slist* list = nullptr;
    for (const auto& [key, value] : headers) list = curl_slist_append(list, (key + ": " + value).c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, body.c_str());
    answer.clear();
    const CURLcode rc = curl_easy_perform(easy);
    curl_slist_free_all(list);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (rc != CURLE_OK) {
      std::fprintf(stderr, "blocking POST failed: %s\n", curl_easy_strerror(rc));
      return 1;
    }
    if (i >= kWarmup) blocking.push_back(ms);
  }
  curl_easy_cleanup(easy);
  sim.Stop();

  const double lookupMs = MedianMs(library);
  const double blockingMs = MedianMs(blocking);
  const double ratio = lookupMs / blockingMs;
  std::printf("median lookup through the library   %8.3f ms (%d lookups)\n", lookupMs, kRounds);
  std::printf("median signed POST, blocking libcurl %8.3f ms (%d posts)\n", blockingMs, kRounds);
  std::printf("ratio %.2fx (target <= 5x): %s\n", ratio, ratio <= 5.0 ? "met" : "NOT MET");
  return 0;
}
