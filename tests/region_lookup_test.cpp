// Region lookups end to end: the library against the local gateway over real
// HTTPS (verified against the gateway's generated CA), with the real SQLite
// cache behind a platform that counts region saves.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/api/smart/framework/IotAsyncManager.h"
#include "core/api/smart/framework/IotCacheManager.h"
#include "core/api/smart/framework/IotGlobalActivation.h"
#include "core/api/smart/framework/IotRegionInfo.h"
#include "core/io/network/http/AsyncHttpRequest.h"
#include "gateway-sim/GatewaySim.h"
#include "gateway-sim/RegionTable.h"
#include "platform/DefaultPlatform.h"
#include "support/ForwardingPlatform.h"
#include "support/TestUtil.h"

namespace {

using namespace std::chrono_literals;
using iotcloud::gateway::Fault;
using iotcloud::gateway::GatewayConfig;
using iotcloud::gateway::GatewaySim;
using iotcloud::gateway::ReceivedRequest;
using iotcloud_test::LogCapture;
using iotcloud_test::TempDir;
using iotcloud_test::Waitable;
using Outcome = IotGlobalActivation::LookupOutcome;

constexpr char kAppKey[] = "e2e-app-key";
constexpr char kAppSecret[] = "e2e-app-secret";

// Counts saves of the region entry; everything else goes to the real platform.
class CountingPlatform : public iotcloud_test::ForwardingPlatform {
 public:
  using ForwardingPlatform::ForwardingPlatform;
  bool writeCache(std::string key, std::string storedText) override {
    if (key == PLATFORM_REGION_INFO_KEY) ++regionWrites_;
    return ForwardingPlatform::writeCache(std::move(key), std::move(storedText));
  }
  int regionWrites() const { return regionWrites_.load(); }

 private:
  std::atomic<int> regionWrites_{0};
};

class RecordingObserver : public IIotGlobalActivationCallback {
 public:
  void OnRegionInfoChanged(const IotRegionInfo& regionInfo) override {
    const bool onHttpThread = IotAsyncManager::getInstance()->isHttpManagerThread();
    calls.Update([&](std::vector<IotRegionInfo>& v) { v.push_back(regionInfo); });
    allOnHttpThread = allOnHttpThread && onHttpThread;
    if (hook) hook(regionInfo);
  }
  size_t count() const { return calls.Get().size(); }

  Waitable<std::vector<IotRegionInfo>> calls;
  std::atomic<bool> allOnHttpThread{true};
  std::function<void(const IotRegionInfo&)> hook;  // set before a lookup, run on the HTTP thread
};

IotGlobalActivation* Activation() { return IotGlobalActivation::getInstance(); }

IotRegionInfo RegionOf(const std::string& regionKey) {
  IotRegionInfo region;
  EXPECT_TRUE(region.parseFromJsonString(iotcloud::gateway::RegionTable::BuiltIn().RegionJson(regionKey)));
  return region;
}

// The member names of a JSON object, in the order they stand in the text.
std::vector<std::string> MemberNames(const cJSON* object) {
  std::vector<std::string> names;
  for (const cJSON* item = object ? object->child : nullptr; item != nullptr; item = item->next) {
    names.push_back(item->string);
  }
  return names;
}

std::string StringMember(const cJSON* object, const char* name) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
  return cJSON_IsString(item) ? item->valuestring : "<absent>";
}

class RegionLookupTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    GatewayConfig config;
    config.applications[kAppKey] = kAppSecret;
    sim_ = new GatewaySim(config);
    std::string error;
    ASSERT_TRUE(sim_->Start(&error)) << error;

    AsyncHttpOptions options = IotAsyncManager::getInstance()->getHttpOptions();
    options.caPem = sim_->caPem();
    options.connectTimeoutMs = 2000;
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
    sim_ = nullptr;
    delete dir_;
    dir_ = nullptr;
  }

  void SetUp() override {
    InstallPlatform(kAppSecret);
    IotCacheManager::getInstance()->setSmartInitConfig(IotSmartInitConfig());
    Activation()->resetRegion();
    // One request per lookup, unless a test sets its own policy: most tests
    // here check what one answer does.
    IotGlobalActivation::RetryPolicy once;
    once.maxAttempts = 1;
    Activation()->setRetryPolicy(once);
    Activation()->setWallClock(nullptr);
    sim_->clearRequests();
    Activation()->setIotGlobalActivationCallback(&observer_);
  }

  void TearDown() override { Activation()->setIotGlobalActivationCallback(nullptr); }

  // A fresh cache file per test behind the counting platform.
  void InstallPlatform(const std::string& secret) {
    static int serial = 0;
    iotcloud::DefaultPlatformOptions options;
    options.cachePath = dir_->File("cache-" + std::to_string(++serial) + ".db");
    options.applicationKey = kAppKey;
    options.applicationSecret = secret;
    options.systemLanguage = "en";
    platform_ = std::make_shared<CountingPlatform>(std::make_shared<iotcloud::DefaultPlatform>(options));
    setSharedPlatformImpl(platform_);
  }

  static std::string CachedRegion() {
    return IotCacheManager::getInstance()->readFormPlatformCache(PLATFORM_REGION_INFO_KEY);
  }

  static void SetTotalTimeout(long ms) {
    AsyncHttpOptions options = IotAsyncManager::getInstance()->getHttpOptions();
    options.totalTimeoutMs = ms;
    IotAsyncManager::getInstance()->setHttpOptions(options);
  }

  static TempDir* dir_;
  static GatewaySim* sim_;
  std::shared_ptr<CountingPlatform> platform_;
  RecordingObserver observer_;
};

