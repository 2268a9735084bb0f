// Asynchronous HTTPS POSTs against real loopback servers: delivery, failures,
// cancellation, the response limit, what goes over the wire, and shutdown
// with transfers in flight.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/api/smart/framework/IotAsyncManager.h"
#include "core/io/network/http/AsyncHttpRequest.h"
#include "core/support/QZRandom.h"
#include "support/RawHttpsCaptureServer.h"
#include "support/TestHttpsServer.h"
#include "support/TestUtil.h"
#include "tls/LoopbackHttpsServer.h"

using namespace std::chrono_literals;
using iotcloud_test::Waitable;

namespace {

constexpr auto kWait = 10s;  // deadline for anything that should happen at once

struct Outcome {
  std::string id;
  bool ok = false;
  std::string data;     // response data
  std::string message;  // failure message
  int code = 0;
  _AsyncHttpReqType type = ASYNC_HTTP_REQ_REGION_GET;
  bool onHttpManagerThread = false;
  std::thread::id thread;
};

// Records every callback; an optional hook runs inside the callback.
class Recorder : public IAsyncHttpReqCallback {
 public:
  void OnFailure(const IotRequest* request, const IotException* exception,
                 _AsyncHttpReqType type) override {
    Outcome outcome = Base(request, type);
    outcome.message = exception->message;
    outcome.code = exception->code;
    Deliver(std::move(outcome), request);
  }
  void OnResponse(const IotRequest* request, IotResponse* response,
                  _AsyncHttpReqType type) override {
    Outcome outcome = Base(request, type);
    outcome.ok = true;
    outcome.data = response->data;
    outcome.code = response->code;
    EXPECT_EQ(response->id, request->id);
    Deliver(std::move(outcome), request);
  }

  bool WaitCount(size_t count, std::chrono::milliseconds timeout = kWait) {
    return outcomes.WaitFor([count](const std::vector<Outcome>& v) { return v.size() >= count; },
                            timeout);
  }
  std::vector<Outcome> All() const { return outcomes.Get(); }
  size_t CountFor(const std::string& id) const {
    size_t n = 0;
    for (const auto& o : outcomes.Get()) n += o.id == id;
    return n;
  }

  std::function<void(const IotRequest*)> hook;  // set before posting

 private:
  static Outcome Base(const IotRequest* request, _AsyncHttpReqType type) {
    Outcome outcome;
    outcome.id = request->id;
    outcome.type = type;
    outcome.onHttpManagerThread = IotAsyncManager::getInstance()->isHttpManagerThread();
    outcome.thread = std::this_thread::get_id();
    return outcome;
  }
  void Deliver(Outcome outcome, const IotRequest* request) {
    if (hook) hook(request);
    outcomes.Update([&](std::vector<Outcome>& v) { v.push_back(std::move(outcome)); });
  }

  mutable Waitable<std::vector<Outcome>> outcomes;
};

std::string NewId() { return QZRandom::getRandomGUID(32); }

// Posts through a fresh request; deletes it when Post refuses (the caller
// keeps it then). Returns Post's result.
int PostTo(AsyncHttpRequestManage* manage, IAsyncHttpReqCallback* callback, const std::string& host,
           const std::string& path, const std::string& body, const std::string& id,
           std::map<std::string, std::string> headers = {},
           _AsyncHttpReqType type = ASYNC_HTTP_REQ_REGION_GET) {
  auto* request = new AsyncHttpRequest(type, manage, callback, 443);
  IotRequest record;
  record.host = host;
  record.path = path;
  record.id = id;
  int rc = request->Post(&record, headers, body);
  if (rc != 0) delete request;
  return rc;
}

// Drives `manage` from this thread until `done` holds or the deadline passes.
bool DriveUntil(AsyncHttpRequestManage& manage, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (true) {
    EXPECT_EQ(manage.HeartBeat(), 0);
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    EXPECT_EQ(manage.WaitForActivity(), 0);
  }
}

class TransportTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new iotcloud_test::TestHttpsServer();
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    ASSERT_NE(server_->port(), 0);
    manager_ = IotAsyncManager::getInstance();
    SetOptions([](AsyncHttpOptions&) {});
    manager_->init();
    manage_ = manager_->getAsyncHttpRequestManage();
  }
  void TearDown() override { manager_->deInit(); }

  // Trusts the test server's CA with short limits; `change` adjusts.
  void SetOptions(const std::function<void(AsyncHttpOptions&)>& change) {
    AsyncHttpOptions options;
    options.caPem = server_->caPem();
    options.connectTimeoutMs = 2000;
    options.totalTimeoutMs = 5000;
    change(options);
    IotAsyncManager::getInstance()->setHttpOptions(options);
  }

  static iotcloud_test::TestHttpsServer* server_;
  IotAsyncManager* manager_ = nullptr;
  AsyncHttpRequestManage* manage_ = nullptr;
  Recorder recorder_;
};

