#include "gateway-sim/GatewaySim.h"

#include <openssl/ssl.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <filesystem>
#include <mutex>
#include <random>
#include <system_error>

#include "gateway-sim/Os.h"
#include "gateway-sim/RegionTable.h"
#include "gateway-sim/RequestCheck.h"
#include "tls/LoopbackHttpsServer.h"
#include "tls/TlsMaterial.h"

namespace iotcloud {
namespace gateway {
namespace {

constexpr const char* kJsonType = "application/json; charset=utf-8";
constexpr size_t kDefaultOversizedBytes = 4 * 1024 * 1024;
constexpr size_t kMaxRequestBytes = 1024 * 1024;
constexpr int64_t kMaxClockOffsetSeconds = 100LL * 366 * 86400;
// Carries a request's refused Content-Encoding from the pre-routing handler
// to Handle; never taken from the client.
constexpr const char* kRefusedEncodingHeader = "X-Gateway-Sim-Refused-Encoding";

// Headers the server adds to every request itself; they never crossed the wire.
bool IsServerAddedHeader(const std::string& name) {
  return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT";
}

const char* ReasonPhrase(int status) {
  switch (status) {
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Request body too large";
    case 415: return "Unsupported Media Type";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "Error";
  }
}

// The gateway's error code for a refusal: the words of `message` before any
// colon, each begun in upper case, run together.
std::string ErrorCode(const std::string& message) {
  std::string code;
  bool wordStart = true;
  for (const char c : message.substr(0, message.find(':'))) {
    if (std::isalnum(static_cast<unsigned char>(c)) == 0) {
      wordStart = true;
      continue;
    }
    code += wordStart ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
    wordStart = false;
  }
  return code.empty() ? "Error" : code;
}

// Sets the gateway's error headers of a refusal; the code is made from the
// message unless one is given.
void SetErrorHeaders(httplib::Response& response, const std::string& message, const std::string& code = "") {
  response.set_header("X-Ca-Error-Code", code.empty() ? ErrorCode(message) : Printable(code, 80));
  response.set_header("X-Ca-Error-Message", Printable(message, 200));
}

// Puts the headers every answer carries: a request id unique in this process
// (a random prefix drawn once, then a counter) and the date of the gateway's
// clock, `clockOffsetSeconds` off the machine's.
void StampAnswer(httplib::Response& response, int64_t clockOffsetSeconds) {
  static const uint64_t prefix = std::random_device{}() * 0x100000000ull + std::random_device{}();
  static std::atomic<unsigned long long> serial{0};
  char id[40];
  std::snprintf(id, sizeof id, "%016llX-%08llX", static_cast<unsigned long long>(prefix), serial.fetch_add(1) + 1);
  response.set_header("X-Ca-Request-Id", id);
  const std::string date = FormatHttpDate(NowSeconds() + clockOffsetSeconds);
  if (!date.empty()) response.set_header("Date", date);
}

std::string DescribeFault(const Fault& fault) {
  switch (fault.kind) {
    case Fault::Kind::kDelay: return "delay " + std::to_string(fault.delayMs) + " ms";
    case Fault::Kind::kCloseMidAnswer: return "close mid-answer";
    case Fault::Kind::kEmptyBody: return "empty body";
    case Fault::Kind::kErrorStatus:
      return "error status " + std::to_string(fault.status) +
             (fault.retryAfter.empty() ? "" : ", Retry-After " + Printable(fault.retryAfter, 40));
    case Fault::Kind::kNonJsonBody: return "non-JSON body";
    case Fault::Kind::kOversizedBody: return "oversized body";
    case Fault::Kind::kRawBody: return "raw body of " + std::to_string(fault.body.size()) + " bytes";
    case Fault::Kind::kResetConnection: return "connection reset";
  }
  return "unknown";
}

// What a request is answered with before any fault changes it.
struct Answer {
  int status = 200;
  std::string body;
  std::string gatewayError;  // also sent as "X-Ca-Error-Message" when not empty
  std::string errorCode;     // "X-Ca-Error-Code"; empty: made from gatewayError
  std::string outcome;       // for the log line
};

Answer GatewayError(int status, const std::string& message, const std::string& errorCode = "") {
  Answer answer;
  answer.status = status;
  answer.body = ErrorBody(status, message);
  answer.gatewayError = message;
  answer.errorCode = errorCode;
  answer.outcome = std::to_string(status) + " " + message;
  return answer;
}

// Drops the connection `request` came on before any byte of an answer (see
// os::ResetConnection for what the client sees).
void ResetConnection(const httplib::Request& request) {
  os::ResetConnection(request.ssl != nullptr ? SSL_get_fd(request.ssl) : -1);
}

}  // namespace

std::string DefaultErrorCode(int status) {
  switch (status) {
    case 400: return "BadRequest";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "NotFound";
    case 405: return "MethodNotAllowed";
    case 408: return "RequestTimeout";
    case 413: return "RequestBodyTooLarge";
    case 415: return "UnsupportedMediaType";
    case 429: return "Throttled";
    case 500: return "InternalError";
    case 502: return "BadGateway";
    case 503: return "ServiceUnavailable";
    case 504: return "GatewayTimeout";
    default: return "Error";
  }
}

std::string ReceivedRequest::header(const std::string& lowerName) const {
  for (const auto& entry : headers) {
    if (entry.first.size() != lowerName.size()) continue;
    bool same = true;
    for (size_t i = 0; i < lowerName.size() && same; ++i) {
      same = std::tolower(static_cast<unsigned char>(entry.first[i])) ==
             std::tolower(static_cast<unsigned char>(lowerName[i]));
    }
    if (same) return entry.second;
  }
  return std::string();
}

bool IsLoopbackHost(const std::string& host) {
  if (host == "localhost" || host == "::1") return true;
  in_addr address{};
  if (inet_pton(AF_INET, host.c_str(), &address) != 1) return false;
  return (ntohl(address.s_addr) >> 24) == 127;
}

struct GatewaySim::Impl {
  // Set by the constructor and Start (owner thread, before serving); read-only
  // while the server runs.
  GatewayConfig config;
  RegionTable table;
  std::unique_ptr<tls::LoopbackHttpsServer> server;  // owner thread only
  std::string ownedTlsDir;                           // removed by Stop when not empty
  bool started = false;                              // owner thread only
  std::atomic<int> port{0};

