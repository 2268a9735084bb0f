// One lookup's life: a state machine over its attempts, the waits between
// them, cancellation and its one end. Every signed gateway request that
// wants retries, one deadline and the clock's correction can run on it; a
// region lookup supplies how to build an attempt and how to take its final
// 2xx answer (see Request).
//
// States, changed only by To():
//   kIdle ─Start→ kSending ─posted→ kInFlight ─answer→ kJudging ─retry→ kWaiting ─timer→ kSending
//                    │                   │ 2xx              │ date refused → kSending
//                    │ not sent          └────→ kHandling ←─┘ final         (transport stopped)
//                    └────────────→ kDone ←──────┘
//   kSending, kInFlight, kJudging, kWaiting ─Cancel→ kCancelled ─→ kDone
// kHandling is the final answer being handled (region, observer, save):
// from there cancel() says no. kCancelled owes the completion kCancelled,
// delivered by the cancel's own task; every other path that finds it stops.
//
// Threads: Start runs on the caller's thread (its first attempt is posted
// there); answers, failures and timers come from the HTTP manager thread;
// Cancel from any thread. mutex_ guards the state below it and is held
// across the transport's Post and Schedule (which call nothing back), never
// across the request's build, its takeSuccess, a log line of an answer or the
// completion. The completion runs outside every lock, exactly once.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/api/smart/framework/IotGlobalActivation.h"
#include "core/api/smart/framework/internal/GatewayClock.h"
#include "core/api/smart/framework/internal/LookupTransport.h"
#include "core/support/Mutex.h"

namespace iotcloud {
namespace lookup {

class Machine : public std::enable_shared_from_this<Machine> {
 public:
  using Result = IotGlobalActivation::LookupResult;
  using Policy = IotGlobalActivation::RetryPolicy;
  using Completion = std::function<void(const Result&)>;
  using Headers = std::map<std::string, std::string>;
  using TimePoint = std::chrono::steady_clock::time_point;

  enum class State { kIdle, kSending, kInFlight, kJudging, kWaiting, kHandling, kCancelled, kDone };
  static const char* StateName(State state);

  // What is sent and how its final answer is taken.
  struct Request {
    const char* function = "";  // names the lookup in log lines
    std::string host;
    std::string path;
    // Builds attempt `id`'s body and signed headers, dated `dateMs` (ms
    // since 1970); false when the body cannot be built. Runs with no lock
    // held, on the thread sending the attempt.
    std::function<bool(const std::string& id, int64_t dateMs, std::string* body, Headers* headers)> build;
    // Takes the final 2xx answer over and says what came of it (outcome,
    // detail, service fields, saveFailed); the answer's header fields are
    // filled in afterwards. HTTP manager thread.
    std::function<Result(const IotResponse& response)> takeSuccess;
    // Masks what the request sent wherever it appears in text about to be
    // logged.
    std::function<std::string(const std::string& text)> maskForLog;
  };

  // The deadline is `policy.deadlineMs` (saturating) from when the first
  // attempt enters the transport: time it waits in the transport's queue
  // behind other requests does not count.
  Machine(Transport& transport, GatewayClock& clock, Request request, const Policy& policy, Completion completion);
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // Sends the first attempt. False when the lookup ended at once without
  // sending anything (kNotSent): its completion has run on this thread then.
  bool Start();
  // True when this cancelled the lookup (the completion reports kCancelled,
  // on the HTTP manager thread, or on this thread when the transport is
  // stopped); false once its final answer is being handled or it has ended.
  bool Cancel();
  // The end of the attempt `requestId`, from the transport.
  void OnAnswer(const std::string& requestId, const IotResponse& response);
  void OnFailure(const std::string& requestId, const IotException& failure);

  // When a blocking wait for this lookup should give up: a little past its
  // deadline (saturating); TimePoint::max() while the first attempt has not
  // ended, so the deadline is not known yet.
  TimePoint WaitDeadline() const;
  State state() const;
  // `text` with what this lookup sent masked, for a log line.
  std::string MaskForLog(const std::string& text) const;

 private:
  // The one function that changes the state; the move must be in the table.
  void To(State next) IOTCLOUD_REQUIRES(mutex_);
  // Builds and posts the next attempt (state kSending), or ends the lookup
  // when it cannot be sent or too little is left of the deadline.
  void SendAttempt();
  // Arranges the next attempt after the one that gave `result` (state
  // kJudging): a timer as the policy says, or a "Retry-After" of
  // `retryAfterMs` (-1: none). False when no attempt may follow; *result
  // then says why.
  // *delayMs receives the wait.
  bool ScheduleRetry(int64_t retryAfterMs, Result* result, int64_t* delayMs) IOTCLOUD_REQUIRES(mutex_);
  void OnTimer(bool run);
  // Ends the lookup with `result` (state kSending or kHandling) unless it was
  // cancelled meanwhile; the completion outside the lock.
  void Finish(Result result);
  // The cancel's own end: kCancelled → kDone, the completion reports it.
  void DeliverCancelled();
  // Sets the deadline from the first attempt's time in the queue.
  void LearnDeadline(const IotTransferTiming& timing) IOTCLOUD_REQUIRES(mutex_);
  // Runs the completion once, outside every lock.
  void Complete(Completion completion, const Result& result);

  Transport& transport_;
  GatewayClock& clock_;
  const Request request_;
  const Policy policy_;

  mutable Mutex mutex_;
  State state_ IOTCLOUD_GUARDED_BY(mutex_) = State::kIdle;
  // Known once the first attempt ended (it says how long it was queued).
  TimePoint deadline_ IOTCLOUD_GUARDED_BY(mutex_) = TimePoint::max();
  bool deadlineKnown_ IOTCLOUD_GUARDED_BY(mutex_) = false;
  TimePoint firstPostedAt_ IOTCLOUD_GUARDED_BY(mutex_);
  Completion completion_ IOTCLOUD_GUARDED_BY(mutex_);
  std::string requestId_ IOTCLOUD_GUARDED_BY(mutex_);     // the attempt in flight
  uint64_t timerId_ IOTCLOUD_GUARDED_BY(mutex_) = 0;      // the wait for the next attempt
  int attempts_ IOTCLOUD_GUARDED_BY(mutex_) = 0;          // requests handed to the transport
  bool dateRetried_ IOTCLOUD_GUARDED_BY(mutex_) = false;  // the one attempt outside the budget was made
  int64_t sentOffsetMs_ IOTCLOUD_GUARDED_BY(mutex_) = 0;  // the clock offset the attempt in flight carries
  Result last_ IOTCLOUD_GUARDED_BY(mutex_);               // the outcome of the attempt before
  std::vector<std::string> earlier_ IOTCLOUD_GUARDED_BY(mutex_);
};

}  // namespace lookup
}  // namespace iotcloud
