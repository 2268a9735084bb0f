// The local gateway over real HTTPS on loopback. Requests are signed here
// from first principles (the test's own string-to-sign, HMAC-SHA1 and Base64,
// checked against RFC 2202 and the openssl tool), so the gateway is checked
// against an independent client.

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gateway-sim/GatewaySim.h"
#include "gateway-sim/RegionTable.h"
#include "gateway-sim/RequestCheck.h"
#include "tls/TlsMaterial.h"

extern char** environ;

namespace {

using iotcloud::gateway::Fault;
using iotcloud::gateway::GatewayConfig;
using iotcloud::gateway::GatewaySim;
using iotcloud::gateway::RegionTable;

constexpr const char* kKey = "test-key";
constexpr const char* kSecret = "test-secret";
constexpr const char* kOctetType = "application/octet-stream; charset=utf-8";
constexpr const char* kFormType = "application/x-www-form-urlencoded; charset=utf-8";
constexpr const char* kAccept = "application/json; charset=utf-8";

std::string TestHmacSha1Base64(const std::string& key, const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(text.data()),
       text.size(), digest, &length);
  unsigned char encoded[64];
  const int written = EVP_EncodeBlock(encoded, digest, static_cast<int>(length));
  return std::string(reinterpret_cast<char*>(encoded), static_cast<size_t>(written));
}

std::string GmtDate(time_t when) {
  struct tm parts {};
  gmtime_r(&when, &parts);
  char text[64];
  strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
  return text;
}

