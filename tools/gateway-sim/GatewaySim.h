// A local stand-in for the cloud's API gateway and its account service: an
// HTTPS server on a loopback address that answers region lookups, for
// development without the cloud and as the fixture of end-to-end tests.
//
// POST "/velmo/account/region/get" is checked like the real gateway checks it
// (application key, signature method, signed-header list, date window, nonce
// replay, HMAC-SHA1 signature over the rebuilt string-to-sign; see
// RequestCheck.h for the error answers), then answered from a region table
// (RegionTable.h: format, routing rules and service errors). Any other path
// gets 404 {"code":404,"message":"API not found"}, another method on the
// lookup path 405 {"code":405,"message":"Method not allowed"}. Every refusal
// carries its message also in the "X-Ca-Error-Message" header and a code in
// "X-Ca-Error-Code": the words of the message before any colon, run together
// ("Invalid signature" -> "InvalidSignature"), unless the check names its
// own (a date outside the window: "DateOutsideWindow"). Every answer carries
// a fresh "X-Ca-Request-Id" and a "Date" read from the gateway's own clock,
// which may run ahead or behind (GatewayConfig::clockOffsetSeconds); a
// scripted error status carries the error headers only when it names a code
// (see Fault), and a reset connection carries nothing. Request bodies over
// 1 MiB are refused (413 {"code":413,"message":"Request body too large"}) and
// so are bodies with a Content-Encoding other than identity (415): a
// small gzip body could inflate far past the limit. Neither is recorded.
//
// For tests it records the last requests it received (a bounded number, with
// bodies cut to a bounded length) and can apply scripted faults to the next
// requests.
//
// Threads: the server runs handlers on its own worker threads. Every public
// member may be called from any thread, except that Start and Stop (and the
// destructor) belong to the owner and must not race each other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace iotcloud {
namespace gateway {

// The application the program serves when none is configured.
constexpr const char* kDemoAppKey = "demo-app-key";
constexpr const char* kDemoAppSecret = "demo-app-secret";

// The lookup path.
constexpr const char* kRegionGetPath = "/velmo/account/region/get";

// One scripted fault. Each request takes the oldest queued fault (FIFO), if
// any, whatever its path (unless the fault names a `path`). Except for kDelay
// and kResetConnection, the fault replaces the answer the request would have
// had; the request is still checked and recorded, and its nonce is used up
// when it passed the checks.
struct Fault {
  enum class Kind {
    kDelay,            // wait delayMs before handling the request (Stop cuts the wait short)
    kCloseMidAnswer,   // send headers with a Content-Length larger than the body, half the answer, then drop the
                       // connection
    kEmptyBody,        // 200 with an empty body
    kErrorStatus,      // HTTP `status` with a short JSON body {"code":<status>,"message":"<reason>"}, or with
                       // `body` when that is not empty; a `location` header when not empty (a 302 that points
                       // elsewhere); `errorCode` and the reason as the gateway's error headers when not empty;
                       // `retryAfter` as the "Retry-After" header, exactly as given, when not empty
    kNonJsonBody,      // 200 with an HTML page
    kOversizedBody,    // 200: the answer padded with spaces to `bytes` bytes (0: 4 MiB)
    kRawBody,          // 200 with exactly `body` (any bytes) as application/json
    kResetConnection,  // no answer at all: the connection is reset (TCP RST) once the request has been read.
                       // The request is recorded but not checked, so its nonce stays unused: as if it was lost
                       // on the way. libcurl resends a request once on a fresh connection when a reused one
                       // dies before any answer byte, and that resend takes the next fault; a client sees the
                       // reset itself only on a fresh connection (or when the resend is reset too)
  } kind;
  int delayMs = 0;
  int status = 500;
  size_t bytes = 0;
  std::string body = {};
  std::string location = {};
  std::string errorCode = {};
  std::string retryAfter = {};  // seconds ("120") or an HTTP date; sent as given
  // When not empty, the fault waits at the head of the queue for a request to
  // this path; requests to other paths pass it by (e.g. kRegionGetPath, so a
  // connection warm-up does not take a fault meant for a lookup).
  std::string path = {};
};

// The gateway error code that the command line's scripted refusals carry for
// an HTTP status: 429 "Throttled", 503 "ServiceUnavailable", 500
// "InternalError", 403 "Forbidden" and so on; "Error" for a status it has no
// word for.
std::string DefaultErrorCode(int status);

// A request as the server received it.
struct ReceivedRequest {
  std::string method, path;
  // Header names as received. The server keeps headers sorted by name
  // (without regard to case), so arrival order is not preserved.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;      // the first GatewayConfig::maxRecordedBodyBytes bytes of the body
  size_t bodyBytes = 0;  // the length of the whole body
  // Value of the first header named `lowerName` (any letter case); empty when absent.
  std::string header(const std::string& lowerName) const;
};

struct GatewayConfig {
  std::string bindHost = "127.0.0.1";  // must be a loopback address ("127.x.x.x", "localhost", "::1")
  int port = 0;                        // 0: an ephemeral port
  // Application key -> secret, neither empty; empty map: the demo application.
  std::map<std::string, std::string> applications;
  // Both empty: generate a CA and a server certificate into tlsDir, for
  // "localhost", 127.0.0.1 and bindHost when that is an address.
  std::string certFile, keyFile;
  std::string tlsDir;           // empty: a fresh temporary folder (removed on Stop)
  std::string regionTableJson;  // empty: the built-in table
  // The date window: a request dated more than this many seconds before or
  // after the gateway's clock is refused (400, "DateOutsideWindow").
  int maxClockSkewSeconds = 900;
  // The gateway's clock runs this many seconds ahead of the machine's
  // (negative: behind). The date window and every answer's "Date" use it, so
  // a client with a correct clock looks skewed to this gateway.
  int64_t clockOffsetSeconds = 0;
  // Nonces of accepted requests are kept while a replay could pass the date
  // check (at most two windows). At most this many at once: beyond it a
  // correctly signed request is refused (503, "NonceStoreFull") rather than
  // accepted without replay protection.
  size_t maxRememberedNonces = 1000000;
  // Server worker threads; each kept-alive connection holds one while open.
  size_t serverThreads = 64;
  // The record keeps the last this many requests (0: none), each body cut to
  // maxRecordedBodyBytes bytes, so a flood cannot grow it without bound.
  size_t maxRecordedRequests = 1000;
  size_t maxRecordedBodyBytes = 4096;
  // Called once per handled request with one line (method, path, outcome),
  // on a server thread, possibly on several at once. Never holds a secret.
  std::function<void(const std::string& line)> logLine;
};

class GatewaySim {
 public:
  explicit GatewaySim(GatewayConfig config);
  ~GatewaySim();  // stops
  GatewaySim(const GatewaySim&) = delete;
  GatewaySim& operator=(const GatewaySim&) = delete;

