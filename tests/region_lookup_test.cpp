// Region lookups end to end: the library against the local gateway over real
// HTTPS (verified against the gateway's generated CA), with the real SQLite
// cache behind a platform that counts region saves.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <limits>
#include <set>
#include <stdexcept>
#include <thread>

#include "core/api/smart/framework/IotAsyncManager.h"
#include "core/api/smart/framework/IotCacheManager.h"
#include "core/api/smart/framework/IotGlobalActivation.h"
#include "core/io/network/http/AsyncHttpRequest.h"
#include "core/support/internal/JsonPtr.h"
#include "gateway-sim/GatewaySim.h"
#include "gateway-sim/RegionTable.h"
#include "platform/DefaultPlatform.h"
#include "support/TestUtil.h"

namespace {

using namespace std::chrono_literals;
using namespace iotcloud::gateway;
using namespace iotcloud_test;
using Outcome = IotGlobalActivation::LookupOutcome;
using Result = IotGlobalActivation::LookupResult;
using Policy = IotGlobalActivation::RetryPolicy;

constexpr char kAppKey[] = "e2e-app-key";
constexpr char kAppSecret[] = "e2e-app-secret";
const Fault k503{Fault::Kind::kErrorStatus, 0, 503};
// Attempts, base and longest wait, deadline: one request per lookup; quick
// retries; a second attempt a minute away, so a lookup stays pending.
const Policy kOnce{1, 1, 5, 20000}, kSlow{3, 60000, 60000, 120000};

// The real platform, counting saves of the region entry or failing them;
// with `holdRegionWrites` set, a save waits until it is cleared again (a
// slow or locked disk), and `regionWriteHeld` says one is waiting.
class CountingPlatform : public iotcloud::DefaultPlatform {
 public:
  using DefaultPlatform::DefaultPlatform;
  bool writeCache(std::string key, std::string storedText) override {
    if (key == PLATFORM_REGION_INFO_KEY && (++regionWrites, failRegionWrites.load())) return false;
    if (key == PLATFORM_REGION_INFO_KEY && holdRegionWrites.Get()) {
      regionWriteHeld.Update([](bool& held) { held = true; });
      holdRegionWrites.WaitFor([](bool hold) { return !hold; }, 60s);
    }
    return DefaultPlatform::writeCache(std::move(key), std::move(storedText));
  }
  std::atomic<int> regionWrites{0};
  std::atomic<bool> failRegionWrites{false};
  Waitable<bool> holdRegionWrites, regionWriteHeld;
};

// The observer's calls and, through Completion(), lookups' completions, and
// whether every one ran on the HTTP thread; `hook` runs inside the observer.
class Recorder : public IIotGlobalActivationCallback {
 public:
  void OnRegionInfoChanged(const IotRegionInfo& region) override {
    allOnHttpThread = allOnHttpThread && IotAsyncManager::getInstance()->isHttpManagerThread();
    regions.Update([&](std::vector<IotRegionInfo>& v) { v.push_back(region); });
    if (hook) hook();
  }
  IotGlobalActivation::LookupCompletion Completion() {
    return [this](const Result& result) {
      allOnHttpThread = allOnHttpThread && IotAsyncManager::getInstance()->isHttpManagerThread();
      results.Update([&](std::vector<Result>& v) { v.push_back(result); });
    };
  }
  bool WaitForResults(size_t n) {
    return results.WaitFor([n](const std::vector<Result>& v) { return v.size() >= n; }, 20s);
  }
  size_t announced() const { return regions.Get().size(); }