std::string FreshNonce() {
  static std::atomic<int> counter{0};
  return "nonce-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

std::string Envelope(const std::string& params, const std::string& apiVer = "1.0.2",
                     const std::string& version = "1.0") {
  return "{\n\t\"request\":\t{\n\t\t\"language\":\t\"en-US\",\n\t\t\"apiVer\":\t\"" + apiVer + "\"\n\t},\n\t\"params\":\t" +
         params + ",\n\t\"id\":\t\"0123456789abcdef0123456789abcdef\",\n\t\"version\":\t\"" + version + "\"\n}";
}

// A request as the client library sends it: lower-case header names in the
// order of its header map; content-type travels separately (see Send).
struct SignedRequest {
  std::vector<std::pair<std::string, std::string>> headers;
  std::string contentType = kOctetType;
  std::string path = iotcloud::gateway::kRegionGetPath;
  std::string body;

  std::string get(const std::string& name) const {
    for (const auto& h : headers)
      if (h.first == name) return h.second;
    return "";
  }
  void set(const std::string& name, const std::string& value) {
    for (auto& h : headers)
      if (h.first == name) {
        h.second = value;
        return;
      }
    headers.emplace_back(name, value);
  }
  void erase(const std::string& name) {
    for (auto it = headers.begin(); it != headers.end(); ++it)
      if (it->first == name) {
        headers.erase(it);
        return;
      }
  }
  // Signs with the header list given in "x-ca-signature-headers".
  void sign(const std::string& secret) {
    std::string text = "POST\n" + get("accept") + "\n\n" + contentType + "\n" + get("date") + "\n";
    std::stringstream list(get("x-ca-signature-headers"));
    for (std::string name; std::getline(list, name, ',');) text += name + ":" + get(name) + "\n";
    text += path;
    if (contentType.compare(0, 33, "application/x-www-form-urlencoded") == 0) text += "?" + body;
    set("x-ca-signature", TestHmacSha1Base64(secret, text));
  }
};

SignedRequest MakeRequest(const std::string& body, time_t date = time(nullptr)) {
  SignedRequest request;
  request.body = body;
  request.headers = {{"accept", kAccept},
                     {"date", GmtDate(date)},
                     {"x-ca-key", kKey},
                     {"x-ca-nonce", FreshNonce()},
                     {"x-ca-signature-headers", "x-ca-key,x-ca-nonce,x-ca-signature-method"},
                     {"x-ca-signature-method", "HmacSHA1"},
                     {"x-ca-version", "1"}};
  request.sign(kSecret);
  return request;
}

struct JsonDeleter {
  void operator()(cJSON* item) const { cJSON_Delete(item); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;

Json ParseJson(const std::string& text) { return Json(cJSON_Parse(text.c_str())); }

int JsonCode(const cJSON* root) { return cJSON_GetObjectItemCaseSensitive(root, "code")->valueint; }
std::string JsonString(const cJSON* object, const char* name) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
  return cJSON_IsString(item) ? item->valuestring : "<absent>";
}

class GatewaySimTest : public ::testing::Test {
 protected:
  void Start(GatewayConfig config = GatewayConfig()) {
    if (config.applications.empty()) config.applications = {{kKey, kSecret}};
    gateway_ = std::make_unique<GatewaySim>(config);
    std::string error;
    ASSERT_TRUE(gateway_->Start(&error)) << error;
    client_ = NewClient();
  }
  std::unique_ptr<httplib::SSLClient> NewClient() {
    auto client = std::make_unique<httplib::SSLClient>("127.0.0.1", gateway_->port());
    client->set_ca_cert_path(gateway_->caFile().c_str());
    client->enable_server_certificate_verification(true);
    return client;
  }
  httplib::Result Send(const SignedRequest& request, httplib::SSLClient* client = nullptr) {
    httplib::Headers headers;
    for (const auto& h : request.headers) headers.emplace(h.first, h.second);
    return (client ? client : client_.get())
        ->Post(request.path.c_str(), headers, request.body, request.contentType.c_str());
  }
  // Sends a signed lookup with these params and returns the parsed answer.
  Json Lookup(const std::string& params) {
    auto result = Send(MakeRequest(Envelope(params)));
    EXPECT_TRUE(result) << httplib::to_string(result.error());
    if (!result) return nullptr;
    EXPECT_EQ(200, result->status) << result->body;
    return ParseJson(result->body);
  }

  std::unique_ptr<GatewaySim> gateway_;
  std::unique_ptr<httplib::SSLClient> client_;
};

TEST(GatewaySimSigner, TestSignerMatchesRfc2202AndTheOpensslTool) {
  // RFC 2202, HMAC-SHA1 test case 2: effcdf6ae5eb2fa2d27416d5f184df9c259a7c79.
  EXPECT_EQ("7/zfauXrL6LSdBbV8YTfnCWafHk=", TestHmacSha1Base64("Jefe", "what do ya want for nothing?"));
  const std::string text = "POST\napplication/json; charset=utf-8\n\nx\n/velmo/account/region/get";
  EXPECT_EQ(TestHmacSha1Base64(kSecret, text), iotcloud::gateway::HmacSha1Base64(kSecret, text));
  FILE* tool = popen(
      "printf 'POST\\napplication/json; charset=utf-8\\n\\nx\\n/velmo/account/region/get' | "
      "openssl dgst -sha1 -hmac test-secret -binary 2>/dev/null | openssl base64 2>/dev/null",
      "r");
  ASSERT_NE(nullptr, tool);
  char line[128] = {0};
  const bool read = fgets(line, sizeof line, tool) != nullptr;
  pclose(tool);
  if (!read) GTEST_SKIP() << "openssl tool not available";
  EXPECT_EQ(TestHmacSha1Base64(kSecret, text) + "\n", line);
}

TEST(GatewaySimDate, ParsesRfc1123GmtOnly) {
  for (time_t when : {time_t(0), time_t(951782400) /* 2000-02-29 */, time_t(1798935509), time(nullptr)}) {
    int64_t parsed = -1;
    EXPECT_TRUE(iotcloud::gateway::ParseHttpDate(GmtDate(when), &parsed)) << GmtDate(when);
    EXPECT_EQ(static_cast<int64_t>(when), parsed) << GmtDate(when);
    EXPECT_EQ(GmtDate(when), iotcloud::gateway::FormatHttpDate(when));
  }
  for (const char* bad : {"Sat, 04 Dec 2026 00:18:29 GMT",   // 4 Dec 2026 is a Friday
                          "Fri, 04 Dec 2026 00:18:29 UTC", "Fri, 4 Dec 2026 00:18:29 GMT",
                          "Mon, 29 Feb 2027 00:00:00 GMT", "Fri, 04 Dec 2026 24:00:00 GMT",
                          "Fri, 04 Dez 2026 00:18:29 GMT", "Fri, 04 Dec 2026 00:18:29 GMT ",
                          "Friday, 04-Dec-26 00:18:29 GMT", ""}) {
    int64_t parsed = 0;
    EXPECT_FALSE(iotcloud::gateway::ParseHttpDate(bad, &parsed)) << bad;
  }
}

TEST_F(GatewaySimTest, SignedLookupGetsItsRegionInTheGatewayForm) {
  Start();
  auto result = Send(MakeRequest(Envelope(R"({"type":"PHONE","phoneLocationCode":"86","phone":"13800000000"})")));
  ASSERT_TRUE(result);
  EXPECT_EQ(200, result->status);
  EXPECT_EQ("application/json; charset=utf-8", result->get_header_value("Content-Type"));
  Json answer = ParseJson(result->body);
  ASSERT_TRUE(answer) << result->body;
  EXPECT_EQ(200, JsonCode(answer.get()));
  EXPECT_EQ("success", JsonString(answer.get(), "message"));
  // cn-shanghai answers with the client's China defaults (default deployment hosts).
  char* data = cJSON_PrintUnformatted(cJSON_GetObjectItemCaseSensitive(answer.get(), "data"));
  EXPECT_STREQ(
      R"({"regionId":"cn-shanghai","mqttEndpoint":"mqtt.cn-shanghai.iot.example.com:1883",)"
      R"("apiGatewayEndpoint":"api.iot.example.com","oaApiGatewayEndpoint":"account.cn-shanghai.iot.example.com",)"
      R"("regionEnglishName":"ShangHai","pushChannelEndpoint":"","shortRegionId":"0"})",
      data);
  cJSON_free(data);
}

TEST_F(GatewaySimTest, RoutesEachLookupTypeWithItsDefault) {
  Start();
  const struct {
    const char* params;
    const char* region;
  } cases[] = {
      {R"({"type":"PHONE","phoneLocationCode":"1","phone":"5550100"})", "us-west-1"},
      {R"({"type":"PHONE","phoneLocationCode":"999","phone":"5550100"})", "cn-shanghai"},
      {R"({"type":"COUNTRY_CODE","countryCode":"US"})", "us-west-1"},
      {R"({"type":"COUNTRY_CODE","countryCode":"us"})", "ap-southeast-1"},  // exact match only
      {R"({"type":"EMAIL","email":"hans@Example.DE"})", "eu-central-1"},    // domain, any case
      {R"({"type":"EMAIL","email":"someone@example.com"})", "us-west-1"},
      {R"({"type":"EMAIL","email":"Shanghai.User@EXAMPLE.com"})", "cn-shanghai"},  // address beats domain
      {R"({"type":"EMAIL","email":"no-at-sign"})", "ap-southeast-1"},
      {R"({"type":"EMAIL","email":""})", "ap-southeast-1"},
      {R"({"type":"THIRD_AUTHCODE","authCode":"authcode-eu"})", "eu-central-1"},
      {R"({"type":"THIRD_AUTHCODE","authCode":"unknown"})", "ap-southeast-1"},
  };
  for (const auto& c : cases) {
    Json answer = Lookup(c.params);
    ASSERT_TRUE(answer) << c.params;
    EXPECT_EQ(200, JsonCode(answer.get())) << c.params;
    EXPECT_EQ(c.region, JsonString(cJSON_GetObjectItemCaseSensitive(answer.get(), "data"), "regionId")) << c.params;
  }
}

TEST_F(GatewaySimTest, BadEnvelopesGetServiceErrors) {
  Start();
  const struct {
    std::string body;
    int code;
    const char* message;
  } cases[] = {
      {Envelope(R"({"type":"PASSPORT","number":"1"})"), 404, "Unknown type: PASSPORT"},
      {Envelope(R"({"type":"PHONE","phoneLocationCode":"86"})"), 422, "Missing parameter: phone"},
      {Envelope(R"({"type":"EMAIL","email":7})"), 422, "Missing parameter: email"},
      {Envelope(R"({"email":"a@example.com"})"), 422, "Missing parameter: type"},
      {Envelope(R"("PHONE")"), 400, "Malformed envelope: \"params\" missing"},
      {Envelope(R"({"type":"EMAIL","email":"a@b"})", "1.0.1"), 400, "Unsupported apiVer: 1.0.1"},
      {Envelope(R"({"type":"EMAIL","email":"a@b"})", "1.0.2", "2.0"), 400,
       "Malformed envelope: \"version\" is not \"1.0\""},
      {Envelope(R"({"type":"EMAIL","email":"a@b"})") + "}", 400, "Malformed envelope: body is not JSON"},
      {"type=EMAIL&email=a@b", 400, "Malformed envelope: body is not JSON"},
  };
  for (const auto& c : cases) {
    auto result = Send(MakeRequest(c.body));
    ASSERT_TRUE(result);
    EXPECT_EQ(200, result->status) << c.body;
    Json answer = ParseJson(result->body);
    ASSERT_TRUE(answer) << result->body;
    EXPECT_EQ(c.code, JsonCode(answer.get())) << c.body;
    EXPECT_EQ(c.message, JsonString(answer.get(), "message")) << c.body;
    EXPECT_EQ(nullptr, cJSON_GetObjectItemCaseSensitive(answer.get(), "data"));
  }
}

TEST_F(GatewaySimTest, EachFailedCheckGetsItsOwnError) {
  Start();
  const std::string body = Envelope(R"({"type":"EMAIL","email":"a@example.com"})");
  const time_t now = time(nullptr);
  const struct {
    const char* what;
    std::function<void(SignedRequest&)> change;  // applied before signing
    bool resign;
    int status;
    std::string message;
  } cases[] = {
      {"unknown key", [](SignedRequest& r) { r.set("x-ca-key", "other-key"); }, true, 403, "Invalid AppKey"},
      {"no key", [](SignedRequest& r) { r.erase("x-ca-key"); }, false, 400, "Missing header: x-ca-key"},
      {"other method", [](SignedRequest& r) { r.set("x-ca-signature-method", "HmacSHA256"); }, true, 400,
       "Unsupported signature method: HmacSHA256"},
      {"nonce not signed",
       [](SignedRequest& r) { r.set("x-ca-signature-headers", "x-ca-key,x-ca-signature-method"); }, true, 400,
       "Invalid signature headers: x-ca-nonce is not signed"},
      {"listed header absent",
       [](SignedRequest& r) { r.set("x-ca-signature-headers", "x-ca-key,x-ca-nonce,x-ca-signature-method,x-ca-stage"); },
       true, 400, "Signed header missing: x-ca-stage"},
      {"local-time date", [](SignedRequest& r) { r.set("date", "Fri, 04 Dec 2026 08:18:29 +0800"); }, true, 400,
       "Invalid date: Fri, 04 Dec 2026 08:18:29 +0800"},
      {"stale date", [now](SignedRequest& r) { r.set("date", GmtDate(now - 16 * 60)); }, true, 400,
       "Date outside the allowed window: " + GmtDate(now - 16 * 60)},
      {"future date", [now](SignedRequest& r) { r.set("date", GmtDate(now + 16 * 60)); }, true, 400,
       "Date outside the allowed window: " + GmtDate(now + 16 * 60)},
      {"no nonce", [](SignedRequest& r) { r.erase("x-ca-nonce"); }, true, 400, "Missing header: x-ca-nonce"},
      {"no signature", [](SignedRequest& r) { r.erase("x-ca-signature"); }, false, 400,
       "Missing header: x-ca-signature"},
      {"wrong secret", [](SignedRequest& r) { r.sign("not-the-secret"); }, false, 400, "Invalid signature"},
      {"accept changed after signing", [](SignedRequest& r) { r.set("accept", "*/*"); }, false, 400,
       "Invalid signature"},
      {"nonce sent twice", [](SignedRequest& r) { r.headers.emplace_back("X-Ca-Nonce", FreshNonce()); }, false, 400,
       "Duplicate header: x-ca-nonce"},
      {"nonce changed after signing", [](SignedRequest& r) { r.set("x-ca-nonce", FreshNonce()); }, false, 400,
       "Invalid signature"},
      {"date 14 minutes old", [now](SignedRequest& r) { r.set("date", GmtDate(now - 14 * 60)); }, true, 200, ""},
      {"extra signed header, in list order",
       [](SignedRequest& r) {
         r.set("x-ca-stage", "TEST");
         r.set("x-ca-signature-headers", "x-ca-stage,x-ca-key,x-ca-nonce,x-ca-signature-method");
       },
       true, 200, ""},
  };
  for (const auto& c : cases) {
    SignedRequest request = MakeRequest(body);
    c.change(request);
    if (c.resign) request.sign(kSecret);
    auto result = Send(request);
    ASSERT_TRUE(result) << c.what;
    EXPECT_EQ(c.status, result->status) << c.what;
    Json answer = ParseJson(result->body);
    ASSERT_TRUE(answer) << c.what << ": " << result->body;
    if (c.status == 200) {
      EXPECT_EQ(200, JsonCode(answer.get())) << c.what;
      continue;
    }
    EXPECT_EQ(c.status, JsonCode(answer.get())) << c.what;
    EXPECT_EQ(c.message, JsonString(answer.get(), "message")) << c.what;
    EXPECT_EQ(c.message, result->get_header_value("X-Ca-Error-Message")) << c.what;
    EXPECT_EQ(nullptr, cJSON_GetObjectItemCaseSensitive(answer.get(), "data")) << c.what;
  }
}

TEST_F(GatewaySimTest, FormRequestsSignTheBodyAsTheQuery) {
  Start();
  SignedRequest request = MakeRequest("a=1&b=2");
  request.contentType = kFormType;
  request.sign(kSecret);
  SignedRequest tampered = request;
  tampered.body = "a=1&b=3";
  auto rejected = Send(tampered);
  ASSERT_TRUE(rejected);
  EXPECT_EQ("Invalid signature", rejected->get_header_value("X-Ca-Error-Message"));
  // The untouched request passes the gateway and reaches the service, which
  // only reads JSON envelopes.
  auto passed = Send(request);
  ASSERT_TRUE(passed);
  EXPECT_EQ(200, passed->status);
  EXPECT_EQ(400, JsonCode(ParseJson(passed->body).get()));
}

TEST_F(GatewaySimTest, ReplayedNonceIsRefusedButAFailedCheckDoesNotUseItUp) {
  Start();
  const std::string body = Envelope(R"({"type":"COUNTRY_CODE","countryCode":"DE"})");
  SignedRequest request = MakeRequest(body);
  SignedRequest badlySigned = request;
  badlySigned.sign("not-the-secret");
  auto bad = Send(badlySigned);
  ASSERT_TRUE(bad);
  EXPECT_EQ(400, bad->status);
  auto first = Send(request);
  ASSERT_TRUE(first);
  EXPECT_EQ(200, first->status);
  auto replay = Send(request);
  ASSERT_TRUE(replay);
  EXPECT_EQ(400, replay->status);
  EXPECT_EQ("Nonce already used", replay->get_header_value("X-Ca-Error-Message"));
}

TEST_F(GatewaySimTest, OtherPathsAndMethodsAreNotFound) {
  Start();
  auto get = client_->Get(iotcloud::gateway::kRegionGetPath);
  ASSERT_TRUE(get);
  EXPECT_EQ(405, get->status);
  SignedRequest other = MakeRequest(Envelope(R"({"type":"EMAIL","email":"a@b"})"));
  other.path = "/velmo/account/region/set";
  other.sign(kSecret);
  auto post = Send(other);
  ASSERT_TRUE(post);
  EXPECT_EQ(404, post->status);
  EXPECT_EQ("API not found", post->get_header_value("X-Ca-Error-Message"));
}

TEST_F(GatewaySimTest, FaultsApplyToTheNextRequestsInOrder) {
  Start();
  const std::string params = R"({"type":"COUNTRY_CODE","countryCode":"SG"})";
  Fault error{Fault::Kind::kErrorStatus};
  error.status = 502;
  Fault oversized{Fault::Kind::kOversizedBody};
  oversized.bytes = 300000;
  gateway_->PushFault(error);
  gateway_->PushFault(Fault{Fault::Kind::kNonJsonBody});
  gateway_->PushFault(Fault{Fault::Kind::kEmptyBody});
  gateway_->PushFault(oversized);
  EXPECT_EQ(4u, gateway_->pendingFaults());

  auto r1 = Send(MakeRequest(Envelope(params)));
  ASSERT_TRUE(r1);
  EXPECT_EQ(502, r1->status);
  EXPECT_EQ(R"({"code":502,"message":"Bad Gateway"})", r1->body);

  auto r2 = Send(MakeRequest(Envelope(params)));
  ASSERT_TRUE(r2);
  EXPECT_EQ(200, r2->status);
  EXPECT_EQ(nullptr, ParseJson(r2->body));
  EXPECT_NE(std::string::npos, r2->body.find("<html>"));

  auto r3 = Send(MakeRequest(Envelope(params)));
  ASSERT_TRUE(r3);
  EXPECT_EQ(200, r3->status);
  EXPECT_EQ("", r3->body);

  auto r4 = Send(MakeRequest(Envelope(params)));
  ASSERT_TRUE(r4);
  EXPECT_EQ(200, r4->status);
  EXPECT_EQ(300000u, r4->body.size());
  Json padded = ParseJson(r4->body);  // still the real answer, padded with spaces
  ASSERT_TRUE(padded);
  EXPECT_EQ("ap-southeast-1", JsonString(cJSON_GetObjectItemCaseSensitive(padded.get(), "data"), "regionId"));

  Json normal = Lookup(params);
  ASSERT_TRUE(normal);
  EXPECT_EQ(200, JsonCode(normal.get()));
  EXPECT_EQ(0u, gateway_->pendingFaults());
}

TEST_F(GatewaySimTest, CloseMidAnswerCutsTheTransferAndTheNextRequestIsServed) {
  Start();
  gateway_->PushFault(Fault{Fault::Kind::kCloseMidAnswer});
  auto cut = Send(MakeRequest(Envelope(R"({"type":"EMAIL","email":"a@example.sg"})")));
  EXPECT_FALSE(cut) << "a truncated answer was delivered as complete: " << cut->body;
  Json answer = Lookup(R"({"type":"EMAIL","email":"a@example.sg"})");
  ASSERT_TRUE(answer);
  EXPECT_EQ(200, JsonCode(answer.get()));
}

TEST_F(GatewaySimTest, DelayHoldsTheAnswerAndStopCutsItShort) {
  Start();
  Fault delay{Fault::Kind::kDelay};
  delay.delayMs = 200;
  gateway_->PushFault(delay);
  auto begin = std::chrono::steady_clock::now();
  Json answer = Lookup(R"({"type":"EMAIL","email":"a@example.sg"})");
  EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(200));
  ASSERT_TRUE(answer);
  EXPECT_EQ(200, JsonCode(answer.get()));

  // A long delay must not hold Stop for its whole length.
  delay.delayMs = 120000;
  gateway_->PushFault(delay);
  gateway_->clearRequests();
  std::thread pending([this] {
    auto client = NewClient();
    client->set_read_timeout(180, 0);
    Send(MakeRequest(Envelope(R"({"type":"EMAIL","email":"a@example.sg"})")), client.get());
  });
  ASSERT_TRUE(gateway_->WaitForRequests(1, 10000));
  begin = std::chrono::steady_clock::now();
  gateway_->Stop();
  pending.join();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(60));
}

