// The local gateway's own checks, driven by a client written here from first
// principles: its own string-to-sign, signed with the library's HMAC-SHA1
// (both signers are checked against RFC 2202 in http_util_header_test).
// Dates are read back with libcurl's parser. Signed lookups, routing and most
// faults are covered end to end by region_lookup_test and cli/cli_tool_test
// (a wrong secret there too); here each check, the nonce memory, the bounds,
// and the program with its clock and scripted faults.

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "core/io/network/http/internal/HttpDate.h"
#include "core/support/internal/JsonPtr.h"
#include "core/support/internal/Owned.h"
#include "gateway-sim/GatewaySim.h"
#include "gateway-sim/RequestCheck.h"
#include "platform/DefaultPlatform.h"
#include "support/TestUtil.h"

namespace {

using iotcloud::gateway::GatewayConfig;
using iotcloud::gateway::GatewaySim;
using iotcloud::gateway::kRegionGetPath;
using iotcloud::gateway::NonceStore;

constexpr const char* kKey = "test-key";
constexpr const char* kSecret = "test-secret";

// The library's HTTP date (checked against outside references in
// http_util_test).
std::string GmtDate(time_t when) {
  char text[iotcloud::kHttpDateBufferSize];
  iotcloud::FormatHttpDate(when, text, sizeof text);
  return text;
}

std::string Envelope(const std::string& params, std::string apiVer = "1.0.2", std::string version = "1.0") {
  return R"({"request":{"language":"en-US","apiVer":")" + apiVer + R"("},"params":)" + params +
         R"(,"id":"0123456789abcdef0123456789abcdef","version":")" + version + "\"}";
}
const std::string kLookup = Envelope(R"({"type":"EMAIL","email":"a@example.de"})");

// A lookup as the client library sends it, signed with the header list given
// in "x-ca-signature-headers".
struct SignedRequest {
  std::map<std::string, std::string> headers;  // case-sensitive: "X-Ca-Nonce" can sit beside "x-ca-nonce"
  std::string contentType = "application/octet-stream; charset=utf-8";
  std::string body;

  std::string get(const std::string& name) const { return headers.count(name) ? headers.at(name) : ""; }
  // Signs with the library's signer rather than the gateway's, so that the two check each other.
  void sign(const std::string& secret) {
    std::string text = "POST\n" + get("accept") + "\n\n" + contentType + "\n" + get("date") + "\n";
    std::stringstream list(get("x-ca-signature-headers"));
    for (std::string name; std::getline(list, name, ',');) text += name + ":" + get(name) + "\n";
    text += kRegionGetPath;
    if (contentType.rfind("application/x-www-form-urlencoded", 0) == 0) text += "?" + body;
    iotcloud::DefaultPlatformOptions options;
    options.cachePath = ":memory:";
    options.applicationSecret = secret;
    headers["x-ca-signature"] = iotcloud::DefaultPlatform(options).signString(text, 1);
  }
  SignedRequest redated(const std::string& date) const {
    SignedRequest copy = *this;
    copy.headers["date"] = date;
    copy.sign(kSecret);
    return copy;
  }
};

SignedRequest MakeRequest(const std::string& body = kLookup) {
  static int nonces = 0;  // main thread only
  SignedRequest request;
  request.body = body;
  request.headers = {{"accept", "application/json; charset=utf-8"},
                     {"date", GmtDate(time(nullptr))},
                     {"x-ca-key", kKey},
                     {"x-ca-nonce", "nonce-" + std::to_string(nonces++)},
                     {"x-ca-signature-method", "HmacSHA1"},
                     {"x-ca-signature-headers", "x-ca-key,x-ca-nonce,x-ca-signature-method"},
                     {"x-ca-version", "1"}};
  request.sign(kSecret);
  return request;
}

