// A host that brings its own platform: the cache is the host's storage (here
// a map in memory), requests are signed with its own HMAC-SHA1, and the
// system language is the one it chooses.
//   own_platform [GATEWAY[:PORT] [CA_FILE]]
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <iotcloud/core/api/smart/framework/IotAsyncManager.h>
#include <iotcloud/core/api/smart/framework/IotCacheManager.h>
#include <iotcloud/core/api/smart/framework/IotGlobalActivation.h>
#include <iotcloud/core/api/smart/framework/IotLanguageManager.h>
#include <iotcloud/core/support/PlatformServices.h>

// Every call may come from any thread (the HTTP manager thread saves the
// region), so the cache takes a lock. The library calls the cache with a
// lock of its own held: these calls must not call back into it.
class HostPlatform : public PlatformServices {
 public:
  HostPlatform(std::string key, std::string secret) : key_(std::move(key)), secret_(std::move(secret)) {}

  std::string getSystemLanguage() override { return "de"; }
  std::string getApplicationKey() override { return key_; }
  // The gateway's signature: Base64 of HMAC-SHA1 over the string-to-sign.
  std::string signString(std::string text, int /*method: 1, HmacSHA1*/) override {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (HMAC(EVP_sha1(), secret_.data(), static_cast<int>(secret_.size()),
             reinterpret_cast<const unsigned char*>(text.data()), text.size(), mac, &length) == nullptr) {
      return "";
    }
    unsigned char base64[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
    const int written = EVP_EncodeBlock(base64, mac, static_cast<int>(length));
    return std::string(reinterpret_cast<const char*>(base64), static_cast<size_t>(written));
  }
  bool writeCache(std::string key, std::string storedText) override {
    std::lock_guard<std::mutex> lock(mutex_);
    cache_[key] = std::move(storedText);
    return true;
  }
  std::string readCache(std::string key) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = cache_.find(key);
    return found == cache_.end() ? std::string() : found->second;
  }
  // Values are stored as they are: the map holds any bytes.
  std::string encodeCacheValue(std::string value) override { return value; }
  std::string decodeCacheValue(std::string storedText) override { return storedText; }

 private:
  const std::string key_;
  const std::string secret_;
  std::mutex mutex_;
  std::map<std::string, std::string> cache_;
};

int main(int argc, char** argv) {
  const std::string gateway = argc > 1 ? argv[1] : "";
  AsyncHttpOptions http;
  http.caFile = argc > 2 ? argv[2] : "";

  auto platform = std::make_shared<HostPlatform>("demo-app-key", "demo-app-secret");
  setSharedPlatformImpl(platform);  // before anything else uses the library
  IotSmartInitConfig config;
  config.appKey = "demo-app-key";
  IotCacheManager::getInstance()->setSmartInitConfig(config);
  IotAsyncManager::getInstance()->setHttpOptions(http);
  IotAsyncManager::getInstance()->init();
  IotGlobalActivation* activation = IotGlobalActivation::getInstance();
  if (!gateway.empty()) activation->setGatewayHosts(gateway, gateway);
  activation->init();

  activation->regionGetByCountryCode("DE");
  const IotGlobalActivation::LookupResult result = activation->getLastLookupResult();
  IotAsyncManager::getInstance()->deInit();

  std::printf("language sent: %s\n", IotLanguageManager::getInstance()->getLanguage().c_str());
  std::printf("lookup: %s, region %s\n", IotGlobalActivation::OutcomeName(result.outcome),
              activation->getRegionInfo().getRegionId().c_str());
  // The region the library saved, read back from the host's own storage.
  const std::string saved = platform->readCache(PLATFORM_REGION_INFO_KEY);
  std::printf("the host's cache holds %zu bytes under \"%s\"\n", saved.size(), PLATFORM_REGION_INFO_KEY);
  return result.outcome == IotGlobalActivation::LookupOutcome::kChanged && !saved.empty() ? 0 : 1;
}
