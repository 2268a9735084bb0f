// Asynchronous HTTPS POSTs against real loopback servers: delivery, failures,
// cancellation, the response limit, what goes over the wire, transfer
// records; and the runtime that drives them: init/deInit, shutdown with
// transfers in flight, a forgotten deInit.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "core/api/smart/framework/IotAsyncManager.h"
#include "core/support/QZRandom.h"
#include "support/TestHttpsServer.h"

using namespace std::chrono_literals;

namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;

// A callback as it arrived (`text`: the response data or the failure
// message), or a transfer record (`record`, and whether the request's
// callback had run by then), with the thread it ran on.
struct Outcome {
  std::string id;
  bool ok = false;
  std::string text;
  IotTransferTiming timing;
  int status = 0;
  Headers headers;
  IotTransferRecord record;
  bool afterCallback = false, onHttpManagerThread = false;
  std::thread::id thread;
};

// Records every callback, and every transfer as the transfer observer;
// `hook` (set before posting) runs inside a callback.
class Recorder : public IAsyncHttpReqCallback, public IAsyncHttpTransferObserver {
 public:
  void OnFailure(const IotRequest* request, const IotException* e, _AsyncHttpReqType) override {
    if (hook) hook(request);
    Add(outcomes_, {request->id, false, e->message, e->timing, 0, Headers(), IotTransferRecord(), false, false,
                    std::thread::id()});
  }
  void OnResponse(const IotRequest* request, IotResponse* response, _AsyncHttpReqType) override {
    EXPECT_EQ(response->id, request->id);
    if (hook) hook(request);
    Add(outcomes_, {request->id, true, response->data, response->timing, response->httpStatus, response->headers,
                    IotTransferRecord(), false, false, std::thread::id()});
  }
  void OnTransfer(const IotTransferRecord& record) override {
    bool afterCallback = false;
    for (const Outcome& o : All()) afterCallback = afterCallback || o.id == record.id;
    Add(seen_,
        {record.id, false, "", IotTransferTiming(), 0, Headers(), record, afterCallback, false, std::thread::id()});
    if (record.id == throwOnRecordOf) throw std::runtime_error("observer failed");
  }
  bool WaitCount(size_t n) {
    return outcomes_.WaitFor([n](const auto& v) { return v.size() >= n; }, 10s);
  }
  bool WaitSeen(size_t n) {
    return seen_.WaitFor([n](const auto& v) { return v.size() >= n; }, 10s);
  }
  std::vector<Outcome> All() const { return outcomes_.Get(); }
  std::vector<Outcome> AllSeen() const { return seen_.Get(); }
  std::function<void(const IotRequest*)> hook;
  std::string throwOnRecordOf;

 private:
  static void Add(iotcloud_test::Waitable<std::vector<Outcome>>& to, Outcome o) {
    o.onHttpManagerThread = IotAsyncManager::getInstance()->isHttpManagerThread();
    o.thread = std::this_thread::get_id();
    to.Update([&](std::vector<Outcome>& v) { v.push_back(std::move(o)); });
  }
  iotcloud_test::Waitable<std::vector<Outcome>> outcomes_, seen_;
};

std::string NewId() { return QZRandom::getRandomGUID(32); }

// Posts a fresh request (protocol 0: HTTPS), with a deadline unless the
// epoch is given; deletes it when Post refuses (it stays the caller's then).
int PostTo(AsyncHttpRequestManage* manage, IAsyncHttpReqCallback* callback, const std::string& host,
           const std::string& path, const std::string& body, const std::string& id = NewId(),
           std::map<std::string, std::string> headers = {}, int protocol = 0,
           std::chrono::steady_clock::time_point deadline = {}) {
  auto* request = new AsyncHttpRequest(ASYNC_HTTP_REQ_REGION_GET, manage, callback, 443);
  if (deadline != std::chrono::steady_clock::time_point{}) request->SetDeadline(deadline);
  IotRequest record{protocol, 0, host, path, "", "", id};
  const int rc = request->Post(&record, headers, body);
  if (rc != 0) delete request;
  return rc;
}

