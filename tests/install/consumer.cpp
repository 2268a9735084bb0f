// A host application built against the installed package only.
#include <cstdio>
#include <memory>

#include "core/api/smart/framework/IotAsyncManager.h"
#include "core/api/smart/framework/IotCacheManager.h"
#include "core/api/smart/framework/IotGlobalActivation.h"
#include "platform/DefaultPlatform.h"

int main() {
  setSharedPlatformImpl(
      std::make_shared<iotcloud::DefaultPlatform>(iotcloud::DefaultPlatformOptions{":memory:", "key", "secret", "en"}));
  IotSmartInitConfig config;
  config.appKey = "key";
  IotCacheManager::getInstance()->setSmartInitConfig(config);
  IotAsyncManager::getInstance()->init();
  IotGlobalActivation* activation = IotGlobalActivation::getInstance();
  activation->init();
  activation->setGatewayHosts("127.0.0.1:1", "127.0.0.1:1");  // nothing listens there
  activation->regionGetByEmail("someone@example.com");
  IotAsyncManager::getInstance()->deInit();
  const bool ok = activation->getLastLookupResult().outcome == IotGlobalActivation::LookupOutcome::kTransportFailure &&
                  activation->getRegionInfo() == IotRegionInfo();
  std::printf("%s\n", ok ? "consumer: ok" : "consumer: unexpected outcome");
  return ok ? 0 : 1;
}