  Waitable<std::vector<IotRegionInfo>> regions;
  Waitable<std::vector<Result>> results;
  std::atomic<bool> allOnHttpThread{true};
  std::function<void()> hook;
};

IotGlobalActivation* Activation() { return IotGlobalActivation::getInstance(); }

// A request body as one-line JSON in its members' order, the random "id"
// replaced by its length.
std::string BodyShape(const std::string& body) {
  iotcloud::JsonPtr tree(cJSON_Parse(body.c_str()));
  const cJSON* id = cJSON_GetObjectItemCaseSensitive(tree.get(), "id");
  if (!cJSON_IsString(id)) return "no id in " + body;
  cJSON_ReplaceItemInObjectCaseSensitive(tree.get(), "id", cJSON_CreateNumber(std::strlen(id->valuestring)));
  return iotcloud::JsonText(cJSON_PrintUnformatted(tree.get())).get();
}

class RegionLookupTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    GatewayConfig config;
    config.applications[kAppKey] = kAppSecret;
    sim_ = new GatewaySim(config);
    std::string error;
    ASSERT_TRUE(sim_->Start(&error)) << error;
    AsyncHttpOptions options = IotAsyncManager::getInstance()->getHttpOptions();
    options.caPem = sim_->caPem();
    options.totalTimeoutMs = 5000;
    IotAsyncManager::getInstance()->setHttpOptions(options);
    IotAsyncManager::getInstance()->init();
    // The same gateway under two names, so the Host header shows which of
    // the two hosts a lookup chose.
    Activation()->setGatewayHosts(sim_->hostPort(), "localhost:" + std::to_string(sim_->port()));
  }
  static void TearDownTestSuite() {
    IotAsyncManager::getInstance()->deInit();
    setSharedPlatformImpl(nullptr);
    delete sim_;
  }
  void SetUp() override {
    InstallPlatform(kAppSecret);
    IotCacheManager::getInstance()->setSmartInitConfig(IotSmartInitConfig());
    Activation()->resetRegion();
    Activation()->setRetryPolicy(kOnce);
    Activation()->setWallClock(nullptr);
    sim_->clearRequests();
    Activation()->setIotGlobalActivationCallback(&recorder_);
  }
  void TearDown() override { Activation()->setIotGlobalActivationCallback(nullptr); }

  // A fresh cache file per call behind the counting platform.
  void InstallPlatform(const std::string& secret) {
    static int serial = 0;
    setSharedPlatformImpl(platform_ = std::make_shared<CountingPlatform>(PlatformOptions(
                              dir_.File("cache-" + std::to_string(++serial) + ".db"), kAppKey, secret)));
  }
  static std::string CachedRegion() {
    return IotCacheManager::getInstance()->readFormPlatformCache(PLATFORM_REGION_INFO_KEY);
  }
  // Two lookups pending: one awaits its answer, one waits for its next attempt.
  void StartTwoPending(IotGlobalActivation::LookupHandle* inFlight, IotGlobalActivation::LookupHandle* waiting) {
    LogCapture log(3);
    Activation()->setRetryPolicy(kSlow);
    sim_->PushFault({Fault::Kind::kDelay, 5000});
    *inFlight = Activation()->regionGetByEmailAsync("bob@example.de", recorder_.Completion());
    ASSERT_TRUE(sim_->WaitForRequests(1, 10000));
    sim_->PushFault(k503);
    *waiting = Activation()->regionGetByEmailAsync("carol@example.com", recorder_.Completion());
    ASSERT_TRUE(log.WaitForLine("next attempt in", 10s));
  }
  static Result Lookup(const std::string& email) {
    Activation()->regionGetByEmail(email);
    return Activation()->getLastLookupResult();
  }

  inline static TempDir dir_;
  inline static GatewaySim* sim_ = nullptr;
  std::shared_ptr<CountingPlatform> platform_;
  Recorder recorder_;
};

// Every lookup goes out shaped and signed as the gateway expects (it would
// refuse a bad signature), with the start-up configuration's stage. Only the
// exact code "CN" goes to the API gateway; a login id is an e-mail address
// when it holds an at sign. At the most detailed log level no line holds an
// authorisation code, an e-mail address or a phone number in full.
TEST_F(RegionLookupTest, EachLookupGoesOutSignedToItsHostAndIsLoggedMasked) {
  const std::string api = sim_->hostPort(), shanghai = "localhost:" + std::to_string(sim_->port());
  IotSmartInitConfig config;
  config.env = 2;
  IotCacheManager::getInstance()->setSmartInitConfig(config);
  const struct {
    std::function<void()> lookup;
    std::string params, host;
    std::string raw = {}, masked = {};  // "": not a personal identifier
  } cases[] = {
      // clang-format off
      {[] { Activation()->regionGetByAuthCode("authcode-eu"); }, R"({"type":"THIRD_AUTHCODE","authCode":"authcode-eu"})",
       api, "authcode-eu", "***"},
      {[] { Activation()->regionGetByLoginId("bob@example.de", ""); }, R"({"type":"EMAIL","email":"bob@example.de"})",
       api, "bob@example.de", "***@example.de"},
      {[] { Activation()->regionGetByLoginId("91234567", "65"); },
       R"({"type":"PHONE","phoneLocationCode":"65","phone":"91234567"})", api, "91234567", "***67"},
      {[] { Activation()->regionGetByLoginId("@", "49"); }, R"({"type":"EMAIL","email":"@"})", api},
      {[] { Activation()->regionGetByCountryCode("CN"); }, R"({"type":"COUNTRY_CODE","countryCode":"CN"})", api},
      {[] { Activation()->regionGetByCountryCode("cn"); }, R"({"type":"COUNTRY_CODE","countryCode":"cn"})", shanghai},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.params);
    sim_->clearRequests();
    Activation()->resetRegion();
    LogCapture log(1);
    c.lookup();
    EXPECT_NE(Activation()->getLastLookupResult().outcome, Outcome::kGatewayRefused);
    const std::vector<ReceivedRequest> requests = sim_->requests();
    ASSERT_EQ(requests.size(), 1u);
    const ReceivedRequest& request = requests[0];
    EXPECT_EQ(request.method + " " + request.path, "POST /velmo/account/region/get");
    // The rest of the header set is the header builder's (MakeHttpHeaderTest).
    // clang-format off
    const std::pair<const char*, std::string> headers[] = {{"content-type", "application/octet-stream; charset=utf-8"},
        {"x-ca-key", kAppKey}, {"x-ca-stage", "TEST"}, {"appKey", ""}, {"host", c.host}};
    // clang-format on
    for (const auto& [name, value] : headers) EXPECT_EQ(request.header(name), value) << name;
    EXPECT_EQ(BodyShape(request.body), R"({"request":{"language":"en-US","apiVer":"1.0.2"},"params":)" + c.params +
                                           R"(,"id":32,"version":"1.0"})");
    if (c.raw.empty()) continue;
    EXPECT_EQ(log.Count(c.raw), 0u);
    EXPECT_EQ(log.Count("http_body="), 1u);
    EXPECT_TRUE(log.Contains("\"" + c.masked + "\""));
  }
}

