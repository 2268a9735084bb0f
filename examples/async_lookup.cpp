// A host with an event loop (a UI thread, say) that must never block: it
// starts lookups without waiting, has their completions delivered on its own
// thread through a completion executor that posts to its task queue, and
// cancels the lookup the user no longer needs.
//   async_lookup [GATEWAY[:PORT] [CA_FILE]]
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <iotcloud/core/api/smart/framework/IotAsyncManager.h>
#include <iotcloud/core/api/smart/framework/IotCacheManager.h>
#include <iotcloud/core/api/smart/framework/IotGlobalActivation.h>
#include <iotcloud/platform/DefaultPlatform.h>

// The host's event loop: tasks posted from any thread run on the thread that
// calls Run, one after the other.
class EventLoop {
 public:
  void Post(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
    wake_.notify_one();
  }
  void Quit() { quit_ = true; }  // from a task
  // Runs tasks until one calls Quit(); false when `limit` passed first.
  bool Run(std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!quit_) {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!wake_.wait_until(lock, deadline, [this] { return !tasks_.empty(); })) return false;
      RunFront(lock);
    }
    return true;
  }
  // Runs the tasks already posted, without waiting for more.
  void RunPosted() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!tasks_.empty()) {
      RunFront(lock);
      lock.lock();
    }
  }

 private:
  // Takes the first task and runs it with the lock released.
  void RunFront(std::unique_lock<std::mutex>& lock) {
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    task();
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool quit_ = false;  // touched by the loop's thread only
};

int main(int argc, char** argv) {
  const std::string gateway = argc > 1 ? argv[1] : "";
  AsyncHttpOptions http;
  http.caFile = argc > 2 ? argv[2] : "";

  IotSmartInitConfig config;
  config.appKey = "demo-app-key";
  IotCacheManager::getInstance()->setSmartInitConfig(config);
  setSharedPlatformImpl(std::make_shared<iotcloud::DefaultPlatform>(
      iotcloud::DefaultPlatformOptions{"example-cache.db", "demo-app-key", "demo-app-secret", ""}));
  IotAsyncManager::getInstance()->setHttpOptions(http);
  IotAsyncManager::getInstance()->init();
  IotGlobalActivation* activation = IotGlobalActivation::getInstance();
  if (!gateway.empty()) activation->setGatewayHosts(gateway, gateway);
  activation->init();

  EventLoop loop;
  // Completions of asynchronous lookups come to the loop's thread: the
  // executor runs where the completion would have (the HTTP manager thread,
  // mostly), so it only posts.
  activation->setCompletionExecutor([&loop](std::function<void()> completion) { loop.Post(std::move(completion)); });
  int pending = 2;
  bool found = false;
  auto done = [&] {
    if (--pending == 0) loop.Quit();
  };

  loop.Post([&] {
    activation->regionGetByEmailAsync("alice@example.com", [&](const IotGlobalActivation::LookupResult& result) {
      using Outcome = IotGlobalActivation::LookupOutcome;
      found = result.outcome == Outcome::kChanged || result.outcome == Outcome::kUnchanged;
      std::printf("by e-mail: %s, MQTT endpoint %s\n", IotGlobalActivation::OutcomeName(result.outcome),
                  activation->getRegionInfo().getMqttEndpoint().c_str());
      done();
    });
    IotGlobalActivation::LookupHandle byPhone =
        activation->regionGetByPhoneAsync("65", "91234567", [&](const IotGlobalActivation::LookupResult& result) {
          // kCancelled, unless the answer was already being handled.
          std::printf("by phone: %s\n", IotGlobalActivation::OutcomeName(result.outcome));
          done();
        });
    // The user left the page that wanted it.
    std::printf("cancel of the lookup by phone: %s\n", byPhone.cancel() ? "taken" : "too late");
  });
  const bool ended = loop.Run(std::chrono::seconds(60));
  // deInit() completes what is still pending through the executor; the loop
  // runs those completions too.
  IotAsyncManager::getInstance()->deInit();
  loop.RunPosted();
  std::printf("%s\n", ended ? "both lookups completed" : "the lookups did not complete within 60 s");
  return ended && found ? 0 : 1;
}
