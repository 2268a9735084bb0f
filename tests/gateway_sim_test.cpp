// The local gateway's own checks, driven by a client written here from first
// principles (its own string-to-sign, and HMAC-SHA1 checked against RFC 2202).
// Signed lookups, routing and faults are covered end to end by
// region_lookup_test and cli/cli_tool_test.

#include <cjson/cJSON.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

#include "gateway-sim/GatewaySim.h"
#include "gateway-sim/RegionTable.h"

namespace {

using iotcloud::gateway::GatewayConfig;
using iotcloud::gateway::GatewaySim;
using iotcloud::gateway::RegionTable;

constexpr const char* kKey = "test-key";
constexpr const char* kSecret = "test-secret";

std::string TestHmacSha1Base64(const std::string& key, const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE], encoded[64];
  unsigned int length = 0;
  HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(text.data()),
       text.size(), digest, &length);
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

int nonces = 0;  // numbers the nonces; main thread only

std::string Envelope(const std::string& params, std::string apiVer = "1.0.2", std::string version = "1.0") {
  return R"({"request":{"language":"en-US","apiVer":")" + apiVer + R"("},"params":)" + params +
         R"(,"id":"0123456789abcdef0123456789abcdef","version":")" + version + "\"}";
}

// A lookup as the client library sends it, signed with the header list given
// in "x-ca-signature-headers".
struct SignedRequest {
  std::map<std::string, std::string> headers;  // case-sensitive: "X-Ca-Nonce" can sit beside "x-ca-nonce"
  std::string contentType = "application/octet-stream; charset=utf-8";
  std::string body;

  std::string get(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? "" : it->second;
  }
  void sign(const std::string& secret) {
    std::string text = "POST\n" + get("accept") + "\n\n" + contentType + "\n" + get("date") + "\n";
    std::stringstream list(get("x-ca-signature-headers"));
    for (std::string name; std::getline(list, name, ',');) text += name + ":" + get(name) + "\n";
    text += iotcloud::gateway::kRegionGetPath;
    if (contentType.rfind("application/x-www-form-urlencoded", 0) == 0) text += "?" + body;
    headers["x-ca-signature"] = TestHmacSha1Base64(secret, text);
  }
};

SignedRequest MakeRequest(const std::string& body) {
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

// Sends `request` to the gateway on `port` (trusting `caFile`) and expects the
// answer {"code":code,"message":message} ("data" only with code 200); a
// gateway error (status other than 200) also carries its message in
// "X-Ca-Error-Message".
void ExpectAnswer(int port, const std::string& caFile, const SignedRequest& request, int status, int code,
                  const std::string& message) {
  httplib::SSLClient client("127.0.0.1", port);
  client.set_ca_cert_path(caFile.c_str());
  client.enable_server_certificate_verification(true);
  auto result =
      client.Post(iotcloud::gateway::kRegionGetPath, httplib::Headers(request.headers.begin(), request.headers.end()),
                  request.body, request.contentType.c_str());
  ASSERT_TRUE(result) << httplib::to_string(result.error());
  EXPECT_EQ(status, result->status) << result->body;
  EXPECT_EQ(status == 200 ? "" : message, result->get_header_value("X-Ca-Error-Message"));
  std::unique_ptr<cJSON, decltype(&cJSON_Delete)> answer(cJSON_Parse(result->body.c_str()), cJSON_Delete);
  ASSERT_TRUE(answer) << result->body;
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(answer.get(), "code");
  EXPECT_EQ(code, cJSON_IsNumber(item) ? item->valueint : -1) << result->body;
  item = cJSON_GetObjectItemCaseSensitive(answer.get(), "message");
  EXPECT_EQ(message, cJSON_IsString(item) ? item->valuestring : "<absent>");
  EXPECT_EQ(code == 200, cJSON_HasObjectItem(answer.get(), "data")) << result->body;
}

class GatewaySimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GatewayConfig config;
    config.applications = {{kKey, kSecret}};
    gateway_ = std::make_unique<GatewaySim>(config);
    std::string error;
    ASSERT_TRUE(gateway_->Start(&error)) << error;
  }
  void Expect(const SignedRequest& request, int status, int code, const std::string& message) {
    ExpectAnswer(gateway_->port(), gateway_->caFile(), request, status, code, message);
  }
  std::unique_ptr<GatewaySim> gateway_;
};

