// A host that looks up the region of an account and waits for the answer,
// with an observer that hears when the region changes.
//   blocking_lookup [GATEWAY[:PORT] [CA_FILE]]
// Without arguments it asks the deployment's gateway and trusts the system's
// certificates. The key and secret are those of the local gateway's demo
// application (iotcloud-gateway-sim); a host has its own.
#include <cstdio>
#include <memory>
#include <string>

#include <iotcloud/core/api/smart/framework/IotAsyncManager.h>
#include <iotcloud/core/api/smart/framework/IotCacheManager.h>
#include <iotcloud/core/api/smart/framework/IotGlobalActivation.h>
#include <iotcloud/platform/DefaultPlatform.h>

// Runs on the library's HTTP manager thread, before the lookup returns.
class Observer : public IIotGlobalActivationCallback {
 public:
  void OnRegionInfoChanged(const IotRegionInfo& region) override {
    std::printf("observer: the region is now %s\n", region.getRegionId().c_str());
  }
};

int main(int argc, char** argv) {
  const std::string gateway = argc > 1 ? argv[1] : "";
  AsyncHttpOptions http;
  http.caFile = argc > 2 ? argv[2] : "";  // empty: the system's trust store

  IotSmartInitConfig config;  // env 0 = production, 1 = PRE, 2 = TEST
  config.appKey = "demo-app-key";
  IotCacheManager::getInstance()->setSmartInitConfig(config);
  // The cache file: "" would be the user's cache folder.
  setSharedPlatformImpl(std::make_shared<iotcloud::DefaultPlatform>(
      iotcloud::DefaultPlatformOptions{"example-cache.db", "demo-app-key", "demo-app-secret", ""}));
  IotAsyncManager::getInstance()->setHttpOptions(http);
  IotAsyncManager::getInstance()->init();  // starts the HTTP manager thread

  IotGlobalActivation* activation = IotGlobalActivation::getInstance();
  if (!gateway.empty()) activation->setGatewayHosts(gateway, gateway);
  activation->init();  // restores the region saved by the last run
  Observer observer;
  activation->setIotGlobalActivationCallback(&observer);
  activation->regionGetByLoginId("alice@example.com", "");  // blocks until the answer is handled
  activation->setIotGlobalActivationCallback(nullptr);

  const IotGlobalActivation::LookupResult result = activation->getLastLookupResult();
  const bool found = result.outcome == IotGlobalActivation::LookupOutcome::kChanged ||
                     result.outcome == IotGlobalActivation::LookupOutcome::kUnchanged;
  std::printf("lookup: %s, %s\n", IotGlobalActivation::OutcomeName(result.outcome), result.detail.c_str());
  std::printf("MQTT endpoint: %s\n", activation->getRegionInfo().getMqttEndpoint().c_str());
  IotAsyncManager::getInstance()->deInit();  // at shut-down
  return found ? 0 : 1;
}