TEST_F(GatewaySimTest, RecordsEveryRequestAsReceived) {
  Start();
  SignedRequest request = MakeRequest(Envelope(R"({"type":"THIRD_AUTHCODE","authCode":"authcode-us"})"));
  request.headers.emplace_back("X-Trace-Id", "Trace Value");
  ASSERT_TRUE(Send(request));
  ASSERT_TRUE(client_->Get("/health"));

  std::vector<iotcloud::gateway::ReceivedRequest> record = gateway_->requests();
  ASSERT_EQ(2u, record.size());
  EXPECT_EQ("POST", record[0].method);
  EXPECT_EQ(iotcloud::gateway::kRegionGetPath, record[0].path);
  EXPECT_EQ(request.body, record[0].body);
  EXPECT_EQ("Trace Value", record[0].header("x-trace-id"));
  EXPECT_EQ(kOctetType, record[0].header("content-type"));
  for (const auto& h : request.headers) EXPECT_EQ(h.second, record[0].header(h.first)) << h.first;
  for (const auto& h : record[0].headers) EXPECT_NE("REMOTE_ADDR", h.first);  // added by the server, not received
  EXPECT_EQ("GET", record[1].method);
  EXPECT_EQ("/health", record[1].path);

  gateway_->clearRequests();
  EXPECT_TRUE(gateway_->requests().empty());
  EXPECT_FALSE(gateway_->WaitForRequests(1, 20));
  std::atomic<bool> released{false};
  std::thread waiter([&] { released = gateway_->WaitForRequests(2, 10000); });
  ASSERT_TRUE(client_->Get("/one"));
  ASSERT_TRUE(client_->Get("/two"));
  waiter.join();
  EXPECT_TRUE(released);
}

