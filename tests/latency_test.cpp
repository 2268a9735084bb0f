// The transport at real latency and behind a real web server: the delay proxy
// the latency benchmark relies on, HTTP/2 multiplexing through nginx in front
// of the local gateway, connections kept across bursts, and the IPv6
// fallback delay a far-away gateway behind a broken IPv6 path needs.
//
// This program has its own main: before any thread exists it moves into a
// mount namespace of its own whose /etc/hosts gives one name ::1 first and
// then 127.0.0.1, as many hosts' names resolve, so a dead IPv6 path can be
// staged on loopback.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include <algorithm>
#include <functional>
#include <set>

#include "core/api/smart/framework/IotAsyncManager.h"
#include "core/api/smart/framework/IotCacheManager.h"
#include "core/api/smart/framework/IotGlobalActivation.h"
#include "core/support/QZRandom.h"
#include "gateway-sim/GatewaySim.h"
#include "platform/DefaultPlatform.h"
#include "support/DelayProxy.h"
#include "support/Nginx.h"
#include "support/TestHttpsServer.h"
#include "tls/LoopbackHttpsServer.h"
#include "tls/TlsMaterial.h"

namespace {

using namespace std::chrono_literals;
using namespace iotcloud_test;
using Outcome = IotGlobalActivation::LookupOutcome;
using Result = IotGlobalActivation::LookupResult;

constexpr char kAppKey[] = "latency-app-key";
constexpr char kAppSecret[] = "latency-app-secret";

// A name of this program's own for ::1 and 127.0.0.1, in that order (libcurl
// resolves "localhost" itself, to 127.0.0.1 first).
constexpr char kDualStackName[] = "dual-stack.test";
bool g_dualStackName = false;
std::string g_dualStackFailure;

IotGlobalActivation* Activation() { return IotGlobalActivation::getInstance(); }
IotAsyncManager* Runtime() { return IotAsyncManager::getInstance(); }

// What came back: transfer records, POST answers (data or failure text) and
// lookup results.
struct Seen {
  std::vector<IotTransferRecord> records;
  std::vector<std::string> answers;
  std::vector<Result> lookups;
};

class Transfers : public IAsyncHttpReqCallback, public IAsyncHttpTransferObserver {
 public:
  void OnFailure(const IotRequest*, const IotException* e, _AsyncHttpReqType) override {
    seen_.Update([&](Seen& s) { s.answers.push_back(e->message); });
  }
  void OnResponse(const IotRequest*, IotResponse* response, _AsyncHttpReqType) override {
    seen_.Update([&](Seen& s) { s.answers.push_back(response->data); });
  }
  void OnTransfer(const IotTransferRecord& record) override {
    seen_.Update([&](Seen& s) { s.records.push_back(record); });
  }
  IotGlobalActivation::LookupCompletion Completion() {
    return [this](const Result& result) { seen_.Update([&](Seen& s) { s.lookups.push_back(result); }); };
  }
  bool WaitFor(size_t records, size_t lookups = 0) {
    return seen_.WaitFor([&](const Seen& s) { return s.records.size() >= records && s.lookups.size() >= lookups; },
                         60s);
  }
  Seen Get() const { return seen_.Get(); }

