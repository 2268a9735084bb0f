// A lookup's state machine over a fake transport and a fake clock: every
// retry rule, cancel and the transport's stop in each state, and the clock's
// correction, with no socket, no TLS and no real time passing.
#include <gtest/gtest.h>

#include <chrono>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/api/smart/framework/internal/LookupMachine.h"

namespace {

using iotcloud::lookup::Attempt;
using iotcloud::lookup::GatewayClock;
using iotcloud::lookup::Machine;
using Outcome = IotGlobalActivation::LookupOutcome;
using Result = IotGlobalActivation::LookupResult;
using State = Machine::State;
using namespace std::chrono_literals;

// A steady clock that moves only when told to.
class FakeClock : public GatewayClock {
 public:
  TimePoint Now() override { return now; }
  TimePoint now = TimePoint() + 1000h;
};

// Records what the machine asks of it; the test answers attempts, fires
// timers and stops it.
class FakeTransport : public iotcloud::lookup::Transport {
 public:
  bool Post(Attempt attempt, std::shared_ptr<Machine> machine, std::string* whyNot) override {
    if (refuse) {
      *whyNot = "refused";
      return false;
    }
    posted.push_back(attempt);
    inFlight[attempt.record.id] = std::move(machine);
    return true;
  }
  void Cancel(const std::string& requestId) override {
    cancelled.push_back(requestId);
    inFlight.erase(requestId);
  }
  uint64_t Schedule(TimePoint due, std::function<void(bool)> task) override {
    if (stopped) return 0;
    timers[++lastTimer] = {due, std::move(task)};
    return lastTimer;
  }
  bool CancelTask(uint64_t id) override { return timers.erase(id) > 0; }
  bool IsDriverThread() const override { return false; }

  // The last attempt's end.
  void Answer(int status, std::vector<std::pair<std::string, std::string>> headers = {}) {
    IotResponse response;
    response.httpStatus = status;
    response.timing.queuedUs = queuedUs;
    response.headers = std::move(headers);
    const std::string id = posted.back().record.id;
    auto machine = inFlight[id];
    inFlight.erase(id);
    if (machine) machine->OnAnswer(id, response);
  }
  void Fail(int curlCode, int proxyStatus = 0) {
    IotException failure;
    failure.curlCode = curlCode;
    failure.message = CurlFailureText(curlCode);
    failure.proxyStatus = proxyStatus;
    const std::string id = posted.back().record.id;
    auto machine = inFlight[id];
    inFlight.erase(id);
    if (machine) machine->OnFailure(id, failure);
  }
  // Runs every timer due by `now`, earliest first.
  void RunTimers(Machine::TimePoint now) {
    for (;;) {
      auto first = timers.end();
      for (auto it = timers.begin(); it != timers.end(); ++it) {
        if (it->second.first <= now && (first == timers.end() || it->second.first < first->second.first)) first = it;
      }
      if (first == timers.end()) return;
      auto task = std::move(first->second.second);
      timers.erase(first);
      task(true);
    }
  }
  // What the request manager's CleanUp does: fail what is in flight, then
  // tell every timer it will not run.
  void Stop() {
    stopped = true;
    auto held = inFlight;
    inFlight.clear();
    IotException failure;
    failure.curlCode = 42;
    failure.message = CurlFailureText(42);
    for (auto& [id, machine] : held) machine->OnFailure(id, failure);
    while (!timers.empty()) {
      auto task = std::move(timers.begin()->second.second);
      timers.erase(timers.begin());
      task(false);
    }
  }