struct Answer {
  int status = -1;  // -1: no answer came
  std::string body;
  httplib::Headers headers;
  std::string header(const std::string& name) const {
    return headers.count(name) ? headers.find(name)->second : "<absent>";
  }
};

// What the gateway on `port` (trusted through `caFile`) answers `r` posted to
// `path`. Checks the headers every answer carries.
Answer Post(int port, const std::string& caFile, const SignedRequest& r, const std::string& path = kRegionGetPath) {
  httplib::SSLClient client("127.0.0.1", port);
  client.set_ca_cert_path(caFile.c_str());
  client.enable_server_certificate_verification(true);
  auto result =
      client.Post(path.c_str(), httplib::Headers(r.headers.begin(), r.headers.end()), r.body, r.contentType.c_str());
  if (!result) return {-1, httplib::to_string(result.error()), {}};
  // Every answer carries a request id and the date; a refusal its error code.
  EXPECT_EQ(result->get_header_value("X-Ca-Request-Id").size(), 25u) << path;
  EXPECT_EQ(result->get_header_value("Date").size(), 29u) << path;
  EXPECT_EQ(result->has_header("X-Ca-Error-Code"), result->status >= 400) << result->status;
  return {result->status, result->body, result->headers};
}

// libcurl's outcome and body of a POST of `r` to `url` on a fresh connection.
std::pair<CURLcode, std::string> CurlPost(const std::string& url, const std::string& caFile, const SignedRequest& r) {
  std::string body;
  iotcloud::Owned<CURL, curl_easy_cleanup> curl(curl_easy_init());
  iotcloud::Owned<curl_slist, curl_slist_free_all> headers(
      curl_slist_append(nullptr, ("Content-Type: " + r.contentType).c_str()));
  for (const auto& [name, value] : r.headers) curl_slist_append(headers.get(), (name + ": " + value).c_str());
  curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, r.body.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_CAINFO, caFile.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(
      curl.get(), CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* out) {
        static_cast<std::string*>(out)->append(data, size * count);
        return size * count;
      });
  const CURLcode code = curl_easy_perform(curl.get());
  return {code, body};
}

// A started gateway that knows the test's application.
std::unique_ptr<GatewaySim> StartGateway(GatewayConfig config = {}) {
  config.applications = {{kKey, kSecret}};
  auto gateway = std::make_unique<GatewaySim>(config);
  std::string error;
  EXPECT_TRUE(gateway->Start(&error)) << error;
  return gateway;
}