TempDir* RegionLookupTest::dir_ = nullptr;
GatewaySim* RegionLookupTest::sim_ = nullptr;

TEST_F(RegionLookupTest, RequestOnTheWireIsShapedAndSignedAsTheGatewayExpects) {
  Activation()->regionGetByPhone("65", "91234567");
  // The gateway verified the signature, or it would not have answered with a region.
  ASSERT_EQ(Activation()->getLastLookupResult().outcome, Outcome::kChanged)
      << Activation()->getLastLookupResult().detail;

  const std::vector<ReceivedRequest> requests = sim_->requests();
  ASSERT_EQ(requests.size(), 1u);
  const ReceivedRequest& request = requests[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, "/velmo/account/region/get");
  const std::pair<const char*, std::string> headers[] = {
      {"content-type", "application/octet-stream; charset=utf-8"},
      {"accept", "application/json; charset=utf-8"},
      {"x-ca-key", kAppKey},
      {"x-ca-signature-method", "HmacSHA1"},
      {"x-ca-signature-headers", "x-ca-key,x-ca-nonce,x-ca-signature-method"},
      {"x-ca-version", "1"},
      {"x-ca-stage", ""},
      {"appKey", ""},
      {"host", sim_->hostPort()},
  };
  for (const auto& [name, value] : headers) EXPECT_EQ(request.header(name), value) << name;
  EXPECT_EQ(request.header("x-ca-nonce").size(), 32u);

  std::unique_ptr<cJSON, decltype(&cJSON_Delete)> body(cJSON_Parse(request.body.c_str()), &cJSON_Delete);
  ASSERT_TRUE(body) << request.body;
  EXPECT_EQ(MemberNames(body.get()), (std::vector<std::string>{"request", "params", "id", "version"}));
  const cJSON* envelope = cJSON_GetObjectItemCaseSensitive(body.get(), "request");
  EXPECT_EQ(MemberNames(envelope), (std::vector<std::string>{"language", "apiVer"}));
  EXPECT_EQ(StringMember(envelope, "language"), "en-US");
  EXPECT_EQ(StringMember(envelope, "apiVer"), "1.0.2");
  const cJSON* params = cJSON_GetObjectItemCaseSensitive(body.get(), "params");
  EXPECT_EQ(MemberNames(params), (std::vector<std::string>{"type", "phoneLocationCode", "phone"}));
  EXPECT_EQ(StringMember(params, "type"), "PHONE");
  EXPECT_EQ(StringMember(params, "phoneLocationCode"), "65");
  EXPECT_EQ(StringMember(params, "phone"), "91234567");
  EXPECT_EQ(StringMember(body.get(), "id").size(), 32u);
  EXPECT_EQ(StringMember(body.get(), "version"), "1.0");
}

TEST_F(RegionLookupTest, NewRegionIsTakenOverAnnouncedOnceAndSavedBeforeTheLookupReturns) {
  Activation()->regionGetByEmail("bob@example.de");

  const IotRegionInfo expected = RegionOf("eu-central-1");
  EXPECT_EQ(Activation()->getLastLookupResult().outcome, Outcome::kChanged);
  EXPECT_TRUE(Activation()->getRegionInfo() == expected);
  const std::vector<IotRegionInfo> calls = observer_.calls.Get();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_TRUE(calls[0] == expected);
  EXPECT_TRUE(observer_.allOnHttpThread);
  EXPECT_EQ(platform_->regionWrites(), 1);
  EXPECT_EQ(CachedRegion(), expected.toJsonString());
}

// Without an observer a new region is still taken over and saved.
TEST_F(RegionLookupTest, NewRegionWithoutAnObserverIsTakenOverAndSaved) {
  Activation()->setIotGlobalActivationCallback(nullptr);
  Activation()->regionGetByEmail("bob@example.de");
  EXPECT_EQ(Activation()->getLastLookupResult().outcome, Outcome::kChanged);
  EXPECT_TRUE(Activation()->getRegionInfo() == RegionOf("eu-central-1"));
  EXPECT_EQ(CachedRegion(), RegionOf("eu-central-1").toJsonString());
  EXPECT_EQ(observer_.count(), 0u);
}

// The start-up configuration's stage reaches the wire.
TEST_F(RegionLookupTest, StageOfTheStartUpConfigurationIsSent) {
  for (const auto& [env, stage] : {std::make_pair(1, "PRE"), std::make_pair(2, "TEST")}) {
    IotSmartInitConfig config;
    config.env = env;
    IotCacheManager::getInstance()->setSmartInitConfig(config);
    sim_->clearRequests();
    Activation()->resetRegion();
    Activation()->regionGetByEmail("bob@example.de");
    EXPECT_EQ(Activation()->getLastLookupResult().outcome, Outcome::kChanged) << stage;
    const std::vector<ReceivedRequest> requests = sim_->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].header("x-ca-stage"), stage);
  }
}