  bool refuse = false, stopped = false;
  int64_t queuedUs = 0;  // how long each attempt waited in the queue
  std::vector<Attempt> posted;
  std::map<std::string, std::shared_ptr<Machine>> inFlight;
  std::vector<std::string> cancelled;
  std::map<uint64_t, std::pair<Machine::TimePoint, std::function<void(bool)>>> timers;
  uint64_t lastTimer = 0;
};

// One lookup with its fakes: what it builds, what it completes with.
struct Harness {
  std::shared_ptr<Machine> Start(const IotGlobalActivation::RetryPolicy& policy = {3, 250, 4000, 30000}) {
    Machine::Request request;
    request.function = "test";
    request.host = "gateway";
    request.path = "/p";
    request.build = [this](const std::string&, int64_t dateMs, std::string* body, Machine::Headers*) {
      datesMs.push_back(dateMs);
      if (onBuild) onBuild();
      *body = "body";
      return !failBuild;
    };
    request.takeSuccess = [this](const IotResponse&) {
      if (onTakeSuccess) onTakeSuccess();
      Result result;
      result.outcome = Outcome::kChanged;
      result.detail = "taken";
      return result;
    };
    machine = std::make_shared<Machine>(transport, clock, std::move(request), policy,
                                        [this](const Result& result) { results.push_back(result); });
    started = machine->Start();
    return machine;
  }
  // The one completion, as "outcome attempts detail | earlier attempts".
  std::string Ended() const {
    if (results.size() != 1) return "completions: " + std::to_string(results.size());
    std::string said = IotGlobalActivation::OutcomeName(results[0].outcome) + std::string(" ") +
                       std::to_string(results[0].attempts) + " " + results[0].detail;
    for (const std::string& earlier : results[0].earlierAttempts) said += " | " + earlier;
    return said;
  }

