// A host application built against the installed package only, with nothing
// but <prefix>/include on its include path. It runs one lookup against a
// closed port and checks that the version it was compiled against is the
// one it runs with.
#include <cstdio>
#include <cstring>
#include <memory>

#include <iotcloud/core/api/smart/framework/IotAsyncManager.h>
#include <iotcloud/core/api/smart/framework/IotCacheManager.h>
#include <iotcloud/core/api/smart/framework/IotGlobalActivation.h>
#include <iotcloud/core/support/Version.h>
#include <iotcloud/platform/DefaultPlatform.h>

int main() {
  if (std::strcmp(iotcloud::Version(), IOTCLOUD_VERSION_STRING) != 0) {
    std::printf("consumer: built against %s, runs with %s\n", IOTCLOUD_VERSION_STRING, iotcloud::Version());
    return 1;
  }
  setSharedPlatformImpl(
      std::make_shared<iotcloud::DefaultPlatform>(iotcloud::DefaultPlatformOptions{":memory:", "key", "secret", "en"}));
  IotSmartInitConfig config;
  config.appKey = "key";
  IotCacheManager::getInstance()->setSmartInitConfig(config);
  IotAsyncManager::getInstance()->init();
  IotGlobalActivation* activation = IotGlobalActivation::getInstance();
  activation->init();
  activation->setGatewayHosts("127.0.0.1:1", "127.0.0.1:1");  // nothing listens there
  IotGlobalActivation::RetryPolicy once;
  once.maxAttempts = 1;
  activation->setRetryPolicy(once);
  activation->regionGetByEmail("someone@example.com");
  IotAsyncManager::getInstance()->deInit();
  const bool ok = activation->getLastLookupResult().outcome == IotGlobalActivation::LookupOutcome::kTransportFailure &&
                  activation->getRegionInfo() == IotRegionInfo();
  std::printf("%s\n", ok ? "consumer: ok" : "consumer: unexpected outcome");
  return ok ? 0 : 1;
}
