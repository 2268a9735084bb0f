// Lookups through a real proxy (tinyproxy on loopback) to the local gateway
// over HTTPS, verified end to end against the gateway's CA.
//
// This program has its own main: it points https_proxy at a dead proxy
// before any thread exists (libcurl reads the variable on the HTTP manager
// thread, and changing the environment while another thread reads it is a
// race), so every lookup without an explicit proxy setting must fail.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/api/smart/framework/IotAsyncManager.h"
#include "core/api/smart/framework/IotCacheManager.h"
#include "core/api/smart/framework/IotGlobalActivation.h"
#include "core/io/network/http/AsyncHttpRequest.h"
#include "gateway-sim/GatewaySim.h"
#include "platform/DefaultPlatform.h"
#include "support/TestUtil.h"
#include "support/Tinyproxy.h"

namespace {

using iotcloud::gateway::GatewayConfig;
using iotcloud::gateway::GatewaySim;
using iotcloud_test::LogCapture;
using iotcloud_test::TempDir;
using iotcloud_test::Tinyproxy;
using Outcome = IotGlobalActivation::LookupOutcome;

constexpr char kAppKey[] = "proxy-app-key";
constexpr char kAppSecret[] = "proxy-app-secret";
constexpr char kProxyUser[] = "alice";
constexpr char kProxyPassword[] = "s3cret-pw";

// A loopback port that refuses connections for the whole run: bound, never
// listening, and held so that no proxy started later can take it.
int g_deadPort = 0;

IotGlobalActivation* Activation() { return IotGlobalActivation::getInstance(); }

class ProxyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    GatewayConfig config;
    config.applications[kAppKey] = kAppSecret;
    sim_ = new GatewaySim(config);
    if (!sim_->Start(&setupError_)) return;
    if (!Tinyproxy::Installed()) {
      setupError_ = "tinyproxy is not installed (scripts/install-deps.sh installs it)";
      return;
    }
    open_ = new Tinyproxy({{sim_->port()}, "", ""});
    guarded_ = new Tinyproxy({{sim_->port()}, kProxyUser, kProxyPassword});
    if (!open_->Start(&setupError_) || !guarded_->Start(&setupError_)) return;
    defaults_ = IotAsyncManager::getInstance()->getHttpOptions();
    defaults_.caPem = sim_->caPem();
    defaults_.connectTimeoutMs = 2000;
    defaults_.totalTimeoutMs = 5000;
    IotAsyncManager::getInstance()->setHttpOptions(defaults_);
    IotAsyncManager::getInstance()->init();
    Activation()->setGatewayHosts(sim_->hostPort(), sim_->hostPort());
  }

  static void TearDownTestSuite() {
    IotAsyncManager::getInstance()->deInit();
    setSharedPlatformImpl(nullptr);
    delete open_;
    delete guarded_;
    delete sim_;
    delete dir_;
  }

  void SetUp() override {
    if (!setupError_.empty()) {
      const char* ci = std::getenv("CI");
      if (ci != nullptr && std::string(ci) == "true") FAIL() << setupError_;
      GTEST_SKIP() << setupError_;
    }
    static int serial = 0;
    iotcloud::DefaultPlatformOptions options;
    options.cachePath = dir_->File("cache-" + std::to_string(++serial) + ".db");
    options.applicationKey = kAppKey;
    options.applicationSecret = kAppSecret;
    options.systemLanguage = "en";
    setSharedPlatformImpl(std::make_shared<iotcloud::DefaultPlatform>(options));
    IotCacheManager::getInstance()->setSmartInitConfig(IotSmartInitConfig());
  }

  void TearDown() override { IotAsyncManager::getInstance()->setHttpOptions(defaults_); }

  static std::string Dead() { return "http://127.0.0.1:" + std::to_string(g_deadPort); }

  static TempDir* dir_;
  static GatewaySim* sim_;
  static Tinyproxy* open_;
  static Tinyproxy* guarded_;
  static AsyncHttpOptions defaults_;
  static std::string setupError_;
};

TempDir* ProxyTest::dir_ = nullptr;
GatewaySim* ProxyTest::sim_ = nullptr;
Tinyproxy* ProxyTest::open_ = nullptr;
Tinyproxy* ProxyTest::guarded_ = nullptr;
AsyncHttpOptions ProxyTest::defaults_;
std::string ProxyTest::setupError_;