iotcloud_test::TestHttpsServer* TransportTest::server_ = nullptr;

TEST_F(TransportTest, EachRequestCompletesExactlyOnceOnTheHttpManagerThread) {
  constexpr int kConcurrent = 40;
  std::map<std::string, std::string> bodyById;
  for (int i = 0; i < kConcurrent; ++i) {
    std::string id = NewId();
    // Bodies with every byte value, NUL included, must arrive intact.
    std::string body = "request " + std::to_string(i) + std::string("\0\x01\xff", 3);
    bodyById[id] = body;
    ASSERT_EQ(PostTo(manage_, &recorder_, server_->host(), "/echo", body, id), 0);
  }
  ASSERT_TRUE(recorder_.WaitCount(kConcurrent));
  // Then sequential posts, each after the thread has gone back to waiting
  // with nothing in flight: each must wake it.
  for (int i = 0; i < 5; ++i) {
    std::string id = NewId();
    bodyById[id] = "sequential " + std::to_string(i);
    ASSERT_EQ(PostTo(manage_, &recorder_, server_->localhostHost(), "/echo", bodyById[id], id), 0);
    ASSERT_TRUE(recorder_.WaitCount(kConcurrent + i + 1));
  }
  manager_->deInit();  // nothing may arrive after this

  std::vector<Outcome> outcomes = recorder_.All();
  ASSERT_EQ(outcomes.size(), bodyById.size());
  std::set<std::thread::id> threads;
  for (const Outcome& o : outcomes) {
    ASSERT_TRUE(o.ok) << o.message;
    EXPECT_EQ(recorder_.CountFor(o.id), 1u);
    EXPECT_EQ(o.data, bodyById[o.id]);
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.type, ASYNC_HTTP_REQ_REGION_GET);
    EXPECT_TRUE(o.onHttpManagerThread);
    threads.insert(o.thread);
  }
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
}

struct ResultCase {
  const char* name;
  const char* path;
  std::function<void(AsyncHttpOptions&)> options;
  bool ok;
  std::string expected;  // data prefix for responses, message for failures
};