// The activation object answers only for region lookups: a completion of
// another kind, even one carrying a region, changes nothing.
TEST_F(RegionLookupTest, CompletionsOfAnotherKindChangeNothing) {
  const auto otherKind = static_cast<_AsyncHttpReqType>(ASYNC_HTTP_REQ_REGION_GET + 1);
  IotRequest request;
  request.id = "another-kind";
  IotResponse response;
  response.id = request.id;
  response.data =
      "{\"code\":200,\"data\":" + iotcloud::gateway::RegionTable::BuiltIn().RegionJson("eu-central-1") + "}";
  Activation()->OnResponse(&request, &response, otherKind);
  IotException failure;
  failure.message = CurlFailureText(7);
  Activation()->OnFailure(&request, &failure, otherKind);
  EXPECT_TRUE(Activation()->getRegionInfo() == IotRegionInfo());
  EXPECT_EQ(observer_.count(), 0u);
  EXPECT_EQ(platform_->regionWrites(), 0);
}

// The save of an equal answer is skipped only while the cache holds the
// region's bytes; what decides is the cache, not the region in memory.
TEST_F(RegionLookupTest, EqualAnswerIsNotAnnouncedAndWrittenOnlyWhenTheCacheDiffers) {
  Activation()->regionGetByEmail("bob@example.de");
  const std::string stored = platform_->readCache(PLATFORM_REGION_INFO_KEY);
  Activation()->regionGetByEmail("carol@example.de");

  EXPECT_EQ(Activation()->getLastLookupResult().outcome, Outcome::kUnchanged);
  EXPECT_EQ(observer_.count(), 1u);
  EXPECT_EQ(platform_->regionWrites(), 1);
  EXPECT_EQ(platform_->readCache(PLATFORM_REGION_INFO_KEY), stored);
  EXPECT_EQ(stored, RegionOf("eu-central-1").toJsonString());

  IotCacheManager::getInstance()->writeToPlatformCache(PLATFORM_REGION_INFO_KEY, "{}");  // someone else's write
  Activation()->regionGetByEmail("carol@example.de");
  EXPECT_EQ(Activation()->getLastLookupResult().outcome, Outcome::kUnchanged);
  EXPECT_EQ(platform_->regionWrites(), 3);
  EXPECT_EQ(platform_->readCache(PLATFORM_REGION_INFO_KEY), stored);
}

// No answer but a complete 2xx region answer changes the region or tells
// the observer; a refusal, any other status and an incomplete answer leave
// the cache alone too, while a 2xx answer without a region saves the current
// region into a cache that lacks it.
TEST_F(RegionLookupTest, AnswersWithoutARegionLeaveItAndTheCacheUnchanged) {
  const std::string usWest = iotcloud::gateway::RegionTable::BuiltIn().RegionJson("us-west-1");
  auto answer = [](const std::string& data) { return "{\"code\":200,\"message\":\"success\",\"data\":" + data + "}"; };
  auto raw = [](const std::string& body) {
    return [body] { sim_->PushFault({Fault::Kind::kRawBody, 0, 200, 0, body}); };
  };
  auto status = [&](int code, const std::string& location = "") {
    return [=] { sim_->PushFault({Fault::Kind::kErrorStatus, 0, code, 0, answer(usWest), location}); };
  };
  struct Case {
    const char* name;
    std::function<void()> arrange;
    Outcome outcome;
    int httpStatus;
    std::string gatewayErrorCode, inDetail;
    bool cacheRewritten;  // the marker in the cache replaced by the current region
  };
  const Case cases[] = {
      {"signature refused", [this] { InstallPlatform("wrong-secret"); }, Outcome::kGatewayRefused, 400,
       "InvalidSignature", "HTTP 400, error InvalidSignature: Invalid signature", false},
      {"error status with a JSON body",
       [] {
         sim_->PushFault({Fault::Kind::kErrorStatus, 0, 502, 0});
       },
       Outcome::kHttpStatus, 502, "", "HTTP status 502", false},
      {"500 with a region body", status(500), Outcome::kHttpStatus, 500, "", "HTTP status 500", false},
      {"403 with a region body", status(403), Outcome::kHttpStatus, 403, "", "HTTP status 403", false},
      {"302 elsewhere", status(302, "https://elsewhere.example/region"), Outcome::kHttpStatus, 302, "",
       "HTTP status 302, Location: https://elsewhere.example/region (redirects are not followed)", false},
      {"data null", raw(answer("null")), Outcome::kIncompleteAnswer, 200, "", "\"data\" is missing", false},
      {"no regionId", raw(answer(R"({"mqttEndpoint":"m","apiGatewayEndpoint":"a","oaApiGatewayEndpoint":"o"})")),
       Outcome::kIncompleteAnswer, 200, "", "\"regionId\" is missing", false},
      {"empty endpoint",
       raw(answer(R"({"regionId":"us-west-1","mqttEndpoint":"m","apiGatewayEndpoint":"","oaApiGatewayEndpoint":"o"})")),
       Outcome::kIncompleteAnswer, 200, "", "\"apiGatewayEndpoint\" is missing or empty", false},
      {"HTML page",
       [] {
         sim_->PushFault({Fault::Kind::kNonJsonBody, 0, 500, 0});
       },
       Outcome::kUnreadableAnswer, 200, "", "not JSON", true},
      {"empty body",
       [] {
         sim_->PushFault({Fault::Kind::kEmptyBody, 0, 500, 0});
       },
       Outcome::kUnreadableAnswer, 200, "", "not JSON", true},
  };
  // A record that the cache's restore rules accept but that is not the bytes
  // a save would write.
  const std::string marker = R"({"regionId":"eu-central-1"})";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InstallPlatform(kAppSecret);
    Activation()->regionGetByEmail("bob@example.de");  // eu-central-1
    ASSERT_EQ(Activation()->getLastLookupResult().outcome, Outcome::kChanged);
    const size_t announced = observer_.count();

    c.arrange();
    ASSERT_TRUE(IotCacheManager::getInstance()->writeToPlatformCache(PLATFORM_REGION_INFO_KEY, marker));
    sim_->clearRequests();
    Activation()->regionGetByEmail("dave@example.com");  // would be us-west-1

    const IotGlobalActivation::LookupResult result = Activation()->getLastLookupResult();
    EXPECT_EQ(result.outcome, c.outcome) << result.detail;
    EXPECT_EQ(result.httpStatus, c.httpStatus);
    EXPECT_EQ(result.gatewayErrorCode, c.gatewayErrorCode);
    EXPECT_NE(result.detail.find(c.inDetail), std::string::npos) << result.detail;
    EXPECT_FALSE(result.requestId.empty());
    if (c.httpStatus >= 300) {
      EXPECT_NE(result.detail.find("(request id " + result.requestId + ")"), std::string::npos) << result.detail;
    }
    EXPECT_EQ(result.attempts, 1);
    EXPECT_FALSE(result.saveFailed);
    EXPECT_EQ(sim_->requests().size(), 1u);  // a redirect is not followed
    EXPECT_EQ(Activation()->getRegionInfo().getRegionId(), "eu-central-1");
    EXPECT_EQ(observer_.count(), announced);
    EXPECT_EQ(CachedRegion(), c.cacheRewritten ? RegionOf("eu-central-1").toJsonString() : marker);
    Activation()->resetRegion();
  }
}