// Announced once on the HTTP thread and saved before the lookup returns,
// also without an observer. The save of an equal answer is skipped only while
// the cache holds the region's bytes: what decides is the cache, not the
// region in memory. A region taken over but not saved is announced, the
// result says the save failed, and a later equal answer tries the save again.
TEST_F(RegionLookupTest, NewRegionIsAnnouncedOnceAndSavedAndAnEqualOneOnlyWhenTheCacheDiffers) {
  for (const bool observed : {false, true}) {
    InstallPlatform(kAppSecret);
    Activation()->resetRegion();
    Activation()->setIotGlobalActivationCallback(observed ? &recorder_ : nullptr);
    EXPECT_EQ(Lookup("bob@example.de").outcome, Outcome::kChanged);
    EXPECT_EQ(Activation()->getRegionInfo().getRegionId(), "eu-central-1");
    EXPECT_EQ(CachedRegion(), Activation()->getRegionInfo().toJsonString());
  }
  const std::string saved = CachedRegion();
  ASSERT_EQ(recorder_.announced(), 1u);
  EXPECT_TRUE(recorder_.regions.Get()[0] == Activation()->getRegionInfo());
  EXPECT_TRUE(recorder_.allOnHttpThread);
  EXPECT_EQ(Lookup("carol@example.de").outcome, Outcome::kUnchanged);
  EXPECT_EQ(recorder_.announced(), 1u);
  EXPECT_EQ(platform_->regionWrites, 1);
  IotCacheManager::getInstance()->writeToPlatformCache(PLATFORM_REGION_INFO_KEY, "{}");  // someone else's write
  EXPECT_EQ(Lookup("carol@example.de").outcome, Outcome::kUnchanged);
  EXPECT_EQ(platform_->regionWrites, 3);
  EXPECT_EQ(CachedRegion(), saved);

  platform_->failRegionWrites = true;
  for (const Outcome expected : {Outcome::kChanged, Outcome::kUnchanged}) {
    const Result result = Lookup("dave@example.com");
    EXPECT_EQ(result.outcome, expected) << result.detail;
    EXPECT_TRUE(result.saveFailed);
    EXPECT_NE(result.detail.find("could not be saved"), std::string::npos) << result.detail;
  }
  EXPECT_EQ(recorder_.announced(), 2u);
  platform_->failRegionWrites = false;
  EXPECT_FALSE(Lookup("dave@example.com").saveFailed);
  EXPECT_EQ(CachedRegion(), Activation()->getRegionInfo().toJsonString());
  EXPECT_EQ(Activation()->getRegionInfo().getRegionId(), "us-west-1");
}