TEST_F(GatewaySimTest, ConcurrentClientsEachGetTheirAnswer) {
  Start();
  constexpr int kThreads = 6, kEach = 8;
  std::atomic<int> answered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto client = NewClient();
      const char* countries[] = {"CN", "SG", "US", "DE", "FR", "CA"};
      const char* regions[] = {"cn-shanghai", "ap-southeast-1", "us-west-1", "eu-central-1", "eu-central-1",
                               "us-west-1"};
      for (int i = 0; i < kEach; ++i) {
        auto result = Send(
            MakeRequest(Envelope(std::string(R"({"type":"COUNTRY_CODE","countryCode":")") + countries[t] + "\"}")),
            client.get());
        if (!result || result->status != 200) continue;
        Json answer = ParseJson(result->body);
        if (answer && JsonString(cJSON_GetObjectItemCaseSensitive(answer.get(), "data"), "regionId") == regions[t]) {
          ++answered;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(kThreads * kEach, answered.load());
  EXPECT_EQ(static_cast<size_t>(kThreads * kEach), gateway_->requests().size());
}

TEST_F(GatewaySimTest, RegionTableFromJsonIsServedAsWritten) {
  GatewayConfig config;
  config.regionTableJson = R"({
    "regions": {"partial": {"regionId": "xx-test-1", "shortRegionId": 7}, "full": {"regionId": "yy-test-2"}},
    "routes": {"PHONE": {"default": "full"}, "COUNTRY_CODE": {"default": "full"},
               "EMAIL": {"default": "full", "match": {"Partial.Example": "partial"}},
               "THIRD_AUTHCODE": {"default": "full"}}})";
  Start(config);
  Json answer = Lookup(R"({"type":"EMAIL","email":"x@partial.example"})");
  ASSERT_TRUE(answer);
  char* data = cJSON_PrintUnformatted(cJSON_GetObjectItemCaseSensitive(answer.get(), "data"));
  EXPECT_STREQ(R"({"regionId":"xx-test-1","shortRegionId":7})", data);
  cJSON_free(data);
}