  // Prepares TLS material and the region table, binds and starts serving.
  // Returns once requests are accepted. False with *error (when not null) if
  // the configuration is invalid, the material cannot be made or loaded, or
  // the address cannot be bound. Call once.
  bool Start(std::string* error);

  // Stops serving, wakes delayed requests, joins the server threads and
  // removes a temporary TLS folder. Idempotent.
  void Stop();

  int port() const;              // the bound port; 0 before Start
  std::string hostPort() const;  // "127.0.0.1:<port>" — what a client uses as the gateway host
  std::string caPem() const;     // the generated CA certificate; empty when cert/key files were given
  std::string caFile() const;    // "<tlsDir>/ca.pem"; empty when cert/key files were given

  void PushFault(const Fault& fault);

  // Copies of the recorded requests (the last maxRecordedRequests), in order
  // of arrival.
  std::vector<ReceivedRequest> requests() const;
  void clearRequests();
  // True once at least `count` requests have arrived since the last clear
  // (recorded or pushed out of the record again); false if that has not
  // happened within timeoutMs.
  bool WaitForRequests(size_t count, int timeoutMs) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// True for the loopback addresses the gateway agrees to bind.
bool IsLoopbackHost(const std::string& host);

}  // namespace gateway
}  // namespace iotcloud