// Each outcome over real TLS, with up to three attempts (the retry rules
// themselves: the state machine's tests): a transient failure is retried,
// every attempt is signed afresh, the deadline cuts the attempt, a redirect
// is not followed, and only the final answer touches the region, the observer
// and the cache. A 2xx answer without a region saves the current region over
// a cache entry that differs; a refusal, another status, an incomplete answer
// or a transport failure leaves the cache alone.
TEST_F(RegionLookupTest, EachAnswerIsRetriedOrTakenAsItShouldBe) {
  auto status = [](int code, std::string body, std::string location = "") {
    return Fault{Fault::Kind::kErrorStatus, 0, code, 0, std::move(body), std::move(location)};
  };
  auto raw = [](const std::string& body) { return Fault{Fault::Kind::kRawBody, 0, 200, 0, body}; };
  const Fault dropped{Fault::Kind::kCloseMidAnswer};
  const std::string toUsWest = "region changed to us-west-1";
  const struct {
    std::vector<Fault> faults;  // none: signed with the wrong secret
    Outcome outcome;
    int attempts, httpStatus;
    std::string inDetail;  // of the result or of an earlier attempt
    bool saves;
    int64_t maxDelayMs = 5, deadlineMs = 20000;
  } cases[] = {
      // clang-format off
      {{k503, k503}, Outcome::kChanged, 3, 200, toUsWest, true},
      {{dropped}, Outcome::kChanged, 2, 200, toUsWest, true},
      // No attempt starts after the deadline, and the last is cut to it (from the 5 s limit).
      {{{Fault::Kind::kDelay, 5000}}, Outcome::kTransportFailure, 1, 0, "deadline", false, 5, 400},
      {{}, Outcome::kGatewayRefused, 1, 400, "HTTP 400, error InvalidSignature: Invalid signature", false},
      {{status(403, R"({"code":200,"data":)" + RegionTable::BuiltIn().RegionJson("us-west-1") + "}")}, Outcome::kHttpStatus, 1, 403,
       "HTTP status 403", false},
      {{status(302, "", "https://elsewhere.example/")}, Outcome::kHttpStatus, 1, 302,
       "HTTP status 302, Location: https://elsewhere.example/ (redirects are not followed)", false},
      {{raw(R"({"code":200,"data":{"regionId":"r","mqttEndpoint":"m","apiGatewayEndpoint":"","oaApiGatewayEndpoint":"o"}})")},
       Outcome::kIncompleteAnswer, 1, 200, "\"apiGatewayEndpoint\" is missing or empty", false},
      {{{Fault::Kind::kEmptyBody}}, Outcome::kUnreadableAnswer, 1, 200, "the answer is not JSON", true},
      {{raw(R"({"code":460,"message":"no such account"})")}, Outcome::kServiceError, 1, 200,
       "service error 460: no such account", true},
      // clang-format on
  };
  // A record that the cache's restore rules accept but that is not the bytes
  // a save would write.
  const std::string marker = R"({"regionId":"eu-central-1"})";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.inDetail);
    InstallPlatform(kAppSecret);
    Activation()->resetRegion();
    ASSERT_EQ(Lookup("bob@example.de").outcome, Outcome::kChanged);  // eu-central-1
    const size_t announced = recorder_.announced();
    if (c.faults.empty()) InstallPlatform("wrong-secret");
    ASSERT_TRUE(IotCacheManager::getInstance()->writeToPlatformCache(PLATFORM_REGION_INFO_KEY, marker));
    Activation()->setRetryPolicy({3, 1, c.maxDelayMs, c.deadlineMs});
    sim_->clearRequests();
    for (const Fault& fault : c.faults) sim_->PushFault(fault);

    const auto start = std::chrono::steady_clock::now();
    const Result result = Lookup("dave@example.com");  // would be us-west-1
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, 4500ms);
    EXPECT_EQ(result.outcome, c.outcome) << result.detail;
    EXPECT_EQ(result.httpStatus, c.httpStatus);
    EXPECT_EQ(result.curlCode != 0, c.outcome == Outcome::kTransportFailure);
    std::string said = result.detail;
    for (const std::string& earlier : result.earlierAttempts) said += "\n" + earlier;
    EXPECT_NE(said.find(c.inDetail), std::string::npos) << said;
    EXPECT_TRUE(c.outcome == Outcome::kTransportFailure || !result.requestId.empty());
    EXPECT_TRUE(c.httpStatus < 300 || result.detail.find("(request id " + result.requestId + ")") != std::string::npos)
        << result.detail;
    EXPECT_EQ(result.attempts, c.attempts);
    std::set<std::string> nonces;
    for (const ReceivedRequest& request : sim_->requests()) nonces.insert(request.header("x-ca-nonce"));
    EXPECT_EQ(nonces.size(), static_cast<size_t>(c.attempts)) << "every attempt is signed afresh";
    const bool changed = c.outcome == Outcome::kChanged;
    EXPECT_EQ(Activation()->getRegionInfo().getRegionId(), changed ? "us-west-1" : "eu-central-1");
    EXPECT_EQ(recorder_.announced() - announced, changed ? 1u : 0u);
    EXPECT_EQ(CachedRegion(), !c.saves ? marker : Activation()->getRegionInfo().toJsonString());
  }
}