// Gateway errors come with their status and "X-Ca-Error-Message"; a bad
// envelope gets status 200 and a service error code in the body. The body is
// {"code":code,"message":message}, with "data" only for code 200.
TEST(GatewaySimChecks, EachFailedCheckGetsItsOwnError) {
  const auto gateway = StartGateway();
  auto expect = [&](const SignedRequest& request, int status, int code, const std::string& message) {
    const Answer answer = Post(gateway->port(), gateway->caFile(), request);
    EXPECT_EQ(answer.status, status) << answer.body;
    EXPECT_EQ(answer.header("X-Ca-Error-Message"), status == 200 ? "<absent>" : message);
    iotcloud::JsonPtr json(cJSON_Parse(answer.body.c_str()));
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(json.get(), "code");
    EXPECT_EQ(code, cJSON_IsNumber(item) ? item->valueint : -1) << answer.body;
    item = cJSON_GetObjectItemCaseSensitive(json.get(), "message");
    EXPECT_EQ(message, cJSON_IsString(item) ? item->valuestring : "<absent>");
    EXPECT_EQ(code == 200, cJSON_HasObjectItem(json.get(), "data")) << answer.body;
  };
  using Change = std::function<void(SignedRequest&)>;
  auto set = [](std::string name, std::string value) -> Change {
    return [=](SignedRequest& r) { r.headers[name] = value; };
  };
  const std::string signedList = "x-ca-key,x-ca-nonce,x-ca-signature-method";
  // What is changed, whether the request is signed again afterwards, the status and message expected.
  const std::vector<std::tuple<std::string, Change, bool, int, std::string>> cases = {
      {"unknown key", set("x-ca-key", "other-key"), true, 403, "Invalid AppKey"},
      {"no signature", [](SignedRequest& r) { r.headers.erase("x-ca-signature"); }, false, 400,
       "Missing header: x-ca-signature"},
      {"nonce sent twice", set("X-Ca-Nonce", "other-nonce"), false, 400, "Duplicate header: x-ca-nonce"},
      {"other method", set("x-ca-signature-method", "HmacSHA256"), true, 400,
       "Unsupported signature method: HmacSHA256"},
      {"nonce not signed", set("x-ca-signature-headers", "x-ca-key,x-ca-signature-method"), true, 400,
       "Invalid signature headers: x-ca-nonce is not signed"},
      {"listed header absent", set("x-ca-signature-headers", signedList + ",x-ca-stage"), true, 400,
       "Signed header missing: x-ca-stage"},
      {"local-time date", set("date", "Fri, 04 Dec 2026 08:18:29 +0800"), true, 400,
       "Invalid date: Fri, 04 Dec 2026 08:18:29 +0800"},
      {"accept changed after signing", set("accept", "*/*"), false, 400, "Invalid signature"},
      {"nonce changed after signing", set("x-ca-nonce", "other-nonce"), false, 400, "Invalid signature"},
      {"form body changed after signing (it is signed as the query)",
       [](SignedRequest& r) {
         r.contentType = "application/x-www-form-urlencoded; charset=utf-8";
         r.body = "a=1&b=2", r.sign(kSecret), r.body = "a=1&b=3";
       },
       false, 400, "Invalid signature"},
      {"date 14 minutes old", set("date", GmtDate(time(nullptr) - 14 * 60)), true, 200, "success"},
      {"extra signed header, in list order", set("x-ca-signature-headers", "x-ca-version," + signedList), true, 200,
       "success"},
  };
  for (const auto& [what, change, resign, status, message] : cases) {
    SCOPED_TRACE(what);
    SignedRequest request = MakeRequest();
    change(request);
    if (resign) request.sign(kSecret);
    expect(request, status, status, message);
  }
  const std::string email = R"({"type":"EMAIL","email":"a@b"})";
  const std::vector<std::tuple<std::string, int, std::string>> envelopes = {
      {Envelope(R"({"type":"PASSPORT","number":"1"})"), 404, "Unknown type: PASSPORT"},
      {Envelope(R"({"type":"PHONE","phoneLocationCode":"86"})"), 422, "Missing parameter: phone"},
      {Envelope(R"("PHONE")"), 400, "Malformed envelope: \"params\" missing"},
      {Envelope(email, "1.0.1"), 400, "Unsupported apiVer: 1.0.1"},
      {Envelope(email, "1.0.2", "2.0"), 400, "Malformed envelope: \"version\" is not \"1.0\""},
      {Envelope(email) + "}", 400, "Malformed envelope: body is not JSON"},
  };
  for (const auto& [body, code, message] : envelopes) expect(MakeRequest(body), 200, code, message);
}