// Each case sets the proxy options of one lookup; a failure must be a
// transport failure whose detail names the proxy (never its credentials),
// and only a lookup that succeeded may have reached the gateway.
TEST_F(ProxyTest, LookupsGoThroughTheProxyTheOptionsName) {
  struct Case {
    const char* name;
    std::function<void(AsyncHttpOptions&)> configure;
    int curlCode;  // 0: the lookup succeeds
    std::string inDetail;
    Tinyproxy* carrier;  // the proxy that must log the CONNECT of a success
  };
  const std::string open = open_->url(), guarded = guarded_->url();
  const std::string gatewayPort = std::to_string(sim_->port());
  const std::string simCa = sim_->caPem();
  const Case cases[] = {
      {"open proxy", [&](AsyncHttpOptions& o) { o.proxy = open; }, 0, "", open_},
      {"credentials given",
       [&](AsyncHttpOptions& o) {
         o.proxy = guarded;
         o.proxyUser = kProxyUser;
         o.proxyPassword = kProxyPassword;
       },
       0, "", guarded_},
      {"credentials missing", [&](AsyncHttpOptions& o) { o.proxy = guarded; }, 56,
       "via proxy " + guarded + ", which answered 407", nullptr},
      {"wrong credentials inside the URL",
       [&](AsyncHttpOptions& o) { o.proxy = "http://alice:wrong-pw@" + guarded.substr(7); }, 56,
       "via proxy " + guarded + ", which answered 401", nullptr},  // tinyproxy: 401 for wrong ones
      {"proxy down", [&](AsyncHttpOptions& o) { o.proxy = Dead(); }, 7, "via proxy " + Dead(), nullptr},
      {"scheme not taken", [&](AsyncHttpOptions& o) { o.proxy = "socks4://" + open.substr(7); }, 1,
       "(curl error 1) via proxy socks4://", nullptr},
      {"no proxy list names the gateway",
       [&](AsyncHttpOptions& o) {
         o.proxy = Dead();
         o.noProxy = "localhost,127.0.0.1";
       },
       0, "", nullptr},
      // libcurl takes the environment's dead proxy unless told otherwise.
      {"not set: the environment's proxy", [](AsyncHttpOptions& o) { o.proxy.reset(); }, 7, "", nullptr},
      {"empty: no proxy despite the environment", [](AsyncHttpOptions& o) { o.proxy = ""; }, 0, "", nullptr},
      // The gateway itself stands in for an HTTPS proxy: its TLS is checked
      // against the proxy's CA, never the gateway's (caPem holds the same CA).
      {"https proxy not trusted", [&](AsyncHttpOptions& o) { o.proxy = "https://" + sim_->hostPort(); }, 60,
       "via proxy https://", nullptr},
      {"https proxy trusted",
       [&](AsyncHttpOptions& o) {
         o.proxy = "https://" + sim_->hostPort();
         o.proxyCaPem = simCa;
       },
       56, "via proxy https://" + sim_->hostPort() + ", which answered", nullptr},
  };
  LogCapture log(1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AsyncHttpOptions options = defaults_;
    c.configure(options);
    IotAsyncManager::getInstance()->setHttpOptions(options);
    Activation()->resetRegion();
    sim_->clearRequests();
    const size_t carried = c.carrier != nullptr ? c.carrier->ConnectCount(sim_->hostPort()) : 0;

    Activation()->regionGetByEmail("bob@example.de");

    const IotGlobalActivation::LookupResult result = Activation()->getLastLookupResult();
    if (c.curlCode == 0) {
      EXPECT_EQ(result.outcome, Outcome::kChanged) << result.detail;
      EXPECT_EQ(sim_->requests().size(), 1u);
      if (c.carrier != nullptr) {
        EXPECT_EQ(c.carrier->ConnectCount(sim_->hostPort()), carried + 1);
      }
    } else {
      EXPECT_EQ(result.outcome, Outcome::kTransportFailure) << result.detail;
      EXPECT_EQ(result.curlCode, c.curlCode) << result.detail;
      EXPECT_NE(result.detail.find(c.inDetail), std::string::npos) << result.detail;
      EXPECT_EQ(result.detail.find("wrong-pw"), std::string::npos) << result.detail;
      EXPECT_EQ(sim_->requests().size(), 0u);
      // A proxy's refusal of the tunnel is an answer: it is not asked again.
      if (result.detail.find(", which answered") != std::string::npos) {
        EXPECT_EQ(result.attempts, 1) << result.detail;
      }
    }
  }
  EXPECT_EQ(log.Count(kProxyPassword), 0u);
  EXPECT_EQ(log.Count("wrong-pw"), 0u);
  EXPECT_GT(log.Count("via proxy") + log.Count("proxy http://127.0.0.1"), 0u);
}

TEST(ProxyUrlTest, OnlyThreeSchemesWithAHostAreTakenAndUserInfoIsNeverShown) {
  const struct {
    const char* url;
    bool taken;
    const char* shown;
  } cases[] = {
      {"http://proxy.corp:3128", true, "http://proxy.corp:3128"},
      {"HTTPS://proxy.corp", true, "HTTPS://proxy.corp"},
      {"socks5h://10.0.0.1:1080", true, "socks5h://10.0.0.1:1080"},
      {"http://bob:pa/ss@proxy:3128", true, "http://proxy:3128"},
      {"http://bob:p@ss@proxy:3128/", true, "http://proxy:3128/"},
      {"socks5://10.0.0.1:1080", false, "socks5://10.0.0.1:1080"},
      {"proxy.corp:3128", false, "proxy.corp:3128"},
      {"bob:pw@proxy.corp:3128", false, "proxy.corp:3128"},
      {"http://", false, "http://"},
      {"http://:3128", false, "http://:3128"},
      {"http://proxy\r\nX: y", false, "http://proxy\r\nX: y"},
      {"http://proxy corp", false, "http://proxy corp"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsSupportedProxyUrl(c.url), c.taken) << c.url;
    EXPECT_EQ(ProxyUrlForLog(c.url), c.shown) << c.url;
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread: the proxy variables libcurl honours, cleared, then
  // https_proxy pointing at the dead port.
  for (const char* name :
       {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
    ::unsetenv(name);
  }
  const int held = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (held < 0 || ::bind(held, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(held, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return 1;
  }
  g_deadPort = ntohs(address.sin_port);
  const std::string dead = "http://127.0.0.1:" + std::to_string(g_deadPort);
  ::setenv("https_proxy", dead.c_str(), 1);
  ::setenv("HTTPS_PROXY", dead.c_str(), 1);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();  // `held` stays open until the process ends
}