  // `mutex` guards every member below; server threads and callers meet here.
  // `changed` is signalled when a request is recorded and when stopping is set.
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::string caPem, caFile;
  std::deque<Fault> faults;
  NonceStore nonces;
  std::deque<ReceivedRequest> record;  // at most config.maxRecordedRequests
  size_t arrivedSinceClear = 0;
  bool stopping = false;

  // Runs on a server thread for every request, whatever its method and path.
  void Handle(const httplib::Request& request, httplib::Response& response);
  // Records the request; true with *fault when a scripted fault was queued.
  bool RecordAndTakeFault(const httplib::Request& request, Fault* fault);
  // The answer before any fault changes it.
  Answer Compute(const httplib::Request& request);

  // Parts of Start, in order: check the configuration and load the region
  // table; make TLS material unless files were given; set the server up.
  bool CheckConfig(std::string* error);
  bool PrepareTls(std::string* certFile, std::string* keyFile, std::string* error);
  void ConfigureServer(httplib::Server& http);
};

Answer GatewaySim::Impl::Compute(const httplib::Request& request) {
  if (request.path != kRegionGetPath) return GatewayError(404, "API not found");
  if (request.method != "POST") return GatewayError(405, "Method not allowed");

  RequestView view;
  view.method = request.method;
  view.target = request.target.empty() ? request.path : request.target;
  for (const auto& header : request.headers) {
    if (!IsServerAddedHeader(header.first)) view.headers.emplace_back(header.first, header.second);
  }
  view.body = request.body;

  const int64_t now = NowSeconds() + config.clockOffsetSeconds;
  CheckResult check = CheckSignedRequest(view, config.applications, now, config.maxClockSkewSeconds);
  if (!check.ok) {
    Answer answer = GatewayError(check.httpStatus, check.message, check.errorCode);
    if (!check.stringToSign.empty()) {
      // Helps whoever debugs a client's signing; holds no secret.
      std::string shown;
      for (char c : check.stringToSign) shown += c == '\n' ? std::string("\\n") : std::string(1, c);
      answer.outcome += " (gateway string-to-sign: \"" + Printable(shown, 400) + "\")";
    }
    return answer;
  }
  NonceStore::Outcome nonce;
  {
    std::lock_guard<std::mutex> lock(mutex);
    nonce = nonces.Remember(check.appKey, check.nonce, check.dateSeconds, now, config.maxClockSkewSeconds);
  }
  if (nonce == NonceStore::Outcome::kReplayed) return GatewayError(400, "Nonce already used");
  if (nonce == NonceStore::Outcome::kFull) {
    return GatewayError(503, "Too many requests to remember their nonces", "NonceStoreFull");
  }

  ServiceAnswer service = table.Answer(request.body);
  Answer answer;
  answer.status = 200;
  answer.body = std::move(service.body);
  answer.outcome = service.code == 200 ? "200 region " + service.regionKey
                                       : "200 service error " + std::to_string(service.code) + " " + service.message;
  return answer;
}

namespace {

// Answers a request whose Content-Encoding the pre-routing handler took off.
void RefuseEncoding(const httplib::Request& request, httplib::Response& response, const GatewayConfig& config) {
  const std::string message =
      "Content-Encoding not supported: " + Printable(request.get_header_value(kRefusedEncodingHeader), 40);
  response.status = 415;
  SetErrorHeaders(response, message);
  response.set_content(ErrorBody(415, message), kJsonType);
  if (config.logLine) config.logLine(request.method + " " + Printable(request.path) + " -> 415 " + message);
}

// Writes `answer` into `response`, as `fault` (when not null) changes it.
void WriteAnswer(Answer& answer, const Fault* fault, httplib::Response& response) {
  if (!answer.gatewayError.empty() && (fault == nullptr || fault->kind != Fault::Kind::kErrorStatus)) {
    SetErrorHeaders(response, answer.gatewayError, answer.errorCode);
  }
  switch (fault != nullptr ? fault->kind : Fault::Kind::kDelay) {
    case Fault::Kind::kDelay:
      response.status = answer.status;
      response.set_content(answer.body, kJsonType);
      break;
    case Fault::Kind::kCloseMidAnswer: {
      // Promise more than is sent, send the first half, then fail the
      // provider: the server drops the connection without finishing.
      std::string part = answer.body.substr(0, answer.body.size() / 2);
      response.status = answer.status;
      response.set_content_provider(answer.body.size() + 64, kJsonType,
                                    [part](size_t offset, size_t, httplib::DataSink& sink) {
                                      if (offset == 0 && !part.empty()) return sink.write(part.data(), part.size());
                                      return false;
                                    });
      break;
    }
    case Fault::Kind::kEmptyBody: response.status = 200; break;
    case Fault::Kind::kErrorStatus: {
      const int status = fault->status >= 100 && fault->status <= 599 ? fault->status : 500;
      response.status = status;
      response.set_content(fault->body.empty() ? ErrorBody(status, ReasonPhrase(status)) : fault->body, kJsonType);
      if (!fault->location.empty()) response.set_header("Location", fault->location);
      if (!fault->retryAfter.empty()) response.set_header("Retry-After", fault->retryAfter);
      if (!fault->errorCode.empty()) {
        response.set_header("X-Ca-Error-Code", fault->errorCode);
        response.set_header("X-Ca-Error-Message", ReasonPhrase(status));
      }
      break;
    }
    case Fault::Kind::kNonJsonBody:
      response.status = 200;
      response.set_content(
          "<!DOCTYPE html>\n<html><head><title>502 Bad Gateway</title></head>\n"
          "<body><h1>502 Bad Gateway</h1><p>The upstream server did not answer.</p></body></html>\n",
          "text/html; charset=utf-8");
      break;
    case Fault::Kind::kRawBody:
      response.status = 200;
      response.set_content(fault->body, kJsonType);
      break;
    case Fault::Kind::kResetConnection: break;  // Handle answers nothing
    case Fault::Kind::kOversizedBody: {
      const size_t bytes = fault->bytes > 0 ? fault->bytes : kDefaultOversizedBytes;
      std::string body = std::move(answer.body);
      if (body.size() < bytes) body.append(bytes - body.size(), ' ');
      response.status = 200;
      response.set_content(body, kJsonType);
      break;
    }
  }
}

}  // namespace

bool GatewaySim::Impl::RecordAndTakeFault(const httplib::Request& request, Fault* fault) {
  ReceivedRequest received;
  received.method = request.method;
  received.path = request.path;
  for (const auto& header : request.headers) {
    if (!IsServerAddedHeader(header.first)) received.headers.emplace_back(header.first, header.second);
  }
  received.body = request.body.substr(0, config.maxRecordedBodyBytes);
  received.bodyBytes = request.body.size();

  bool haveFault = false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++arrivedSinceClear;
    if (config.maxRecordedRequests > 0) record.push_back(std::move(received));
    while (record.size() > config.maxRecordedRequests) record.pop_front();
    if (!faults.empty() && (faults.front().path.empty() || faults.front().path == request.path)) {
      haveFault = true;
      *fault = faults.front();
      faults.pop_front();
    }
  }
  changed.notify_all();
  return haveFault;
}

void GatewaySim::Impl::Handle(const httplib::Request& request, httplib::Response& response) {
  if (request.has_header(kRefusedEncodingHeader)) {
    RefuseEncoding(request, response, config);
    StampAnswer(response, config.clockOffsetSeconds);
    return;
  }
  Fault fault{};
  const bool haveFault = RecordAndTakeFault(request, &fault);
  if (haveFault && fault.kind == Fault::Kind::kResetConnection) {
    ResetConnection(request);
    if (config.logLine) config.logLine(request.method + " " + Printable(request.path) + " -> connection reset");
    return;
  }
  if (haveFault && fault.kind == Fault::Kind::kDelay && fault.delayMs > 0) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, std::chrono::milliseconds(fault.delayMs), [this] { return stopping; });
  }

  Answer answer = Compute(request);
  WriteAnswer(answer, haveFault ? &fault : nullptr, response);
  StampAnswer(response, config.clockOffsetSeconds);
  if (config.logLine) {
    std::string line = request.method + " " + Printable(request.path) + " -> " + answer.outcome;
    if (haveFault) line += " [fault: " + DescribeFault(fault) + "]";
    config.logLine(line);
  }
}