TEST_F(TransportTest, OutcomesOfServerBehavioursAndLimits) {
  const ResultCase cases[] = {
      {"CA as PEM text", "/echo", [](AsyncHttpOptions&) {}, true, ""},
      {"CA as file", "/echo",
       [](AsyncHttpOptions& o) {
         o.caPem.clear();
         o.caFile = server_->caFile();
       },
       true, ""},
      // The system's trust store does not know the test CA.
      {"untrusted certificate", "/echo", [](AsyncHttpOptions& o) { o.caPem.clear(); }, false,
       "curl error 60"},
      {"error status reaches OnResponse", "/status/503", [](AsyncHttpOptions&) {}, true,
       "status 503"},
      {"empty body gives the header text", "/empty", [](AsyncHttpOptions&) {}, true, "HTTP/1.1 200"},
      {"connection closed mid-response", "/close-mid-response", [](AsyncHttpOptions&) {}, false,
       "curl error 18"},
      {"total time limit", "/delay/5000", [](AsyncHttpOptions& o) { o.totalTimeoutMs = 200; },
       false, "curl error 28"},
      {"body within the response limit", "/huge/60000",
       [](AsyncHttpOptions& o) { o.maxResponseBytes = 64 * 1024; }, true, "xxxx"},
      {"body past the response limit", "/huge/70000",
       [](AsyncHttpOptions& o) { o.maxResponseBytes = 64 * 1024; }, false, "curl error 23"},
      {"headers alone past the response limit", "/echo",
       [](AsyncHttpOptions& o) { o.maxResponseBytes = 20; }, false, "curl error 23"},
      {"default limit admits 1 MiB", "/huge/1048576", [](AsyncHttpOptions&) {}, true, "xxxx"},
      {"default limit refuses 5 MiB", "/huge/5242880", [](AsyncHttpOptions&) {}, false,
       "curl error 23"},
  };
  size_t done = 0;
  for (const ResultCase& c : cases) {
    SCOPED_TRACE(c.name);
    SetOptions(c.options);
    std::string id = NewId();
    ASSERT_EQ(PostTo(manage_, &recorder_, server_->host(), c.path, "body", id), 0);
    ASSERT_TRUE(recorder_.WaitCount(++done));
    Outcome o = recorder_.All().back();
    EXPECT_EQ(o.id, id);
    EXPECT_EQ(o.ok, c.ok) << o.message;
    if (c.ok) {
      EXPECT_EQ(o.data.compare(0, c.expected.size(), c.expected), 0) << o.data.substr(0, 80);
      if (std::string(c.path) == "/echo") {
        EXPECT_EQ(o.data, "body");
      }
    } else {
      EXPECT_EQ(o.message, c.expected);
      EXPECT_EQ(o.code, -1);
    }
  }
}

TEST_F(TransportTest, RefusedConnectionFails) {
  // A bound socket that does not listen: connections to its port are refused,
  // and nobody else can take the port meanwhile.
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
  std::string host = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));

  ASSERT_EQ(PostTo(manage_, &recorder_, host, "/echo", "x", NewId()), 0);
  ASSERT_TRUE(recorder_.WaitCount(1));
  ::close(fd);
  EXPECT_FALSE(recorder_.All()[0].ok);
  EXPECT_EQ(recorder_.All()[0].message, "curl error 7");
}

TEST_F(TransportTest, CertificateForAnotherHostIsRefused) {
  // Trusted CA, but the certificate names another host than 127.0.0.1.
  iotcloud::tls::TlsMaterial material;
  std::string error;
  ASSERT_TRUE(iotcloud::tls::GenerateTlsMaterialFor("DNS:other.invalid", &material, &error)) << error;
  iotcloud_test::TempDir dir;
  ASSERT_TRUE(iotcloud::tls::WriteTlsMaterial(material, dir.path(), &error)) << error;
  iotcloud::tls::LoopbackHttpsServer other(dir.File("server.pem"), dir.File("server.key"), 8);
  other.server().Post("/echo", [](const httplib::Request&, httplib::Response& r) {
    r.set_content("reached", "text/plain");
  });
  ASSERT_TRUE(other.Start("127.0.0.1", 0, &error)) << error;
  SetOptions([&](AsyncHttpOptions& o) { o.caPem = material.caCertPem; });

  std::string host = "127.0.0.1:" + std::to_string(other.port());
  ASSERT_EQ(PostTo(manage_, &recorder_, host, "/echo", "x", NewId()), 0);
  ASSERT_TRUE(recorder_.WaitCount(1));
  EXPECT_FALSE(recorder_.All()[0].ok);
  EXPECT_EQ(recorder_.All()[0].message, "curl error 60");
}