// Accepts one plain HTTP connection on `listener`, answers `answer` (200
// "ok" unless given) and returns the request byte for byte (cpp-httplib would
// reorder the headers).
std::string CaptureOne(
    iotcloud_test::LoopbackSocket& listener,
    const std::string& answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok") {
  // A client that never comes or stalls fails the test instead of hanging it.
  iotcloud_test::LoopbackSocket::Connection connection = listener.Accept(10s);
  std::string data;
  char buffer[4096];
  for (size_t n; (n = connection.Receive(buffer, sizeof buffer)) > 0;) {
    data.append(buffer, n);
    const size_t head = data.find("\r\n\r\n"), length = data.find("\r\nContent-Length: ");
    if (head == std::string::npos) continue;
    if (length > head || data.size() >= head + 4 + std::strtoul(&data[length + 18], nullptr, 10)) break;
  }
  connection.Send(answer);
  return data;
}

class TransportTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE((server_ = new iotcloud_test::TestHttpsServer())->Start()); }
  static void TearDownTestSuite() { delete server_; }
  void SetUp() override { Restart(); }
  void TearDown() override { manager_->deInit(); }

  // Restarts the runtime (the trust store is built at init) trusting the
  // test server's CA, with the recorder as the transfer observer; `change`
  // adjusts the options.
  void Restart(const std::function<void(AsyncHttpOptions&)>& change = nullptr) {
    manager_->deInit();
    AsyncHttpOptions options;
    options.caPem = server_->caPem();
    options.transferObserver = std::shared_ptr<Recorder>(&recorder_, [](Recorder*) {});
    if (change) change(options);
    manager_->setHttpOptions(options);
    manager_->init();
  }
  int Post(const std::string& path, const std::string& body, const std::string& id = NewId()) {
    return PostTo(manage_, &recorder_, server_->host(), path, body, id);
  }
  // Posts to /delay/10000 and waits until the server has it.
  void PostSlow(const std::string& id = NewId()) {
    const size_t before = server_->RequestCount();
    ASSERT_EQ(Post("/delay/10000", "x", id), 0);
    ASSERT_TRUE(server_->WaitForRequests(before + 1, 10s));
  }

  inline static iotcloud_test::TestHttpsServer* server_ = nullptr;
  IotAsyncManager* manager_ = IotAsyncManager::getInstance();
  AsyncHttpRequestManage* manage_ = manager_->getAsyncHttpRequestManage();
  Recorder recorder_;
};

// (Posts that must wake the idle thread: every case of the next test.)
// An init() while running changes nothing; deInit() joins the one HTTP
// manager thread before it returns, and a second one changes nothing.
TEST_F(TransportTest, EachRequestCompletesExactlyOnceOnTheHttpManagerThread) {
  iotcloud_test::LogCapture log;
  std::map<std::string, std::string> bodyById;
  for (size_t i = 0; i < 40; ++i) {
    const std::string id = NewId();
    bodyById[id] = "request " + std::to_string(i) + std::string("\0\x01\xff", 3);  // any byte arrives intact
    ASSERT_EQ(Post("/echo", bodyById[id], id), 0);
    if (i == 20) manager_->init();
  }
  ASSERT_TRUE(recorder_.WaitCount(40));
  manager_->deInit();  // nothing may arrive after this
  manager_->deInit();
  EXPECT_EQ(log.Count("Http manager thread exit."), 1u);
  const std::vector<Outcome> all = recorder_.All();
  ASSERT_EQ(all.size(), 40u);
  for (const Outcome& o : all) {
    EXPECT_TRUE(o.ok && o.onHttpManagerThread && o.thread == all[0].thread) << o.text;
    EXPECT_EQ(o.text, bodyById[o.id]);
    bodyById.erase(o.id);  // a second outcome for the same id finds no body
  }
}