// Each thread asks for an address that routes to its own region; its result
// (the calling thread's last) must name that region, whatever the others'
// answers did meanwhile, also while another thread reads the region.
TEST_F(RegionLookupTest, ConcurrentLookupsEachGetTheirOwnAnswer) {
  const std::pair<const char*, const char*> routes[] = {
      {"a@example.cn", "cn-shanghai"}, {"b@example.sg", "ap-southeast-1"}, {"c@example.com", "us-west-1"}};
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop) (void)Activation()->getRegionInfo();
  });
  std::vector<std::thread> threads;
  std::vector<std::string> failures(3);
  for (size_t i = 0; i < 3; ++i) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < 5; ++round) {
        const std::string detail = Lookup(routes[i].first).detail, region = routes[i].second;
        if (detail != "region changed to " + region && detail != "region unchanged: " + region) failures[i] = detail;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  stop = true;
  reader.join();
  EXPECT_EQ(failures, std::vector<std::string>(3));
}

// The date retry is not counted against the attempts; later lookups are
// dated right at once; a clock put right costs one refusal, then the stale
// offset is gone.
TEST_F(RegionLookupTest, WrongLocalClockIsCorrectedWithOneExtraRequest) {
  constexpr int64_t kHourMs = 3600 * 1000;
  Activation()->setWallClock([] { return (std::chrono::system_clock::now() - 1h).time_since_epoch() / 1ms; });
  for (const int64_t offset : {kHourMs, int64_t{0}}) {
    const Result result = Lookup("bob@example.de");
    EXPECT_EQ(result.outcome, Outcome::kChanged) << result.detail;
    ASSERT_EQ(result.earlierAttempts.size(), 1u);
    EXPECT_TRUE(offset == 0 || result.earlierAttempts[0].find("ahead of this computer's") != std::string::npos);
    EXPECT_NEAR(static_cast<double>(Activation()->getClockOffsetMs()), offset, 5000);
    EXPECT_EQ(Lookup("carol@example.com").attempts, 1);
    Activation()->setWallClock(nullptr);
    Activation()->resetRegion();
  }
}

// Many lookups in flight from one thread each complete once, on the HTTP
// thread; then a cancel races the answer at different points (at once, or
// after a growing spin) and exactly one of the two wins.
TEST_F(RegionLookupTest, ManyAsynchronousLookupsEachCompleteOnceAndCancelRacesTheAnswer) {
  constexpr size_t kMany = 30, kRaced = 40;
  const char* const emails[] = {"bob@example.de", "carol@example.com", "erin@example.sg"};
  for (size_t i = 0; i < kMany; ++i) Activation()->regionGetByEmailAsync(emails[i % 3], recorder_.Completion());
  ASSERT_TRUE(recorder_.WaitForResults(kMany));
  for (size_t i = 0; i < kRaced; ++i) {
    IotGlobalActivation::LookupHandle handle =
        Activation()->regionGetByEmailAsync("bob@example.de", recorder_.Completion());
    for (volatile size_t spin = 0; spin < i * 20000; spin = spin + 1) {
    }
    const bool cancelled = handle.cancel();
    ASSERT_TRUE(recorder_.WaitForResults(kMany + i + 1));
    const Result last = recorder_.results.Get().back();
    EXPECT_EQ(last.outcome == Outcome::kCancelled, cancelled) << "round " << i << ": " << last.detail;
  }
  Lookup("bob@example.de");  // any stray second completion would have come by now
  const std::vector<Result> results = recorder_.results.Get();
  ASSERT_EQ(results.size(), kMany + kRaced);
  EXPECT_TRUE(recorder_.allOnHttpThread);
  for (size_t i = 0; i < kMany; ++i) {
    EXPECT_TRUE(results[i].outcome == Outcome::kChanged || results[i].outcome == Outcome::kUnchanged)
        << results[i].detail;
  }
}

// deInit completes both pending lookups once, on its own thread, and they
// change nothing. Without a running transport a lookup returns at once and
// the warm-up does nothing; with one, the warm-up only opens a connection (a
// HEAD request).
TEST_F(RegionLookupTest, DeInitCompletesPendingLookupsAndWithoutTransportNothingIsSent) {
  IotGlobalActivation::LookupHandle inFlight, waiting;
  StartTwoPending(&inFlight, &waiting);
  IotAsyncManager::getInstance()->deInit();
  const std::vector<Result> results = recorder_.results.Get();
  const Outcome notSent = Lookup("bob@example.de").outcome;
  Activation()->warmUp();
  IotAsyncManager::getInstance()->init();

  ASSERT_EQ(results.size(), 2u);
  EXPECT_FALSE(recorder_.allOnHttpThread);
  for (const Result& result : results) {
    EXPECT_TRUE(result.outcome == Outcome::kTransportFailure && result.curlCode == 42) << result.detail;
  }
  EXPECT_EQ(notSent, Outcome::kNotSent);
  EXPECT_TRUE(Activation()->getRegionInfo() == IotRegionInfo());
  sim_->clearRequests();
  Activation()->warmUp();
  ASSERT_TRUE(sim_->WaitForRequests(1, 10000));
  Activation()->setRetryPolicy(kOnce);
  Lookup("bob@example.de");
  const std::vector<ReceivedRequest> requests = sim_->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method + " " + requests[0].path + " " + requests[1].method, "HEAD / POST");
  EXPECT_EQ(recorder_.results.Get().size(), 2u);
  EXPECT_EQ(recorder_.announced(), 1u);
  EXPECT_EQ(platform_->regionWrites, 1);
}

