// Lookups through a real proxy (tinyproxy on loopback) to the local gateway
// over HTTPS, verified end to end against the gateway's CA; and with no proxy
// server: a dead one, the environment's, none, the gateway as an HTTPS proxy.
//
// This program has its own main: it points https_proxy at a dead proxy
// before any thread exists (libcurl reads the variable on the HTTP manager
// thread, and changing the environment while another thread reads it is a
// race), so every lookup without an explicit proxy setting must fail.
#include <gtest/gtest.h>

#include <optional>
#include <tuple>

#include "core/api/smart/framework/IotAsyncManager.h"
#include "core/api/smart/framework/IotCacheManager.h"
#include "core/api/smart/framework/IotGlobalActivation.h"
#include "core/io/network/http/AsyncHttpRequest.h"
#include "gateway-sim/GatewaySim.h"
#include "platform/DefaultPlatform.h"
#include "support/TestUtil.h"
#include "support/Tinyproxy.h"

namespace {

using namespace iotcloud::gateway;
using namespace iotcloud_test;
using Outcome = IotGlobalActivation::LookupOutcome;

constexpr char kAppKey[] = "proxy-app-key";
constexpr char kAppSecret[] = "proxy-app-secret";
constexpr char kProxyUser[] = "alice";
constexpr char kProxyPassword[] = "s3cret-pw";

// A loopback port that refuses connections for the whole run: bound, never
// listening, and held so that no proxy started later can take it.
int g_deadPort = 0;

std::string Dead() { return "http://127.0.0.1:" + std::to_string(g_deadPort); }
IotGlobalActivation* Activation() { return IotGlobalActivation::getInstance(); }

class ProxyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    GatewayConfig config;
    config.applications[kAppKey] = kAppSecret;
    sim_ = new GatewaySim(config);
    if (!sim_->Start(&setupError_)) return;
    setSharedPlatformImpl(std::make_shared<iotcloud::DefaultPlatform>(
        iotcloud_test::PlatformOptions(dir_.File("cache.db"), kAppKey, kAppSecret)));
    IotCacheManager::getInstance()->setSmartInitConfig(IotSmartInitConfig());
    defaults_ = IotAsyncManager::getInstance()->getHttpOptions();
    defaults_.caPem = sim_->caPem();
    IotAsyncManager::getInstance()->setHttpOptions(defaults_);  // the trust store is built at init
    IotAsyncManager::getInstance()->init();
    Activation()->setGatewayHosts(sim_->hostPort(), sim_->hostPort());
    if (proxyUnsupported_ = Tinyproxy::Unsupported(); !proxyUnsupported_.empty()) return;
    open_ = std::make_unique<Tinyproxy>(Tinyproxy::Config{{sim_->port()}, "", ""});
    guarded_ = std::make_unique<Tinyproxy>(Tinyproxy::Config{{sim_->port()}, kProxyUser, kProxyPassword});
    if (!Tinyproxy::Installed()) proxyError_ = "tinyproxy is not installed (scripts/install-deps.sh installs it)";
    if (proxyError_.empty() && open_->Start(&proxyError_)) guarded_->Start(&proxyError_);
  }
  static void TearDownTestSuite() {
    IotAsyncManager::getInstance()->deInit();
    setSharedPlatformImpl(nullptr);
    delete sim_;
  }
  void SetUp() override { SkipOrFailFor(setupError_); }
  // For the cases that need the proxies (the caller returns when it skipped
  // or failed): tinyproxy is a POSIX program; where it can run, a CI run
  // must have it.
  void NeedProxies() {
    if (!proxyUnsupported_.empty()) GTEST_SKIP() << proxyUnsupported_;
    SkipOrFailFor(proxyError_);
  }
  static void SkipOrFailFor(const std::string& error) {
    if (error.empty()) return;
    if (const char* ci = std::getenv("CI"); ci != nullptr && std::string(ci) == "true") FAIL() << error;
    GTEST_SKIP() << error;
  }

  struct Case {
    const char* name;
    std::optional<std::string> proxy;
    int curlCode;  // 0: the lookup succeeds
    std::string inDetail = "";
    Tinyproxy* carrier = nullptr;  // the proxy that must log the CONNECT of a success
    std::string user = "", password = "", noProxy = "", proxyCaPem = "";
  };
  // Each case sets the proxy options of one lookup; a failure must be a
  // transport failure whose detail names the proxy (never its credentials),
  // and only a lookup that succeeded may have reached the gateway.
  static void Check(const std::vector<Case>& cases) {
    LogCapture log(1);
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      AsyncHttpOptions options = defaults_;
      options.proxy = c.proxy;
      options.proxyUser = c.user;
      options.proxyPassword = c.password;
      options.noProxy = c.noProxy;
      options.proxyCaPem = c.proxyCaPem;
      IotAsyncManager::getInstance()->setHttpOptions(options);
      Activation()->resetRegion();
      sim_->clearRequests();
      const size_t carried = c.carrier != nullptr ? c.carrier->ConnectCount(sim_->hostPort()) : 0;
      Activation()->regionGetByEmail("bob@example.de");
      const IotGlobalActivation::LookupResult result = Activation()->getLastLookupResult();
      EXPECT_EQ(result.outcome, c.curlCode == 0 ? Outcome::kChanged : Outcome::kTransportFailure) << result.detail;
      EXPECT_EQ(result.curlCode, c.curlCode) << result.detail;
      EXPECT_NE(result.detail.find(c.inDetail), std::string::npos) << result.detail;
      EXPECT_EQ(result.detail.find("wrong-pw"), std::string::npos) << result.detail;
      EXPECT_EQ(sim_->requests().size(), c.curlCode == 0 ? 1u : 0u);
      EXPECT_EQ(c.carrier != nullptr ? c.carrier->ConnectCount(sim_->hostPort()) : 1, carried + 1);
      // A proxy's refusal of the tunnel is an answer: it is not asked again.
      const bool answered = result.detail.find(", which answered") != std::string::npos;
      EXPECT_TRUE(!answered || result.attempts == 1) << result.attempts;
    }
    EXPECT_EQ(log.Count(kProxyPassword) + log.Count("wrong-pw"), 0u);
  }

  inline static TempDir dir_;
  inline static GatewaySim* sim_ = nullptr;
  inline static std::unique_ptr<Tinyproxy> open_, guarded_;
  inline static AsyncHttpOptions defaults_;
  inline static std::string setupError_, proxyUnsupported_, proxyError_;
};