TEST_F(TransportTest, OutcomesOfServerBehavioursTlsAndLimits) {
  using Opt = AsyncHttpOptions;
  const auto limit64k = [](Opt& o) { o.maxResponseBytes = 64 * 1024; };
  iotcloud_test::TestHttpsServer stranger(2);  // its certificate comes from a CA nobody here trusts
  ASSERT_TRUE(stranger.Start());
  const std::string host = server_->host();
  // Name, host, path, options, whether it succeeds, and the data of a
  // response (a prefix for /empty) or the message of a failure.
  const std::tuple<const char*, std::string, std::string, std::function<void(Opt&)>, bool, std::string> cases[] = {
      {"CA as file", host, "/echo", [](Opt& o) { o.caPem.clear(), o.caFile = server_->caFile(); }, true, "body"},
      // The system's trust store does not know the test CA.
      {"untrusted certificate", host, "/echo", [](Opt& o) { o.caPem.clear(); }, false, "curl error 60"},
      {"server of an unknown CA", stranger.host(), "/echo", nullptr, false, "curl error 60"},
      {"CA text without a certificate", host, "/echo", [](Opt& o) { o.caPem = "not PEM"; }, false, "curl error 77"},
      // libcurl resolves *.localhost to loopback; the certificate names localhost and 127.0.0.1 only.
      {"certificate for another host", "other.localhost:" + std::to_string(server_->port()), "/echo", nullptr, false,
       "curl error 60"},
      {"empty body gives the header text", host, "/empty", nullptr, true, "HTTP/1.1 200 OK\r\n"},
      {"total time limit", host, "/delay/5000", [](Opt& o) { o.totalTimeoutMs = 200; }, false, "curl error 28"},
      {"body within the response limit", host, "/huge/60000", limit64k, true, std::string(60000, 'x')},
      {"body past the response limit", host, "/huge/70000", limit64k, false, "curl error 23"},
      {"headers alone past the limit", host, "/echo", [](Opt& o) { o.maxResponseBytes = 20; }, false, "curl error 23"},
      {"default limit refuses 5 MiB", host, "/huge/5242880", nullptr, false, "curl error 23"}};
  size_t done = 0;
  for (const auto& [name, caseHost, path, options, ok, expected] : cases) {
    SCOPED_TRACE(name);
    Restart(options);
    ASSERT_EQ(PostTo(manage_, &recorder_, caseHost, path, "body"), 0);
    ASSERT_TRUE(recorder_.WaitCount(++done));
    const Outcome o = recorder_.All().back();
    EXPECT_EQ(o.ok, ok) << o.text.substr(0, 80);
    EXPECT_EQ(o.text.substr(0, expected.size()), expected);
    EXPECT_TRUE(path == "/empty" || o.text.size() == expected.size()) << o.text.size();
  }
}