TEST_F(TransportTest, HeaderLinesGoOutInKeyOrderAndBodiesExactly) {
  iotcloud::tls::TlsMaterial material;
  std::string error;
  ASSERT_TRUE(iotcloud::tls::GenerateTlsMaterial(&material, &error)) << error;
  iotcloud_test::RawHttpsCaptureServer raw;
  ASSERT_TRUE(raw.Start(material, &error)) << error;
  SetOptions([&](AsyncHttpOptions& o) { o.caPem = material.caCertPem; });
  const std::string host = "localhost:" + std::to_string(raw.port());

  // Inserted out of order; byte order puts upper case before lower case.
  std::map<std::string, std::string> headers;
  headers["x-ca-nonce"] = "n1";
  headers["date"] = "Thu, 01 Jan 2026 00:00:00 GMT";
  headers["X-Ca-Key"] = "key";
  headers["Content-Type"] = "application/json; charset=UTF-8";
  headers["accept"] = "application/json";
  const std::string body("{\"a\":1}\0tail", 12);
  ASSERT_EQ(PostTo(manage_, &recorder_, host, "/velmo/account/region/get", body, NewId(), headers), 0);
  // An empty body is sent as such: not read from anywhere, not chunked.
  ASSERT_EQ(PostTo(manage_, &recorder_, host, "/empty-body", "", NewId()), 0);
  ASSERT_TRUE(recorder_.WaitCount(2));
  ASSERT_TRUE(raw.WaitForCaptures(2, kWait));

  std::vector<iotcloud_test::CapturedRequest> captures = raw.Captures();
  const auto& first =
      captures[0].requestLine.find("/velmo") != std::string::npos ? captures[0] : captures[1];
  const auto& second = &first == &captures[0] ? captures[1] : captures[0];
  EXPECT_EQ(first.requestLine, "POST /velmo/account/region/get HTTP/1.1");
  std::vector<std::string> ours;
  for (const std::string& line : first.headerLines) {
    for (const auto& h : headers) {
      if (line.compare(0, h.first.size() + 1, h.first + ":") == 0) ours.push_back(line);
    }
  }
  EXPECT_EQ(ours, (std::vector<std::string>{
                      "Content-Type: application/json; charset=UTF-8",
                      "X-Ca-Key: key",
                      "accept: application/json",
                      "date: Thu, 01 Jan 2026 00:00:00 GMT",
                      "x-ca-nonce: n1",
                  }));
  EXPECT_EQ(first.body, body);

  EXPECT_EQ(second.requestLine, "POST /empty-body HTTP/1.1");
  EXPECT_EQ(second.body, "");
  bool zeroLength = false;
  for (const std::string& line : second.headerLines) {
    EXPECT_EQ(line.find("chunked"), std::string::npos) << line;
    zeroLength = zeroLength || line == "Content-Length: 0";
  }
  EXPECT_TRUE(zeroLength);
  for (const Outcome& o : recorder_.All()) EXPECT_EQ(o.data, "ok");
}

TEST_F(TransportTest, HeaderTextThatWouldSplitTheLineIsRefused) {
  const size_t before = server_->RequestCount();
  const std::map<std::string, std::string> cases[] = {
      {{"X-Ok", "a\r\nInjected: 1"}},
      {{"X-Ok", "line\nbreak"}},
      {{std::string("X-N\0ul", 6), "v"}},
  };
  for (const auto& headers : cases) {
    EXPECT_EQ(PostTo(manage_, &recorder_, server_->host(), "/echo", "x", NewId(), headers), -1);
  }
  manager_->deInit();
  EXPECT_TRUE(recorder_.All().empty());
  EXPECT_EQ(server_->RequestCount(), before);
}

TEST_F(TransportTest, CallbackMayPostAnotherRequest) {
  const std::string firstId = NewId();
  const std::string secondId = NewId();
  int postedFromCallback = 1;
  recorder_.hook = [&](const IotRequest* request) {
    if (request->id == firstId) {
      postedFromCallback = PostTo(manage_, &recorder_, server_->host(), "/echo", "second", secondId);
    }
  };
  ASSERT_EQ(PostTo(manage_, &recorder_, server_->host(), "/echo", "first", firstId), 0);
  ASSERT_TRUE(recorder_.WaitCount(2));
  EXPECT_EQ(postedFromCallback, 0);
  std::vector<Outcome> all = recorder_.All();
  EXPECT_EQ(all[1].id, secondId);
  EXPECT_EQ(all[1].data, "second");
  EXPECT_TRUE(all[1].onHttpManagerThread);
}