// Fails every write of the region entry.
class RegionWriteFailingPlatform : public iotcloud_test::ForwardingPlatform {
 public:
  using ForwardingPlatform::ForwardingPlatform;
  bool writeCache(std::string key, std::string storedText) override {
    if (key == PLATFORM_REGION_INFO_KEY) return false;
    return ForwardingPlatform::writeCache(std::move(key), std::move(storedText));
  }
};

// A region taken over but not saved is announced, and the result says the
// save failed; a later equal answer tries the save again.
TEST_F(RegionLookupTest, FailedSaveIsReported) {
  setSharedPlatformImpl(std::make_shared<RegionWriteFailingPlatform>(platform_));
  for (const Outcome expected : {Outcome::kChanged, Outcome::kUnchanged}) {
    Activation()->regionGetByEmail("bob@example.de");
    const IotGlobalActivation::LookupResult result = Activation()->getLastLookupResult();
    EXPECT_EQ(result.outcome, expected) << result.detail;
    EXPECT_TRUE(result.saveFailed);
    EXPECT_NE(result.detail.find("could not be saved"), std::string::npos) << result.detail;
  }
  EXPECT_EQ(Activation()->getRegionInfo().getRegionId(), "eu-central-1");
  EXPECT_EQ(observer_.count(), 1u);
  setSharedPlatformImpl(platform_);
  Activation()->regionGetByEmail("bob@example.de");
  EXPECT_FALSE(Activation()->getLastLookupResult().saveFailed);
  EXPECT_EQ(CachedRegion(), RegionOf("eu-central-1").toJsonString());
}

TEST_F(RegionLookupTest, TransportFailuresChangeNothingAndWriteNothing) {
  Activation()->regionGetByEmail("bob@example.de");
  const int writes = platform_->regionWrites();

  sim_->PushFault({Fault::Kind::kCloseMidAnswer, 0, 500, 0});
  Activation()->regionGetByEmail("dave@example.com");
  IotGlobalActivation::LookupResult result = Activation()->getLastLookupResult();
  EXPECT_EQ(result.outcome, Outcome::kTransportFailure) << result.detail;
  EXPECT_NE(result.curlCode, 0);

  SetTotalTimeout(300);
  sim_->PushFault({Fault::Kind::kDelay, 3000, 500, 0});
  Activation()->regionGetByEmail("dave@example.com");
  result = Activation()->getLastLookupResult();
  SetTotalTimeout(5000);
  EXPECT_EQ(result.outcome, Outcome::kTransportFailure) << result.detail;
  EXPECT_EQ(result.curlCode, 28);  // CURLE_OPERATION_TIMEDOUT

  EXPECT_EQ(Activation()->getRegionInfo().getRegionId(), "eu-central-1");
  EXPECT_EQ(platform_->regionWrites(), writes);
  EXPECT_EQ(observer_.count(), 1u);
}

TEST_F(RegionLookupTest, SavedRegionIsRestoredAndClearedRegionIsNot) {
  Activation()->regionGetByEmail("bob@example.de");
  const IotRegionInfo looked = Activation()->getRegionInfo();

  // A restart: the memory is back at the defaults, the cache keeps the region.
  Activation()->resetRegion();
  EXPECT_TRUE(Activation()->getRegionInfo() == IotRegionInfo());
  EXPECT_TRUE(Activation()->init());
  EXPECT_TRUE(Activation()->getRegionInfo() == looked);

  Activation()->saveRegionInfoToCache(true);
  EXPECT_TRUE(Activation()->getRegionInfo() == IotRegionInfo());
  EXPECT_EQ(CachedRegion(), "");
  EXPECT_FALSE(Activation()->init());
  EXPECT_EQ(observer_.count(), 1u);
}