// Plain HTTP to a socket of ours (the header code is the same as for HTTPS):
// header lines go out in key order, which is byte order (upper case first);
// bodies exactly, an empty one neither read from anywhere nor chunked. Only
// the last response's status and fields reach OnResponse, and a redirect is
// handed over, not followed. Header text that would split the line is
// refused before anything is sent. A transfer's record counts the bytes as
// they crossed the wire, interim responses included.
TEST_F(TransportTest, WhatCrossesTheWireBothWays) {
  iotcloud_test::LoopbackSocket listener;
  ASSERT_TRUE(listener.ok());
  const std::string host = listener.hostPort();
  for (const auto& [key, value] : std::map<std::string, std::string>{
           {"X-Cr", "a\r\nInjected: 1"}, {"X-Lf", "line\nbreak"}, {std::string("X-N\0ul", 6), "v"}}) {
    EXPECT_EQ(PostTo(manage_, &recorder_, host, "/injected", "x", NewId(), {{key, value}}, 1), -1) << key;
  }
  // clang-format off
  const std::map<std::string, std::string> headers = {{"x-ca-nonce", "n1"}, {"date", "Thu, 01 Jan 2026 00:00:00 GMT"},
                                                      {"X-Ca-Key", "key"}, {"Content-Type", "text/plain"}, {"accept", "application/json"}};
  // clang-format on
  const std::string body("{\"a\":1}\0tail", 12);
  ASSERT_EQ(PostTo(manage_, &recorder_, host, "/velmo/region", body, NewId(), headers, 1), 0);
  const std::string first = CaptureOne(listener);
  ASSERT_EQ(PostTo(manage_, &recorder_, host, "/empty-body", "", NewId(), {}, 1), 0);
  const std::string second = CaptureOne(listener);
  ASSERT_EQ(PostTo(manage_, &recorder_, host, "/moved", "x", NewId(), {}, 1), 0);
  const std::string moved =
      "HTTP/1.1 100 Continue\r\nX-Interim: 1\r\n\r\n"
      "HTTP/1.1 302 Found\r\nLocation: https://elsewhere.example/p?q=1\r\nX-Ca-Error-Code:  E1 \r\n"
      "Content-Length: 0\r\nConnection: close\r\n\r\n";
  CaptureOne(listener, moved);
  ASSERT_TRUE(recorder_.WaitCount(3));
  manager_->deInit();

  EXPECT_EQ(first.rfind("POST /velmo/region HTTP/1.1\r\n", 0), 0u) << first;
  EXPECT_NE(first.find("\r\nContent-Type: text/plain\r\nX-Ca-Key: key\r\naccept: application/json\r\n"
                       "date: Thu, 01 Jan 2026 00:00:00 GMT\r\nx-ca-nonce: n1\r\n"),
            std::string::npos)
      << first;
  EXPECT_EQ(first.substr(first.find("\r\n\r\n") + 4), body);
  EXPECT_EQ(second.rfind("POST /empty-body HTTP/1.1\r\n", 0), 0u) << second;
  EXPECT_TRUE(second.find("\r\nContent-Length: 0\r\n") != std::string::npos &&
              second.find("chunked") == std::string::npos && second.find("\r\n\r\n") + 4 == second.size())
      << second;
  const std::vector<Outcome> all = recorder_.All();
  ASSERT_EQ(all.size(), 3u);  // none for the refused ones
  EXPECT_EQ(all[0].text + all[1].text, "okok");
  EXPECT_TRUE(all[2].ok && all[2].status == 302) << all[2].status;
  IotResponse response;
  response.headers = all[2].headers;
  EXPECT_EQ(response.header("location") + "|" + response.header("x-ca-error-code") + "|" + response.header("x-interim"),
            "https://elsewhere.example/p?q=1|E1|");
  const std::vector<Outcome> seen = recorder_.AllSeen();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].record.bytesSent, static_cast<int64_t>(first.size()));
  EXPECT_EQ(seen[2].record.bytesReceived, static_cast<int64_t>(moved.size()));
  EXPECT_TRUE(seen[0].record.tlsDoneAtUs == 0 && seen[0].record.connectedAtUs > 0);
}

// Header text is taken as it comes: any line ending, folds, junk, and no
// more fields than the bound. (Only the last response's fields: the wire test.)
TEST(ResponseHeaders, AnyBytesParseIntoTheLastResponsesHeaders) {
  std::string many = "HTTP/1.1 200 OK\r\n";
  for (size_t i = 0; i < IotResponse::kMaxResponseHeaders + 5; ++i) many += "a:" + std::to_string(i) + "\n";
  const std::pair<std::string, Headers> cases[] = {
      {"HTTP/1.1 200 OK\r\nX-Ca-Request-Id: r1\r\nDate:Thu, 01 Jan 2026 00:00:00 GMT\r\n\r\n",
       {{"x-ca-request-id", "r1"}, {"date", "Thu, 01 Jan 2026 00:00:00 GMT"}}},
      {"HTTP/1.1 200 OK\rCr-Only: v\rNo colon here\r\n folded\r\nX: a\n\t b  \n: empty name\n",
       {{"cr-only", "v"}, {"x", "a b"}}},
      {"X-Dup: 1\nX-DUP: 2\n\n", {{"x-dup", "1"}, {"x-dup", "2"}}},
      {std::string("N\0ul: v\0w\n", 11), {{std::string("n\0ul", 4), std::string("v\0w", 3)}}},
      {"", {}}};
  for (const auto& [text, fields] : cases) EXPECT_EQ(ParseResponseHeaders(text), fields) << text;
  const Headers parsed = ParseResponseHeaders(many);
  ASSERT_EQ(parsed.size(), IotResponse::kMaxResponseHeaders);
  EXPECT_EQ(parsed.back().second, std::to_string(IotResponse::kMaxResponseHeaders - 1));
}