TEST(GatewaySimRegionTable, InvalidTablesAreRejectedWithTheReason) {
  const std::string routes =
      R"("routes": {"PHONE": {"default": "a"}, "COUNTRY_CODE": {"default": "a"}, "EMAIL": {"default": "a"},
                    "THIRD_AUTHCODE": {"default": "a"}})";
  const struct {
    std::string json;
    const char* reason;
  } cases[] = {
      {"[1,2]", "not a JSON object"},
      {R"({"regions": {"a": {"regionId": "r"}}, )" + routes + ", \"extra\": 1}", "unknown member \"extra\""},
      {R"({"regions": {"a": {"regionID": "r"}}, )" + routes + "}", "unknown member \"regionID\""},
      {R"({"regions": {"b": {"regionId": "r"}}, )" + routes + "}", "unknown region \"a\""},
      {R"({"regions": {"a": {}}, "routes": {"PHONE": {"default": "a"}}})", "route \"COUNTRY_CODE\" is missing"},
      {R"({"regions": {"a": {}}, "routes": {"PHONE": {"match": {}}}})", "route \"PHONE\" has no \"default\""},
      {R"({"regions": {"a": {}}, "routes": {"FAX": {"default": "a"}}})", "unknown lookup type \"FAX\""},
  };
  for (const auto& c : cases) {
    RegionTable table;
    std::string error;
    EXPECT_FALSE(RegionTable::Parse(c.json, &table, &error)) << c.json;
    EXPECT_NE(std::string::npos, error.find(c.reason)) << error;
  }
  GatewaySim gateway([&] {
    GatewayConfig config;
    config.regionTableJson = cases[3].json;
    return config;
  }());
  std::string error;
  EXPECT_FALSE(gateway.Start(&error));
  EXPECT_EQ("region table: route \"PHONE\": unknown region \"a\"", error);
}