 private:
  Waitable<Seen> seen_;
};

class LatencyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    server_ = new TestHttpsServer(64);
    ASSERT_TRUE(server_->Start(&error)) << error;
    iotcloud::gateway::GatewayConfig config;
    config.applications[kAppKey] = kAppSecret;
    sim_ = new iotcloud::gateway::GatewaySim(config);
    ASSERT_TRUE(sim_->Start(&error)) << error;
    setSharedPlatformImpl(
        std::make_shared<iotcloud::DefaultPlatform>(PlatformOptions(dir_.File("cache.db"), kAppKey, kAppSecret)));
    IotCacheManager::getInstance()->setSmartInitConfig(IotSmartInitConfig());
  }
  static void TearDownTestSuite() {
    Runtime()->deInit();
    setSharedPlatformImpl(nullptr);
    delete sim_;
    delete server_;
  }
  void SetUp() override { Activation()->setRetryPolicy(IotGlobalActivation::RetryPolicy()); }
  void TearDown() override { Runtime()->deInit(); }

  // Restarts the runtime (connections, trust store and connection cap are
  // set up at init) trusting `caPem`, with transfers_ as the observer;
  // `change` adjusts the options.
  void Restart(const std::string& caPem, const std::function<void(AsyncHttpOptions&)>& change = nullptr) {
    Runtime()->deInit();
    AsyncHttpOptions options;
    options.caPem = caPem;
    options.transferObserver = std::shared_ptr<Transfers>(&transfers_, [](Transfers*) {});
    if (change) change(options);
    Runtime()->setHttpOptions(options);
    Runtime()->init();
  }
  int Post(const std::string& host, const std::string& body, const std::string& path = "/echo") {
    auto* request =
        new AsyncHttpRequest(ASYNC_HTTP_REQ_REGION_GET, Runtime()->getAsyncHttpRequestManage(), &transfers_, 443);
    IotRequest record{0, 0, host, path, "", "", QZRandom::getRandomGUID(32)};
    // Not libcurl's default form type, which cpp-httplib takes only up to 8 KB.
    std::map<std::string, std::string> headers{{"Content-Type", "application/octet-stream"}};
    const int rc = request->Post(&record, headers, body);
    if (rc != 0) delete request;
    return rc;
  }
  // `count` asynchronous lookups started at once; true when all ended.
  bool Lookups(size_t count) {
    const size_t before = transfers_.Get().lookups.size();
    for (size_t i = 0; i < count; ++i) Activation()->regionGetByEmailAsync("user@example.de", transfers_.Completion());
    return transfers_.WaitFor(0, before + count);
  }

  inline static TempDir dir_;
  inline static TestHttpsServer* server_ = nullptr;
  inline static iotcloud::gateway::GatewaySim* sim_ = nullptr;
  Transfers transfers_;
};

// A cold POST cannot be answered before three round trips (TCP, TLS 1.3,
// the request), a reused connection's before one; a body far larger than
// the relay's buffer arrives intact and in order.
TEST_F(LatencyTest, DelayProxyHoldsEveryChunkForItsDelayInOrder) {
  DelayProxy::Limits limits;
  limits.maxBufferedBytes = 64 * 1024;
  DelayProxy proxy(limits);
  std::string error;
  ASSERT_TRUE(proxy.Start(20ms, server_->port(), &error)) << error;
  Restart(server_->caPem());
  std::string big(1 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7919 >> 8);
  ASSERT_EQ(Post(proxy.host(), "ping"), 0);
  ASSERT_TRUE(transfers_.WaitFor(1));
  ASSERT_EQ(Post(proxy.host(), big), 0);
  ASSERT_TRUE(transfers_.WaitFor(2));
  const Seen seen = transfers_.Get();
  EXPECT_EQ(seen.answers[0], "ping");
  EXPECT_TRUE(seen.answers[1] == big) << seen.answers[1].size() << " bytes came back";
  EXPECT_FALSE(seen.records[0].connectionReused);
  EXPECT_GE(seen.records[0].firstByteAtUs, 3 * 40000);
  EXPECT_TRUE(seen.records[1].connectionReused);
  EXPECT_GE(seen.records[1].totalUs, 40000);  // (libcurl marks an upload's first byte at its start)
  EXPECT_EQ(proxy.AcceptedConnections(), 1u);
}

TEST_F(LatencyTest, DelayProxyRefusesPastItsCapAndStopsWhenIdle) {
  DelayProxy::Limits limits;
  limits.maxConnections = 1;
  limits.idleTimeout = 1s;
  DelayProxy proxy(limits);
  std::string error;
  ASSERT_TRUE(proxy.Start(0ms, server_->port(), &error)) << error;
  sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(proxy.port())), {htonl(INADDR_LOOPBACK)}, {}};
  auto connectOne = [&address] {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? fd : (::close(fd), -1);
  };
  const int first = connectOne(), second = connectOne();
  ASSERT_TRUE(first >= 0 && second >= 0);
  char byte;
  EXPECT_LE(::recv(second, &byte, 1, 0), 0);  // closed at once: over the cap
  EXPECT_TRUE(proxy.WaitUntilStopped(10s));   // the first stays open, but idle
  EXPECT_EQ(proxy.AcceptedConnections(), 1u);
  EXPECT_EQ(connectOne(), -1);
  ::close(first);
  ::close(second);
}