// From inside a callback, posting and cancelling work and stopping is refused
// (it would wait for itself: a hang here, or the request posted from the
// callback failed by a stop); the stop that follows fails what is left, once.
TEST_F(TransportTest, CallbacksPostAndCancelButCannotStopAndDeInitFailsWhatIsLeft) {
  std::vector<std::string> slow;
  for (int i = 0; i < 5; ++i) PostSlow(slow.emplace_back(NewId()));  // all in the multi handle now
  const std::string trigger = NewId(), posted = NewId();
  int postedFromCallback = 1;
  recorder_.hook = [&](const IotRequest* request) {
    if (request->id != trigger) return;
    manage_->RemoveRequests({slow[4]});
    postedFromCallback = Post("/echo", "posted", posted);
    manager_->deInit();
    manager_->init();  // would wait for the lock a deInit() holds while joining this thread
  };
  ASSERT_EQ(Post("/echo", "x", trigger), 0);
  EXPECT_EQ(manage_->RemoveRequests({slow[0], "unknown id", slow[2]}), 0);
  ASSERT_TRUE(recorder_.WaitCount(2));
  EXPECT_EQ(postedFromCallback, 0);
  manager_->deInit();

  const std::vector<Outcome> all = recorder_.All();
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0].id, trigger);
  EXPECT_EQ(all[1].id, posted);
  EXPECT_TRUE(all[1].ok && all[1].onHttpManagerThread && all[1].text == "posted") << all[1].text;
  EXPECT_EQ((std::set<std::string>{all[2].id, all[3].id}), (std::set<std::string>{slow[1], slow[3]}));
  for (size_t i = 2; i < all.size(); ++i) {
    EXPECT_EQ(all[i].text, "curl error 42");
    EXPECT_EQ(all[i].thread, std::this_thread::get_id());  // the stopping thread
  }
  EXPECT_EQ(Post("/echo", "x"), -1);  // refused after the stop, left with the caller
  // Transfer records: none for a cancelled request; those cut by the stop
  // come on the stopping thread, after their callbacks.
  const std::vector<Outcome> seen = recorder_.AllSeen();
  ASSERT_EQ(seen.size(), 4u);
  for (size_t i = 2; i < 4; ++i) {
    EXPECT_TRUE(seen[i].record.id == all[i].id && seen[i].record.curlCode == 42 && seen[i].afterCallback);
    EXPECT_EQ(seen[i].thread, std::this_thread::get_id());
  }
}

// A host that serves one transfer per connection gets no more transfers
// inside libcurl than it may have connections; each one that leaves another
// way than by finishing (cancelled inside libcurl or in the queue, refused
// when set up) must free its place, or that host would wait forever.
TEST_F(TransportTest, CancelledAndRefusedTransfersFreeTheirHostsPlaces) {
  Restart([](AsyncHttpOptions& o) { o.maxHostConnections = 2; });
  ASSERT_EQ(Post("/echo", "x"), 0);  // the host is known to run HTTP/1.1 from here on
  ASSERT_TRUE(recorder_.WaitCount(1));
  std::vector<std::string> cancelled;
  for (int i = 0; i < 2; ++i) PostSlow(cancelled.emplace_back(NewId()));  // the host's places, both taken
  for (int i = 0; i < 4; ++i) ASSERT_EQ(Post("/delay/10000", "x", cancelled.emplace_back(NewId())), 0);
  EXPECT_EQ(manage_->RemoveRequests(cancelled), 0);
  AsyncHttpOptions refusing = manager_->getHttpOptions();
  refusing.proxy = "ftp://proxy.invalid";  // refused when the transfer is set up
  manager_->setHttpOptions(refusing);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Post("/echo", "x"), 0);
  ASSERT_TRUE(recorder_.WaitCount(4));
  refusing.proxy.reset();
  manager_->setHttpOptions(refusing);
  for (int i = 0; i < 4; ++i) ASSERT_EQ(Post("/echo", "x"), 0);
  ASSERT_TRUE(recorder_.WaitCount(8));
  const std::vector<Outcome> all = recorder_.All();
  for (size_t i = 1; i < 4; ++i) EXPECT_EQ(all[i].text, "curl error 1");
  for (size_t i = 4; i < 8; ++i) EXPECT_TRUE(all[i].ok) << all[i].text;
}

