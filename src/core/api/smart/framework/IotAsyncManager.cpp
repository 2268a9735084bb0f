#include "core/api/smart/framework/IotAsyncManager.h"

#include <chrono>

#include "core/support/TovoLog.h"

IotAsyncManager* IotAsyncManager::pInstance_ = nullptr;
iotcloud::Mutex IotAsyncManager::mutex_;

namespace {

unsigned long RoutineThread(void* argument) {
  static_cast<IotAsyncManager*>(argument)->httpManagerThreadImpl();
  return 0;
}

// The manager whose init() or deInit() runs on this thread. deInit() delivers
// the failures of cut-short transfers on its own thread while it holds the
// lifecycle lock, so a callback that calls init() or deInit() again must be
// refused rather than lock it a second time.
thread_local const IotAsyncManager* tl_inLifecycleOf = nullptr;

class LifecycleScope {
 public:
  explicit LifecycleScope(const IotAsyncManager* manager) : previous_(tl_inLifecycleOf) { tl_inLifecycleOf = manager; }
  ~LifecycleScope() { tl_inLifecycleOf = previous_; }
  LifecycleScope(const LifecycleScope&) = delete;
  LifecycleScope& operator=(const LifecycleScope&) = delete;

 private:
  const IotAsyncManager* previous_;
};

}  // namespace

IotAsyncManager* IotAsyncManager::getInstance() {
  iotcloud::MutexLock lock(&mutex_);
  if (pInstance_ == nullptr) pInstance_ = new IotAsyncManager();
  return pInstance_;
}

IotAsyncManager::IotAsyncManager() : worker_(1) { QZ_LOG(1, "new"); }

IotAsyncManager::~IotAsyncManager() {
  {
    iotcloud::MutexLock lock(&mutex_);
    if (pInstance_ == this) pInstance_ = nullptr;
  }
  QZ_LOG(1, "deleted.");
  // A host that forgot deInit() would otherwise leave the thread running on a
  // destroyed manager.
  deInit();
}

bool IotAsyncManager::refuseLifecycleCall(const char* function) const {
  if (isHttpManagerThread()) {
    // deInit() joins this thread while holding the lifecycle lock: waiting
    // for that lock here could never end.
    QZ_LOG(4, "IotAsyncManager::%s on the HTTP manager thread refused", function);
    return true;
  }
  if (tl_inLifecycleOf == this) {
    QZ_LOG(4, "IotAsyncManager::%s from a callback that init or deInit is delivering refused", function);
    return true;
  }
  return false;
}

void IotAsyncManager::init() {
  if (refuseLifecycleCall("init")) return;
  iotcloud::MutexLock lifecycle(&lifecycleMutex_);
  LifecycleScope scope(this);
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
      std::this_thread::sleep_for(std::chrono::milliseconds(AsyncHttpRequestManage::kFailedWaitPauseMs));
    }
  }
  httpThreadId_ = std::thread::id();
  QZ_LOG(1, "Http manager thread exit.");
}

void IotAsyncManager::deInit() {
  if (refuseLifecycleCall("deInit")) return;
  iotcloud::MutexLock lifecycle(&lifecycleMutex_);
  LifecycleScope scope(this);
  if (!isRunning_) return;
  isRunning_ = false;
  asyncHttpRequestManage_.Wakeup();
  WaitForSingleObjectEx(&httpThread_, COS_WAIT_INFINITE);
  CloseThreadEx(&httpThread_);
  // The thread has ended: nothing else touches the multi handle now.
  asyncHttpRequestManage_.CleanUp();
}

ctpl::thread_pool* IotAsyncManager::getWorker() { return &worker_; }

AsyncHttpRequestManage* IotAsyncManager::getAsyncHttpRequestManage() { return &asyncHttpRequestManage_; }

bool IotAsyncManager::isHttpManagerThread() const { return httpThreadId_.load() == std::this_thread::get_id(); }

void IotAsyncManager::setHttpOptions(const AsyncHttpOptions& options) {
  asyncHttpRequestManage_.SetHttpOptions(options);
}

AsyncHttpOptions IotAsyncManager::getHttpOptions() const { return asyncHttpRequestManage_.GetHttpOptions(); }