TEST(GatewaySimSigner, TestSignerMatchesRfc2202) {
  // RFC 2202, HMAC-SHA1 test case 2: effcdf6ae5eb2fa2d27416d5f184df9c259a7c79.
  EXPECT_EQ("7/zfauXrL6LSdBbV8YTfnCWafHk=", TestHmacSha1Base64("Jefe", "what do ya want for nothing?"));
}

TEST_F(GatewaySimTest, EachFailedCheckGetsItsOwnError) {
  using Change = std::function<void(SignedRequest&)>;
  auto set = [](std::string name, std::string value) -> Change {
    return [=](SignedRequest& r) { r.headers[name] = value; };
  };
  auto erase = [](std::string name) -> Change { return [=](SignedRequest& r) { r.headers.erase(name); }; };
  const std::string stale = GmtDate(time(nullptr) - 16 * 60), future = GmtDate(time(nullptr) + 16 * 60);
  const std::string signedList = "x-ca-key,x-ca-nonce,x-ca-signature-method";
  // What is changed, whether the request is signed again afterwards, the status and message expected.
  const std::vector<std::tuple<std::string, Change, bool, int, std::string>> cases = {
      {"unknown key", set("x-ca-key", "other-key"), true, 403, "Invalid AppKey"},
      {"no nonce", erase("x-ca-nonce"), true, 400, "Missing header: x-ca-nonce"},
      {"no signature", erase("x-ca-signature"), false, 400, "Missing header: x-ca-signature"},
      {"nonce sent twice", set("X-Ca-Nonce", "other-nonce"), false, 400, "Duplicate header: x-ca-nonce"},
      {"other method", set("x-ca-signature-method", "HmacSHA256"), true, 400,
       "Unsupported signature method: HmacSHA256"},
      {"nonce not signed", set("x-ca-signature-headers", "x-ca-key,x-ca-signature-method"), true, 400,
       "Invalid signature headers: x-ca-nonce is not signed"},
      {"listed header absent", set("x-ca-signature-headers", signedList + ",x-ca-stage"), true, 400,
       "Signed header missing: x-ca-stage"},
      {"local-time date", set("date", "Fri, 04 Dec 2026 08:18:29 +0800"), true, 400,
       "Invalid date: Fri, 04 Dec 2026 08:18:29 +0800"},
      {"stale date", set("date", stale), true, 400, "Date outside the allowed window: " + stale},
      {"future date", set("date", future), true, 400, "Date outside the allowed window: " + future},
      {"wrong secret", [](SignedRequest& r) { r.sign("not-the-secret"); }, false, 400, "Invalid signature"},
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
    SignedRequest request = MakeRequest(Envelope(R"({"type":"EMAIL","email":"a@example.com"})"));
    change(request);
    if (resign) request.sign(kSecret);
    Expect(request, status, status, message);
  }
}

TEST_F(GatewaySimTest, ReplayedNonceIsRefusedButAFailedCheckDoesNotUseItUp) {
  const SignedRequest request = MakeRequest(Envelope(R"({"type":"COUNTRY_CODE","countryCode":"DE"})"));
  SignedRequest badlySigned = request;
  badlySigned.sign("not-the-secret");
  Expect(badlySigned, 400, 400, "Invalid signature");
  Expect(request, 200, 200, "success");
  Expect(request, 400, 400, "Nonce already used");
}

TEST_F(GatewaySimTest, BadEnvelopesGetServiceErrors) {
  const std::string email = R"({"type":"EMAIL","email":"a@b"})";
  const std::vector<std::tuple<std::string, int, std::string>> cases = {
      {Envelope(R"({"type":"PASSPORT","number":"1"})"), 404, "Unknown type: PASSPORT"},
      {Envelope(R"({"type":"PHONE","phoneLocationCode":"86"})"), 422, "Missing parameter: phone"},
      {Envelope(R"({"type":"EMAIL","email":7})"), 422, "Missing parameter: email"},
      {Envelope(R"({"email":"a@example.com"})"), 422, "Missing parameter: type"},
      {Envelope(R"("PHONE")"), 400, "Malformed envelope: \"params\" missing"},
      {Envelope(email, "1.0.1"), 400, "Unsupported apiVer: 1.0.1"},
      {Envelope(email, "1.0.2", "2.0"), 400, "Malformed envelope: \"version\" is not \"1.0\""},
      {Envelope(email) + "}", 400, "Malformed envelope: body is not JSON"},
  };
  for (const auto& [body, code, message] : cases) {
    SCOPED_TRACE(body);
    Expect(MakeRequest(body), 200, code, message);
  }
}