// With one transfer inside libcurl at a time the others wait in the queue:
// there they cancel without a callback, and their time limit starts only when
// they are admitted (the second request ends 1.2 s after it was posted,
// within a 1 s limit), with the wait shown in their timing.
TEST_F(TransportTest, QueuedRequestsCancelSilentlyAndTheirTimeLimitStartsAtAdmission) {
  Restart([](AsyncHttpOptions& o) { o.maxTransfers = 1, o.totalTimeoutMs = 1000; });
  const size_t before = server_->RequestCount();
  const std::string first = NewId(), cancelled = NewId(), second = NewId();
  ASSERT_EQ(Post("/delay/700", "x", first), 0);
  ASSERT_EQ(Post("/echo", "x", cancelled), 0);
  ASSERT_EQ(Post("/delay/500", "x", second), 0);
  ASSERT_TRUE(server_->WaitForRequests(before + 1, 10s));
  EXPECT_EQ(manage_->RemoveRequests({cancelled}), 0);
  ASSERT_TRUE(recorder_.WaitCount(2));
  // One in libcurl and one queued when the transport stops: both fail, once.
  PostSlow();
  ASSERT_EQ(Post("/echo", "x"), 0);
  manager_->deInit();

  const std::vector<Outcome> all = recorder_.All();
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[2].text + all[3].text, "curl error 42curl error 42");
  EXPECT_EQ(all[0].id, first);
  EXPECT_EQ(all[1].id, second);
  EXPECT_TRUE(all[1].ok) << all[1].text;
  EXPECT_GE(all[1].timing.queuedUs, 650000);
  EXPECT_GE(all[1].timing.transferUs, 450000);
  EXPECT_LT(all[0].timing.queuedUs, 650000);
  EXPECT_EQ(server_->RequestCount(), before + 3);  // the cancelled and the last queued requests never left
}

TEST_F(TransportTest, DeadlineCutsTheTimeLimitAndFailsWhatIsAdmittedAfterIt) {
  Restart([](AsyncHttpOptions& o) { o.maxTransfers = 1, o.totalTimeoutMs = 10000; });
  const size_t before = server_->RequestCount();
  const auto deadline = std::chrono::steady_clock::now() + 400ms;
  for (const char* path : {"/delay/3000", "/echo"}) {  // the second waits in the queue behind the first
    ASSERT_EQ(PostTo(manage_, &recorder_, server_->host(), path, "x", NewId(), {}, 0, deadline), 0);
  }
  ASSERT_TRUE(recorder_.WaitCount(2));
  const std::vector<Outcome> all = recorder_.All();
  EXPECT_EQ(all[0].text + all[1].text, "curl error 28curl error 28");
  EXPECT_LT(all[0].timing.transferUs, 2000000);
  EXPECT_LT(all[1].timing.transferUs, 100000);     // failed at admission
  EXPECT_EQ(server_->RequestCount(), before + 1);  // the second never left
}

// Each task runs once, in due order and not before it is due, on the HTTP
// thread; a cancelled one never; at deInit the rest are told, and later
// ones are refused.
TEST_F(TransportTest, TasksRunInDueOrderOnTheHttpManagerThreadAndDeInitTellsTheRest) {
  const auto now = std::chrono::steady_clock::now();
  iotcloud_test::Waitable<std::vector<std::string>> runs;
  auto schedule = [&](const std::string& tag, std::chrono::milliseconds after) {
    return manage_->ScheduleTask(now + after, [&, tag, after](bool run) {
      const bool early = std::chrono::steady_clock::now() < now + after, onHttp = manager_->isHttpManagerThread();
      runs.Update([&](auto& all) {
        all.push_back(tag + (run ? " ran" : " told") + (early ? " early" : "") + (onHttp ? " on HTTP" : ""));
      });
    });
  };
  ASSERT_NE(schedule("3", 300ms), 0u);
  ASSERT_NE(schedule("1", 100ms), 0u);
  const uint64_t dropped = schedule("cancelled", 200ms);
  ASSERT_NE(schedule("2", 200ms), 0u);
  EXPECT_TRUE(manage_->CancelTask(dropped));
  EXPECT_FALSE(manage_->CancelTask(dropped));
  ASSERT_NE(schedule("4", 1h), 0u);
  ASSERT_TRUE(runs.WaitFor([](const auto& all) { return all.size() == 3; }, 10s));
  manager_->deInit();
  EXPECT_EQ(schedule("refused", 0ms), 0u);  // not running: never called
  EXPECT_EQ(runs.Get(), (std::vector<std::string>{"1 ran on HTTP", "2 ran on HTTP", "3 ran on HTTP", "4 told early"}));
}