TEST_F(RegionLookupTest, LookupWithoutRunningTransportReturnsAtOnceWithNothingChanged) {
  IotAsyncManager::getInstance()->deInit();
  Activation()->regionGetByEmail("bob@example.de");
  const Outcome outcome = Activation()->getLastLookupResult().outcome;
  IotAsyncManager::getInstance()->init();

  EXPECT_EQ(outcome, Outcome::kNotSent);
  EXPECT_TRUE(sim_->requests().empty());
  EXPECT_EQ(platform_->regionWrites(), 0);
  EXPECT_TRUE(Activation()->getRegionInfo() == IotRegionInfo());
}

// The warm-up only opens a connection: one HEAD request, no region, no save,
// no observer call; without a running transport it does nothing at all.
TEST_F(RegionLookupTest, WarmUpOpensAConnectionAndChangesNothing) {
  IotAsyncManager::getInstance()->deInit();
  Activation()->warmUp();
  IotAsyncManager::getInstance()->init();
  Activation()->warmUp();
  ASSERT_TRUE(sim_->WaitForRequests(1, 10000));
  Activation()->regionGetByEmail("bob@example.de");

  const std::vector<ReceivedRequest> requests = sim_->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method + " " + requests[0].path, "HEAD /");
  EXPECT_EQ(requests[1].method, "POST");
  EXPECT_EQ(observer_.count(), 1u);
  EXPECT_EQ(platform_->regionWrites(), 1);
}

TEST_F(RegionLookupTest, LookupFromInsideTheObserverIsRefusedInsteadOfDeadlocking) {
  LogCapture log(4);
  std::atomic<int> innerOutcome{-1};
  observer_.hook = [&](const IotRegionInfo&) {
    Activation()->regionGetByEmail("eve@example.com");
    innerOutcome = static_cast<int>(Activation()->getLastLookupResult().outcome);
  };
  Activation()->regionGetByEmail("bob@example.de");
  observer_.hook = nullptr;

  EXPECT_EQ(Activation()->getLastLookupResult().outcome, Outcome::kChanged);
  EXPECT_EQ(innerOutcome.load(), static_cast<int>(Outcome::kNotSent));
  EXPECT_EQ(sim_->requests().size(), 1u);
  EXPECT_TRUE(log.Contains("HTTP manager thread"));
}

TEST_F(RegionLookupTest, ConcurrentLookupsEachGetTheirOwnAnswer) {
  // Each thread asks for an address that routes to its own region; its result
  // must name that region, whatever the others' answers did meanwhile.
  const std::vector<std::pair<std::string, std::string>> routes = {
      {"a@example.cn", "cn-shanghai"},
      {"b@example.sg", "ap-southeast-1"},
      {"c@example.com", "us-west-1"},
      {"d@example.de", "eu-central-1"},
  };
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop) (void)Activation()->getRegionInfo();
  });
  std::vector<std::thread> threads;
  std::vector<std::string> failures(routes.size());
  for (size_t i = 0; i < routes.size(); ++i) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < 5; ++round) {
        Activation()->regionGetByEmail(routes[i].first);
        const IotGlobalActivation::LookupResult result = Activation()->getLastLookupResult();
        const bool ok = (result.outcome == Outcome::kChanged || result.outcome == Outcome::kUnchanged) &&
                        result.detail.size() >= routes[i].second.size() &&
                        result.detail.compare(result.detail.size() - routes[i].second.size(), std::string::npos,
                                              routes[i].second) == 0;
        if (!ok && failures[i].empty()) failures[i] = result.detail;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  stop = true;
  reader.join();
  for (size_t i = 0; i < routes.size(); ++i) EXPECT_EQ(failures[i], "") << routes[i].first;
  EXPECT_EQ(sim_->requests().size(), routes.size() * 5);
}

// At the most detailed log level no line holds an authorisation code, an
// e-mail address or a phone number in full; the body sent is unchanged.
TEST_F(RegionLookupTest, PersonalIdentifiersNeverReachTheLogInFull) {
  const struct {
    std::function<void()> lookup;
    std::string raw, masked;
  } cases[] = {
      {[] { Activation()->regionGetByAuthCode("authcode-eu"); }, "authcode-eu", "***"},
      {[] { Activation()->regionGetByEmail("bob@example.de"); }, "bob@example.de", "***@example.de"},
      {[] { Activation()->regionGetByLoginId("bob@example.de", ""); }, "bob@example.de", "***@example.de"},
      {[] { Activation()->regionGetByPhone("65", "91234567"); }, "91234567", "***67"},
      {[] { Activation()->regionGetByLoginId("91234567", "65"); }, "91234567", "***67"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.raw);
    sim_->clearRequests();
    Activation()->resetRegion();
    LogCapture log(1);
    c.lookup();
    EXPECT_EQ(Activation()->getLastLookupResult().outcome, Outcome::kChanged);
    ASSERT_EQ(sim_->requests().size(), 1u);
    EXPECT_NE(sim_->requests()[0].body.find(c.raw), std::string::npos);
    EXPECT_EQ(log.Count(c.raw), 0u);
    EXPECT_EQ(log.Count("http_body="), 1u);
    EXPECT_TRUE(log.Contains("\"" + c.masked + "\""));
  }
}

TEST_F(RegionLookupTest, CountryCodeLookupsChooseTheirHost) {
  const std::string apiGateway = sim_->hostPort();
  const std::string shanghai = "localhost:" + std::to_string(sim_->port());
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"CN", apiGateway}, {"cn", shanghai}, {"US", shanghai}, {"CHN", shanghai}, {"", shanghai},
  };
  for (const auto& [code, host] : cases) {
    SCOPED_TRACE("country code '" + code + "'");
    sim_->clearRequests();
    Activation()->regionGetByCountryCode(code);
    ASSERT_EQ(sim_->requests().size(), 1u);
    EXPECT_EQ(sim_->requests()[0].header("host"), host);
    EXPECT_NE(sim_->requests()[0].body.find("\"COUNTRY_CODE\""), std::string::npos);
  }
}