TEST(GatewaySimRegionTable, ExampleFileIsTheBuiltInTable) {
  const char* data = std::getenv("IOTCLOUD_TEST_DATA");
  ASSERT_NE(nullptr, data);
  std::ifstream in(std::string(data) + "/../../tools/gateway-sim/regions.example.json");
  ASSERT_TRUE(in);
  std::stringstream text;
  text << in.rdbuf();
  RegionTable example;
  std::string error;
  ASSERT_TRUE(RegionTable::Parse(text.str(), &example, &error)) << error;
  RegionTable builtIn;
  ASSERT_TRUE(RegionTable::Parse(RegionTable::BuiltInJson(), &builtIn, &error)) << error;
  for (const char* region : {"cn-shanghai", "ap-southeast-1", "us-west-1", "eu-central-1"}) {
    EXPECT_FALSE(builtIn.RegionJson(region).empty()) << region;
    EXPECT_EQ(builtIn.RegionJson(region), example.RegionJson(region)) << region;
  }
  for (const auto& probe : std::vector<std::pair<std::string, std::string>>{
           {"PHONE", "86"}, {"PHONE", "49"}, {"COUNTRY_CODE", "CA"}, {"EMAIL", "a@example.cn"},
           {"EMAIL", "z@nowhere"}, {"THIRD_AUTHCODE", "authcode-cn"}}) {
    EXPECT_EQ(builtIn.Route(probe.first, probe.second), example.Route(probe.first, probe.second)) << probe.second;
  }
}

