// Checks the signature headers of a request the way the cloud's API gateway
// does, independently of the client library: its own date parsing, its own
// rebuilding of the string-to-sign and its own HMAC-SHA1.
//
// Every function here is pure or works on caller-owned data and may run on any
// thread; NonceStore is not synchronised (its owner guards it).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace iotcloud {
namespace gateway {

// The parts of an HTTP request the gateway looks at, as received.
struct RequestView {
  std::string method;
  std::string target;                                        // path and query exactly as on the request line
  std::vector<std::pair<std::string, std::string>> headers;  // names as received
  std::string body;
};

// Outcome of CheckSignedRequest. On failure `httpStatus` and `message` form the
// gateway's error answer (with `errorCode` as its "X-Ca-Error-Code" when not
// empty); on success the other members say what was accepted.
struct CheckResult {
  bool ok = false;
  int httpStatus = 0;
  std::string message;
  std::string errorCode;
  std::string appKey;
  std::string nonce;
  int64_t dateSeconds = 0;   // the request's "date" as seconds since 1970 (UTC)
  std::string stringToSign;  // as rebuilt here; set once the signature was checked
};

// Checks, in this order, with their error answers (HTTP status, message):
//   400 "Missing header: <name>"         a required header is absent
//   400 "Duplicate header: <name>"       a header the check reads arrived twice
//   403 "Invalid AppKey"                 "x-ca-key" names no known application
//   400 "Unsupported signature method: <value>"   not "HmacSHA1"
//   400 "Invalid date: <value>"          "date" is not an RFC 1123 GMT date
//   400 "Date outside the N-minute window: <value> is S s ahead of|behind
//        the gateway's clock (<gateway date>)"  more than maxSkewSeconds
//                                        away from now; error code
//                                        "DateOutsideWindow" (N: the window in
//                                        minutes, or "N-second" when it is not
//                                        whole minutes)
//   400 "Invalid nonce: empty"           "x-ca-nonce" is present but empty
//   400 "Invalid signature headers: <why>"        empty entry, or a required
//                                        header (x-ca-key, x-ca-nonce,
//                                        x-ca-signature-method) is not listed
//   400 "Signed header missing: <name>"  a listed header is not in the request
//   400 "Invalid signature"              "x-ca-signature" does not match
// The replay check ("Nonce already used", 400) needs shared state and is done
// by the caller with a NonceStore after this check succeeded.
//
// The string-to-sign is rebuilt from the request as received: the method, the
// "accept" value, the "content-md5" value, the "content-type" value, the
// "date" value, one "name:value" line per entry of "x-ca-signature-headers" in
// the order listed, then the target; when the content type starts with
// "application/x-www-form-urlencoded" the target is followed by "?" and the
// body. Lines are joined by "\n" with none after the last; absent headers give
// empty lines.
CheckResult CheckSignedRequest(const RequestView& request, const std::map<std::string, std::string>& applications,
                               int64_t nowSeconds, int maxSkewSeconds);

// The string-to-sign for `request` with the given signed header names (see
// above). Header names are matched without regard to letter case; each line
// uses the name as listed.
std::string BuildStringToSign(const RequestView& request, const std::vector<std::string>& signedHeaders);

// Parses an RFC 1123 date in GMT, exactly 29 characters such as
// "Fri, 04 Dec 2026 00:18:29 GMT", into seconds since 1970. The day of the
// week must match the date. Returns false for anything else.
bool ParseHttpDate(const std::string& text, int64_t* secondsSinceEpoch);

// Base64 (standard alphabet, padded) of HMAC-SHA1(key, text). Empty on an
// OpenSSL failure.
std::string HmacSha1Base64(const std::string& key, const std::string& text);

// Compares two strings in time that depends only on their lengths.
bool ConstantTimeEquals(const std::string& a, const std::string& b);

// The nonces of accepted requests, kept as long as a replay could still pass
// the date check. Not synchronised: the owner holds its lock around every
// call.
//
// A request dated D passes the date check while now <= D + window, so its
// nonce must be kept until then: a client clock ahead of the gateway's makes
// that later than "a window after it was seen". A nonce is kept until
// max(D, seen) + window, so every replay within a window of the first sight
// is refused as a replay (not for its date), and no entry outlives two
// windows. With at most `capacity` entries the memory is bounded even under a
// flood of correctly signed requests.
class NonceStore {
 public:
  enum class Outcome { kFresh, kReplayed, kFull };
  explicit NonceStore(size_t capacity = 1000000) : capacity_(capacity) {}

  // Forgets nonces kept until before `nowSeconds`, then records (appKey,
  // nonce), dated `dateSeconds`, seen at `nowSeconds`, for `windowSeconds`
  // (see above). kReplayed when the pair is still recorded and kFull when
  // `capacity` pairs are; both record nothing.
  Outcome Remember(const std::string& appKey, const std::string& nonce, int64_t dateSeconds, int64_t nowSeconds,
                   int64_t windowSeconds);
  size_t size() const { return expiry_.size(); }

 private:
  size_t capacity_;
  std::unordered_map<std::string, int64_t> expiry_;  // appKey + '\n' + nonce -> end of window
  std::multimap<int64_t, std::string> byExpiry_;     // the same entries, oldest window first
};

// Current wall-clock time in seconds since 1970.
int64_t NowSeconds();

// `secondsSinceEpoch` as an RFC 1123 date in GMT ("Fri, 04 Dec 2026 00:18:29
// GMT"); empty outside the years 1970 to 9999.
std::string FormatHttpDate(int64_t secondsSinceEpoch);

// Replaces control bytes with '?' and cuts to `maxLength` bytes, so text taken
// from a request can go into a message or a response header.
std::string Printable(const std::string& text, size_t maxLength = 80);

}  // namespace gateway
}  // namespace iotcloud