TEST(GatewaySimRegionTable, InvalidTablesAreRejectedWithTheReason) {
  const std::string routes =
      R"("routes": {"PHONE": {"default": "a"}, "COUNTRY_CODE": {"default": "a"}, "EMAIL": {"default": "a"},
                    "THIRD_AUTHCODE": {"default": "a"}})";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"[1,2]", "not a JSON object"},
      {R"({"regions": {"a": {"regionId": "r"}}, )" + routes + ", \"extra\": 1}", "unknown member \"extra\""},
      {R"({"regions": {"a": {"regionID": "r"}}, )" + routes + "}", "unknown member \"regionID\""},
      {R"({"regions": {"b": {"regionId": "r"}}, )" + routes + "}", "unknown region \"a\""},
      {R"({"regions": {"a": {}}, "routes": {"PHONE": {"default": "a"}}})", "route \"COUNTRY_CODE\" is missing"},
      {R"({"regions": {"a": {}}, "routes": {"PHONE": {"match": {}}}})", "route \"PHONE\" has no \"default\""},
      {R"({"regions": {"a": {}}, "routes": {"FAX": {"default": "a"}}})", "unknown lookup type \"FAX\""},
  };
  for (const auto& [json, reason] : cases) {
    RegionTable table;
    std::string error;
    EXPECT_FALSE(RegionTable::Parse(json, &table, &error)) << json;
    EXPECT_NE(std::string::npos, error.find(reason)) << error;
  }
}

// --- Bounds ------------------------------------------------------------------

// What the gateway answers a POST of `body` with `headers` to `path`: status,
// the body and "X-Ca-Error-Message"; status -1 when no answer came.
std::tuple<int, std::string, std::string> Post(const GatewaySim& gateway, const std::string& path,
                                               const std::string& body, const httplib::Headers& headers = {}) {
  httplib::SSLClient client("127.0.0.1", gateway.port());
  client.set_ca_cert_path(gateway.caFile().c_str());
  client.enable_server_certificate_verification(true);
  auto result = client.Post(path.c_str(), headers, body, "application/octet-stream");
  if (!result) return {-1, httplib::to_string(result.error()), ""};
  return {result->status, result->body, result->get_header_value("X-Ca-Error-Message")};
}

// A flood of requests (unauthenticated, to unknown paths, large) keeps only
// the last few, with their bodies cut; the count of arrivals stays exact.
TEST(GatewaySimBounds, RecordKeepsTheLastRequestsWithBodiesCut) {
  GatewayConfig config;
  config.maxRecordedRequests = 5;
  config.maxRecordedBodyBytes = 16;
  GatewaySim gateway(config);
  std::string error;
  ASSERT_TRUE(gateway.Start(&error)) << error;
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(std::get<0>(Post(gateway, "/flood/" + std::to_string(i), std::string(512 << 10, 'f'))), 404);
  }
  EXPECT_TRUE(gateway.WaitForRequests(8, 0));
  const auto recorded = gateway.requests();
  ASSERT_EQ(recorded.size(), 5u);
  for (size_t i = 0; i < recorded.size(); ++i) {
    EXPECT_EQ(recorded[i].path, "/flood/" + std::to_string(i + 3));
    EXPECT_EQ(recorded[i].body, std::string(16, 'f'));
    EXPECT_EQ(recorded[i].bodyBytes, 512u << 10);
  }
}

// Encoded bodies are refused before they are read (a 100 KB gzip body could
// inflate to 100 MiB); bodies over the cap get a message. Neither is recorded.
TEST(GatewaySimBounds, EncodedAndOversizedBodiesAreRefusedWithAMessage) {
  GatewaySim gateway(GatewayConfig{});
  std::string error;
  ASSERT_TRUE(gateway.Start(&error)) << error;
  const std::string gzipHeader("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
  const std::vector<std::tuple<std::string, httplib::Headers, int, std::string>> cases = {
      {gzipHeader + std::string(100000, 'z'), {{"Content-Encoding", "gzip"}}, 415,
       "Content-Encoding not supported: gzip"},
      {"x", {{"Content-Encoding", "deflate"}}, 415, "Content-Encoding not supported: deflate"},
      {std::string((1 << 20) + 1, 'b'), {}, 413, "Request body too large"},
  };
  for (const auto& [body, headers, status, message] : cases) {
    SCOPED_TRACE(message);
    const auto [gotStatus, gotBody, gotHeader] = Post(gateway, iotcloud::gateway::kRegionGetPath, body, headers);
    EXPECT_EQ(gotStatus, status) << gotBody;
    EXPECT_EQ(gotBody, "{\"code\":" + std::to_string(status) + ",\"message\":\"" + message + "\"}");
    EXPECT_EQ(gotHeader, message);
  }
  EXPECT_TRUE(gateway.requests().empty());
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
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
  ASSERT_TRUE(curl);
  const std::string url = "https://" + gateway.hostPort() + "/nothing-here";
  std::string answer;
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_CAINFO, gateway.caFile().c_str());
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &answer);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
  });
  char curlError[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, curlError);
  ASSERT_EQ(curl_easy_perform(curl.get()), CURLE_OK) << curlError;
  EXPECT_EQ(answer, R"({"code":404,"message":"API not found"})");
}