  FakeClock clock;
  FakeTransport transport;
  std::shared_ptr<Machine> machine;
  bool started = false, failBuild = false;
  std::vector<int64_t> datesMs;
  std::vector<Result> results;
  std::function<void()> onBuild, onTakeSuccess;
};

using Script = std::vector<std::pair<std::string, std::string>>;

// Each script of ends (a status, "curl N", "curl N proxy 407", "+N ms" to
// move the clock and fire due timers) against the outcome, the attempts and
// a piece of what the result says.
TEST(LookupMachine, EachEndIsRetriedOrFinalAsThePolicySays) {
  const struct {
    std::vector<std::string> script;
    std::string outcome;
    int attempts;
    std::string says;
  } cases[] = {
      {{"503", "+5000", "502", "+5000", "200"}, "changed", 3, "taken"},
      {{"503", "+5000", "503", "+5000", "504"}, "http-status", 3, "no further attempt: all 3 made"},
      {{"curl 7", "+5000", "curl 28", "+5000", "200"}, "changed", 3, "(curl error 28)"},
      {{"curl 60"}, "transport-failure", 1, "(curl error 60)"},
      {{"curl 56 proxy 407"}, "transport-failure", 1, "which answered 407"},
      {{"400"}, "http-status", 1, "HTTP status 400"},
      {{"429 retry-after 2", "+1999"}, "none", 1, ""},  // not yet: Retry-After is kept
      {{"429 retry-after 2", "+2000", "200"}, "changed", 2, "retried after 2000 ms (Retry-After)"},
      {{"503", "+29950", "200"}, "http-status", 1, "too little is left before the lookup's deadline"},
      {{"+29950", "503"}, "http-status", 1, "the lookup's deadline would pass first"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script[0] + " ... " + c.says);
    Harness h;
    h.Start({3, 1000, 4000, 30000});
    for (const std::string& step : c.script) {
      if (step[0] == '+') {
        h.clock.now += std::chrono::milliseconds(std::stol(step.substr(1)));
        h.transport.RunTimers(h.clock.now);
      } else if (step.rfind("curl ", 0) == 0) {
        h.transport.Fail(std::stoi(step.substr(5)), step.find("proxy 407") != std::string::npos ? 407 : 0);
      } else {
        h.transport.Answer(std::stoi(step),
                           step.find("retry-after") != std::string::npos ? Script{{"retry-after", "2"}} : Script{});
      }
    }
    if (c.outcome == "none") {
      EXPECT_TRUE(h.results.empty() && h.machine->state() == State::kWaiting);
      continue;
    }
    EXPECT_EQ(h.transport.posted.size(), static_cast<size_t>(c.attempts));
    const std::string ended = h.Ended();
    EXPECT_EQ(ended.rfind(c.outcome + " " + std::to_string(c.attempts) + " ", 0), 0u) << ended;
    EXPECT_NE(ended.find(c.says), std::string::npos) << ended;
    EXPECT_TRUE(h.transport.timers.empty());
  }
}

// Every attempt is posted afresh, with its number. The first carries its
// deadline as a budget from its admission; its time in the queue (5 s here)
// does not count, so the later ones end by post + 5 s + the deadline.
TEST(LookupMachine, AttemptsAreNumberedAndTheDeadlineStartsAtAdmission) {
  Harness h;
  h.transport.queuedUs = 5000000;
  h.Start({3, 1, 1, 30000});
  EXPECT_EQ(h.machine->WaitDeadline(), Machine::TimePoint::max());  // not known while queued
  h.transport.Answer(503);
  h.transport.RunTimers(h.clock.now + 1ms);
  ASSERT_EQ(h.transport.posted.size(), 2u);
  const Attempt &first = h.transport.posted[0], &second = h.transport.posted[1];
  EXPECT_NE(first.record.id, second.record.id);
  EXPECT_EQ(first.record.attempt * 10 + second.record.attempt, 12);
  EXPECT_TRUE(first.deadline == Machine::TimePoint{} && first.budgetAfterAdmission == 30s);
  EXPECT_EQ(second.deadline, FakeClock().now + 35s);
  EXPECT_EQ(second.record.host + second.record.path, "gateway/p");
}

// A cancel in each state: whatever it says, the one completion says the
// same, and what was pending is dropped at the transport.
TEST(LookupMachine, CancelInEachStateGivesExactlyOneEnd) {
  enum class Where { kSending, kSendingUnbuilt, kInFlight, kJudging, kWaiting, kHandling, kDone };
  const struct {
    Where where;
    bool cancels;
    size_t dropped, timersLeft;  // attempts cancelled at the transport, timers left (the cancel's own)
  } cases[] = {
      {Where::kSending, true, 0, 1}, {Where::kSendingUnbuilt, true, 0, 1}, {Where::kInFlight, true, 1, 1},
      {Where::kJudging, true, 0, 1}, {Where::kWaiting, true, 0, 1},        {Where::kHandling, false, 0, 0},
      {Where::kDone, false, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.where));
    Harness h;
    bool said = false;
    auto cancelHere = [&h, &said] { said = said || h.machine->Cancel(); };
    if (c.where == Where::kSending || c.where == Where::kSendingUnbuilt) {
      h.onBuild = [&] { h.onBuild = nullptr, cancelHere(); };
      h.failBuild = c.where == Where::kSendingUnbuilt;  // its end then meets the cancel
    }
    if (c.where == Where::kHandling) h.onTakeSuccess = cancelHere;
    h.Start();
    EXPECT_TRUE(h.started);
    // The Date of a refusal is read against the wall clock while the answer is judged.
    if (c.where == Where::kJudging) h.clock.SetWallClock([&] { return cancelHere(), int64_t{0}; });
    if (c.where == Where::kInFlight) cancelHere();
    if (c.where == Where::kJudging) h.transport.Answer(503);
    if (c.where == Where::kWaiting) h.transport.Answer(503), cancelHere();
    if (c.where == Where::kHandling) h.transport.Answer(200);
    if (c.where == Where::kDone) h.transport.Answer(200), cancelHere();
    h.clock.SetWallClock(nullptr);
    EXPECT_EQ(said, c.cancels);
    EXPECT_EQ(h.transport.cancelled.size(), c.dropped);
    EXPECT_EQ(h.transport.timers.size(), c.timersLeft);
    h.transport.RunTimers(h.clock.now);  // the cancel's completion, on the HTTP manager thread
    const std::string ended = h.Ended();
    EXPECT_EQ(ended.rfind(c.cancels ? "cancelled" : "changed", 0), 0u) << ended;
    // An answer that still arrives for a cancelled attempt changes nothing.
    IotResponse late;
    late.httpStatus = 200;
    if (!h.transport.posted.empty()) h.machine->OnAnswer(h.transport.posted.back().record.id, late);
    EXPECT_FALSE(h.machine->Cancel());
    EXPECT_EQ(h.machine->state(), State::kDone);
    EXPECT_EQ(h.results.size(), 1u);
  }
}