// The activation object answers only for region lookups: a completion of
// another kind, even one carrying a region, changes nothing.
TEST_F(RegionLookupTest, CompletionsOfAnotherKindChangeNothing) {
  const auto otherKind = static_cast<_AsyncHttpReqType>(ASYNC_HTTP_REQ_REGION_GET + 1);
  IotRequest request;
  IotResponse response;
  response.data = "{\"code\":200,\"data\":" + RegionTable::BuiltIn().RegionJson("eu-central-1") + "}";
  Activation()->OnResponse(&request, &response, otherKind);
  IotException failure;
  failure.message = CurlFailureText(7);
  Activation()->OnFailure(&request, &failure, otherKind);
  EXPECT_TRUE(Activation()->getRegionInfo() == IotRegionInfo());
  EXPECT_EQ(recorder_.announced() + platform_->regionWrites, 0u);
}

// A lookup from inside the observer or a completion runs on the HTTP thread:
// a blocking one would wait for itself and is refused, an asynchronous one runs.
TEST_F(RegionLookupTest, CallbacksMayStartAsynchronousLookupsButNotBlockingOnes) {
  IotGlobalActivation::LookupCompletion record = recorder_.Completion();
  recorder_.hook = [&record] { record(Lookup("eve@example.com")); };
  Activation()->regionGetByEmailAsync("bob@example.de", [&record](const Result& first) {
    record(first);
    record(Lookup("carol@example.com"));
    Activation()->regionGetByEmailAsync("carol@example.com", record);
  });
  ASSERT_TRUE(recorder_.WaitForResults(5));  // two answers, three refusals (two of them in the observer)
  recorder_.hook = nullptr;
  std::multiset<Outcome> outcomes;
  for (const Result& result : recorder_.results.Get()) outcomes.insert(result.outcome);
  EXPECT_EQ(outcomes.count(Outcome::kChanged), 2u);
  EXPECT_EQ(outcomes.count(Outcome::kNotSent), 3u);
  EXPECT_EQ(Activation()->getRegionInfo().getRegionId(), "us-west-1");
  EXPECT_EQ(sim_->requests().size(), 2u);
}

// While one lookup's answer is being saved (a slow disk), a host thread that
// reads the region or cancels another lookup returns at once: neither waits
// for the save or for the HTTP thread's step.
TEST_F(RegionLookupTest, HostCallsWaitForNoOtherLookupsSave) {
  Activation()->setRetryPolicy(kSlow);
  sim_->PushFault({Fault::Kind::kDelay, 5000});
  IotGlobalActivation::LookupHandle slow =
      Activation()->regionGetByEmailAsync("bob@example.de", recorder_.Completion());
  ASSERT_TRUE(sim_->WaitForRequests(1, 10000));
  platform_->holdRegionWrites.Update([](bool& hold) { hold = true; });
  Activation()->regionGetByEmailAsync("carol@example.com", recorder_.Completion());
  ASSERT_TRUE(platform_->regionWriteHeld.WaitFor([](bool held) { return held; }, 10s));
  Waitable<std::string> calls;
  std::thread host([&] {
    const std::string region = Activation()->getRegionInfo().getRegionId();
    calls.Update([&](std::string& said) { said = region + (slow.cancel() ? " cancelled" : " not cancelled"); });
  });
  const bool returned = calls.WaitFor([](const std::string& said) { return !said.empty(); }, 10s);
  platform_->holdRegionWrites.Update([](bool& hold) { hold = false; });
  host.join();
  EXPECT_TRUE(returned) << "a host call waited for another lookup's save";
  EXPECT_EQ(calls.Get(), "us-west-1 cancelled");
  ASSERT_TRUE(recorder_.WaitForResults(2));
  std::multiset<Outcome> outcomes;
  for (const Result& result : recorder_.results.Get()) outcomes.insert(result.outcome);
  EXPECT_EQ(outcomes, (std::multiset<Outcome>{Outcome::kChanged, Outcome::kCancelled}));
}