// One record per transfer, after its callback, on the HTTP thread: a fresh
// connection whose phases are in order and whose first byte waits for the
// server's delay, a reused one, a refused one, a warm-up. (A cancelled
// request and one cut by the stop: the callbacks test.)
TEST_F(TransportTest, TransferObserverGetsOneRecordPerTransferAfterItsCallback) {
  const std::string host = server_->host();
  ASSERT_TRUE(Post("/delay/200", "x") == 0 && recorder_.WaitSeen(1));
  ASSERT_TRUE(Post("/echo", "again") == 0 && recorder_.WaitSeen(2));
  const std::string closed = "127.0.0.1:" + std::to_string(iotcloud_test::ClosedPort());
  ASSERT_TRUE(PostTo(manage_, &recorder_, closed, "/echo", "x") == 0 && recorder_.WaitSeen(3));
  auto* warmUp = new AsyncHttpRequest(ASYNC_HTTP_REQ_REGION_GET, manage_, nullptr, 443);
  IotRequest warmUpRecord{0, 0, host, "/", "", "", NewId(), 7};
  ASSERT_TRUE(warmUp->Connect(&warmUpRecord) == 0 && recorder_.WaitSeen(4));
  const std::vector<Outcome> all = recorder_.AllSeen();
  for (const Outcome& seen : all) {
    EXPECT_EQ(seen.afterCallback, seen.record.id != warmUpRecord.id);  // the warm-up has no callback
    EXPECT_TRUE(seen.onHttpManagerThread);
  }
  const IotTransferRecord &fresh = all[0].record, &reused = all[1].record, &refused = all[2].record;
  EXPECT_EQ(fresh.host + fresh.path, host + "/delay/200");
  EXPECT_TRUE(fresh.curlCode == 0 && fresh.httpStatus == 200 && fresh.httpVersion == 11 && !fresh.connectionReused);
  EXPECT_TRUE(0 < fresh.resolvedAtUs && fresh.resolvedAtUs <= fresh.connectedAtUs &&
              fresh.connectedAtUs < fresh.tlsDoneAtUs && fresh.tlsDoneAtUs <= fresh.requestAtUs &&
              fresh.firstByteAtUs <= fresh.totalUs);
  EXPECT_GE(fresh.firstByteAtUs - fresh.requestAtUs, 200000);  // the server's delay
  EXPECT_TRUE(reused.connectionReused && reused.httpStatus == 200 && reused.totalUs >= reused.firstByteAtUs);
  EXPECT_TRUE(refused.curlCode == 7 && refused.httpStatus == 0 && !refused.connectionReused && refused.bytesSent == 0);
  EXPECT_TRUE(all[3].record.head && all[3].record.attempt == 7 && all[3].record.connectionReused);
}

// A second manager (a benchmark's idle one) started and cleaned up beside
// the runtime's must not tear libcurl down under it.
TEST_F(TransportTest, AnotherManagersCleanUpLeavesTheRuntimeWorking) {
  {
    AsyncHttpRequestManage other;
    ASSERT_EQ(other.Init(), 0);
    EXPECT_EQ(other.CleanUp(), 0);
  }
  ASSERT_EQ(Post("/echo", "after"), 0);
  ASSERT_TRUE(recorder_.WaitCount(1));
  EXPECT_EQ(recorder_.All()[0].text, "after");
}

