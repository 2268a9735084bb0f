// A plugin a host loads with dlopen and unloads with dlclose: it links
// libiotcloud, runs the library's whole runtime once and takes it down again,
// so that nothing of the library is left running when the plugin goes.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include <iotcloud/core/api/smart/framework/IotAsyncManager.h>
#include <iotcloud/core/api/smart/framework/IotCacheManager.h>
#include <iotcloud/core/api/smart/framework/IotGlobalActivation.h>
#include <iotcloud/platform/DefaultPlatform.h>

// Runs one asynchronous lookup against a closed port; 0 when it ended as a
// transport failure within its deadline.
extern "C" __attribute__((visibility("default"))) int iotcloud_plugin_run() {
  setSharedPlatformImpl(
      std::make_shared<iotcloud::DefaultPlatform>(iotcloud::DefaultPlatformOptions{":memory:", "key", "secret", "en"}));
  IotSmartInitConfig config;
  config.appKey = "key";
  IotCacheManager::getInstance()->setSmartInitConfig(config);
  IotAsyncManager::getInstance()->init();
  IotGlobalActivation* activation = IotGlobalActivation::getInstance();
  activation->setGatewayHosts("127.0.0.1:1", "127.0.0.1:1");  // nothing listens there
  IotGlobalActivation::RetryPolicy once;
  once.maxAttempts = 1;
  activation->setRetryPolicy(once);

  struct Done {
    std::mutex mutex;
    std::condition_variable cond;
    bool done = false;
    IotGlobalActivation::LookupOutcome outcome = IotGlobalActivation::LookupOutcome::kNone;
  };
  auto done = std::make_shared<Done>();
  activation->regionGetByEmailAsync("someone@example.com", [done](const IotGlobalActivation::LookupResult& result) {
    std::lock_guard<std::mutex> lock(done->mutex);
    done->done = true;
    done->outcome = result.outcome;
    done->cond.notify_all();
  });
  bool ended;
  {
    std::unique_lock<std::mutex> lock(done->mutex);
    ended = done->cond.wait_for(lock, std::chrono::seconds(30), [&] { return done->done; });
  }
  // Stops the HTTP manager thread and, with the manager, the worker pool's
  // thread; drops the platform (and its cache).
  IotAsyncManager::getInstance()->deInit();
  delete IotAsyncManager::getInstance();
  setSharedPlatformImpl(nullptr);
  return ended && done->outcome == IotGlobalActivation::LookupOutcome::kTransportFailure ? 0 : 1;
}