// A cancel racing deInit() while the lookup waits for its next attempt:
// whichever wins, the completion says the same as cancel() did.
TEST_F(RegionLookupTest, CancelRacingDeInitEndsTheLookupOnceAsCancelSaid) {
  Activation()->setRetryPolicy(kSlow);
  for (int round = 0; round < 40; ++round) {
    recorder_.results.Update([](std::vector<Result>& v) { v.clear(); });
    LogCapture log(3);
    sim_->PushFault(k503);
    IotGlobalActivation::LookupHandle handle =
        Activation()->regionGetByEmailAsync("bob@example.de", recorder_.Completion());
    ASSERT_TRUE(log.WaitForLine("next attempt in", 10s));
    std::atomic<bool> go{false}, cancelled{false};
    std::thread canceller([&] {
      while (!go) {
      }
      cancelled = handle.cancel();
    });
    go = true;
    IotAsyncManager::getInstance()->deInit();
    canceller.join();
    ASSERT_TRUE(recorder_.WaitForResults(1));
    const Result result = recorder_.results.Get()[0];
    EXPECT_EQ(result.outcome == Outcome::kCancelled, cancelled.load()) << "round " << round << ": " << result.detail;
    EXPECT_TRUE(result.outcome == Outcome::kCancelled || result.curlCode == 42) << result.detail;
    IotAsyncManager::getInstance()->init();
  }
  EXPECT_EQ(recorder_.results.Get().size(), 1u);
}

// A host callback that throws is caught where the library calls it and
// logged; the lookup's outcome, the region and the save stand.
TEST_F(RegionLookupTest, ThrowingObserversAndCompletionsAreCaught) {
  LogCapture log(4);
  recorder_.hook = [] { throw std::runtime_error("observer failed"); };
  Waitable<int> completed;
  Activation()->regionGetByEmailAsync("bob@example.de", [&completed](const Result& result) {
    completed.Update([&](int& n) { n = result.outcome == Outcome::kChanged ? 1 : -1; });
    throw std::runtime_error("completion failed");
  });
  ASSERT_TRUE(completed.WaitFor([](int n) { return n != 0; }, 10s));
  recorder_.hook = nullptr;
  EXPECT_EQ(completed.Get(), 1);
  const Result next = Lookup("carol@example.com");
  EXPECT_EQ(next.outcome, Outcome::kChanged) << next.detail;
  EXPECT_EQ(platform_->regionWrites, 2);
  EXPECT_TRUE(log.Contains("observer failed") && log.Contains("completion failed"));
}

// A policy whose values would overflow the clock means "very long": the
// lookup is sent and answered, and a wait of ages is waited, not skipped.
TEST_F(RegionLookupTest, HugeRetryPolicyValuesMeanVeryLong) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  for (const int64_t deadline : {int64_t{10000000000000}, kMax}) {
    Activation()->setRetryPolicy({1, 1, 5, deadline});
    const Result result = Lookup("bob@example.de");
    EXPECT_TRUE(result.outcome == Outcome::kChanged || result.outcome == Outcome::kUnchanged) << result.detail;
  }
  // A wait past what the clock can hold meets the deadline: no attempt follows.
  Activation()->setRetryPolicy({3, 1000000000000000, kMax, kMax});
  sim_->clearRequests();
  sim_->PushFault(k503);
  const Result waitsForEver = Lookup("carol@example.com");
  EXPECT_EQ(waitsForEver.outcome, Outcome::kHttpStatus) << waitsForEver.detail;
  EXPECT_NE(waitsForEver.detail.find("deadline would pass first"), std::string::npos) << waitsForEver.detail;
  EXPECT_EQ(waitsForEver.attempts, 1);
  // A wait of years is waited for, not skipped.
  Activation()->setRetryPolicy({3, 1000000000000, kMax, kMax});
  LogCapture log(3);
  sim_->clearRequests();
  sim_->PushFault(k503);
  IotGlobalActivation::LookupHandle handle =
      Activation()->regionGetByEmailAsync("carol@example.com", recorder_.Completion());
  ASSERT_TRUE(log.WaitForLine("next attempt in", 10s));
  EXPECT_TRUE(handle.cancel());
  ASSERT_TRUE(recorder_.WaitForResults(1));
  const Result result = recorder_.results.Get()[0];
  EXPECT_EQ(result.outcome, Outcome::kCancelled) << result.detail;
  EXPECT_EQ(result.attempts, 1);
  EXPECT_EQ(sim_->requests().size(), 1u);
}