// The failures of cut-short transfers run on the stopping thread, under the
// lifecycle lock: a callback there that restarts or stops the runtime is
// refused instead of locking it twice, also when the host forgot deInit()
// and destroys a running manager.
TEST_F(TransportTest, LifecycleCallsFromTheFailuresAStopDeliversAreRefused) {
  for (const bool destroy : {false, true}) {
    SCOPED_TRACE(destroy);
    iotcloud_test::LogCapture log;
    Restart();
    PostSlow();
    // Without a callback: failed silently by the stop, never leaked.
    ASSERT_EQ(PostTo(manage_, nullptr, server_->host(), "/delay/10000", "silent"), 0);
    IotAsyncManager* dying = manager_;
    recorder_.hook = [dying](const IotRequest*) {
      dying->init();
      dying->deInit();
    };
    if (destroy) {
      delete manager_;
      manager_ = IotAsyncManager::getInstance();  // a fresh instance starts stopped
      manage_ = manager_->getAsyncHttpRequestManage();
    } else {
      manager_->deInit();
    }
    recorder_.hook = nullptr;
    ASSERT_EQ(recorder_.All().size(), destroy ? 2u : 1u);
    EXPECT_EQ(recorder_.All().back().text, "curl error 42");
    EXPECT_EQ(log.Count("from a callback that init or deInit is delivering refused"), 2u);
    EXPECT_EQ(Post("/echo", "x"), -1);  // the refused init() did not restart it
  }
}

// While one request's callback blocks (a slow host), other threads post,
// cancel and schedule without waiting for it; when it then throws, and the
// transfer observer throws too, both are logged and the transport goes on.
TEST_F(TransportTest, ACallbackThatBlocksOrThrowsHoldsUpNoOtherCall) {
  iotcloud_test::LogCapture log(4);
  const std::string slow = NewId(), blocking = NewId();
  PostSlow(slow);
  iotcloud_test::Waitable<int> gate;  // 1: the callback is in, 2: let it go
  recorder_.hook = [&](const IotRequest* request) {
    if (request->id != blocking) return;
    gate.Update([](int& g) { g = 1; });
    gate.WaitFor([](int g) { return g == 2; }, 60s);
    throw std::runtime_error("callback failed");
  };
  recorder_.throwOnRecordOf = blocking;
  ASSERT_EQ(Post("/echo", "x", blocking), 0);
  ASSERT_TRUE(gate.WaitFor([](int g) { return g == 1; }, 10s));
  iotcloud_test::Waitable<bool> returned;
  std::thread host([&] {
    manage_->RemoveRequests({slow});
    const uint64_t task = manage_->ScheduleTask(std::chrono::steady_clock::now() + 1h, [](bool) {});
    const bool ok = Post("/echo", "queued") == 0 && manage_->CancelTask(task);
    returned.Update([ok](bool& r) { r = ok; });
  });
  const bool inTime = returned.WaitFor([](bool r) { return r; }, 10s);
  gate.Update([](int& g) { g = 2; });
  host.join();
  EXPECT_TRUE(inTime) << "a call waited for another request's callback";
  ASSERT_TRUE(recorder_.WaitCount(1) && recorder_.WaitSeen(2));  // the throwing callback recorded nothing
  recorder_.hook = nullptr;
  EXPECT_EQ(recorder_.All()[0].text, "queued");
  EXPECT_TRUE(log.Contains("callback failed") && log.Contains("observer failed"));
}

// The address family reaches libcurl: "localhost" is both 127.0.0.1 and ::1,
// and the server listens on IPv4 alone.
TEST_F(TransportTest, TheAddressFamilyOptionChoosesWhichAddressesAreTried) {
  const std::string host = "localhost:" + std::to_string(server_->port());
  size_t done = 0;
  for (const auto family : {AsyncHttpOptions::IpFamily::kIPv4, AsyncHttpOptions::IpFamily::kIPv6}) {
    Restart([family](AsyncHttpOptions& o) { o.ipFamily = family, o.happyEyeballsTimeoutMs = 50; });
    ASSERT_EQ(PostTo(manage_, &recorder_, host, "/echo", "x"), 0);
    ASSERT_TRUE(recorder_.WaitCount(++done));
  }
  const std::vector<Outcome> all = recorder_.All();
  EXPECT_EQ(all[0].text + "|" + all[1].text, "x|curl error 7");
}

}  // namespace