TEST_F(TransportTest, CancelledRequestsNeverCallBack) {
  const size_t before = server_->RequestCount();
  std::vector<std::string> slow;
  for (int i = 0; i < 3; ++i) {
    slow.push_back(NewId());
    ASSERT_EQ(PostTo(manage_, &recorder_, server_->host(), "/delay/10000", "x", slow.back()), 0);
  }
  // Once the server holds them, they are in the multi handle.
  ASSERT_TRUE(server_->WaitForRequests(before + 3, kWait));
  // A callback cancels a request posted alongside it.
  const std::string victim = NewId();
  const std::string trigger = NewId();
  recorder_.hook = [&](const IotRequest* request) {
    if (request->id == trigger) manage_->RemoveRequests({victim});
  };
  ASSERT_EQ(PostTo(manage_, &recorder_, server_->host(), "/delay/10000", "x", victim), 0);
  ASSERT_TRUE(server_->WaitForRequests(before + 4, kWait));
  ASSERT_EQ(PostTo(manage_, &recorder_, server_->host(), "/echo", "x", trigger), 0);

  EXPECT_EQ(manage_->RemoveRequests({slow[0], "unknown id", slow[2]}), 0);
  EXPECT_EQ(manage_->RemoveRequests({}), 0);
  ASSERT_TRUE(recorder_.WaitCount(1));
  // Stopping fails what is still in flight (slow[1]) and nothing else.
  manager_->deInit();
  std::vector<Outcome> all = recorder_.All();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(recorder_.CountFor(trigger), 1u);
  EXPECT_EQ(recorder_.CountFor(slow[1]), 1u);
  for (const Outcome& o : all) {
    if (o.id == slow[1]) {
      EXPECT_EQ(o.message, "curl error 42");
    }
  }
}

TEST_F(TransportTest, DeInitFailsEveryRequestInFlightOnce) {
  const size_t before = server_->RequestCount();
  std::set<std::string> ids;
  for (int i = 0; i < 5; ++i) {
    const std::string id = NewId();
    ids.insert(id);
    ASSERT_EQ(PostTo(manage_, &recorder_, server_->host(), "/delay/10000", "x", id), 0);
  }
  ASSERT_TRUE(server_->WaitForRequests(before + 5, kWait));
  const auto start = std::chrono::steady_clock::now();
  manager_->deInit();
  // Stopping must not wait for the server: hang check, not a speed target.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  std::vector<Outcome> all = recorder_.All();
  ASSERT_EQ(all.size(), ids.size());
  for (const Outcome& o : all) {
    EXPECT_EQ(ids.count(o.id), 1u);
    EXPECT_EQ(recorder_.CountFor(o.id), 1u);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.message, "curl error 42");
    EXPECT_EQ(o.thread, std::this_thread::get_id());  // the thread that stopped the transport
  }
  // A post after the stop is refused and left with the caller.
  EXPECT_EQ(PostTo(manage_, &recorder_, server_->host(), "/echo", "x", NewId()), -1);
}

// The manager without the runtime: a test thread drives it by calling
// HeartBeat() itself.
TEST(AsyncHttpRequestManageTest, DrivenDirectlyByHeartBeat) {
  iotcloud_test::TestHttpsServer server;
  ASSERT_TRUE(server.Start());
  AsyncHttpRequestManage manage;
  AsyncHttpOptions options;
  options.caPem = server.caPem();
  manage.SetHttpOptions(options);
  Recorder recorder;

  iotcloud_test::LogCapture log;
  EXPECT_EQ(manage.HeartBeat(), 0);  // not initialised: nothing happens
  EXPECT_EQ(PostTo(&manage, &recorder, server.host(), "/echo", "x", NewId()), -1);
  EXPECT_TRUE(log.Contains("AsyncHttpRequestManage::AddClient, but multi_ have not inited!!!!"));

  ASSERT_EQ(manage.Init(), 0);
  ASSERT_EQ(manage.Init(), 0);  // a second Init changes nothing
  // A request cancelled while still queued for the driving thread.
  const std::string queued = NewId();
  ASSERT_EQ(PostTo(&manage, &recorder, server.host(), "/echo", "queued", queued), 0);
  EXPECT_EQ(manage.RemoveRequests({queued}), 0);
  // A request cancelled while in the multi handle.
  const std::string inFlight = NewId();
  ASSERT_EQ(PostTo(&manage, &recorder, server.host(), "/delay/10000", "x", inFlight), 0);
  EXPECT_EQ(manage.HeartBeat(), 0);
  EXPECT_EQ(manage.RemoveRequests({inFlight}), 0);
  // And one that completes.
  const std::string done = NewId();
  ASSERT_EQ(PostTo(&manage, &recorder, server.host(), "/echo", "done", done), 0);

  ASSERT_TRUE(DriveUntil(manage, [&] { return !recorder.All().empty(); }));
  std::vector<Outcome> all = recorder.All();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].id, done);
  EXPECT_EQ(all[0].data, "done");
  EXPECT_EQ(all[0].thread, std::this_thread::get_id());
  EXPECT_EQ(manage.CleanUp(), 0);
  EXPECT_EQ(recorder.All().size(), 1u);
  EXPECT_EQ(manage.HeartBeat(), 0);
}