GatewaySim::GatewaySim(GatewayConfig config) : impl_(std::make_unique<Impl>()) {
  impl_->config = std::move(config);
  impl_->nonces = NonceStore(impl_->config.maxRememberedNonces);
}

GatewaySim::~GatewaySim() { Stop(); }

bool GatewaySim::Impl::CheckConfig(std::string* error) {
  auto fail = [error](const std::string& text) {
    if (error != nullptr) *error = text;
    return false;
  };
  if (!IsLoopbackHost(config.bindHost)) {
    return fail("refusing to bind " + config.bindHost + ": only loopback addresses are served");
  }
  if (config.port < 0 || config.port > 65535) return fail("port out of range: " + std::to_string(config.port));
  if (config.maxClockSkewSeconds < 0) return fail("maxClockSkewSeconds must not be negative");
  if (config.clockOffsetSeconds > kMaxClockOffsetSeconds || config.clockOffsetSeconds < -kMaxClockOffsetSeconds) {
    return fail("clockOffsetSeconds must lie within 100 years either way");
  }
  if (config.maxRememberedNonces == 0) return fail("maxRememberedNonces must be at least 1");
  if (config.applications.empty()) config.applications[kDemoAppKey] = kDemoAppSecret;
  for (const auto& application : config.applications) {
    if (application.first.empty()) return fail("an application key is empty");
    if (application.second.empty()) return fail("the secret of application " + application.first + " is empty");
  }
  if (config.regionTableJson.empty()) {
    table = RegionTable::BuiltIn();
  } else {
    std::string tableError;
    if (!RegionTable::Parse(config.regionTableJson, &table, &tableError)) return fail("region table: " + tableError);
  }
  if (config.certFile.empty() != config.keyFile.empty()) {
    return fail("a certificate file and a key file must be given together");
  }
  if (config.serverThreads == 0) return fail("serverThreads must be at least 1");
  return true;
}

