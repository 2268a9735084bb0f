// The request manager's implementation: the queue of posted requests, their
// admission into libcurl's multi handle, the steps of the HTTP manager
// thread, the delivery of finished transfers, cancellation, and the stop
// that fails what is left. AsyncHttpRequestManage forwards to it.
//
// Threads and locks:
//  - Any thread posts (Add), cancels (Remove), schedules tasks and reads the
//    options. They take mutex_, briefly, and never wait for the HTTP manager
//    thread, with one exception: Remove on a request whose callback is
//    running on another thread waits for that callback to return (so no
//    callback comes once Remove returns). It never waits for another
//    request's callback.
//  - The HTTP manager thread runs Step() and Wait() in a loop. It alone
//    touches the multi handle and the easy handles between Init() and
//    CleanUp(), and the state marked "HTTP manager thread" below. A step
//    collects what libcurl finished, then delivers each finished request
//    with no lock held: callbacks, the transfer observer and tasks may post,
//    cancel and schedule. The request being delivered carries the
//    "delivering" mark under mutex_ instead of a lock.
//  - Init() and CleanUp() run on the thread starting or stopping the
//    transport, before the HTTP manager thread starts and after it ended;
//    CleanUp delivers its failures on that thread, the same way.
//  - Lock order: mutex_, then the task scheduler's own lock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/io/network/http/AsyncHttpRequest.h"
#include "core/io/network/http/internal/PostedRequest.h"
#include "core/io/network/http/internal/TaskScheduler.h"
#include "core/support/Mutex.h"

namespace iotcloud {
namespace http {

// The manager's multi handle, with the global reference it holds.
struct CurlMulti {
  CurlGlobalRef global;
  Owned<CURLM, curl_multi_cleanup> handle;
};

class MultiLoop {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  MultiLoop();
  ~MultiLoop();
  MultiLoop(const MultiLoop&) = delete;
  MultiLoop& operator=(const MultiLoop&) = delete;

  // The operations of AsyncHttpRequestManage of the same names; see there.
  int Init();
  int CleanUp();
  int AddRequest(std::string id, AsyncHttpRequest* request);
  int RemoveRequests(const std::vector<std::string>& ids);
  int HeartBeat();
  int WaitForActivity();
  void Wakeup();
  uint64_t ScheduleTask(TimePoint due, TaskScheduler::Task task);
  bool CancelTask(uint64_t id);
  void SetHttpOptions(const AsyncHttpOptions& options);
  std::shared_ptr<const AsyncHttpOptions> HttpOptions() const;
  bool IsInited() const;
  uint64_t WakeupCount() const { return wakeups_.load(std::memory_order_relaxed); }

 private:
  using Table = std::multimap<std::string, AsyncHttpRequest*>;

  // What the HTTP manager thread knows of one origin (scheme, host, port).
  struct Origin {
    size_t inLibcurl = 0;  // its transfers inside libcurl
    bool serial = false;   // its last finished transfer ran on a connection that does not multiplex
  };
  using Origins = std::map<std::string, Origin, std::less<>>;

  // Moves queued requests into libcurl, oldest first, while it holds fewer
  // than maxTransfers and the oldest one's origin has room: one known to
  // serve a transfer per connection (HTTP/1.x) gets at most as many as it
  // may have connections, since more would only wait inside libcurl, each
  // holding an easy handle and a receive buffer; any other gets as many as
  // maxTransfers allows. A request libcurl refuses is delivered its failure.
  void Admit();
  // Counts `request` out of its origin's transfers in libcurl, if counted.
  void Uncount(AsyncHttpRequest* request);
  // Sets `request` up and adds it to the multi handle; false (nothing added)
  // with libcurl's result code in *error.
  bool AdmitOne(AsyncHttpRequest* request, int* error);
  // Delivers `request`'s end (libcurl's `curlCode`) unless it was cancelled
  // meanwhile, then deletes it. `request` is in table_.
  void Deliver(AsyncHttpRequest* request, int curlCode);
  // The part of Deliver that runs once `request` is out of every table and
  // marked as being delivered: its easy handle leaves libcurl, its callback
  // and record are delivered, the mark is cleared and it is deleted.
  void DeliverMarked(AsyncHttpRequest* request, int curlCode);
  // Removes cancelled requests from the multi handle and deletes them.
  void SweepCancelled();
  // Deletes a request whose easy handle is out of the multi handle, keeping
  // the easy handle for a later transfer while fewer than maxTransfers are
  // kept.
  void Retire(AsyncHttpRequest* request);
  // Takes `request`'s easy handle out of the multi handle, if it is in.
  void RemoveFromMulti(AsyncHttpRequest* request);

  // Guarded by mutex_: what other threads hand over or read.
  mutable Mutex mutex_;
  bool inited_ IOTCLOUD_GUARDED_BY(mutex_) = false;
  std::shared_ptr<const AsyncHttpOptions> options_ IOTCLOUD_GUARDED_BY(mutex_);
  // The multi handle exists from Init() to CleanUp(); under the lock so that
  // Wakeup never races its release. Only the HTTP manager thread uses it.
  std::unique_ptr<CurlMulti> multi_ IOTCLOUD_GUARDED_BY(mutex_);
  // Owned requests, each in one place: posted and not yet admitted, oldest
  // first; admitted (in libcurl, or finished and waiting for delivery), by
  // id; cancelled while admitted, for the HTTP manager thread to remove.
  std::deque<AsyncHttpRequest*> pending_ IOTCLOUD_GUARDED_BY(mutex_);
  Table table_ IOTCLOUD_GUARDED_BY(mutex_);
  std::vector<AsyncHttpRequest*> cancelled_ IOTCLOUD_GUARDED_BY(mutex_);
  // The request whose callback runs now (out of every table), and the thread
  // running it; cleared with delivered_ signalled once it returned.
  AsyncHttpRequest* delivering_ IOTCLOUD_GUARDED_BY(mutex_) = nullptr;
  std::thread::id deliveringThread_ IOTCLOUD_GUARDED_BY(mutex_);
  CondVar delivered_{&mutex_};

  TaskScheduler tasks_;

  // HTTP manager thread (and Init/CleanUp, when it does not run).
  CURLM* multiHandle_ = nullptr;                     // multi_'s handle
  std::shared_ptr<TrustStore> trust_;                // built by Init, released by CleanUp
  std::vector<std::unique_ptr<CurlTransfer>> idle_;  // ended transfers, reset, for reuse
  size_t inMulti_ = 0;                               // easy handles in the multi handle
  long hostConnections_ = 0;                         // libcurl's cap per host, set by Init
  // HTTP manager thread only (Admit touches it while it holds mutex_ for
  // pending_; no other thread reads it).
  Origins origins_;
  int stillRunning_ = 0;

  std::atomic<uint64_t> wakeups_{0};
};

}  // namespace http
}  // namespace iotcloud