TEST(GatewaySimStart, RefusesWhatItMustNotServe) {
  const std::vector<std::pair<std::function<void(GatewayConfig&)>, std::string>> cases = {
      {[](GatewayConfig& c) { c.bindHost = "0.0.0.0"; }, "only loopback addresses are served"},
      {[](GatewayConfig& c) { c.bindHost = "192.168.1.10"; }, "only loopback addresses are served"},
      {[](GatewayConfig& c) { c.certFile = "/nonexistent/server.pem"; }, "must be given together"},
      {[](GatewayConfig& c) {
         c.certFile = "/nonexistent/server.pem";
         c.keyFile = "/nonexistent/server.key";
       },
       "cannot load the certificate"},
  };
  for (const auto& c : cases) {
    GatewayConfig config;
    c.first(config);
    GatewaySim gateway(config);
    std::string error;
    EXPECT_FALSE(gateway.Start(&error));
    EXPECT_NE(std::string::npos, error.find(c.second)) << error;
  }
}

TEST_F(GatewaySimTest, ServesGivenCertificateOrKeepsItsTlsFolder) {
  char pattern[] = "/tmp/gateway-sim-test-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(pattern));
  const std::string dir = pattern;
  iotcloud::tls::TlsMaterial material;
  std::string error;
  ASSERT_TRUE(iotcloud::tls::GenerateTlsMaterial(&material, &error)) << error;
  ASSERT_TRUE(iotcloud::tls::WriteTlsMaterial(material, dir + "/given", &error)) << error;

  GatewayConfig given;
  given.certFile = dir + "/given/server.pem";
  given.keyFile = dir + "/given/server.key";
  given.applications = {{kKey, kSecret}};
  GatewaySim withCert(given);
  ASSERT_TRUE(withCert.Start(&error)) << error;
  EXPECT_EQ("", withCert.caFile());
  httplib::SSLClient client("127.0.0.1", withCert.port());
  client.set_ca_cert_path((dir + "/given/ca.pem").c_str());
  client.enable_server_certificate_verification(true);
  auto result = client.Get("/");
  ASSERT_TRUE(result) << httplib::to_string(result.error());
  EXPECT_EQ(404, result->status);
  withCert.Stop();

  GatewayConfig kept;
  kept.tlsDir = dir + "/generated";
  Start(kept);
  EXPECT_EQ(dir + "/generated/ca.pem", gateway_->caFile());
  EXPECT_EQ("127.0.0.1:" + std::to_string(gateway_->port()), gateway_->hostPort());
  Json answer = Lookup(R"({"type":"EMAIL","email":"a@example.de"})");
  ASSERT_TRUE(answer);
  gateway_->Stop();
  EXPECT_TRUE(std::filesystem::exists(dir + "/generated/ca.pem"));
  std::filesystem::remove_all(dir);

  Start();  // no folder given: a temporary one, removed on Stop
  const std::string temporaryCa = gateway_->caFile();
  EXPECT_TRUE(std::filesystem::exists(temporaryCa));
  gateway_->Stop();
  EXPECT_FALSE(std::filesystem::exists(temporaryCa));
}