bool GatewaySim::Impl::PrepareTls(std::string* certFile, std::string* keyFile, std::string* error) {
  auto fail = [error](const std::string& text) {
    if (error != nullptr) *error = text;
    return false;
  };
  *certFile = config.certFile;
  *keyFile = config.keyFile;
  if (!certFile->empty()) return true;
  std::string dir = config.tlsDir;
  if (dir.empty()) {
    dir = tls::MakeTemporaryFolder("iotcloud-gateway-", error);
    if (dir.empty()) return false;
    ownedTlsDir = dir;
  }
  // Clients verify the name they connect to, so the bound address must be
  // among the certificate's names too (an IPv6 loopback, another 127.x).
  std::string names = "DNS:localhost,IP:127.0.0.1";
  in6_addr address{};
  if (config.bindHost != "127.0.0.1" && (inet_pton(AF_INET, config.bindHost.c_str(), &address) == 1 ||
                                         inet_pton(AF_INET6, config.bindHost.c_str(), &address) == 1)) {
    names += ",IP:" + config.bindHost;
  }
  tls::TlsMaterial material;
  std::string tlsError;
  if (!tls::GenerateTlsMaterialFor(names, &material, &tlsError)) {
    return fail("cannot generate TLS material: " + tlsError);
  }
  if (!tls::WriteTlsMaterial(material, dir, &tlsError)) return fail("cannot write TLS material: " + tlsError);
  *certFile = dir + "/server.pem";
  *keyFile = dir + "/server.key";
  std::lock_guard<std::mutex> lock(mutex);
  caPem = material.caCertPem;
  caFile = dir + "/ca.pem";
  return true;
}