// A nonce is kept while a replay could still pass the date check (until its
// date leaves the window), and at least a window from when it was seen; the
// store holds at most its capacity.
TEST(GatewaySimChecks, NonceIsKeptWhileAReplayCouldPassTheDateCheck) {
  constexpr int64_t kWindow = 900, kSeen = 1000000;
  using Outcome = NonceStore::Outcome;
  // The request's date and the replay, both in seconds after it was first seen; the replay's outcome.
  const std::vector<std::tuple<int64_t, int64_t, Outcome>> cases = {
      {0, kWindow, Outcome::kReplayed},         {0, kWindow + 1, Outcome::kFresh},
      {600, 600 + kWindow, Outcome::kReplayed}, {600, 601 + kWindow, Outcome::kFresh},
      {-600, kWindow, Outcome::kReplayed},      {-600, kWindow + 1, Outcome::kFresh},
  };
  for (const auto& [date, replay, outcome] : cases) {
    NonceStore store;
    EXPECT_EQ(store.Remember(kKey, "n", kSeen + date, kSeen, kWindow), Outcome::kFresh);
    EXPECT_EQ(store.Remember("other-key", "n", kSeen + date, kSeen, kWindow), Outcome::kFresh);
    EXPECT_EQ(store.Remember(kKey, "n", kSeen + date, kSeen + replay, kWindow), outcome) << date << " " << replay;
  }
  NonceStore small(2);
  EXPECT_EQ(small.Remember(kKey, "a", kSeen, kSeen, kWindow), Outcome::kFresh);
  EXPECT_EQ(small.Remember(kKey, "b", kSeen, kSeen + 1, kWindow), Outcome::kFresh);
  EXPECT_EQ(small.Remember(kKey, "c", kSeen, kSeen + 1, kWindow), Outcome::kFull);
  EXPECT_EQ(small.Remember(kKey, "c", kSeen + 902, kSeen + 902, kWindow), Outcome::kFresh);
  EXPECT_EQ(small.size(), 1u);
}

// Encoded bodies are refused before they are read (a 100 KB gzip body could
// inflate to 100 MiB); bodies over the cap get a message. Neither is recorded.
// A flood of requests (unauthenticated, to unknown paths, large) keeps only
// the last few, with their bodies cut; the count of arrivals stays exact.
TEST(GatewaySimBounds, BodiesAndTheRecordAreBounded) {
  GatewayConfig config;
  config.maxRecordedRequests = 5;
  config.maxRecordedBodyBytes = 16;
  const auto gateway = StartGateway(config);
  const int port = gateway->port();
  const std::string gzip = std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10) + std::string(100000, 'z');
  for (const auto& [body, encoding, status, message] :
       std::vector<std::tuple<std::string, std::string, int, std::string>>{
           {gzip, "gzip", 415, "Content-Encoding not supported: gzip"},
           {std::string((1 << 20) + 1, 'b'), "", 413, "Request body too large"}}) {
    SignedRequest request{{}, "application/octet-stream", body};
    if (!encoding.empty()) request.headers["Content-Encoding"] = encoding;
    const Answer answer = Post(port, gateway->caFile(), request);
    EXPECT_EQ(answer.status, status) << answer.body;
    EXPECT_EQ(answer.body, "{\"code\":" + std::to_string(status) + ",\"message\":\"" + message + "\"}");
    EXPECT_EQ(answer.header("X-Ca-Error-Message"), message);
  }
  EXPECT_TRUE(gateway->requests().empty());
  const SignedRequest large{{}, "application/octet-stream", std::string(512 << 10, 'f')};
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ(Post(port, gateway->caFile(), large, "/flood/" + std::to_string(i)).status, 404);
  EXPECT_TRUE(gateway->WaitForRequests(8, 0));
  const auto recorded = gateway->requests();
  ASSERT_EQ(recorded.size(), 5u);
  for (size_t i = 0; i < recorded.size(); ++i) {
    EXPECT_EQ(recorded[i].path, "/flood/" + std::to_string(i + 3));
    EXPECT_EQ(recorded[i].body, std::string(16, 'f'));
    EXPECT_EQ(recorded[i].bodyBytes, 512u << 10);
  }
}

// Bound to the IPv6 loopback, the gateway's certificate names it, so a
// client that verifies (libcurl here) accepts it.
TEST(GatewaySimBounds, Ipv6LoopbackIsInTheCertificate) {
  GatewayConfig config;
  config.bindHost = "::1";
  GatewaySim gateway(config);
  std::string error;
  if (!gateway.Start(&error)) GTEST_SKIP() << "no IPv6 loopback here: " << error;
  EXPECT_EQ(gateway.hostPort(), "[::1]:" + std::to_string(gateway.port()));
  const auto [code, body] = CurlPost("https://" + gateway.hostPort() + "/nothing-here", gateway.caFile(), {});
  ASSERT_EQ(code, CURLE_OK) << curl_easy_strerror(code);
  EXPECT_EQ(body, R"({"code":404,"message":"API not found"})");
}

