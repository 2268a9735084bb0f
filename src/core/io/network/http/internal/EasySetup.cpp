#include "core/io/network/http/internal/EasySetup.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>

#include "core/io/network/http/internal/ProxyText.h"
#include "core/support/TovoLog.h"
#include "core/support/UntrustedText.h"

namespace iotcloud {
namespace http {
namespace {

// Appends to the response until the response limit would be passed, then
// refuses: a short count makes libcurl end the transfer with
// CURLE_WRITE_ERROR.
bool Append(PostedRequest& request, std::string* to, const char* data, size_t length) {
  const size_t limit = request.options->maxResponseBytes;
  const size_t held = request.responseHeader.size() + request.responseBody.size();
  if (length > limit || held > limit - length) return false;
  try {
    to->append(data, length);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
  auto* request = static_cast<PostedRequest*>(user);
  const size_t length = size * count;
  return Append(*request, &request->responseBody, data, length) ? length : 0;
}

size_t WriteHeader(char* data, size_t size, size_t count, void* user) {
  auto* request = static_cast<PostedRequest*>(user);
  const size_t length = size * count;
  return Append(*request, &request->responseHeader, data, length) ? length : 0;
}

// CURLOPT_DEBUGFUNCTION with an observer: adds the request's header and body
// bytes, as they are sent, to the int64_t at `user`. libcurl's own request
// size cannot stand in: it counts a body sent with the headers but not one
// sent after them.
int CountSentBytes(CURL*, curl_infotype type, char*, size_t size, void* user) {
  if (type == CURLINFO_HEADER_OUT || type == CURLINFO_DATA_OUT) {
    *static_cast<int64_t*>(user) += static_cast<int64_t>(size);
  }
  return 0;
}

}  // namespace

bool BuildHeaderList(PostedRequest& request, const std::map<std::string, std::string>& headers) {
  for (const auto& header : headers) {
    if (!AsyncHttpRequest::IsSafeHeaderText(header.first) || !AsyncHttpRequest::IsSafeHeaderText(header.second)) {
      QZ_LOG(4, "AsyncHttpRequest Post, id=%s: a header holds CR, LF or NUL; refused", request.id.c_str());
      return false;
    }
  }
  auto transfer = std::make_unique<CurlTransfer>();
  for (const auto& header : headers) {
    const std::string line = header.first + ": " + header.second;
    curl_slist* grown = curl_slist_append(transfer->headers.get(), line.c_str());
    if (grown == nullptr) {
      QZ_LOG(4, "AsyncHttpRequest Post, id=%s: out of memory for the headers", request.id.c_str());
      return false;
    }
    static_cast<void>(transfer->headers.release());  // `grown` is the same list, one line longer
    transfer->headers.reset(grown);
  }
  request.transfer = std::move(transfer);
  return true;
}

int SetUpTransfer(PostedRequest& request, const TrustStore* trust, std::unique_ptr<CurlTransfer> reused) {
  if (reused) {
    // The ended transfer's easy handle and global reference, with this
    // request's header list.
    reused->headers = std::move(request.transfer->headers);
    request.transfer = std::move(reused);
  }
  CurlTransfer& transfer = *request.transfer;
  if (!transfer.global.Acquire()) return CURLE_FAILED_INIT;
  if (!transfer.easy) transfer.easy.reset(curl_easy_init());
  if (!transfer.easy) {
    QZ_LOG(4, "AsyncHttpRequest id=%s: curl_easy_init error", request.id.c_str());
    return CURLE_FAILED_INIT;
  }
  const AsyncHttpOptions& options = *request.options;
  CURL* easy = transfer.easy.get();
  CURLcode rc = CURLE_OK;
  auto set = [&rc, easy](CURLoption option, auto value) {
    if (rc == CURLE_OK) rc = curl_easy_setopt(easy, option, value);
  };
  set(CURLOPT_URL, request.url.c_str());
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  // No file for libcurl to read at every new connection: the shared store
  // goes into each connection's TLS context instead.
  set(CURLOPT_CAINFO, static_cast<const char*>(nullptr));
  set(CURLOPT_CAPATH, static_cast<const char*>(nullptr));
  transfer.tls.trust = trust;
  transfer.tls.httpsProxy = options.proxy && LowerScheme(*options.proxy) == "https://";
  set(CURLOPT_SSL_CTX_FUNCTION, &InstallTrustStore);
  set(CURLOPT_SSL_CTX_DATA, static_cast<void*>(&transfer.tls));
  long totalMs = options.totalTimeoutMs;
  long connectMs = options.connectTimeoutMs;
  if (request.budgetAfterAdmission.count() > 0) {
    // Saturating: compared in milliseconds, since a budget of years does not
    // fit the clock's nanoseconds.
    const auto room =
        std::chrono::duration_cast<std::chrono::milliseconds>(PostedRequest::TimePoint::max() - request.admittedAt);
    request.deadline = request.budgetAfterAdmission >= room ? PostedRequest::TimePoint::max()
                                                            : request.admittedAt + request.budgetAfterAdmission;
  }
  if (request.deadline != PostedRequest::TimePoint{}) {
    // libcurl ends a transfer when less than a millisecond of its limit is
    // left, so the one before may end just short of the deadline: a request
    // with no more than a few milliseconds left counts as past it.
    constexpr int64_t kPastDeadlineMs = 5;
    const auto left = request.deadline <= request.admittedAt
                          ? int64_t{0}
                          : std::chrono::ceil<std::chrono::milliseconds>(request.deadline - request.admittedAt).count();
    if (left <= kPastDeadlineMs) return CURLE_OPERATION_TIMEDOUT;
    totalMs = static_cast<long>(std::min<int64_t>(totalMs, left));
    connectMs = std::min(connectMs, totalMs);
  }
  set(CURLOPT_TIMEOUT_MS, totalMs);
  set(CURLOPT_CONNECTTIMEOUT_MS, connectMs);
  if (options.ipFamily != AsyncHttpOptions::IpFamily::kAny) {
    set(CURLOPT_IPRESOLVE,
        options.ipFamily == AsyncHttpOptions::IpFamily::kIPv4 ? CURL_IPRESOLVE_V4 : CURL_IPRESOLVE_V6);
  }
  if (options.happyEyeballsTimeoutMs > 0) set(CURLOPT_HAPPY_EYEBALLS_TIMEOUT_MS, options.happyEyeballsTimeoutMs);
  // The transfer runs on the HTTP manager thread of a host process: libcurl
  // must never install signal handlers or use alarm() there.
  set(CURLOPT_NOSIGNAL, 1L);
  // A redirect is handed to the caller, never followed: the signed headers
  // must not reach another host.
  set(CURLOPT_FOLLOWLOCATION, 0L);
  if (request.head) {
    set(CURLOPT_NOBODY, 1L);
  } else {
    set(CURLOPT_POST, 1L);
    // Without post fields a POST reads its body through the read callback,
    // whose default reads the process's standard input. The body stays
    // unchanged while libcurl reads it.
    set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    set(CURLOPT_POSTFIELDS, request.body.data());
  }
  if (options.proxy) {
    // Checked here rather than left to libcurl, which would take a scheme it
    // knows (socks4://) or none at all as a plain HTTP proxy.
    if (!options.proxy->empty() && !IsSupportedProxyUrl(*options.proxy)) {
      QZ_LOG(4, "AsyncHttpRequest id=%s: proxy '%s' is not http://, https:// or socks5h://; not sent",
             request.id.c_str(), EscapeUntrusted(ProxyUrlForLog(*options.proxy)).c_str());
      return CURLE_UNSUPPORTED_PROTOCOL;
    }
    set(CURLOPT_PROXY, options.proxy->c_str());
  }
  if (!options.noProxy.empty()) set(CURLOPT_NOPROXY, options.noProxy.c_str());
  if (!options.proxyUser.empty()) {
    set(CURLOPT_PROXYUSERNAME, options.proxyUser.c_str());
    set(CURLOPT_PROXYPASSWORD, options.proxyPassword.c_str());
    set(CURLOPT_PROXYAUTH, static_cast<unsigned long>(CURLAUTH_BASIC));
  }
  // An "https://" proxy is verified like the gateway, against its own
  // certificates; the TLS hook leaves its store alone.
  set(CURLOPT_PROXY_SSL_VERIFYPEER, 1L);
  set(CURLOPT_PROXY_SSL_VERIFYHOST, 2L);
  // Either one replaces libcurl's default bundle and folder for the proxy.
  // A proxy that is not a set "https://" one (libcurl may still take one
  // from the environment) loads none: its TLS context gets the shared store,
  // which must not take in the proxy's certificates.
  if (!transfer.tls.httpsProxy) {
    set(CURLOPT_PROXY_CAINFO, static_cast<const char*>(nullptr));
    set(CURLOPT_PROXY_CAPATH, static_cast<const char*>(nullptr));
  } else if (!options.proxyCaPem.empty()) {
    curl_blob blob{const_cast<char*>(options.proxyCaPem.data()), options.proxyCaPem.size(), CURL_BLOB_COPY};
    set(CURLOPT_PROXY_CAINFO_BLOB, &blob);
    set(CURLOPT_PROXY_CAINFO, static_cast<const char*>(nullptr));
    set(CURLOPT_PROXY_CAPATH, static_cast<const char*>(nullptr));
  } else if (!options.proxyCaFile.empty()) {
    set(CURLOPT_PROXY_CAINFO, options.proxyCaFile.c_str());
    set(CURLOPT_PROXY_CAPATH, static_cast<const char*>(nullptr));
  } else {
    // The system's trust store. Where the system keeps its roots in a store
    // of its own (Windows), libcurl names no bundle and reads that store only
    // when asked; elsewhere it ignores the flag and reads its bundle. The
    // flag also keeps libcurl from resuming, for the proxy, a TLS session
    // made with the gateway at the same address (its settings would
    // otherwise look alike: the gateway's store is not libcurl's to see).
    set(CURLOPT_PROXY_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_NATIVE_CA));
  }
  if (transfer.headers) set(CURLOPT_HTTPHEADER, transfer.headers.get());
  set(CURLOPT_WRITEFUNCTION, &WriteBody);
  set(CURLOPT_WRITEDATA, static_cast<void*>(&request));
  set(CURLOPT_HEADERFUNCTION, &WriteHeader);
  set(CURLOPT_HEADERDATA, static_cast<void*>(&request));
  if (options.transferObserver) {
    request.bytesSent = 0;
    // Verbose only feeds the debug callback; nothing is printed.
    set(CURLOPT_DEBUGFUNCTION, &CountSentBytes);
    set(CURLOPT_DEBUGDATA, static_cast<void*>(&request.bytesSent));
    set(CURLOPT_VERBOSE, 1L);
  }
  if (rc != CURLE_OK) {
    QZ_LOG(4, "AsyncHttpRequest id=%s: option refused, curl error %d", request.id.c_str(), static_cast<int>(rc));
  }
  return rc;
}

}  // namespace http
}  // namespace iotcloud