// libcurl's global state is shared by reference: one manager cleaning up
// must not tear it down under another.
TEST(AsyncHttpRequestManageTest, TwoManagersShareLibcurl) {
  iotcloud_test::TestHttpsServer server;
  ASSERT_TRUE(server.Start());
  AsyncHttpOptions options;
  options.caPem = server.caPem();
  AsyncHttpRequestManage first;
  AsyncHttpRequestManage second;
  first.SetHttpOptions(options);
  ASSERT_EQ(first.Init(), 0);
  ASSERT_EQ(second.Init(), 0);
  EXPECT_EQ(second.CleanUp(), 0);

  Recorder recorder;
  ASSERT_EQ(PostTo(&first, &recorder, server.host(), "/echo", "still works", NewId()), 0);
  ASSERT_TRUE(DriveUntil(first, [&] { return !recorder.All().empty(); }));
  ASSERT_EQ(recorder.All().size(), 1u);
  EXPECT_EQ(recorder.All()[0].data, "still works");
}

TEST(AsyncHttpRequestTest, RequestWithoutCallbackCompletesSilently) {
  iotcloud_test::TestHttpsServer server;
  ASSERT_TRUE(server.Start());
  AsyncHttpRequestManage manage;
  AsyncHttpOptions options;
  options.caPem = server.caPem();
  manage.SetHttpOptions(options);
  ASSERT_EQ(manage.Init(), 0);
  ASSERT_EQ(PostTo(&manage, nullptr, server.host(), "/echo", "x", NewId()), 0);
  // The request is deleted after its transfer (ASan would report a leak).
  // The silent request is deleted after its transfer or, at the latest, by
  // the manager's clean-up; ASan reports a leak otherwise.
  Recorder recorder;
  ASSERT_TRUE(DriveUntil(manage, [&] { return server.RequestCount() == 1; }));
  ASSERT_EQ(PostTo(&manage, &recorder, server.host(), "/echo", "after", NewId()), 0);
  ASSERT_TRUE(DriveUntil(manage, [&] { return !recorder.All().empty(); }));
  EXPECT_EQ(server.RequestCount(), 2u);
}

TEST(AsyncHttpOptionsTest, NonPositiveValuesFallBackToDefaults) {
  AsyncHttpRequestManage manage;
  AsyncHttpOptions options;
  options.connectTimeoutMs = 0;
  options.totalTimeoutMs = -5;
  options.maxResponseBytes = 0;
  options.maxHostConnections = 0;
  options.caFile = "/x/ca.pem";
  manage.SetHttpOptions(options);
  AsyncHttpOptions applied = manage.GetHttpOptions();
  EXPECT_EQ(applied.connectTimeoutMs, 8000);
  EXPECT_EQ(applied.totalTimeoutMs, 20000);
  EXPECT_EQ(applied.maxResponseBytes, 4u << 20);
  EXPECT_EQ(applied.maxHostConnections, 8);
  EXPECT_EQ(applied.caFile, "/x/ca.pem");
}

}  // namespace