TEST(GatewaySimBounds, EmptySecretIsRefused) {
  GatewayConfig config;
  config.applications = {{"key", ""}};
  GatewaySim gateway(config);
  std::string error;
  EXPECT_FALSE(gateway.Start(&error));
  EXPECT_EQ(error, "the secret of application key is empty");
}

// --- The program -----------------------------------------------------------

class GatewaySimProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    auto self = std::filesystem::read_symlink("/proc/self/exe");
    program_ = (self.parent_path().parent_path() / "tools/gateway-sim/iotcloud-gateway-sim").string();
    if (!std::filesystem::exists(program_)) GTEST_SKIP() << "program not built: " << program_;
    char pattern[] = "/tmp/gateway-sim-program-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  std::string Read(const std::string& name) {
    std::stringstream text;
    text << std::ifstream(dir_ + "/" + name).rdbuf();
    return text.str();
  }
  std::string program_, dir_;
};

TEST_F(GatewaySimProgram, ServesSignedLookupsUntilSigterm) {
  // The shell prints its pid, then becomes the program.
  FILE* out = popen(("echo $$; exec " + program_ + " --tls-dir " + dir_ + "/tls --port-file " + dir_ + "/port --app " +
                     kKey + ":" + kSecret + " 2>" + dir_ + "/stderr")
                        .c_str(),
                    "r");
  ASSERT_NE(nullptr, out);
  std::string printed;
  char line[512];
  while (printed.find("ca: ") == std::string::npos && fgets(line, sizeof line, out)) printed += line;
  const pid_t pid = std::atoi(printed.c_str());
  ASSERT_GT(pid, 1) << printed;
  const int port = std::atoi(Read("port").c_str());
  EXPECT_EQ(std::to_string(pid) + "\nlistening on https://127.0.0.1:" + std::to_string(port) + "\nca: " + dir_ +
                "/tls/ca.pem\n",
            printed);
  ExpectAnswer(port, dir_ + "/tls/ca.pem", MakeRequest(Envelope(R"({"type":"EMAIL","email":"a@example.de"})")), 200,
               200, "success");

  kill(pid, SIGTERM);
  const int status = pclose(out);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/port"));
  const std::string log = Read("stderr");
  EXPECT_NE(std::string::npos, log.find("POST /velmo/account/region/get -> 200 region eu-central-1")) << log;
  EXPECT_EQ(std::string::npos, log.find(kSecret)) << log;
}

TEST_F(GatewaySimProgram, BadOptionsGetAMessageAndExitCode2) {
  std::ofstream(dir_ + "/bad.json") << R"({"regions": {}, "routes": {}})";
  std::ofstream(dir_ + "/huge.json") << std::string((4 << 20) + 1, ' ');
  ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
  for (const std::string& args : std::vector<std::string>{
           "--bogus", "--port", "--port http", "--port 70000", "--host 10.0.0.1", "--app no-colon", "--app key:",
           "--cert c.pem", "--regions /nonexistent.json", "--regions " + dir_ + "/bad.json", "--quiet=yes",
           // Bounded inputs: no device read for ever, no FIFO waited on, nothing huge.
           "--regions /dev/zero", "--regions " + dir_ + "/fifo", "--regions " + dir_ + "/huge.json",
           "--cert /dev/zero --key /dev/zero"}) {
    const int status = std::system((program_ + " " + args + " >/dev/null 2>" + dir_ + "/stderr").c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << args << ": " << status;
    const std::string log = Read("stderr");
    EXPECT_NE(std::string::npos, log.find("iotcloud-gateway-sim: ")) << log;
    EXPECT_NE(std::string::npos, log.find("--help")) << log;
  }
}

}  // namespace
