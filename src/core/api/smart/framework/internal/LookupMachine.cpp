#include "core/api/smart/framework/internal/LookupMachine.h"

#include <algorithm>
#include <cstdlib>
#include <random>
#include <utility>

#include "core/api/smart/framework/internal/AnswerClassifier.h"
#include "core/api/smart/framework/internal/LookupRetry.h"
#include "core/support/QZRandom.h"
#include "core/support/TovoLog.h"
#include "core/support/UntrustedText.h"
#include "core/support/internal/HostCode.h"

namespace iotcloud {
namespace lookup {
namespace {

using State = Machine::State;
using Outcome = IotGlobalActivation::LookupOutcome;

// A later attempt is not started with less than this left of the lookup's
// deadline: it could hardly connect.
constexpr auto kShortestAttempt = std::chrono::milliseconds(100);
// How long a blocking wait goes on past the lookup's deadline before it gives
// up on an end that the transport should long since have delivered.
constexpr int64_t kWaitMarginMs = 5000;

bool TooLittleLeft(Machine::TimePoint at, Machine::TimePoint deadline) {
  return at >= deadline || deadline - at <= kShortestAttempt;
}

// The moves the machine makes; anything else is a fault of this file.
bool Allowed(State from, State to) {
  switch (from) {
    case State::kIdle: return to == State::kSending;
    case State::kSending: return to == State::kInFlight || to == State::kDone || to == State::kCancelled;
    case State::kInFlight: return to == State::kJudging || to == State::kHandling || to == State::kCancelled;
    case State::kJudging:
      return to == State::kSending || to == State::kWaiting || to == State::kHandling || to == State::kCancelled;
    case State::kWaiting: return to == State::kSending || to == State::kHandling || to == State::kCancelled;
    case State::kHandling:
    case State::kCancelled: return to == State::kDone;
    case State::kDone: return false;
  }
  return false;
}

Machine::Result CancelledResult() {
  Machine::Result result;
  result.outcome = Outcome::kCancelled;
  result.detail = "cancelled";
  return result;
}

Machine::Result NotSentResult(std::string detail) {
  Machine::Result result;
  result.outcome = Outcome::kNotSent;
  result.detail = std::move(detail);
  return result;
}

}  // namespace

const char* Machine::StateName(State state) {
  switch (state) {
    case State::kIdle: return "idle";
    case State::kSending: return "sending";
    case State::kInFlight: return "in flight";
    case State::kJudging: return "judging";
    case State::kWaiting: return "waiting";
    case State::kHandling: return "handling";
    case State::kCancelled: return "cancelled";
    case State::kDone: return "done";
  }
  return "?";
}

Machine::Machine(Transport& transport, GatewayClock& clock, Request request, const Policy& policy,
                 Completion completion)
    : transport_(transport), clock_(clock), request_(std::move(request)), policy_(policy) {
  MutexLock lock(&mutex_);
  completion_ = std::move(completion);
}

void Machine::To(State next) {
  if (!Allowed(state_, next)) {
    QZ_LOG_AS(request_.function, 4, "lookup state %s -> %s refused", StateName(state_), StateName(next));
    return;
  }
  QZ_LOG_AS(request_.function, 1, "lookup %s -> %s", StateName(state_), StateName(next));
  state_ = next;
}

Machine::State Machine::state() const {
  MutexLock lock(&mutex_);
  return state_;
}

Machine::TimePoint Machine::WaitDeadline() const {
  MutexLock lock(&mutex_);
  return deadlineKnown_ ? AddMs(deadline_, kWaitMarginMs) : TimePoint::max();
}

void Machine::LearnDeadline(const IotTransferTiming& timing) {
  if (deadlineKnown_) return;
  deadlineKnown_ = true;
  const TimePoint admitted = firstPostedAt_ + std::chrono::microseconds(std::max<int64_t>(timing.queuedUs, 0));
  deadline_ = AddMs(admitted, policy_.deadlineMs);
}

bool Machine::Start() {
  {
    MutexLock lock(&mutex_);
    To(State::kSending);
  }
  SendAttempt();
  MutexLock lock(&mutex_);
  return !(state_ == State::kDone && attempts_ == 0);
}

void Machine::SendAttempt() {
  int number = 0;
  bool late = false;
  Result tooLate;
  TimePoint deadline;
  {
    MutexLock lock(&mutex_);
    if (state_ != State::kSending) return;
    number = attempts_ + 1;
    deadline = deadline_;
    if (attempts_ > 0 && TooLittleLeft(clock_.Now(), deadline_)) {
      late = true;
      tooLate = last_;
    }
  }
  if (late) {
    tooLate.detail += "; no further attempt: too little is left before the lookup's deadline";
    Finish(std::move(tooLate));
    return;
  }
  Attempt attempt;
  attempt.record.protocol = 0;
  attempt.record.host = request_.host;
  attempt.record.path = request_.path;
  attempt.record.id = QZRandom::getRandomGUID(32);
  attempt.record.attempt = number;
  if (number == 1) {
    attempt.budgetAfterAdmission = std::chrono::milliseconds(std::max<int64_t>(policy_.deadlineMs, 1));
  } else {
    attempt.deadline = deadline;
  }
  const int64_t offset = clock_.OffsetMs();
  if (!request_.build(attempt.record.id, clock_.WallMs() + offset, &attempt.body, &attempt.headers)) {
    Finish(NotSentResult("the request body could not be built"));
    return;
  }
  std::string whyNot;
  {
    MutexLock lock(&mutex_);
    if (state_ != State::kSending) return;  // cancelled while it was built: the cancel ends it
    const std::string id = attempt.record.id;
    if (number == 1) firstPostedAt_ = clock_.Now();
    if (transport_.Post(std::move(attempt), shared_from_this(), &whyNot)) {
      requestId_ = id;
      sentOffsetMs_ = offset;
      ++attempts_;
      To(State::kInFlight);
      return;
    }
  }
  Finish(NotSentResult(whyNot));
}

std::string Machine::MaskForLog(const std::string& text) const {
  return request_.maskForLog ? request_.maskForLog(text) : text;
}

void Machine::OnAnswer(const std::string& requestId, const IotResponse& response) {
  const int status = response.httpStatus;
  // 0: the transport knew no status; the body alone decides, as it always did.
  const bool success = status == 0 || (status >= 200 && status < 300);
  int64_t sentOffsetMs = 0;
  {
    MutexLock lock(&mutex_);
    if (state_ != State::kInFlight || requestId != requestId_) return;  // cancelled, or an old attempt's
    requestId_.clear();
    LearnDeadline(response.timing);
    sentOffsetMs = sentOffsetMs_;
    // A success is final: from here on cancel() leaves it alone.
    To(success ? State::kHandling : State::kJudging);
  }
  const bool dateRefused = clock_.Learn(status, response.header("date"), sentOffsetMs);
  Result result;
  if (success) {
    result = request_.takeSuccess(response);
    TakeAnswerFields(response, &result);
    Finish(std::move(result));
    return;
  }
  TakeAnswerFields(response, &result);
  JudgeRefusal(response, &result);
  const bool retried = IsRetriedStatus(status);
  int64_t retryAfterMs = -1;
  if (retried) RetryAfterMs(response.header("retry-after"), clock_.WallMs() + clock_.OffsetMs(), &retryAfterMs);
  int64_t delayMs = -1;
  int number = 0;
  bool resend = false;
  {
    MutexLock lock(&mutex_);
    if (state_ != State::kJudging) return;  // cancelled meanwhile: the cancel ends it
    number = attempts_;
    if (dateRefused && !dateRetried_) {
      dateRetried_ = true;
      const int64_t offset = clock_.OffsetMs();
      const std::string why =
          offset == 0 ? "this computer's clock agrees with the gateway's again: sent again at once, dated by it"
                      : "the gateway's clock is " + std::to_string((std::llabs(offset) + 500) / 1000) + " s " +
                            (offset > 0 ? "ahead of" : "behind") + " this computer's: sent again at once, dated by it";
      earlier_.push_back("attempt " + std::to_string(attempts_) + ": " + result.detail + "; " + why);
      last_ = result;
      To(State::kSending);
      resend = true;
    } else if (!(retried && ScheduleRetry(retryAfterMs, &result, &delayMs))) {
      To(State::kHandling);
    }
  }
  if (resend) {
    SendAttempt();
  } else if (delayMs >= 0) {
    QZ_LOG_AS(request_.function, 3, "attempt %d: %s; next attempt in %lld ms", number,
              ForLog(MaskForLog(result.detail)).c_str(), static_cast<long long>(delayMs));
  } else {
    QZ_LOG_AS(request_.function, 4, "id=%s, no region: %s", requestId.c_str(),
              ForLog(MaskForLog(result.detail)).c_str());
    Finish(std::move(result));
  }
}

void Machine::OnFailure(const std::string& requestId, const IotException& failure) {
  {
    MutexLock lock(&mutex_);
    if (state_ != State::kInFlight || requestId != requestId_) return;
    requestId_.clear();
    LearnDeadline(failure.timing);
    To(State::kJudging);
  }
  Result result;
  result.outcome = Outcome::kTransportFailure;
  result.curlCode = failure.curlCode;
  if (result.curlCode == 0) ParseCurlFailure(failure.message, &result.curlCode);
  result.detail = "transport failure: " + CurlCodeDescription(result.curlCode) + " (" +
                  CurlFailureText(result.curlCode) + ")" + ProxyFailureNote(failure);
  // A proxy that refused the tunnel (407, 403) answered; asking again changes nothing.
  const bool retried = IsRetriedCurlCode(result.curlCode) && failure.proxyStatus == 0;
  int64_t delayMs = -1;
  int number = 0;
  {
    MutexLock lock(&mutex_);
    if (state_ != State::kJudging) return;
    number = attempts_;
    if (!(retried && ScheduleRetry(-1, &result, &delayMs))) To(State::kHandling);
  }
  if (delayMs >= 0) {
    QZ_LOG_AS(request_.function, 3, "attempt %d: %s; next attempt in %lld ms", number,
              ForLog(MaskForLog(result.detail)).c_str(), static_cast<long long>(delayMs));
    return;
  }
  Finish(std::move(result));
}

bool Machine::ScheduleRetry(int64_t retryAfterMs, Result* result, int64_t* delayMs) {
  const int counted = attempts_ - (dateRetried_ ? 1 : 0);
  if (counted >= policy_.maxAttempts) {
    if (policy_.maxAttempts > 1) result->detail += "; no further attempt: all " + std::to_string(counted) + " made";
    return false;
  }
  thread_local std::mt19937_64 random{std::random_device{}()};
  const int64_t delay = retryAfterMs >= 0 ? std::min(retryAfterMs, policy_.maxDelayMs)
                                          : BackoffMs(counted, policy_.baseDelayMs, policy_.maxDelayMs, random());
  const TimePoint due = AddMs(clock_.Now(), delay);
  if (TooLittleLeft(due, deadline_)) {
    result->detail += "; no further attempt: the lookup's deadline would pass first";
    return false;
  }
  const uint64_t timer = transport_.Schedule(due, [self = shared_from_this()](bool run) { self->OnTimer(run); });
  if (timer == 0) return false;  // the transport stopped: this answer is the last
  earlier_.push_back("attempt " + std::to_string(attempts_) + ": " + result->detail + "; retried after " +
                     std::to_string(delay) + " ms" + (retryAfterMs >= 0 ? " (Retry-After)" : ""));
  last_ = *result;
  timerId_ = timer;
  *delayMs = delay;
  To(State::kWaiting);
  return true;
}

void Machine::OnTimer(bool run) {
  {
    MutexLock lock(&mutex_);
    if (state_ != State::kWaiting) return;  // cancelled: the cancel ends it
    timerId_ = 0;
    To(run ? State::kSending : State::kHandling);
  }
  if (run) {
    SendAttempt();
    return;
  }
  Result stopped;
  stopped.outcome = Outcome::kTransportFailure;
  stopped.curlCode = 42;  // CURLE_ABORTED_BY_CALLBACK, as for a transfer cut short by the stop
  stopped.detail = "the transport stopped before the next attempt (" + CurlFailureText(stopped.curlCode) + ")";
  Finish(std::move(stopped));
}

bool Machine::Cancel() {
  State was;
  std::string requestId;
  uint64_t timer = 0;
  {
    MutexLock lock(&mutex_);
    switch (state_) {
      case State::kSending:
      case State::kInFlight:
      case State::kJudging:
      case State::kWaiting: break;
      default: return false;
    }
    was = state_;
    requestId = std::move(requestId_);
    requestId_.clear();
    timer = std::exchange(timerId_, 0);
    To(State::kCancelled);
  }
  // Whatever of the attempt or the timer still comes finds the lookup
  // cancelled and stops there.
  if (was == State::kInFlight && !requestId.empty()) transport_.Cancel(requestId);
  if (was == State::kWaiting && timer != 0) transport_.CancelTask(timer);
  // The completion runs on the HTTP manager thread, like every other; with
  // the transport stopped, here.
  auto self = shared_from_this();
  if (transport_.Schedule(clock_.Now(), [self](bool) { self->DeliverCancelled(); }) == 0) DeliverCancelled();
  return true;
}

void Machine::DeliverCancelled() {
  Result result = CancelledResult();
  Completion completion;
  {
    MutexLock lock(&mutex_);
    if (state_ != State::kCancelled) return;
    To(State::kDone);
    completion = std::move(completion_);
    result.attempts = attempts_;
    result.earlierAttempts = std::move(earlier_);
  }
  Complete(std::move(completion), result);
}

void Machine::Finish(Result result) {
  Completion completion;
  {
    MutexLock lock(&mutex_);
    if (state_ == State::kCancelled || state_ == State::kDone) return;
    To(State::kDone);
    completion = std::move(completion_);
    result.attempts = attempts_;
    result.earlierAttempts = std::move(earlier_);
  }
  Complete(std::move(completion), result);
}

void Machine::Complete(Completion completion, const Result& result) {
  if (completion) CallHostCode("a lookup's completion", [&] { completion(result); });
}

}  // namespace lookup
}  // namespace iotcloud
