// Waits on deadlines while the wall clock jumps an hour ahead or back. Some
// standard libraries (mingw-w64's libstdc++, libc++ off glibc) wait for a
// steady-clock deadline through the wall clock; the library's waits must
// still end when the steady clock says: never early, never an hour late.
//
// The wall clock is moved with libfaketime, which CTest preloads into this
// program (tests/CMakeLists.txt; under wine into wine itself), reading the
// offset from the file IOTCLOUD_TEST_CLOCK_FILE names at every clock reading.
// Without it (sanitizer builds, no libfaketime) the tests skip.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "core/api/smart/framework/IotAsyncManager.h"
#include "core/api/smart/framework/IotCacheManager.h"
#include "core/api/smart/framework/IotGlobalActivation.h"
#include "core/support/Mutex.h"
#include "gateway-sim/GatewaySim.h"
#include "platform/DefaultPlatform.h"
#include "support/TestUtil.h"

namespace {

using namespace std::chrono_literals;
using namespace iotcloud_test;
using Clock = std::chrono::steady_clock;

// How much later than its due time a wait may end here (a loaded machine,
// wine); a wait that followed the wall clock would be an hour off.
constexpr auto kSlack = 5s;

long long Ms(Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); }

// The faked wall clock: Jump() sets its offset from the real one.
class WallClock {
 public:
  WallClock() {
    const char* file = std::getenv("IOTCLOUD_TEST_CLOCK_FILE");
    if (file == nullptr) {
      why_ = "the wall clock cannot be moved: libfaketime is not preloaded (not installed, or a sanitizer build)";
      return;
    }
    file_ = file;
    // Preloaded, but does the clock follow the file?
    const auto before = std::chrono::system_clock::now();
    Jump(std::chrono::hours(1));
    const auto moved = std::chrono::system_clock::now() - before;
    Jump(0s);
    if (moved < 50min) why_ = "IOTCLOUD_TEST_CLOCK_FILE is set but the wall clock did not follow " + file_;
  }
  ~WallClock() {
    if (!file_.empty()) Jump(0s);
  }
  // Empty when the clock can be moved; otherwise why not.
  const std::string& why() const { return why_; }
  bool preloaded() const { return !file_.empty(); }
  void Jump(std::chrono::seconds offset) {
    std::ofstream(file_, std::ios::trunc) << (offset.count() >= 0 ? "+" : "") << offset.count() << "\n";
  }

 private:
  std::string file_, why_;
};

class ClockJumpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (clock_.why().empty()) return;
    // Preloaded by the build, the clock must work.
    if (clock_.preloaded()) FAIL() << clock_.why();
    GTEST_SKIP() << clock_.why();
  }
  // Runs `wait` on a thread, jumps the wall clock by `jump` once `ready`
  // says the wait is under way, and returns how long the wait took. A wait
  // still running kSlack past `due` gets the real clock back, so that one
  // following the wall clock ends (late) instead of hanging the test.
  Clock::duration JumpDuring(std::chrono::seconds jump, Clock::duration due, const std::function<void()>& wait,
                             const std::function<bool()>& ready) {
    Waitable<bool> ended;
    const auto start = Clock::now();
    std::thread waiter([&] {
      wait();
      ended.Update([](bool& e) { e = true; });
    });
    const bool underWay = ready();
    clock_.Jump(jump);
    if (!ended.WaitFor([](bool e) { return e; }, std::chrono::duration_cast<std::chrono::milliseconds>(due + kSlack)))
      clock_.Jump(0s);
    waiter.join();
    clock_.Jump(0s);
    EXPECT_TRUE(underWay) << "the wait did not get under way";
    return Clock::now() - start;
  }

  WallClock clock_;
};