// nginx as an HTTP/2 TLS front of the local gateway: once the warm-up's
// connection is up, 32 lookups at once all go over it as HTTP/2 streams.
TEST_F(LatencyTest, Http2FrontCarriesConcurrentLookupsOnOneConnection) {
  if (!Nginx::Installed()) {
    if (const char* ci = std::getenv("CI"); ci != nullptr && std::string(ci) == "true")
      FAIL() << "nginx is not installed (scripts/install-deps.sh installs it)";
    GTEST_SKIP() << "nginx is not installed (scripts/install-deps.sh installs it)";
  }
  Nginx nginx({{{"/", sim_->port(), sim_->caFile()}}});
  std::string error;
  ASSERT_TRUE(nginx.Start(&error)) << error;
  Restart(nginx.caPem());
  Activation()->setGatewayHosts(nginx.http2Host(), nginx.http2Host());
  Activation()->warmUp();
  ASSERT_TRUE(transfers_.WaitFor(1));
  ASSERT_TRUE(Lookups(32));
  ASSERT_TRUE(transfers_.WaitFor(33));
  const Seen seen = transfers_.Get();
  for (const Result& result : seen.lookups)
    EXPECT_TRUE(result.outcome == Outcome::kChanged || result.outcome == Outcome::kUnchanged) << result.detail;
  for (const IotTransferRecord& record : seen.records) {
    EXPECT_EQ(record.httpVersion, 20) << record.id;
    EXPECT_TRUE(record.head || record.connectionReused) << record.id;
  }
  ASSERT_TRUE(nginx.WaitForRequests(33, 10s));
  std::set<uint64_t> connections;
  for (const Nginx::LoggedRequest& request : nginx.Requests()) {
    connections.insert(request.connection);
    EXPECT_EQ(request.protocol, "HTTP/2.0");
  }
  EXPECT_EQ(connections.size(), 1u);
}

// The transfers of a burst end one after another (10 ms apart here); the
// connections they leave idle all stay open for the next burst (libcurl's
// own cache would keep only four per transfer still running).
TEST_F(LatencyTest, ConnectionsOfOneBurstServeTheNext) {
  DelayProxy proxy;
  std::string error;
  ASSERT_TRUE(proxy.Start(10ms, server_->port(), &error)) << error;
  // 8, not the default: 32 new connections at once overflow the test
  // server's listen backlog of 5 and wait for a SYN retransmission.
  Restart(server_->caPem(), [](AsyncHttpOptions& o) { o.maxHostConnections = 8; });
  const size_t cap = 8;
  for (size_t burst = 1; burst <= 2; ++burst) {
    for (size_t i = 0; i < cap; ++i) ASSERT_EQ(Post(proxy.host(), "x", "/delay/" + std::to_string(10 * i)), 0);
    ASSERT_TRUE(transfers_.WaitFor(burst * cap));
    EXPECT_EQ(proxy.AcceptedConnections(), cap) << "after burst " << burst;
  }
  const Seen seen = transfers_.Get();
  for (size_t i = cap; i < seen.records.size(); ++i)
    EXPECT_TRUE(seen.records[i].curlCode == 0 && seen.records[i].connectionReused) << "second burst, request " << i;
}

// Once a host is known to serve one transfer per connection, a burst past
// its connections waits in the transport's queue (about 1 KB each), not
// inside libcurl (an easy handle and a 16 KB buffer each); a host not yet
// known gets every transfer at once.
TEST_F(LatencyTest, TransfersPastAnHttp1HostsConnectionsWaitInTheQueue) {
  Restart(server_->caPem(), [](AsyncHttpOptions& o) { o.maxHostConnections = 2, o.maxTransfers = 64; });
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Post(server_->host(), "x", "/delay/200"), 0);  // not known yet
  ASSERT_TRUE(transfers_.WaitFor(3));
  for (int i = 0; i < 6; ++i) ASSERT_EQ(Post(server_->host(), "x", "/delay/200"), 0);
  ASSERT_TRUE(transfers_.WaitFor(9));
  std::vector<int64_t> queuedMs[2];
  const Seen seen = transfers_.Get();
  for (size_t i = 0; i < seen.records.size(); ++i) {
    EXPECT_EQ(seen.records[i].httpVersion, 11);
    queuedMs[i < 3 ? 0 : 1].push_back(seen.records[i].queuedUs / 1000);
  }
  for (auto& burst : queuedMs) std::sort(burst.begin(), burst.end());
  EXPECT_LT(queuedMs[0].back(), 100);  // all three inside libcurl at once
  EXPECT_LT(queuedMs[1][1], 100);      // two at once, then two by two as connections free
  EXPECT_GE(queuedMs[1][2], 150);
  EXPECT_GE(queuedMs[1][4], 350);
}