// --- The program -----------------------------------------------------------

std::string ProgramPath() {
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return (self.parent_path().parent_path() / "tools/gateway-sim/iotcloud-gateway-sim").string();
}

struct Child {
  pid_t pid = -1;
  int out = -1;  // read end of its stdout
  std::string errFile;
};

Child Spawn(const std::vector<std::string>& args, const std::string& errFile) {
  Child child;
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return child;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> argv;
  std::vector<std::string> all = args;
  all.insert(all.begin(), ProgramPath());
  for (auto& arg : all) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  if (posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) child.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  child.out = pipeFds[0];
  child.errFile = errFile;
  return child;
}

// Reads the child's stdout until it contains `needle` or the deadline passes.
std::string ReadUntil(int fd, const std::string& needle, int timeoutMs) {
  std::string text;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (text.find(needle) == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[512];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

int WaitExit(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class GatewaySimProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(ProgramPath())) GTEST_SKIP() << "program not built: " << ProgramPath();
    char pattern[] = "/tmp/gateway-sim-program-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  std::string dir_;
};

TEST_F(GatewaySimProgram, ServesSignedLookupsUntilSigterm) {
  Child child = Spawn({"--tls-dir", dir_ + "/tls", "--port-file", dir_ + "/port", "--app",
                       std::string(kKey) + ":" + kSecret},
                      dir_ + "/stderr");
  ASSERT_GT(child.pid, 0);
  const std::string out = ReadUntil(child.out, "ca: ", 20000);
  EXPECT_NE(std::string::npos, out.find("listening on https://127.0.0.1:")) << out;
  EXPECT_NE(std::string::npos, out.find("ca: " + dir_ + "/tls/ca.pem")) << out;
  const int port = std::atoi(ReadAll(dir_ + "/port").c_str());
  EXPECT_NE(std::string::npos, out.find("127.0.0.1:" + std::to_string(port) + "\n")) << out;

  httplib::SSLClient client("127.0.0.1", port);
  client.set_ca_cert_path((dir_ + "/tls/ca.pem").c_str());
  client.enable_server_certificate_verification(true);
  SignedRequest request = MakeRequest(Envelope(R"({"type":"EMAIL","email":"a@example.de"})"));
  httplib::Headers headers(request.headers.begin(), request.headers.end());
  auto result = client.Post(request.path.c_str(), headers, request.body, request.contentType.c_str());
  ASSERT_TRUE(result) << httplib::to_string(result.error());
  EXPECT_EQ(200, result->status) << result->body;

  kill(child.pid, SIGTERM);
  EXPECT_EQ(0, WaitExit(child.pid));
  close(child.out);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/port"));
  const std::string log = ReadAll(dir_ + "/stderr");
  EXPECT_NE(std::string::npos, log.find("POST /velmo/account/region/get -> 200 region eu-central-1")) << log;
  EXPECT_EQ(std::string::npos, log.find(kSecret)) << log;
}

TEST_F(GatewaySimProgram, BadOptionsGetAMessageAndExitCode2) {
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"},          {"--port"},           {"--port", "http"},    {"--port", "70000"},
      {"--host", "10.0.0.1"}, {"--app", "no-colon"}, {"--cert", "c.pem"}, {"--regions", "/nonexistent.json"},
      {"--quiet=yes"},
  };
  for (const auto& args : cases) {
    Child child = Spawn(args, dir_ + "/stderr");
    ASSERT_GT(child.pid, 0);
    EXPECT_EQ(2, WaitExit(child.pid)) << args[0];
    close(child.out);
    const std::string log = ReadAll(dir_ + "/stderr");
    EXPECT_NE(std::string::npos, log.find("iotcloud-gateway-sim: ")) << log;
    EXPECT_NE(std::string::npos, log.find("--help")) << log;
  }
}

}  // namespace