// CondVar::WaitUntil says "timed out" only at the steady deadline; a wake-up
// the jump causes is a spurious one, after which the caller waits on.
TEST_F(ClockJumpTest, ACondVarWaitEndsAtItsSteadyDeadline) {
  for (const auto jump : {std::chrono::seconds(1h), -std::chrono::seconds(1h)}) {
    SCOPED_TRACE(jump.count());
    iotcloud::Mutex mutex;
    iotcloud::CondVar cond(&mutex);
    Waitable<bool> waiting;
    Clock::time_point deadline, timedOutAt;
    const auto took = JumpDuring(
        jump, 1500ms,
        [&] {
          iotcloud::MutexLock lock(&mutex);
          deadline = Clock::now() + 1500ms;
          waiting.Update([](bool& w) { w = true; });
          while (cond.WaitUntil(deadline)) {
          }
          timedOutAt = Clock::now();
        },
        [&] {
          if (!waiting.WaitFor([](bool w) { return w; }, 10s)) return false;
          iotcloud::MutexLock lock(&mutex);  // taken once the waiter is inside WaitUntil
          return true;
        });
    EXPECT_GE(Ms(timedOutAt - deadline), 0) << "timed out early";
    EXPECT_LT(took, 1500ms + kSlack) << Ms(took) << " ms";
  }
}

// A blocking lookup against the local gateway: a wait for the next attempt
// (the HTTP manager thread's timer) and the wait for the lookup's deadline
// (libcurl's time limit and the calling thread's wait) across the jump.
TEST_F(ClockJumpTest, ALookupsRetryWaitAndDeadlineHoldAcrossTheJump) {
  iotcloud::gateway::GatewayConfig config;
  config.applications["jump-app"] = "jump-secret";
  iotcloud::gateway::GatewaySim sim(config);
  std::string error;
  ASSERT_TRUE(sim.Start(&error)) << error;
  TempDir dir;
  setSharedPlatformImpl(
      std::make_shared<iotcloud::DefaultPlatform>(PlatformOptions(dir.File("cache.db"), "jump-app", "jump-secret")));
  IotCacheManager::getInstance()->setSmartInitConfig(IotSmartInitConfig());
  IotAsyncManager* manager = IotAsyncManager::getInstance();
  AsyncHttpOptions http = manager->getHttpOptions();
  http.caPem = sim.caPem();
  manager->setHttpOptions(http);
  manager->init();
  IotGlobalActivation* activation = IotGlobalActivation::getInstance();
  activation->setGatewayHosts(sim.hostPort(), sim.hostPort());

  using Fault = iotcloud::gateway::Fault;
  using Outcome = IotGlobalActivation::LookupOutcome;
  // Name, the gateway's fault, the policy, the outcome, and the wait the
  // lookup must sit out (the Retry-After, or the deadline).
  const struct {
    const char* name;
    Fault fault;
    IotGlobalActivation::RetryPolicy policy;
    Outcome outcome;
    std::chrono::milliseconds wait;
  } cases[] = {{"retry after a 503",
                {Fault::Kind::kErrorStatus, 0, 503, 0, "", "", "", "1"},
                {2, 1000, 1000, 20000},
                Outcome::kChanged,
                1000ms},
               {"deadline of a stalled answer",
                {Fault::Kind::kDelay, 10000},
                {1, 0, 0, 1500},
                Outcome::kTransportFailure,
                1500ms}};
  for (const auto& c : cases) {
    for (const auto jump : {std::chrono::seconds(1h), -std::chrono::seconds(1h)}) {
      SCOPED_TRACE(std::string(c.name) + ", jump " + std::to_string(jump.count()));
      activation->resetRegion();
      activation->setRetryPolicy(c.policy);
      sim.clearRequests();
      sim.PushFault(c.fault);
      LogCapture log(3);
      IotGlobalActivation::LookupResult result;
      const auto took = JumpDuring(
          jump, c.wait,
          [&] {
            activation->regionGetByEmail("bob@example.de");
            result = activation->getLastLookupResult();
          },
          [&] {
            return c.policy.maxAttempts > 1 ? log.WaitForLine("next attempt in", 10s) : sim.WaitForRequests(1, 10000);
          });
      EXPECT_EQ(result.outcome, c.outcome) << result.detail;
      EXPECT_GE(took, c.wait) << Ms(took) << " ms";
      EXPECT_LT(took, c.wait + kSlack) << Ms(took) << " ms";
    }
  }
  manager->deInit();
  setSharedPlatformImpl(nullptr);
}

}  // namespace
