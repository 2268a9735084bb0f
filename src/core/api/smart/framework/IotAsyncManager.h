// The process-wide asynchronous runtime: the request manager, the HTTP manager
// thread that drives every asynchronous HTTP request, and a one-thread worker
// pool offered to the host.
//
// Threads: the host calls getInstance(), init(), deInit() and the accessors
// from its own threads; init() and deInit() are serialised by an internal
// lock, and are refused from inside completion callbacks (which could
// otherwise wait for that lock for ever). The HTTP manager thread runs every libcurl transfer and every
// completion callback (except the failures of requests still in flight when
// deInit() stops the transport, which run on the thread calling deInit()).
// The worker pool's one thread runs the jobs the host queues.
#pragma once

#include <atomic>
#include <thread>

#include "../../../io/network/http/AsyncHttpRequest.h"
#include "../../../support/COSThread.h"
#include "../../../support/Export.h"
#include "../../../support/Mutex.h"
#include "ThreadPool.h"

class IOTCLOUD_API IotAsyncManager {
 public:
  // The instance, created on the first call. Thread-safe.
  static IotAsyncManager* getInstance();

  // Stops the runtime if the host did not call deInit() (the worker pool then
  // runs its queued jobs before it ends). The next getInstance() creates a
  // new instance. Must not run on the HTTP manager thread.
  virtual ~IotAsyncManager();
  IotAsyncManager(const IotAsyncManager&) = delete;
  IotAsyncManager& operator=(const IotAsyncManager&) = delete;

  // Initialises the request manager and starts the HTTP manager thread. A
  // second call does nothing. When libcurl or the thread cannot be set up the
  // failure is logged and the runtime stays stopped (posts are refused).
  // Refused (logged) from any completion callback, like deInit().
  void init();

  // Stops the HTTP manager thread, then fails every request still in flight
  // ("curl error 42", on this thread) and releases the transport. Does nothing
  // when not running. Refused (logged) from a completion callback: on the
  // HTTP manager thread, and on the thread of a deInit() (or of the
  // destructor) that is delivering those last failures.
  void deInit();

  // The worker pool (one thread, from construction to destruction).
  ctpl::thread_pool* getWorker();

  // The request manager requests are posted to.
  AsyncHttpRequestManage* getAsyncHttpRequestManage();

  // True only on the HTTP manager thread (inside completion callbacks).
  bool isHttpManagerThread() const;

  // Transport settings (CA certificates, time limits, response limit,
  // connections per host, transfers inside libcurl, proxy), stored by the
  // request manager: requests take the limits and the proxy settings when
  // posted; the certificates and the connection limit apply from the next
  // init(). Set them before init(). Thread-safe.
  void setHttpOptions(const AsyncHttpOptions& options);
  AsyncHttpOptions getHttpOptions() const;

  // The body of the HTTP manager thread: heartbeats, waiting on the transfers'
  // sockets in between, until deInit().
  void httpManagerThreadImpl();

 private:
  IotAsyncManager();
  // True (and logged) when init() or deInit() must not run on this thread:
  // it is the HTTP manager thread, or it already runs this manager's
  // init()/deInit() further up its stack.
  bool refuseLifecycleCall(const char* function) const;

  static iotcloud::Mutex mutex_;
  static IotAsyncManager* pInstance_ IOTCLOUD_GUARDED_BY(mutex_);

  COSThread httpThread_;
  AsyncHttpRequestManage asyncHttpRequestManage_;
  ctpl::thread_pool worker_;
  std::atomic<bool> isRunning_{false};
  std::atomic<std::thread::id> httpThreadId_{};  // id of the running HTTP manager thread
  iotcloud::Mutex lifecycleMutex_;               // serialises init() and deInit()
};