// An answer that echoes what the lookup sent (in any letter case) is logged with the identifier
// masked, at every level; the host still gets the message as sent.
TEST_F(RegionLookupTest, AnswersEchoingTheIdentifierAreLoggedMasked) {
  const struct {
    std::function<void()> lookup;
    std::string sent, secret, masked;
  } cases[] = {
      {[] { Activation()->regionGetByEmail("alice.secret@example.de"); }, "alice.secret@example.de", "alice.secret",
       "***@example.de"},
      {[] { Activation()->regionGetByPhone("49", "15112345678"); }, "15112345678", "15112345678", "***78"},
      {[] { Activation()->regionGetByAuthCode("oauth-code-XYZ"); }, "oauth-code-xyz", "oauth-code", "***"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.secret);
    for (const int status : {200, 404}) {
      const std::string body = R"({"code":404,"message":"no account for )" + c.sent + R"("})";
      sim_->PushFault(status == 200 ? Fault{Fault::Kind::kRawBody, 0, 200, 0, body}
                                    : Fault{Fault::Kind::kErrorStatus, 0, 404, 0, body, "", "", ""});
      LogCapture log(1);
      c.lookup();
      const Result result = Activation()->getLastLookupResult();
      EXPECT_TRUE(status != 200 || result.detail.find(c.secret) != std::string::npos) << result.detail;
      EXPECT_EQ(log.Count(c.secret), 0u);
      EXPECT_TRUE(log.Contains("no account for " + c.masked));
    }
  }
}

// Lookups queued behind others for longer than their deadline still get
// their attempt: a lookup's deadline starts when its first attempt enters
// the transport, not while it waits for a free transfer.
TEST_F(RegionLookupTest, TimeInTheTransportsQueueDoesNotCountAgainstTheDeadline) {
  IotAsyncManager* runtime = IotAsyncManager::getInstance();
  const AsyncHttpOptions usual = runtime->getHttpOptions();
  AsyncHttpOptions oneAtATime = usual;
  oneAtATime.maxTransfers = 1;
  runtime->deInit();
  runtime->setHttpOptions(oneAtATime);
  runtime->init();
  // Each answer takes 600 ms of a 1.5 s deadline; the fourth waits 1.8 s to be sent.
  Activation()->setRetryPolicy({1, 1, 5, 1500});
  for (int i = 0; i < 4; ++i) sim_->PushFault({Fault::Kind::kDelay, 600});
  for (const char* email : {"bob@example.de", "carol@example.com", "erin@example.sg", "bob@example.de"}) {
    Activation()->regionGetByEmailAsync(email, recorder_.Completion());
  }
  const bool ended = recorder_.WaitForResults(4);
  runtime->deInit();
  runtime->setHttpOptions(usual);
  runtime->init();
  ASSERT_TRUE(ended);
  for (const Result& result : recorder_.results.Get()) {
    EXPECT_TRUE(result.outcome == Outcome::kChanged || result.outcome == Outcome::kUnchanged) << result.detail;
  }
}

// With a completion executor an asynchronous lookup's completion runs where
// the host runs it (here: this thread, draining its queue), once, also for
// one that deInit() ends; a blocking lookup never goes through it.
TEST_F(RegionLookupTest, ACompletionExecutorRunsCompletionsWhereTheHostRunsThem) {
  Waitable<std::vector<std::function<void()>>> queue;
  Activation()->setCompletionExecutor(
      [&queue](std::function<void()> run) { queue.Update([&](auto& q) { q.push_back(std::move(run)); }); });
  EXPECT_EQ(Lookup("bob@example.de").outcome, Outcome::kChanged);
  Activation()->setRetryPolicy(kSlow);
  LogCapture log(3);
  sim_->PushFault(k503);
  Activation()->regionGetByEmailAsync("carol@example.com", recorder_.Completion());  // its next attempt: a minute away
  ASSERT_TRUE(log.WaitForLine("next attempt in", 10s));
  Activation()->regionGetByEmailAsync("bob@example.de", recorder_.Completion());
  ASSERT_TRUE(queue.WaitFor([](const auto& q) { return q.size() == 1; }, 10s));
  IotAsyncManager::getInstance()->deInit();
  IotAsyncManager::getInstance()->init();
  Activation()->setCompletionExecutor(nullptr);
  EXPECT_TRUE(recorder_.results.Get().empty());
  for (const auto& run : queue.Get()) run();
  const std::vector<Result> results = recorder_.results.Get();
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].outcome, Outcome::kUnchanged);
  EXPECT_TRUE(results[1].outcome == Outcome::kTransportFailure && results[1].curlCode == 42) << results[1].detail;
  EXPECT_FALSE(recorder_.allOnHttpThread);
}

}  // namespace