TEST_F(ProxyTest, LookupsGoThroughTheProxyTheOptionsName) {
  NeedProxies();
  if (IsSkipped() || HasFatalFailure()) return;
  const std::string open = open_->url(), guarded = guarded_->url();
  Check({{"open proxy", open, 0, "", open_.get()},
         {"credentials given", guarded, 0, "", guarded_.get(), kProxyUser, kProxyPassword},
         {"wrong credentials inside the URL", "http://alice:wrong-pw@" + guarded.substr(7), 56,
          "via proxy " + guarded + ", which answered 401"}});  // tinyproxy: 401 for wrong ones
}

// No proxy server needed: a dead one, the environment's, none, or the
// gateway itself standing in for an HTTPS proxy.
TEST_F(ProxyTest, LookupsWithoutAProxyServerFailOrGoDirectAsTheOptionsSay) {
  const std::string https = "https://" + sim_->hostPort();
  Check({{"proxy down", Dead(), 7, "via proxy " + Dead()},
         {"scheme not taken", "socks4://" + Dead().substr(7), 1, "(curl error 1) via proxy socks4://"},
         {"no proxy list names the gateway", Dead(), 0, "", nullptr, "", "", "localhost,127.0.0.1"},
         // libcurl takes the environment's dead proxy unless told otherwise.
         {"not set: the environment's proxy", std::nullopt, 7},
         {"empty: no proxy despite the environment", "", 0},
         // Its TLS is checked against the proxy's CA, never the gateway's
         // (caPem holds the same CA).
         {"https proxy not trusted", https, 60, "via proxy https://"},
         {"https proxy trusted", https, 56, "via proxy " + https + ", which answered", nullptr, "", "", "",
          sim_->caPem()}});
}

// An https:// proxy without CA options of its own is verified against the
// system's roots: where a test can add one (Windows), the gateway standing in
// for the proxy is then trusted and answers the CONNECT itself.
TEST_F(ProxyTest, AnHttpsProxyWithoutCaOptionsIsVerifiedAgainstTheSystemsRoots) {
  const ScopedSystemRoot root(sim_->caPem());
  if (!root.added()) GTEST_SKIP() << root.why();
  const std::string https = "https://" + sim_->hostPort();
  Check({{"https proxy among the system's roots", https, 56, "via proxy " + https + ", which answered"}});
}

TEST(ProxyUrlTest, OnlyThreeSchemesWithAHostAreTakenAndUserInfoIsNeverShown) {
  // URL, taken, as logs show it.
  const std::tuple<const char*, bool, const char*> cases[] = {
      {"http://proxy.corp:3128", true, "http://proxy.corp:3128"},
      {"HTTPS://proxy.corp", true, "HTTPS://proxy.corp"},
      {"socks5h://10.0.0.1:1080", true, "socks5h://10.0.0.1:1080"},
      {"http://bob:pa/ss@proxy:3128", true, "http://proxy:3128"},
      {"http://bob:p@ss@proxy:3128/", true, "http://proxy:3128/"},
      {"socks5://10.0.0.1:1080", false, "socks5://10.0.0.1:1080"},
      {"bob:pw@proxy.corp:3128", false, "proxy.corp:3128"},
      {"http://:3128", false, "http://:3128"},
      {"http://proxy\r\nX: y", false, "http://proxy\r\nX: y"}};
  for (const auto& [url, taken, shown] : cases) {
    EXPECT_EQ(IsSupportedProxyUrl(url), taken) << url;
    EXPECT_EQ(ProxyUrlForLog(url), shown) << url;
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread: the proxy variables libcurl honours, cleared, then
  // https_proxy pointing at the dead port (Windows: one variable, whatever
  // the case).
  std::vector<std::unique_ptr<ScopedEnvironmentVariable>> environment;
  for (const char* name :
       {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"})
    environment.push_back(std::make_unique<ScopedEnvironmentVariable>(name, ""));
  const LoopbackSocket held(false);  // held until the process ends
  if (!held.ok()) return 1;
  g_deadPort = held.port();
  for (const char* name : {"https_proxy", "HTTPS_PROXY"})
    environment.push_back(std::make_unique<ScopedEnvironmentVariable>(name, Dead()));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