void GatewaySim::Impl::ConfigureServer(httplib::Server& http) {
  // A lookup body is a few hundred bytes; larger requests are refused (413)
  // before they reach a handler or the record.
  http.set_payload_max_length(kMaxRequestBytes);
  // The cap counts the bytes on the wire, but the server inflates an encoded
  // body while it reads it, past any cap. So the encoding is taken off the
  // request before the body is read (it is then read as it came, under the
  // cap, and the connection stays in step) and Handle refuses the request.
  // The request is the server's own, not a const object.
  http.set_pre_routing_handler([](const httplib::Request& request, httplib::Response&) {
    auto& editable = const_cast<httplib::Request&>(request);
    const std::string encoding = request.get_header_value("Content-Encoding");
    editable.headers.erase(kRefusedEncodingHeader);
    if (!encoding.empty() && encoding != "identity") {
      editable.headers.erase("Content-Encoding");
      editable.headers.emplace(kRefusedEncodingHeader, encoding);
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  // Answers the server makes up itself (413 for a body over the cap, 400 for
  // a malformed request) come without a body: give them the gateway's JSON.
  const int64_t clockOffset = config.clockOffsetSeconds;
  http.set_error_handler(
      httplib::Server::HandlerWithResponse([clockOffset](const httplib::Request&, httplib::Response& response) {
        if (!response.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        const std::string message = ReasonPhrase(response.status);
        SetErrorHeaders(response, message);
        StampAnswer(response, clockOffset);
        response.set_content(ErrorBody(response.status, message), kJsonType);
        return httplib::Server::HandlerResponse::Handled;
      }));
  auto handler = [this](const httplib::Request& request, httplib::Response& response) { Handle(request, response); };
  http.Post(".*", handler);
  http.Get(".*", handler);
  http.Put(".*", handler);
  http.Patch(".*", handler);
  http.Delete(".*", handler);
  http.Options(".*", handler);
}

bool GatewaySim::Start(std::string* error) {
  Impl& impl = *impl_;
  if (impl.started) {
    if (error != nullptr) *error = "the gateway was already started";
    return false;
  }
  impl.started = true;
  if (!impl.CheckConfig(error)) return false;
  // A peer that closes a TLS connection while an answer is written would
  // otherwise end the process with SIGPIPE.
  os::IgnoreBrokenPipe();
  std::string certFile, keyFile;
  if (!impl.PrepareTls(&certFile, &keyFile, error)) return false;
  impl.server = std::make_unique<tls::LoopbackHttpsServer>(certFile, keyFile, impl.config.serverThreads);
  if (!impl.server->valid()) {
    if (error != nullptr) *error = "cannot load the certificate " + certFile + " or the key " + keyFile;
    return false;
  }
  impl.ConfigureServer(impl.server->server());
  if (!impl.server->Start(impl.config.bindHost, impl.config.port, error)) {
    // The listening socket refuses to share its port (another server there
    // would take part of the connections).
    if (impl.config.port != 0 && error != nullptr) {
      *error = "cannot listen on " + impl.config.bindHost + " port " + std::to_string(impl.config.port) +
               ": the port is in use (or not open to this user)";
    }
    return false;
  }
  impl.port.store(impl.server->port());
  return true;
}

void GatewaySim::Stop() {
  Impl& impl = *impl_;
  {
    std::lock_guard<std::mutex> lock(impl.mutex);
    impl.stopping = true;
  }
  impl.changed.notify_all();
  if (impl.server) {
    impl.server->Stop();
    impl.server.reset();
  }
  if (!impl.ownedTlsDir.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(impl.ownedTlsDir, ignored);
    impl.ownedTlsDir.clear();
  }
}

int GatewaySim::port() const { return impl_->port.load(); }

std::string GatewaySim::hostPort() const {
  const std::string& host = impl_->config.bindHost;
  const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return shown + ":" + std::to_string(port());
}

std::string GatewaySim::caPem() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->caPem;
}

std::string GatewaySim::caFile() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->caFile;
}

void GatewaySim::PushFault(const Fault& fault) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->faults.push_back(fault);
}

std::vector<ReceivedRequest> GatewaySim::requests() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return std::vector<ReceivedRequest>(impl_->record.begin(), impl_->record.end());
}

void GatewaySim::clearRequests() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->record.clear();
  impl_->arrivedSinceClear = 0;
}

bool GatewaySim::WaitForRequests(size_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [this, count] { return impl_->arrivedSinceClear >= count; });
}

}  // namespace gateway
}  // namespace iotcloud