TEST_F(RegionLookupTest, LoginIdIsAnEmailWhenItHoldsAnAtSign) {
  struct Case {
    std::string loginId, locationCode, type, key, value;
  };
  const Case cases[] = {
      {"x@example.de", "49", "EMAIL", "email", "x@example.de"},
      {"@", "49", "EMAIL", "email", "@"},
      {"15550100", "1", "PHONE", "phone", "15550100"},
      {"", "86", "PHONE", "phone", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("login id '" + c.loginId + "'");
    sim_->clearRequests();
    Activation()->regionGetByLoginId(c.loginId, c.locationCode);
    ASSERT_EQ(sim_->requests().size(), 1u);
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> body(cJSON_Parse(sim_->requests()[0].body.c_str()), &cJSON_Delete);
    const cJSON* params = cJSON_GetObjectItemCaseSensitive(body.get(), "params");
    EXPECT_EQ(StringMember(params, "type"), c.type);
    EXPECT_EQ(StringMember(params, c.key.c_str()), c.value);
    if (c.type == "PHONE") {
      EXPECT_EQ(StringMember(params, "phoneLocationCode"), c.locationCode);
    }
  }
}

// ---- Retries and the clock -------------------------------------------------------

using Result = IotGlobalActivation::LookupResult;

IotGlobalActivation::RetryPolicy QuickRetries(int attempts, int64_t deadlineMs = 20000) {
  IotGlobalActivation::RetryPolicy policy;
  policy.maxAttempts = attempts;
  policy.baseDelayMs = 1;
  policy.maxDelayMs = 5;
  policy.deadlineMs = deadlineMs;
  return policy;
}

const Fault k503{Fault::Kind::kErrorStatus, 0, 503};

TEST_F(RegionLookupTest, TransientFailuresAreRetriedAndOthersAreNot) {
  const struct {
    const char* name;
    std::vector<Fault> faults;
    std::string secret;
    Outcome outcome;
    int requests;
  } cases[] = {
      {"two 503s, then the answer", {k503, k503}, kAppSecret, Outcome::kChanged, 3},
      {"three 503s use up the attempts", {k503, k503, k503}, kAppSecret, Outcome::kHttpStatus, 3},
      {"throttled, then the answer",
       {{Fault::Kind::kErrorStatus, 0, 429, 0, "", "", "Throttled"}},
       kAppSecret,
       Outcome::kChanged,
       2},
      {"connection dropped mid-answer, then the answer", {{Fault::Kind::kCloseMidAnswer}}, kAppSecret,
       Outcome::kChanged, 2},
      {"bad signature", {}, "wrong-secret", Outcome::kGatewayRefused, 1},
      {"400 without an error code", {{Fault::Kind::kErrorStatus, 0, 400}}, kAppSecret, Outcome::kHttpStatus, 1},
      {"302", {{Fault::Kind::kErrorStatus, 0, 302, 0, "", "https://elsewhere.example/"}}, kAppSecret,
       Outcome::kHttpStatus, 1},
      {"HTML page", {{Fault::Kind::kNonJsonBody}}, kAppSecret, Outcome::kUnreadableAnswer, 1},
      {"service error", {{Fault::Kind::kRawBody, 0, 200, 0, R"({"code":460,"message":"no such account"})"}},
       kAppSecret, Outcome::kServiceError, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InstallPlatform(c.secret);
    Activation()->setRetryPolicy(QuickRetries(3));
    Activation()->resetRegion();
    sim_->clearRequests();
    const size_t announced = observer_.count();
    for (const Fault& fault : c.faults) sim_->PushFault(fault);

    Activation()->regionGetByEmail("bob@example.de");
    const Result result = Activation()->getLastLookupResult();
    EXPECT_EQ(result.outcome, c.outcome) << result.detail;
    EXPECT_EQ(result.attempts, c.requests);
    EXPECT_EQ(result.earlierAttempts.size(), static_cast<size_t>(c.requests - 1));
    const std::vector<ReceivedRequest> requests = sim_->requests();
    ASSERT_EQ(requests.size(), static_cast<size_t>(c.requests));
    std::set<std::string> nonces;
    for (const ReceivedRequest& request : requests) nonces.insert(request.header("x-ca-nonce"));
    EXPECT_EQ(nonces.size(), requests.size()) << "every attempt is signed afresh";
    // Only the final answer touches the region, the observer and the cache.
    const bool changed = c.outcome == Outcome::kChanged;
    EXPECT_EQ(observer_.count() - announced, changed ? 1u : 0u);
    if (changed || c.outcome == Outcome::kHttpStatus || c.outcome == Outcome::kGatewayRefused) {
      EXPECT_EQ(platform_->regionWrites(), changed ? 1 : 0);
    }
  }
}

TEST_F(RegionLookupTest, NoAttemptStartsAfterTheDeadlineAndTheLastIsCutToIt) {
  Activation()->setRetryPolicy(QuickRetries(5, 400));
  sim_->PushFault({Fault::Kind::kDelay, 5000});
  const auto start = std::chrono::steady_clock::now();
  Activation()->regionGetByEmail("bob@example.de");
  const auto took = std::chrono::steady_clock::now() - start;

  const Result result = Activation()->getLastLookupResult();
  EXPECT_EQ(result.outcome, Outcome::kTransportFailure) << result.detail;
  EXPECT_EQ(result.curlCode, 28);  // the attempt's limit was cut from 5 s to what remained of 400 ms
  EXPECT_EQ(result.attempts, 1);
  EXPECT_NE(result.detail.find("deadline"), std::string::npos) << result.detail;
  EXPECT_LT(took, 4s);
  EXPECT_EQ(sim_->requests().size(), 1u);
}

TEST_F(RegionLookupTest, RetryAfterIsHonouredUpToTheLongestWait) {
  const struct {
    const char* retryAfter;
    int64_t maxDelayMs;
    std::chrono::milliseconds atLeast, below;
  } cases[] = {
      {"1", 5000, 900ms, 4500ms},  // one second asked, less than the cap: waited for
      {"60", 200, 0ms, 4500ms},    // a minute asked: cut to the cap
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.retryAfter);
    Activation()->resetRegion();
    IotGlobalActivation::RetryPolicy policy = QuickRetries(2);
    policy.maxDelayMs = c.maxDelayMs;
    Activation()->setRetryPolicy(policy);
    Fault throttled{Fault::Kind::kErrorStatus, 0, 429, 0, "", "", "Throttled"};
    throttled.retryAfter = c.retryAfter;
    sim_->PushFault(throttled);
    const auto start = std::chrono::steady_clock::now();
    Activation()->regionGetByEmail("bob@example.de");
    const auto took = std::chrono::steady_clock::now() - start;
    const Result result = Activation()->getLastLookupResult();
    EXPECT_EQ(result.outcome, Outcome::kChanged) << result.detail;
    ASSERT_EQ(result.earlierAttempts.size(), 1u);
    EXPECT_NE(result.earlierAttempts[0].find("(Retry-After)"), std::string::npos) << result.earlierAttempts[0];
    EXPECT_GE(took, c.atLeast);
    EXPECT_LT(took, c.below);
  }
}

int64_t SystemNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

TEST_F(RegionLookupTest, WrongLocalClockIsCorrectedWithOneExtraRequest) {
  constexpr int64_t kHourMs = 3600 * 1000;
  // The date retry is not counted against the attempts.
  Activation()->setRetryPolicy(QuickRetries(1));
  Activation()->setWallClock([] { return SystemNowMs() - kHourMs; });  // an hour slow

  Activation()->regionGetByEmail("bob@example.de");
  Result result = Activation()->getLastLookupResult();
  EXPECT_EQ(result.outcome, Outcome::kChanged) << result.detail;
  EXPECT_EQ(result.attempts, 2);
  ASSERT_EQ(result.earlierAttempts.size(), 1u);
  EXPECT_NE(result.earlierAttempts[0].find("ahead of this computer's"), std::string::npos)
      << result.earlierAttempts[0];
  EXPECT_NEAR(static_cast<double>(Activation()->getClockOffsetMs()), kHourMs, 5000);
  EXPECT_EQ(sim_->requests().size(), 2u);

  // Later lookups are dated right at once.
  sim_->clearRequests();
  Activation()->regionGetByEmail("carol@example.com");
  EXPECT_EQ(Activation()->getLastLookupResult().attempts, 1) << Activation()->getLastLookupResult().detail;

  // The clock is put right: the stale offset costs one refusal, then it is gone.
  Activation()->setWallClock(nullptr);
  Activation()->regionGetByEmail("bob@example.de");
  result = Activation()->getLastLookupResult();
  EXPECT_EQ(result.outcome, Outcome::kChanged) << result.detail;
  EXPECT_EQ(result.attempts, 2);
  EXPECT_EQ(Activation()->getClockOffsetMs(), 0);
  sim_->clearRequests();
  Activation()->regionGetByEmail("carol@example.com");
  EXPECT_EQ(Activation()->getLastLookupResult().attempts, 1);
}

// ---- Asynchronous lookups ---------------------------------------------------------

// Completions as they arrive, with the thread each ran on.
struct Completions {
  Waitable<std::vector<Result>> results;
  std::atomic<bool> allOnHttpThread{true};
  IotGlobalActivation::LookupCompletion Recorder() {
    return [this](const Result& result) {
      if (!IotAsyncManager::getInstance()->isHttpManagerThread()) allOnHttpThread = false;
      results.Update([&](std::vector<Result>& all) { all.push_back(result); });
    };
  }
  bool WaitForCount(size_t count) {
    return results.WaitFor([count](const std::vector<Result>& all) { return all.size() >= count; }, 20s);
  }
  size_t count() const { return results.Get().size(); }
};

TEST_F(RegionLookupTest, ManyAsynchronousLookupsFromOneThreadEachCompleteOnce) {
  Completions ends;
  const char* const emails[] = {"bob@example.de", "carol@example.com", "erin@example.sg"};
  constexpr size_t kLookups = 30;
  for (size_t i = 0; i < kLookups; ++i) Activation()->regionGetByEmailAsync(emails[i % 3], ends.Recorder());
  ASSERT_TRUE(ends.WaitForCount(kLookups));
  // A blocking lookup after them all: any stray second completion would have come by now.
  Activation()->regionGetByEmail("bob@example.de");

  EXPECT_EQ(ends.count(), kLookups);
  EXPECT_TRUE(ends.allOnHttpThread);
  for (const Result& result : ends.results.Get()) {
    EXPECT_TRUE(result.outcome == Outcome::kChanged || result.outcome == Outcome::kUnchanged) << result.detail;
    EXPECT_EQ(result.attempts, 1);
  }
  EXPECT_EQ(sim_->requests().size(), kLookups + 1);
}

TEST_F(RegionLookupTest, CancelledLookupCompletesOnceAsCancelledAndChangesNothing) {
  Completions ends;
  LogCapture log(3);
  // During the transfer.
  sim_->PushFault({Fault::Kind::kDelay, 5000});
  IotGlobalActivation::LookupHandle handle = Activation()->regionGetByEmailAsync("bob@example.de", ends.Recorder());
  ASSERT_TRUE(sim_->WaitForRequests(1, 10000));
  EXPECT_TRUE(handle.cancel());
  ASSERT_TRUE(ends.WaitForCount(1));
  EXPECT_EQ(ends.results.Get()[0].outcome, Outcome::kCancelled);
  EXPECT_FALSE(handle.cancel()) << "after its completion a lookup cannot be cancelled";

  // While it waits for its next attempt.
  IotGlobalActivation::RetryPolicy slow = QuickRetries(3, 120000);
  slow.baseDelayMs = slow.maxDelayMs = 60000;
  Activation()->setRetryPolicy(slow);
  sim_->PushFault(k503);
  handle = Activation()->regionGetByEmailAsync("bob@example.de", ends.Recorder());
  ASSERT_TRUE(log.WaitForLine("next attempt in", 10s));
  EXPECT_TRUE(handle.cancel());
  ASSERT_TRUE(ends.WaitForCount(2));
  EXPECT_EQ(ends.results.Get()[1].outcome, Outcome::kCancelled);
  EXPECT_EQ(ends.results.Get()[1].attempts, 1);

  EXPECT_TRUE(ends.allOnHttpThread);
  EXPECT_TRUE(Activation()->getRegionInfo() == IotRegionInfo());
  EXPECT_EQ(observer_.count(), 0u);
  EXPECT_EQ(platform_->regionWrites(), 0);
  EXPECT_EQ(sim_->requests().size(), 2u);
}

TEST_F(RegionLookupTest, CancelRacingTheAnswerGivesExactlyOneOfTheTwo) {
  Completions ends;
  constexpr int kRounds = 40;
  for (int i = 0; i < kRounds; ++i) {
    IotGlobalActivation::LookupHandle handle = Activation()->regionGetByEmailAsync("bob@example.de", ends.Recorder());
    // Cancel at different points: at once, or after a growing spin.
    for (volatile int spin = 0; spin < i * 20000; spin = spin + 1) {
    }
    const bool cancelled = handle.cancel();
    ASSERT_TRUE(ends.WaitForCount(static_cast<size_t>(i + 1)));
    const Result last = ends.results.Get().back();
    EXPECT_EQ(last.outcome == Outcome::kCancelled, cancelled) << "round " << i << ": " << last.detail;
  }
  Activation()->regionGetByEmail("carol@example.com");
  EXPECT_EQ(ends.count(), static_cast<size_t>(kRounds));
}

TEST_F(RegionLookupTest, CompletionMayStartAnotherLookupButNotABlockingOne) {
  Completions ends;
  IotGlobalActivation::LookupCompletion record = ends.Recorder();
  Activation()->regionGetByEmailAsync("bob@example.de", [&record](const Result& first) {
    record(first);
    Activation()->regionGetByEmail("carol@example.com");
    record(Activation()->getLastLookupResult());
    Activation()->regionGetByEmailAsync("carol@example.com", record);
  });
  ASSERT_TRUE(ends.WaitForCount(3));
  const std::vector<Result> results = ends.results.Get();
  EXPECT_EQ(results[0].outcome, Outcome::kChanged);
  EXPECT_EQ(results[1].outcome, Outcome::kNotSent);
  EXPECT_EQ(results[2].outcome, Outcome::kChanged);
  EXPECT_EQ(Activation()->getRegionInfo().getRegionId(), "us-west-1");
}

TEST_F(RegionLookupTest, DeInitCompletesPendingLookupsOnceOnItsThread) {
  Completions ends;
  LogCapture log(3);
  IotGlobalActivation::RetryPolicy slow = QuickRetries(3, 120000);
  slow.baseDelayMs = slow.maxDelayMs = 60000;
  Activation()->setRetryPolicy(slow);
  sim_->PushFault(k503);
  Activation()->regionGetByEmailAsync("bob@example.de", ends.Recorder());  // waits for its next attempt
  ASSERT_TRUE(log.WaitForLine("next attempt in", 10s));
  sim_->PushFault({Fault::Kind::kDelay, 5000});
  Activation()->regionGetByEmailAsync("carol@example.com", ends.Recorder());  // in flight
  ASSERT_TRUE(sim_->WaitForRequests(2, 10000));

  IotAsyncManager::getInstance()->deInit();
  const std::vector<Result> results = ends.results.Get();
  IotAsyncManager::getInstance()->init();

  ASSERT_EQ(results.size(), 2u);
  EXPECT_FALSE(ends.allOnHttpThread);
  for (const Result& result : results) {
    EXPECT_EQ(result.outcome, Outcome::kTransportFailure) << result.detail;
    EXPECT_EQ(result.curlCode, 42);
  }
  Activation()->regionGetByEmail("bob@example.de");
  EXPECT_EQ(ends.count(), 2u);
}

}  // namespace