// --- The program -----------------------------------------------------------

class GatewaySimProgram : public ::testing::Test {
 protected:
  std::string Read(const std::string& name) { return iotcloud_test::ReadFile(dir_.File(name)); }

  // Starts the program with `args` (after its TLS folder, port file and the
  // test's application); returns the port, 0 on failure.
  int Launch(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"--tls-dir",       dir_.File("tls"), "--port-file",
                                    dir_.File("port"), "--app",          std::string(kKey) + ":" + kSecret};
    all.insert(all.end(), args.begin(), args.end());
    if (!program_.Start(IOTCLOUD_GATEWAY_SIM_PATH, all, dir_.File("stderr"))) return 0;
    const bool ready = program_.ReadUntil("ca.pem\n", &printed_);
    return ready ? std::atoi(Read("port").c_str()) : 0;
  }
  // Asks the program to stop (SIGTERM, Windows: Ctrl+Break); true when it
  // exited with 0.
  bool Terminate() {
    program_.Interrupt();
    const iotcloud_test::ExitStatus status = program_.Wait();
    return status.exited && status.code == 0;
  }

  iotcloud_test::TempDir dir_;
  iotcloud_test::ChildProcess program_;
  std::string printed_;  // what the program printed on stdout
};

// What a demo does: a gateway an hour ahead that first refuses (with the
// code for the status and Retry-After as given) and resets; a client that
// takes its date from a refusal's Date header gets through. A warm-up
// elsewhere passes the faults by; a reset or failed check leaves the nonce
// unused, a taken request uses it up. A second program on the same port
// exits 1 rather than taking part of the lookups. SIGTERM (Ctrl+Break) ends
// the program cleanly.
TEST_F(GatewaySimProgram, ClockOffsetAndFaultsFromTheCommandLine) {
  const std::string retryDate = "Sun, 06 Dec 2026 23:30:00 GMT";
  const int port = Launch({"--clock-offset", "3600", "--fail-first", "2:429:120", "--fail-first", "1:503:" + retryDate,
                           "--reset-first", "1"});
  ASSERT_GT(port, 0) << printed_;
  const std::string ca = dir_.File("tls/ca.pem");
  EXPECT_EQ(printed_, "listening on https://127.0.0.1:" + std::to_string(port) + "\nca: " + ca + "\n");
  const iotcloud_test::ExitStatus second = iotcloud_test::RunProgram(
      IOTCLOUD_GATEWAY_SIM_PATH, {"--port", std::to_string(port), "--tls-dir", dir_.File("tls2")}, dir_.File("second"));
  EXPECT_TRUE(second.exited && second.code == 1) << second.Describe();
  EXPECT_NE(Read("second").find("cannot listen on 127.0.0.1 port " + std::to_string(port) + ": the port is in use"),
            std::string::npos)
      << Read("second");
  EXPECT_EQ(Post(port, ca, {}, "/").status, 404);
  // Status, error code, message, Retry-After.
  for (const auto& [status, code, message, retryAfter] :
       std::vector<std::tuple<int, std::string, std::string, std::string>>{
           {429, "Throttled", "Too Many Requests", "120"},
           {429, "Throttled", "Too Many Requests", "120"},
           {503, "ServiceUnavailable", "Service Unavailable", retryDate}}) {
    const Answer answer = Post(port, ca, MakeRequest());
    EXPECT_EQ(answer.status, status) << answer.body;
    EXPECT_EQ(answer.header("X-Ca-Error-Code"), code);
    EXPECT_EQ(answer.header("X-Ca-Error-Message"), message);
    EXPECT_EQ(answer.header("Retry-After"), retryAfter);
  }
  // libcurl, which keeps a write to the reset connection from raising SIGPIPE.
  const SignedRequest request = MakeRequest();
  const auto [code, body] = CurlPost("https://127.0.0.1:" + std::to_string(port) + kRegionGetPath, ca, request);
  EXPECT_TRUE(code == CURLE_RECV_ERROR || code == CURLE_GOT_NOTHING) << curl_easy_strerror(code);
  EXPECT_EQ(body, "");
  // Dates within 15 minutes of the gateway's clock pass; a refusal says by how
  // much and which way, and its Date header shows the gateway's clock.
  for (const auto& [shift, where] :
       std::vector<std::pair<int, std::string>>{{0, "behind"}, {3600 + 16 * 60, "ahead of"}, {3600 - 14 * 60, ""}}) {
    const std::string date = GmtDate(time(nullptr) + shift);
    const Answer answer = Post(port, ca, MakeRequest().redated(date));
    EXPECT_EQ(answer.status, where.empty() ? 200 : 400) << answer.body;
    EXPECT_NEAR(curl_getdate(answer.header("Date").c_str(), nullptr), time(nullptr) + 3600, 5);
    if (where.empty()) continue;
    EXPECT_EQ(answer.header("X-Ca-Error-Code"), "DateOutsideWindow");
    const std::string message = answer.header("X-Ca-Error-Message");
    EXPECT_EQ(message.rfind("Date outside the 15-minute window: " + date + " is ", 0), 0u) << message;
    EXPECT_NE(message.find(" s " + where + " the gateway's clock ("), std::string::npos) << message;
  }
  const SignedRequest redated = request.redated(Post(port, ca, request).header("Date"));
  EXPECT_EQ(Post(port, ca, redated).status, 200);
  EXPECT_EQ(Post(port, ca, redated).header("X-Ca-Error-Message"), "Nonce already used");

  EXPECT_TRUE(Terminate());
  EXPECT_FALSE(std::filesystem::exists(dir_.File("port")));
  EXPECT_EQ(std::string::npos, Read("stderr").find(kSecret));
}

