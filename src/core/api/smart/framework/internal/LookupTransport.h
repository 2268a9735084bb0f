// What a lookup needs of the transport, as a small interface (post an
// attempt, drop it, schedule and cancel timers, tell the HTTP manager
// thread), and the implementation over the process's request manager.
// Tests drive lookups over a fake of their own.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>

#include "core/io/network/http/AsyncHttpTypes.h"
#include "core/support/Mutex.h"

namespace iotcloud {
namespace lookup {

class Machine;

// One attempt as it is posted.
struct Attempt {
  IotRequest record;  // host, path, id, attempt number
  std::map<std::string, std::string> headers;
  std::string body;
  // The lookup's deadline: the transfer ends by then. For a first attempt
  // whose deadline counts from its admission into the transport instead,
  // the epoch, with the budget that starts then.
  std::chrono::steady_clock::time_point deadline;
  std::chrono::milliseconds budgetAfterAdmission{0};
};

class Transport {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  virtual ~Transport() = default;

  // Hands `attempt` over for `machine`: its end comes back as exactly one
  // call of machine->OnAnswer or machine->OnFailure, never from inside this
  // call (on the HTTP manager thread; a failure with curl error 42 on the
  // thread stopping the transport). False when it was not handed over;
  // *whyNot then says why, in words the host can act on.
  virtual bool Post(Attempt attempt, std::shared_ptr<Machine> machine, std::string* whyNot) = 0;
  // Drops the attempt `requestId`: its end is not delivered (or finds its
  // lookup past waiting for it). Waits for no other request's callback.
  virtual void Cancel(const std::string& requestId) = 0;
  // A timer: `task(true)` at `due` on the HTTP manager thread, or
  // `task(false)` when the transport stops first; 0 (and no call) when it
  // is not running.
  virtual uint64_t Schedule(TimePoint due, std::function<void(bool run)> task) = 0;
  // Removes a timer before it is called; false when it ran, runs or is not held.
  virtual bool CancelTask(uint64_t id) = 0;
  // True on the HTTP manager thread, which must never wait for a lookup.
  virtual bool IsDriverThread() const = 0;
};

// The transport of the process: attempts are AsyncHttpRequests posted to
// IotAsyncManager's request manager with `callback` as their callback object
// (IotGlobalActivation), which hands each end back through Take().
class RuntimeTransport : public Transport {
 public:
  explicit RuntimeTransport(IAsyncHttpReqCallback* callback) : callback_(callback) {}

  bool Post(Attempt attempt, std::shared_ptr<Machine> machine, std::string* whyNot) override;
  void Cancel(const std::string& requestId) override;
  uint64_t Schedule(TimePoint due, std::function<void(bool run)> task) override;
  bool CancelTask(uint64_t id) override;
  bool IsDriverThread() const override;

  // The lookup whose attempt `requestId` is, taken out of the table of
  // attempts in flight; null when there is none (cancelled, or not a
  // lookup's).
  std::shared_ptr<Machine> Take(const std::string& requestId);

 private:
  IAsyncHttpReqCallback* const callback_;
  Mutex mutex_;
  std::unordered_map<std::string, std::shared_ptr<Machine>> inFlight_ IOTCLOUD_GUARDED_BY(mutex_);
};

}  // namespace lookup
}  // namespace iotcloud