// The transport stopping in each state ends the lookup once: a transfer in
// flight or a wait for the next attempt with curl error 42, a cancel already
// made as cancelled; a cancel after the stop completes on its own thread.
TEST(LookupMachine, TransportStopInEachStateEndsTheLookupOnce) {
  const struct {
    std::function<void(Harness&)> before;
    std::string ended;
  } cases[] = {
      {[](Harness&) {}, "transport-failure 1 transport failure"},
      {[](Harness& h) { h.transport.Answer(503); }, "transport-failure 1 the transport stopped"},
      {[](Harness& h) { h.transport.Answer(503), h.machine->Cancel(); }, "cancelled 1 "},
      {[](Harness& h) { h.machine->Cancel(); }, "cancelled 1 "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ended);
    Harness h;
    h.Start();
    c.before(h);
    h.transport.Stop();
    EXPECT_EQ(h.Ended().rfind(c.ended, 0), 0u) << h.Ended();
    for (const Result& r : h.results) EXPECT_TRUE(r.outcome != Outcome::kTransportFailure || r.curlCode == 42);
  }
  // Stopped, the transport takes no timer: an answer is the last, and a
  // cancel completes on the cancelling thread.
  Harness last, cancelled;
  last.Start();
  cancelled.Start();
  last.transport.stopped = cancelled.transport.stopped = true;
  last.transport.Answer(503);
  EXPECT_EQ(last.Ended().rfind("http-status 1", 0), 0u) << last.Ended();
  EXPECT_TRUE(cancelled.machine->Cancel());
  EXPECT_EQ(cancelled.Ended().rfind("cancelled 1", 0), 0u) << cancelled.Ended();
}

// Nothing handed over: the lookup ends at once on the calling thread.
TEST(LookupMachine, AnAttemptThatCannotBeSentEndsTheLookupAtOnce) {
  for (const bool refuse : {false, true}) {
    Harness h;
    h.failBuild = !refuse;
    h.transport.refuse = refuse;
    h.Start();
    EXPECT_FALSE(h.started);
    EXPECT_EQ(h.Ended(), refuse ? "not-sent 0 refused" : "not-sent 0 the request body could not be built");
  }
}

// A refusal whose Date is an hour ahead of the request's: the offset is
// learnt and the attempt sent again at once, dated by it, outside the
// attempts' budget; once only. A Date that agrees drops the offset again.
TEST(LookupMachine, ADateRefusalTeachesTheOffsetAndIsSentAgainOnce) {
  constexpr int64_t kNowMs = 784111777000;  // Sun, 06 Nov 1994 08:49:37 GMT
  const Script anHourAhead = {{"date", "Sun, 06 Nov 1994 09:49:37 GMT"}},
               agrees = {{"date", "Sun, 06 Nov 1994 08:49:37 GMT"}};
  Harness h;
  h.clock.SetWallClock([] { return kNowMs; });
  h.Start({1, 1, 1, 30000});
  h.transport.Answer(400, anHourAhead);
  ASSERT_EQ(h.transport.posted.size(), 2u);
  EXPECT_TRUE(h.transport.timers.empty());  // at once
  EXPECT_EQ(h.clock.OffsetMs(), 3600000);
  EXPECT_EQ(h.datesMs, (std::vector<int64_t>{kNowMs, kNowMs + 3600000}));
  h.transport.Answer(400, {{"date", "Sun, 06 Nov 1994 10:49:37 GMT"}});  // refused for its date again: final
  EXPECT_EQ(h.Ended().rfind("http-status 2", 0), 0u) << h.Ended();
  EXPECT_NE(h.Ended().find("the gateway's clock is 3600 s ahead of this computer's"), std::string::npos);

  h.results.clear();
  h.Start({1, 1, 1, 30000});
  h.transport.Answer(200, agrees);
  EXPECT_EQ(h.clock.OffsetMs(), 0);
  EXPECT_EQ(h.Ended().rfind("changed 1", 0), 0u) << h.Ended();
}

}  // namespace