TEST_F(GatewaySimProgram, BadOptionsGetAMessageAndExitCode2) {
  std::ofstream(dir_.File("huge.json")) << std::string((4 << 20) + 1, ' ');
  const std::string device = iotcloud_test::DeviceFile();
  std::vector<std::vector<std::string>> rows = {
      {"--bogus"},
      {"--host", "10.0.0.1"},
      {"--clock-offset", "9999999999"},
      {"--fail-first", "2:600"},
      {"--fail-first", "1:503:soon"},
      {"--reset-first", "10001"},
      {"--stall-first", "1:600001"},
      {"--stall-first=1"},
      // Bounded inputs: no device read for ever, no FIFO waited on, nothing huge.
      {"--regions", device},
      {"--regions", dir_.File("huge.json")},
      {"--cert", device, "--key", device}};
  std::string noFifo;
  if (iotcloud_test::MakeFifo(dir_.File("fifo"), &noFifo)) rows.push_back({"--regions", dir_.File("fifo")});
  for (const std::vector<std::string>& args : rows) {
    const iotcloud_test::ExitStatus status =
        iotcloud_test::RunProgram(IOTCLOUD_GATEWAY_SIM_PATH, args, dir_.File("stderr"));
    EXPECT_TRUE(status.exited && status.code == 2) << args[0] << ": " << status.Describe();
    const std::string log = Read("stderr");
    EXPECT_NE(std::string::npos, log.find("iotcloud-gateway-sim: ")) << log;
    EXPECT_NE(std::string::npos, log.find("--help")) << log;
  }
  if (!noFifo.empty()) std::printf("no FIFO row: %s\n", noFifo.c_str());
}

}  // namespace