// kDualStackName resolves to ::1 first; on ::1 a listener with a full queue
// drops every SYN, so libcurl tries 127.0.0.1 only after its fallback delay
// (200 ms unless happyEyeballsTimeoutMs says otherwise).
TEST_F(LatencyTest, TheIpv6FallbackDelayIsAnOption) {
  if (!g_dualStackName) GTEST_SKIP() << g_dualStackFailure;
  iotcloud::tls::TlsMaterial tls;
  std::string error;
  ASSERT_TRUE(iotcloud::tls::GenerateTlsMaterialFor(std::string("DNS:") + kDualStackName, &tls, &error) &&
              iotcloud::tls::WriteTlsMaterial(tls, dir_.File("dual"), &error))
      << error;
  iotcloud::tls::LoopbackHttpsServer server(dir_.File("dual/server.pem"), dir_.File("dual/server.key"), 4);
  server.server().Post("/echo",
                       [](const httplib::Request&, httplib::Response& r) { r.set_content("x", "text/plain"); });
  ASSERT_TRUE(server.Start("127.0.0.1", 0, &error)) << error;
  const int trap = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0), filler = ::socket(AF_INET6, SOCK_STREAM, 0);
  const int one = 1;
  ::setsockopt(trap, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_port = htons(static_cast<uint16_t>(server.port()));
  address.sin6_addr = in6addr_loopback;
  ASSERT_TRUE(::bind(trap, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(trap, 0) == 0 &&
              ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
  const std::string host = kDualStackName + (":" + std::to_string(server.port()));
  std::vector<int64_t> connectedUs;
  for (const long fallbackMs : {0L, 20L}) {  // 0: libcurl's own delay
    Restart(tls.caCertPem, [fallbackMs](AsyncHttpOptions& o) { o.happyEyeballsTimeoutMs = fallbackMs; });
    const size_t before = transfers_.Get().records.size();
    ASSERT_EQ(Post(host, "x"), 0);
    ASSERT_TRUE(transfers_.WaitFor(before + 1));
    const IotTransferRecord record = transfers_.Get().records.back();
    EXPECT_EQ(record.curlCode, 0) << fallbackMs;
    connectedUs.push_back(record.connectedAtUs);
  }
  EXPECT_GE(connectedUs[0], 150000) << "the IPv6 path is not dead";
  EXPECT_TRUE(connectedUs[1] >= 20000 && connectedUs[1] < connectedUs[0] / 2) << connectedUs[1];
  Runtime()->deInit();  // its kept-alive connection would hold up the server's stop
  ::close(filler);
  ::close(trap);
}

// kDualStackName as ::1 and then 127.0.0.1, in a mount namespace of this
// process's own (nothing outside it changes); false with the reason when
// that cannot be had (it needs root).
bool MakeDualStackName(std::string* failure) {
  static TempDir dir;  // holds the hosts file for the program's life
  const std::string hosts = dir.File("hosts");
  std::ofstream(hosts) << ReadFile("/etc/hosts") << "\n::1 " << kDualStackName << "\n127.0.0.1 " << kDualStackName
                       << "\n";
  const char* step = nullptr;
  if (::unshare(CLONE_NEWNS) != 0) {
    step = "unshare(CLONE_NEWNS)";
  } else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    step = "making / private";  // else the bind below would show outside too
  } else if (::mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0) {
    step = "binding a hosts file over /etc/hosts";
  }
  if (step != nullptr) *failure = std::string("no dual-stack name: ") + step + ": " + std::strerror(errno);
  return step == nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  g_dualStackName = MakeDualStackName(&g_dualStackFailure);
  return RUN_ALL_TESTS();
}
