#include "core/api/smart/framework/IotAsyncManager.h"

#include <chrono>

#include "core/support/TovoLog.h"

IotAsyncManager* IotAsyncManager::pInstance_ = nullptr;
std::mutex IotAsyncManager::mutex_;

namespace {

unsigned long RoutineThread(void* argument) {
  static_cast<IotAsyncManager*>(argument)->httpManagerThreadImpl();
  return 0;
}

}  // namespace

IotAsyncManager* IotAsyncManager::getInstance() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (pInstance_ == nullptr) pInstance_ = new IotAsyncManager();
  return pInstance_;
}

IotAsyncManager::IotAsyncManager() : worker_(1) { QZ_LOG(1, "new"); }

IotAsyncManager::~IotAsyncManager() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pInstance_ == this) pInstance_ = nullptr;
  }
  QZ_LOG(1, "deleted.");
  // A host that forgot deInit() would otherwise leave the thread running on a
  // destroyed manager.
  deInit();
}

void IotAsyncManager::init() {
  std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
  if (isRunning_) return;
  if (asyncHttpRequestManage_.Init() != 0) {
    QZ_LOG(4, "IotAsyncManager::init, the request manager could not be initialised");
    return;
  }
  isRunning_ = true;
  if (httpThread_.isStarted()) return;
  unsigned long threadId = 0;
  if (CreateThreadEx(&httpThread_, 0, RoutineThread, this, 0, &threadId) != 0) {
    QZ_LOG(4, "IotAsyncManager::init, the HTTP manager thread could not be started");
    isRunning_ = false;
    asyncHttpRequestManage_.CleanUp();
  }
}

void IotAsyncManager::httpManagerThreadImpl() {
  httpThreadId_ = std::this_thread::get_id();
  while (isRunning_) {
    asyncHttpRequestManage_.HeartBeat();
    if (!isRunning_) break;
    if (asyncHttpRequestManage_.WaitForActivity() != 0) {
      // The wait failed (logged); do not spin on a broken multi handle.
      std::this_thread::sleep_for(std::chrono::milliseconds(AsyncHttpRequestManage::kBusyWaitMs));
    }
  }
  httpThreadId_ = std::thread::id();
  QZ_LOG(1, "Http manager thread exit.");
}

void IotAsyncManager::deInit() {
  if (isHttpManagerThread()) {
    QZ_LOG(4, "IotAsyncManager::deInit on the HTTP manager thread refused");
    return;
  }
  std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
  if (!isRunning_) return;
  isRunning_ = false;
  asyncHttpRequestManage_.Wakeup();
  WaitForSingleObjectEx(&httpThread_, COS_WAIT_INFINITE);
  CloseThreadEx(&httpThread_);
  // The thread has ended: nothing else touches the multi handle now.
  asyncHttpRequestManage_.CleanUp();
}

ctpl::thread_pool* IotAsyncManager::getWorker() { return &worker_; }

AsyncHttpRequestManage* IotAsyncManager::getAsyncHttpRequestManage() {
  return &asyncHttpRequestManage_;
}

bool IotAsyncManager::isHttpManagerThread() const {
  return httpThreadId_.load() == std::this_thread::get_id();
}

void IotAsyncManager::setHttpOptions(const AsyncHttpOptions& options) {
  asyncHttpRequestManage_.SetHttpOptions(options);
}

AsyncHttpOptions IotAsyncManager::getHttpOptions() const {
  return asyncHttpRequestManage_.GetHttpOptions();
}
