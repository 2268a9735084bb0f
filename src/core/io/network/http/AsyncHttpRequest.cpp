#include "core/io/network/http/AsyncHttpRequest.h"

#include <curl/curl.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <new>
#include <utility>

#include "core/support/TovoLog.h"
#include "core/support/UntrustedText.h"
#include "core/support/internal/CurlGlobal.h"
#include "core/support/internal/Owned.h"
#include "core/support/internal/SystemTrustStore.h"

using iotcloud::EscapeUntrusted;
using iotcloud::Owned;

// One request's libcurl state. The header list is made when the request is
// posted; the easy handle (with the global reference it holds, so it never
// outlives curl_global_cleanup) when it is admitted, taken over from an
// ended transfer when one is idle. Members end in reverse order: the easy
// handle before the header list it points to, the global reference last.
struct CurlTransfer {
  // What the TLS set-up of this transfer's connections needs (see
  // InstallTrustStore); set by Prepare on the driving thread.
  struct TlsSetup {
    const TrustStore* trust = nullptr;
    bool httpsProxy = false;  // an "https://" proxy is set: libcurl opens TLS to it too
  } tls;
  iotcloud::CurlGlobalRef global;
  Owned<curl_slist, curl_slist_free_all> headers;
  Owned<CURL, curl_easy_cleanup> easy;
};

// The manager's multi handle, with the global reference it holds.
struct CurlMulti {
  iotcloud::CurlGlobalRef global;
  Owned<CURLM, curl_multi_cleanup> handle;
};

// The certificates every connection of one Init() period is verified
// against, parsed once. Built by Init() and released by CleanUp() on the
// thread that calls them; read-only in between, from the driving thread's
// TLS set-up. Each connection's TLS context takes its own reference on the
// store, so a context that libcurl frees late never sees it freed.
struct TrustStore {
  Owned<X509_STORE, X509_STORE_free> store;  // null when it could not be built
  CURLcode error = CURLE_OK;                 // why not: every connection fails with it
};

namespace {

// libcurl's own defaults: the CA bundle and folder it would read when no
// CA option is set (the system's trust store).
void DefaultCaLocations(std::string* file, std::string* folder) {
  CURL* probe = curl_easy_init();
  if (probe == nullptr) return;
  char* value = nullptr;
  if (curl_easy_getinfo(probe, CURLINFO_CAINFO, &value) == CURLE_OK && value != nullptr) *file = value;
  value = nullptr;
  if (curl_easy_getinfo(probe, CURLINFO_CAPATH, &value) == CURLE_OK && value != nullptr) *folder = value;
  curl_easy_cleanup(probe);
}

// Every certificate of a PEM text; false when it holds none or an
// unreadable one.
void FreeInfoStack(STACK_OF(X509_INFO) * infos) { sk_X509_INFO_pop_free(infos, X509_INFO_free); }

bool AddPemCertificates(X509_STORE* store, const std::string& pem) {
  if (pem.size() > static_cast<size_t>(INT32_MAX)) return false;
  Owned<BIO, BIO_free> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return false;
  Owned<STACK_OF(X509_INFO), FreeInfoStack> infos(PEM_X509_INFO_read_bio(bio.get(), nullptr, nullptr, nullptr));
  if (!infos) return false;
  int added = 0;
  for (int i = 0; i < sk_X509_INFO_num(infos.get()); ++i) {
    X509_INFO* info = sk_X509_INFO_value(infos.get(), i);
    if (info->x509 != nullptr) {
      if (X509_STORE_add_cert(store, info->x509) != 1) return false;
      ++added;
    }
  }
  return added > 0;
}

// The store for `options`: caPem, else caFile, else libcurl's default bundle
// and folder. Verification as libcurl sets it up for its own store:
// trusted certificates first, and an intermediate in the store may anchor a
// chain.
std::shared_ptr<TrustStore> BuildTrustStore(const AsyncHttpOptions& options) {
  auto trust = std::make_shared<TrustStore>();
  trust->store.reset(X509_STORE_new());
  if (!trust->store) {
    trust->error = CURLE_OUT_OF_MEMORY;
    return trust;
  }
  X509_STORE* store = trust->store.get();
  bool ok = true;
  const char* source = "";
  if (!options.caPem.empty()) {
    source = "caPem";
    ok = AddPemCertificates(store, options.caPem);
  } else if (!options.caFile.empty()) {
    source = options.caFile.c_str();
    ok = X509_STORE_load_file(store, options.caFile.c_str()) == 1;
  } else if (const int added = iotcloud::AddSystemRootCertificates(store); added >= 0) {
    source = "the system trust store";
    ok = added > 0;
  } else {
    std::string file, folder;
    DefaultCaLocations(&file, &folder);
    source = "the system trust store";
    if (!file.empty()) ok = X509_STORE_load_file(store, file.c_str()) == 1;
    // A folder of hashed names is read certificate by certificate as
    // verification asks for them.
    if (ok && !folder.empty()) ok = X509_STORE_load_path(store, folder.c_str()) == 1;
  }
  X509_STORE_set_flags(store, X509_V_FLAG_TRUSTED_FIRST | X509_V_FLAG_PARTIAL_CHAIN);
  if (!ok) {
    QZ_LOG(4, "AsyncHttpRequestManage: no usable CA certificates in %s; every transfer fails", source);
    trust->store.reset();
    trust->error = CURLE_SSL_CACERT_BADFILE;
  }
  return trust;
}

// CURLOPT_SSL_CTX_FUNCTION: gives a new connection's TLS context the shared
// store in place of the empty one libcurl made. Driving thread.
//
// libcurl calls it for every TLS context of a transfer, the one for an
// "https://" proxy included, and (this libcurl) loads a context's CA
// certificates only after the call, into whatever store the context then
// has. The proxy's context must therefore keep its own store: the shared one
// would verify the proxy against the gateway's CAs and then take in the
// proxy's. It is told apart by the tunnel: a new TLS connection to the
// gateway starts only once the proxy has opened the tunnel for this transfer
// (CONNECT answered 2xx); the proxy's own starts before that, also when a
// refused CONNECT (407) makes libcurl connect to the proxy again.
CURLcode InstallTrustStore(CURL* easy, void* sslContext, void* user) {
  const auto* tls = static_cast<const CurlTransfer::TlsSetup*>(user);
  if (tls != nullptr && tls->httpsProxy) {
    long connectStatus = 0;
    curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &connectStatus);
    if (connectStatus < 200 || connectStatus > 299) {
      return CURLE_OK;  // the proxy's: libcurl verifies it against PROXY_CAINFO(_BLOB)
    }
  }
  const TrustStore* trust = tls != nullptr ? tls->trust : nullptr;
  if (trust == nullptr || !trust->store) return trust != nullptr ? trust->error : CURLE_SSL_CACERT_BADFILE;
  // set1 takes a reference of its own and releases the context's old store.
  SSL_CTX_set1_cert_store(static_cast<SSL_CTX*>(sslContext), trust->store.get());
  return CURLE_OK;
}

// Every failure of a multi-handle call is logged the same way.
void LogMultiFailure(const char* call, CURLMcode code) {
  QZ_LOG(4, "ERROR: %s failed, code %d '%s'.", call, static_cast<int>(code), curl_multi_strerror(code));
}

// CURLOPT_DEBUGFUNCTION with an observer: adds the request's header and body
// bytes, as they are sent, to the int64_t at `user`. libcurl's own request
// size cannot stand in: it counts a body sent with the headers but not one
// sent after them. Driving thread.
int CountSentBytes(CURL*, curl_infotype type, char*, size_t size, void* user) {
  if (type == CURLINFO_HEADER_OUT || type == CURLINFO_DATA_OUT) {
    *static_cast<int64_t*>(user) += static_cast<int64_t>(size);
  }
  return 0;
}

int64_t Micros(std::chrono::steady_clock::duration d) {
  return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
}

// The scheme of a proxy URL, lower-cased, with its "://"; empty when there
// is none.
std::string LowerScheme(const std::string& url) {
  const size_t end = url.find("://");
  if (end == std::string::npos) return std::string();
  std::string scheme = url.substr(0, end + 3);
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return scheme;
}

// The options as they are applied: values of zero or below take the defaults.
AsyncHttpOptions Normalised(AsyncHttpOptions options) {
  const AsyncHttpOptions defaults;
  if (options.connectTimeoutMs <= 0) options.connectTimeoutMs = defaults.connectTimeoutMs;
  if (options.totalTimeoutMs <= 0) options.totalTimeoutMs = defaults.totalTimeoutMs;
  if (options.maxResponseBytes == 0) options.maxResponseBytes = defaults.maxResponseBytes;
  if (options.maxHostConnections <= 0) options.maxHostConnections = defaults.maxHostConnections;
  if (options.maxTransfers <= 0) options.maxTransfers = defaults.maxTransfers;
  return options;
}

}  // namespace

// ---------------------------------------------------------------------------
// AsyncHttpRequest

AsyncHttpRequest::AsyncHttpRequest(_AsyncHttpReqType type, AsyncHttpRequestManage* manage,
                                   IAsyncHttpReqCallback* callback, long port)
    : callback_(callback), port_(port), type_(type), manage_(manage) {}

AsyncHttpRequest::~AsyncHttpRequest() { Clean(); }

int AsyncHttpRequest::Clean() {
  transfer_.reset();
  return 0;
}

bool AsyncHttpRequest::IsSafeHeaderText(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

int AsyncHttpRequest::CopyIotReq(const IotRequest* from, IotRequest* to) {
  if (from != nullptr && to != nullptr && from != to) *to = *from;
  return 0;
}

int AsyncHttpRequest::Post(IotRequest* request, std::map<std::string, std::string>& headers, const std::string& body) {
  return Submit(request, headers, body, false);
}

int AsyncHttpRequest::Connect(IotRequest* request) { return Submit(request, {}, std::string(), true); }

int AsyncHttpRequest::Submit(IotRequest* request, const std::map<std::string, std::string>& headers,
                             const std::string& body, bool head) {
  const long port = static_cast<long>(port_);
  if (request == nullptr) {
    QZ_LOG(4, "port=%ld, AsyncHttpRequest Post without a request record", port);
    return -1;
  }
  url_ = std::string(request->protocol == 0 ? "https://" : "http://") + request->host + request->path;
  id_ = request->id;
  CopyIotReq(request, &request_);
  QZ_LOG(2, "port=%ld, AsyncHttpRequest %s, url=%s, id=%s, body len=%d", port, head ? "Connect" : "Post", url_.c_str(),
         id_.c_str(), static_cast<int>(body.size()));

  // A request refused earlier may be posted again; start from a clean state.
  Clean();
  submitted_ = false;
  responseHeader_.clear();
  responseBody_.clear();

  if (manage_ == nullptr) {
    QZ_LOG(4, "port=%ld, AsyncHttpRequest Post without a request manager", port);
    return -1;
  }
  // AddRequest logs the refusal of a manager that is not initialised; the
  // caller keeps the request.
  if (!manage_->IsInited()) {
    manage_->AddRequest(id_, this);
    return -1;
  }

  if (!BuildHeaderList(headers)) return -1;
  body_ = body;
  head_ = head;
  options_ = manage_->HttpOptions();
  maxResponseBytes_ = options_->maxResponseBytes;
  submitted_ = true;

  if (manage_->AddRequest(id_, this) != 0) {
    submitted_ = false;
    Clean();
    return -1;
  }
  // Handed over: the HTTP manager thread may already have completed and
  // deleted this request.
  return 0;
}

bool AsyncHttpRequest::BuildHeaderList(const std::map<std::string, std::string>& headers) {
  const long port = static_cast<long>(port_);
  for (const auto& header : headers) {
    if (!IsSafeHeaderText(header.first) || !IsSafeHeaderText(header.second)) {
      QZ_LOG(4, "port=%ld, AsyncHttpRequest Post, id=%s: a header holds CR, LF or NUL; refused", port, id_.c_str());
      return false;
    }
  }
  auto transfer = std::make_unique<CurlTransfer>();
  for (const auto& header : headers) {
    const std::string line = header.first + ": " + header.second;
    curl_slist* grown = curl_slist_append(transfer->headers.get(), line.c_str());
    if (grown == nullptr) {
      QZ_LOG(4, "port=%ld, AsyncHttpRequest Post, id=%s: out of memory for the headers", port, id_.c_str());
      return false;
    }
    static_cast<void>(transfer->headers.release());  // `grown` is the same list, one line longer
    transfer->headers.reset(grown);
  }
  transfer_ = std::move(transfer);
  return true;
}

int AsyncHttpRequest::Prepare(const TrustStore* trust, std::unique_ptr<CurlTransfer> reused) {
  if (reused) {
    // The ended transfer's easy handle and global reference, with this
    // request's header list.
    reused->headers = std::move(transfer_->headers);
    transfer_ = std::move(reused);
  }
  CurlTransfer& transfer = *transfer_;
  if (!transfer.global.Acquire()) return CURLE_FAILED_INIT;
  if (!transfer.easy) transfer.easy.reset(curl_easy_init());
  if (!transfer.easy) {
    QZ_LOG(4, "port=%ld, AsyncHttpRequest curl_easy_init error", static_cast<long>(port_));
    return CURLE_FAILED_INIT;
  }
  const AsyncHttpOptions& options = *options_;
  CURL* easy = transfer.easy.get();
  CURLcode rc = CURLE_OK;
  auto set = [&rc, easy](CURLoption option, auto value) {
    if (rc == CURLE_OK) rc = curl_easy_setopt(easy, option, value);
  };
  set(CURLOPT_URL, url_.c_str());
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
  if (deadline_ != TimePoint{}) {
    // libcurl ends a transfer when less than a millisecond of its limit is
    // left, so the one before may end just short of the deadline: a request
    // with no more than a few milliseconds left counts as past it.
    constexpr int64_t kPastDeadlineMs = 5;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - admittedAt_).count();
    if (left <= kPastDeadlineMs) return CURLE_OPERATION_TIMEDOUT;
    totalMs = static_cast<long>(std::min<int64_t>(totalMs, left));
    connectMs = std::min(connectMs, totalMs);
  }
  set(CURLOPT_TIMEOUT_MS, totalMs);
  set(CURLOPT_CONNECTTIMEOUT_MS, connectMs);
  // The transfer runs on the HTTP manager thread of a host process: libcurl
  // must never install signal handlers or use alarm() there.
  set(CURLOPT_NOSIGNAL, 1L);
  // A redirect is handed to the caller, never followed: the signed headers
  // must not reach another host.
  set(CURLOPT_FOLLOWLOCATION, 0L);
  if (head_) {
    set(CURLOPT_NOBODY, 1L);
  } else {
    set(CURLOPT_POST, 1L);
    // Without post fields a POST reads its body through the read callback,
    // whose default reads the process's standard input. body_ stays
    // unchanged while libcurl reads it.
    set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_.size()));
    set(CURLOPT_POSTFIELDS, body_.data());
  }
  if (options.proxy) {
    // Checked here rather than left to libcurl, which would take a scheme it
    // knows (socks4://) or none at all as a plain HTTP proxy.
    if (!options.proxy->empty() && !IsSupportedProxyUrl(*options.proxy)) {
      QZ_LOG(4, "port=%ld, AsyncHttpRequest id=%s: proxy '%s' is not http://, https:// or socks5h://; not sent",
             static_cast<long>(port_), id_.c_str(), EscapeUntrusted(ProxyUrlForLog(*options.proxy)).c_str());
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
  // certificates; the TLS hook above leaves its store alone.
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
  }
  if (transfer.headers) set(CURLOPT_HTTPHEADER, transfer.headers.get());
  set(CURLOPT_WRITEFUNCTION, &AsyncHttpRequest::WriteBody);
  set(CURLOPT_WRITEDATA, static_cast<void*>(this));
  set(CURLOPT_HEADERFUNCTION, &AsyncHttpRequest::WriteHeader);
  set(CURLOPT_HEADERDATA, static_cast<void*>(this));
  set(CURLOPT_PRIVATE, static_cast<void*>(this));
  if (options.transferObserver) {
    bytesSent_ = 0;
    // Verbose only feeds the debug callback; nothing is printed.
    set(CURLOPT_DEBUGFUNCTION, &CountSentBytes);
    set(CURLOPT_DEBUGDATA, static_cast<void*>(&bytesSent_));
    set(CURLOPT_VERBOSE, 1L);
  }
  if (rc != CURLE_OK) {
    QZ_LOG(4, "port=%ld, AsyncHttpRequest id=%s: option refused, curl error %d", static_cast<long>(port_), id_.c_str(),
           static_cast<int>(rc));
  }
  return rc;
}

bool AsyncHttpRequest::Append(std::string* to, const char* data, size_t length) {
  const size_t held = responseHeader_.size() + responseBody_.size();
  if (length > maxResponseBytes_ || held > maxResponseBytes_ - length) return false;
  try {
    to->append(data, length);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

size_t AsyncHttpRequest::WriteBody(char* data, size_t size, size_t count, void* user) {
  auto* self = static_cast<AsyncHttpRequest*>(user);
  const size_t length = size * count;
  // A short count makes libcurl end the transfer with CURLE_WRITE_ERROR.
  return self->Append(&self->responseBody_, data, length) ? length : 0;
}

size_t AsyncHttpRequest::WriteHeader(char* data, size_t size, size_t count, void* user) {
  auto* self = static_cast<AsyncHttpRequest*>(user);
  const size_t length = size * count;
  return self->Append(&self->responseHeader_, data, length) ? length : 0;
}

int AsyncHttpRequest::OnComplete(int curlCode) {
  // The observer of the options this request was posted with.
  const std::shared_ptr<IAsyncHttpTransferObserver> observer = options_ ? options_->transferObserver : nullptr;
  if (callback_ == nullptr && !observer) return 0;
  const TimePoint now = std::chrono::steady_clock::now();
  IotTransferTiming timing;
  if (admittedAt_ != TimePoint{}) {
    timing.queuedUs = Micros(admittedAt_ - postedAt_);
    timing.transferUs = Micros(now - admittedAt_);
  } else if (postedAt_ != TimePoint{}) {
    timing.queuedUs = Micros(now - postedAt_);
  }
  if (callback_ == nullptr) {
    // Nobody to tell of the outcome; the observer still hears of the transfer.
  } else if (curlCode != CURLE_OK) {
    IotException exception;
    exception.code = -1;
    exception.message = CurlFailureText(curlCode);
    exception.timing = timing;
    if (options_ && options_->proxy && !options_->proxy->empty()) exception.proxy = ProxyUrlForLog(*options_->proxy);
    long connectStatus = 0;
    if (transfer_ && transfer_->easy &&
        curl_easy_getinfo(transfer_->easy.get(), CURLINFO_HTTP_CONNECTCODE, &connectStatus) == CURLE_OK &&
        connectStatus > 0 && connectStatus < 1000 && (connectStatus < 200 || connectStatus > 299)) {
      exception.proxyStatus = static_cast<int32_t>(connectStatus);
    }
    callback_->OnFailure(&request_, &exception, type_);
  } else {
    IotResponse response;
    response.id = id_;
    response.code = 0;
    // Called once, and the request is deleted right after: no copy needed.
    long status = 0;
    if (transfer_ && transfer_->easy &&
        curl_easy_getinfo(transfer_->easy.get(), CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status > 0 &&
        status < 1000) {
      response.httpStatus = static_cast<int32_t>(status);
    }
    response.headers = ParseResponseHeaders(responseHeader_);
    response.data = std::move(responseBody_.empty() ? responseHeader_ : responseBody_);
    response.timing = timing;
    callback_->OnResponse(&request_, &response, type_);
  }
  if (observer) ReportTransfer(*observer, curlCode, timing);
  return 0;
}

// ---------------------------------------------------------------------------
// Transfer records

namespace {

// libcurl's CURLINFO_HTTP_VERSION as 10, 11, 20 or 30; 0 for none.
int32_t HttpVersionNumber(long curlVersion) {
  switch (curlVersion) {
    case CURL_HTTP_VERSION_1_0: return 10;
    case CURL_HTTP_VERSION_1_1: return 11;
    case CURL_HTTP_VERSION_2_0: return 20;
    case CURL_HTTP_VERSION_3: return 30;
    default: return 0;
  }
}

// What libcurl knows of the transfer on `easy`; a figure libcurl cannot give
// stays 0.
void FillFromLibcurl(CURL* easy, IotTransferRecord* record) {
  long value = 0;
  if (curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &value) == CURLE_OK && value > 0 && value < 1000) {
    record->httpStatus = static_cast<int32_t>(value);
  }
  value = 0;
  if (curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &value) == CURLE_OK) {
    record->httpVersion = HttpVersionNumber(value);
  }
  long requestBytes = 0, headerBytes = 0, newConnections = 0;
  curl_easy_getinfo(easy, CURLINFO_REQUEST_SIZE, &requestBytes);
  curl_easy_getinfo(easy, CURLINFO_HEADER_SIZE, &headerBytes);
  curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &newConnections);
  curl_off_t bodyReceived = 0;
  curl_easy_getinfo(easy, CURLINFO_SIZE_DOWNLOAD_T, &bodyReceived);
  // A request was sent, yet no connection made for it: it went over one
  // that an earlier transfer opened.
  record->connectionReused = newConnections == 0 && requestBytes > 0;
  record->bytesReceived = static_cast<int64_t>(headerBytes) + static_cast<int64_t>(bodyReceived);
  const struct {
    CURLINFO info;
    int64_t* to;
  } points[] = {
      {CURLINFO_NAMELOOKUP_TIME_T, &record->resolvedAtUs},     {CURLINFO_CONNECT_TIME_T, &record->connectedAtUs},
      {CURLINFO_APPCONNECT_TIME_T, &record->tlsDoneAtUs},      {CURLINFO_PRETRANSFER_TIME_T, &record->requestAtUs},
      {CURLINFO_STARTTRANSFER_TIME_T, &record->firstByteAtUs}, {CURLINFO_TOTAL_TIME_T, &record->totalUs},
  };
  for (const auto& point : points) {
    curl_off_t us = 0;
    if (curl_easy_getinfo(easy, point.info, &us) == CURLE_OK) *point.to = static_cast<int64_t>(us);
  }
}

}  // namespace

void AsyncHttpRequest::ReportTransfer(IAsyncHttpTransferObserver& observer, int curlCode,
                                      const IotTransferTiming& timing) {
  IotTransferRecord record;
  record.id = id_;
  record.type = type_;
  record.host = request_.host;
  record.path = request_.path;
  record.attempt = request_.attempt;
  record.head = head_;
  record.curlCode = curlCode;
  record.queuedUs = timing.queuedUs;
  record.bytesSent = bytesSent_;
  // A request that never entered libcurl has no easy handle yet.
  if (transfer_ && transfer_->easy && admittedAt_ != TimePoint{}) FillFromLibcurl(transfer_->easy.get(), &record);
  observer.OnTransfer(record);
}

// ---------------------------------------------------------------------------
// AsyncHttpRequestManage

AsyncHttpRequestManage::AsyncHttpRequestManage() : options_(std::make_shared<const AsyncHttpOptions>()) {}

AsyncHttpRequestManage::~AsyncHttpRequestManage() {
  if (IsInited()) CleanUp();
}

bool AsyncHttpRequestManage::IsInited() const {
  iotcloud::MutexLock lock(&queueMutex_);
  return inited_;
}

void AsyncHttpRequestManage::SetHttpOptions(const AsyncHttpOptions& options) {
  if (options.proxy && !options.proxy->empty()) {
    const std::string shown = EscapeUntrusted(ProxyUrlForLog(*options.proxy));
    if (IsSupportedProxyUrl(*options.proxy)) {
      QZ_LOG(2, "AsyncHttpRequestManage: proxy %s", shown.c_str());
    } else {
      QZ_LOG(4,
             "AsyncHttpRequestManage: proxy '%s' refused (http://, https:// or socks5h:// and a host); every request "
             "posted with it fails with curl error %d",
             shown.c_str(), static_cast<int>(CURLE_UNSUPPORTED_PROTOCOL));
    }
  }
  auto normalised = std::make_shared<const AsyncHttpOptions>(Normalised(options));
  iotcloud::MutexLock lock(&queueMutex_);
  options_ = std::move(normalised);
}

AsyncHttpOptions AsyncHttpRequestManage::GetHttpOptions() const { return *HttpOptions(); }

std::shared_ptr<const AsyncHttpOptions> AsyncHttpRequestManage::HttpOptions() const {
  iotcloud::MutexLock lock(&queueMutex_);
  return options_;
}

int AsyncHttpRequestManage::Init() {
  iotcloud::RecursiveMutexLock driver(&requestsMutex_);
  bool wasInited;
  std::shared_ptr<const AsyncHttpOptions> options;
  {
    iotcloud::MutexLock lock(&queueMutex_);
    wasInited = inited_;
    options = options_;
  }
  const long maxHostConnections = options->maxHostConnections;
  QZ_LOG(2, "AsyncHttpRequestManage::Init, init=%d", wasInited ? 1 : 0);
  if (wasInited) return 0;

  auto multi = std::make_unique<CurlMulti>();
  if (!multi->global.Acquire()) {
    QZ_LOG(4, "AsyncHttpRequestManage::Init, libcurl could not be initialised");
    return -1;
  }
  multi->handle.reset(curl_multi_init());
  if (!multi->handle) {
    QZ_LOG(4, "AsyncHttpRequestManage::Init, curl_multi_init failed");
    return -1;
  }
  CURLMcode mc = curl_multi_setopt(multi->handle.get(), CURLMOPT_MAX_HOST_CONNECTIONS, maxHostConnections);
  if (mc != CURLM_OK) {
    QZ_LOG(3, "AsyncHttpRequestManage::Init, CURLMOPT_MAX_HOST_CONNECTIONS refused, code %d '%s'.",
           static_cast<int>(mc), curl_multi_strerror(mc));
  }
  inMulti_ = 0;
  trust_ = BuildTrustStore(*options);
  iotcloud::MutexLock lock(&queueMutex_);
  multi_ = std::move(multi);
  inited_ = true;
  return 0;
}

int AsyncHttpRequestManage::CleanUp() {
  QZ_LOG(2, "AsyncHttpRequestManage::CleanUp");
  iotcloud::RecursiveMutexLock driver(&requestsMutex_);
  if (inHeartBeat_) {
    // Called from a completion callback: the step on this thread's stack
    // still uses the multi handle and the request being completed.
    QZ_LOG(4, "AsyncHttpRequestManage::CleanUp from inside a completion callback refused");
    return -1;
  }
  std::deque<AsyncHttpRequest*> pending;
  {
    iotcloud::MutexLock lock(&queueMutex_);
    if (!inited_) return 0;
    inited_ = false;  // from here on Post and AddRequest refuse
    pending.swap(pending_);
  }
  std::vector<AsyncHttpRequest*> cancelled;
  cancelled.swap(cancelled_);
  for (AsyncHttpRequest* request : cancelled) {
    RemoveFromMulti(request);
    delete request;
  }
  // Taken out of the members first: the callbacks below may post (refused
  // now) or cancel (finding nothing) without disturbing this loop.
  std::multimap<std::string, AsyncHttpRequest*> inFlight;
  inFlight.swap(requests_);
  for (auto& entry : inFlight) {
    AsyncHttpRequest* request = entry.second;
    request->OnComplete(CURLE_ABORTED_BY_CALLBACK);
    RemoveFromMulti(request);
    delete request;
  }
  for (AsyncHttpRequest* request : pending) {
    request->OnComplete(CURLE_ABORTED_BY_CALLBACK);
    delete request;
  }
  // Then the tasks, told that they will not run. One at a time: a task may
  // cancel another, which is then not called.
  for (Task task; TakeFirstTask(std::chrono::steady_clock::time_point::max(), &task);) task(false);
  inMulti_ = 0;
  idle_.clear();  // easy handles before the multi handle that their connections belong to
  {
    iotcloud::MutexLock lock(&queueMutex_);
    multi_.reset();
  }
  trust_.reset();  // after the connections, though each TLS context holds its own reference
  return 0;
}

int AsyncHttpRequestManage::AddRequest(std::string id, AsyncHttpRequest* request) {
  iotcloud::MutexLock lock(&queueMutex_);
  if (!inited_) {
    QZ_LOG(4, "AsyncHttpRequestManage::AddClient, but multi_ have not inited!!!!");
    return -1;
  }
  if (request == nullptr || !request->submitted_) {
    QZ_LOG(4, "AsyncHttpRequestManage::AddRequest, id=%s has no prepared transfer", id.c_str());
    return -1;
  }
  request->id_ = std::move(id);
  request->postedAt_ = std::chrono::steady_clock::now();
  // A queue that was not empty has a wake-up on its way already, or waits
  // for a transfer to end, which wakes the driving thread anyway.
  const bool wake = pending_.empty();
  pending_.push_back(request);
  if (wake) curl_multi_wakeup(multi_->handle.get());
  return 0;
}

int AsyncHttpRequestManage::RemoveRequests(std::vector<std::string> ids) {
  std::vector<AsyncHttpRequest*> unsent;
  bool cancelledInFlight = false;
  {
    iotcloud::RecursiveMutexLock driver(&requestsMutex_);
    {
      iotcloud::MutexLock lock(&queueMutex_);
      for (const std::string& id : ids) {
        auto held = std::stable_partition(pending_.begin(), pending_.end(),
                                          [&id](AsyncHttpRequest* r) { return r->id_ != id; });
        unsent.insert(unsent.end(), held, pending_.end());
        pending_.erase(held, pending_.end());
      }
    }
    // In flight: only the driving thread may touch the multi handle, and it
    // may be waiting in curl_multi_poll now. Mark the requests so no step
    // completes them, and let the next step remove them.
    for (const std::string& id : ids) {
      auto range = requests_.equal_range(id);
      for (auto it = range.first; it != range.second; ++it) {
        it->second->cancelled_ = true;
        cancelled_.push_back(it->second);
        cancelledInFlight = true;
      }
      requests_.erase(range.first, range.second);
    }
  }
  // Never in the multi handle, so no libcurl state refers to them.
  for (AsyncHttpRequest* request : unsent) delete request;
  if (cancelledInFlight) Wakeup();
  return 0;
}

void AsyncHttpRequestManage::EraseFromRequests(AsyncHttpRequest* request) {
  auto range = requests_.equal_range(request->id_);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == request) {
      requests_.erase(it);
      return;
    }
  }
}

void AsyncHttpRequestManage::SweepCancelled() {
  if (cancelled_.empty()) return;
  std::vector<AsyncHttpRequest*> cancelled;
  cancelled.swap(cancelled_);
  for (AsyncHttpRequest* request : cancelled) {
    RemoveFromMulti(request);
    --inMulti_;
    Retire(request);
  }
}

CurlMulti* AsyncHttpRequestManage::DriverMulti() IOTCLOUD_NO_THREAD_SAFETY_ANALYSIS { return multi_.get(); }

void AsyncHttpRequestManage::RemoveFromMulti(AsyncHttpRequest* request) {
  if (request->transfer_ && request->transfer_->easy) {
    curl_multi_remove_handle(DriverMulti()->handle.get(), request->transfer_->easy.get());
  }
}

void AsyncHttpRequestManage::Retire(AsyncHttpRequest* request) {
  size_t keep;
  {
    iotcloud::MutexLock lock(&queueMutex_);
    keep = static_cast<size_t>(options_->maxTransfers);
  }
  CurlTransfer* transfer = request->transfer_.get();
  if (transfer != nullptr && transfer->easy && idle_.size() < keep) {
    // Back to the state of a new handle, keeping only what libcurl keeps
    // across a reset (buffers; connections belong to the multi handle).
    curl_easy_reset(transfer->easy.get());
    transfer->headers.reset();
    idle_.push_back(std::move(request->transfer_));
  }
  delete request;
}

void AsyncHttpRequestManage::Complete(AsyncHttpRequest* request, int curlCode) {
  if (request->cancelled_) return;  // removed by the sweep that ends the step
  // Out of the table before the callback, so a callback cancelling its own
  // request finds nothing to cancel.
  EraseFromRequests(request);
  request->OnComplete(curlCode);
  RemoveFromMulti(request);
  --inMulti_;
  Retire(request);
}

void AsyncHttpRequestManage::Admit() {
  std::vector<AsyncHttpRequest*> admitted;
  {
    iotcloud::MutexLock lock(&queueMutex_);
    const size_t limit = static_cast<size_t>(options_->maxTransfers);
    while (inMulti_ + admitted.size() < limit && !pending_.empty()) {
      admitted.push_back(pending_.front());
      pending_.pop_front();
    }
  }
  if (admitted.empty()) return;
  // Every admitted request joins the table before any callback of this step
  // runs, so RemoveRequests from a callback finds all of them.
  std::vector<std::pair<AsyncHttpRequest*, int>> refused;
  const auto now = std::chrono::steady_clock::now();
  for (AsyncHttpRequest* request : admitted) {
    request->admittedAt_ = now;
    int error = CURLE_OK;
    if (AdmitOne(request, &error)) {
      ++inMulti_;
      requests_.emplace(request->id_, request);
    } else {
      refused.emplace_back(request, error);
    }
  }
  for (auto& entry : refused) {
    entry.first->OnComplete(entry.second);
    delete entry.first;
  }
}

bool AsyncHttpRequestManage::AdmitOne(AsyncHttpRequest* request, int* error) {
  std::unique_ptr<CurlTransfer> reused;
  if (!idle_.empty()) {
    reused = std::move(idle_.back());
    idle_.pop_back();
  }
  *error = request->Prepare(trust_.get(), std::move(reused));
  if (*error != CURLE_OK) return false;
  const CURLMcode mc = curl_multi_add_handle(DriverMulti()->handle.get(), request->transfer_->easy.get());
  if (mc != CURLM_OK) {
    LogMultiFailure("curl_multi_add_handle()", mc);
    *error = CURLE_FAILED_INIT;
    return false;
  }
  return true;
}

int AsyncHttpRequestManage::HeartBeat() {
  iotcloud::RecursiveMutexLock driver(&requestsMutex_);
  if (inHeartBeat_) return 0;  // from inside a completion callback
  {
    iotcloud::MutexLock lock(&queueMutex_);
    if (!inited_) return 0;
  }
  struct StepFlag {
    bool& flag;
    explicit StepFlag(bool& f) : flag(f) { flag = true; }
    ~StepFlag() { flag = false; }
  } step(inHeartBeat_);
  CURLM* multi = DriverMulti()->handle.get();

  SweepCancelled();
  RunDueTasks();
  Admit();

  int result = 0;
  CURLMcode mc = curl_multi_perform(multi, &stillRunning_);
  if (mc != CURLM_OK) {
    LogMultiFailure("curl_multi_perform()", mc);
    result = -1;
  }
  // Completions already queued are delivered even when perform failed.
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
    if (message->msg != CURLMSG_DONE) continue;
    // The message is valid only until the handle leaves the multi handle.
    char* priv = nullptr;
    if (curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &priv) != CURLE_OK || priv == nullptr) continue;
    Complete(reinterpret_cast<AsyncHttpRequest*>(priv), message->data.result);
  }
  SweepCancelled();
  // Fill the slots freed by this step; libcurl's timer for the new transfers
  // is already due, so the next wait returns at once and the next step
  // starts them.
  Admit();
  return result;
}

int AsyncHttpRequestManage::WaitForActivity() {
  CURLM* multi;
  bool busy;
  int waitMs;
  {
    iotcloud::RecursiveMutexLock driver(&requestsMutex_);
    if (inHeartBeat_) return 0;  // from inside a completion callback: never block there
    iotcloud::MutexLock lock(&queueMutex_);
    if (!inited_) return -1;
    multi = multi_->handle.get();
    busy = inMulti_ > 0 || !pending_.empty();
    waitMs = static_cast<int>(busy ? kBusyWaitMs : kIdleWaitMs);
    if (!tasks_.empty()) {
      const auto untilTask = tasks_.begin()->first.first - std::chrono::steady_clock::now();
      // Rounded up, so the wait does not end just before the task is due.
      const auto ms = std::chrono::ceil<std::chrono::milliseconds>(untilTask).count();
      waitMs = static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(waitMs, ms)));
    }
  }
  // curl_multi_poll also returns early for libcurl's own timers, and at once
  // after curl_multi_wakeup, even one made before the call.
  CURLMcode mc = curl_multi_poll(multi, nullptr, 0, waitMs, nullptr);
  wakeups_.fetch_add(1, std::memory_order_relaxed);
  if (mc != CURLM_OK) {
    LogMultiFailure("curl_multi_poll()", mc);
    return -1;
  }
  return 0;
}

void AsyncHttpRequestManage::Wakeup() {
  iotcloud::MutexLock lock(&queueMutex_);
  if (multi_) curl_multi_wakeup(multi_->handle.get());
}

uint64_t AsyncHttpRequestManage::ScheduleTask(std::chrono::steady_clock::time_point due, Task task) {
  iotcloud::MutexLock lock(&queueMutex_);
  if (!inited_ || !task) return 0;
  const uint64_t id = ++lastTaskId_;
  // Only a task that becomes the first changes how long the driving thread
  // may sleep.
  const bool first = tasks_.empty() || due < tasks_.begin()->first.first;
  tasks_.emplace(std::make_pair(due, id), std::move(task));
  taskDue_.emplace(id, due);
  if (first) curl_multi_wakeup(multi_->handle.get());
  return id;
}

bool AsyncHttpRequestManage::CancelTask(uint64_t id) {
  Task task;  // released after the lock: it may hold the last reference to anything
  iotcloud::MutexLock lock(&queueMutex_);
  auto held = taskDue_.find(id);
  if (held == taskDue_.end()) return false;
  auto it = tasks_.find(std::make_pair(held->second, id));
  task = std::move(it->second);
  tasks_.erase(it);
  taskDue_.erase(held);
  return true;
}

void AsyncHttpRequestManage::RunDueTasks() {
  const auto now = std::chrono::steady_clock::now();
  // One at a time, so a task may cancel or schedule others; a task
  // scheduled for now by a running task waits for the next step.
  for (Task task; TakeFirstTask(now, &task);) task(true);
}

bool AsyncHttpRequestManage::TakeFirstTask(std::chrono::steady_clock::time_point dueBy, Task* task) {
  iotcloud::MutexLock lock(&queueMutex_);
  if (tasks_.empty() || tasks_.begin()->first.first > dueBy) return false;
  auto first = tasks_.begin();
  *task = std::move(first->second);
  taskDue_.erase(first->first.second);
  tasks_.erase(first);
  return true;
}

// ---------------------------------------------------------------------------
// Response headers

std::vector<std::pair<std::string, std::string>> ParseResponseHeaders(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> fields;
  auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
  auto trimmed = [&isBlank](const std::string& line, size_t from, size_t to) {
    while (from < to && isBlank(line[from])) ++from;
    while (to > from && isBlank(line[to - 1])) --to;
    return line.substr(from, to - from);
  };
  bool dropping = false;  // past kMaxResponseHeaders: the rest of this response is skipped
  bool canFold = false;   // the line before was a kept field
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    if (line.compare(0, 5, "HTTP/") == 0) {
      // A new response's status line: only the last response counts.
      fields.clear();
      dropping = false;
      canFold = false;
      continue;
    }
    if (isBlank(line[0])) {
      // A folded line continues the field before it.
      const std::string more = trimmed(line, 0, line.size());
      if (canFold && !more.empty()) {
        std::string& value = fields.back().second;
        value += value.empty() ? more : " " + more;
      }
      continue;
    }
    canFold = false;
    const size_t colon = line.find(':');
    if (colon == std::string::npos || dropping) continue;
    if (fields.size() >= IotResponse::kMaxResponseHeaders) {
      dropping = true;
      continue;
    }
    std::string name = trimmed(line, 0, colon);
    if (name.empty()) continue;
    canFold = true;
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    fields.emplace_back(std::move(name), trimmed(line, colon + 1, line.size()));
  }
  return fields;
}

// ---------------------------------------------------------------------------
// Proxies

bool IsSupportedProxyUrl(const std::string& url) {
  const std::string scheme = LowerScheme(url);
  if (scheme != "http://" && scheme != "https://" && scheme != "socks5h://") return false;
  if (url.size() == scheme.size()) return false;
  const char first = url[scheme.size()];
  if (first == '/' || first == '?' || first == '#' || first == ':') return false;  // no host
  for (char c : url) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7f) return false;
  }
  return true;
}

std::string ProxyUrlForLog(const std::string& url) {
  const size_t schemeEnd = url.find("://");
  const size_t authority = schemeEnd == std::string::npos ? 0 : schemeEnd + 3;
  // The last '@' anywhere: a proxy URL has no use for one in a path, and a
  // password with an unencoded '/' must not show either.
  const size_t at = url.rfind('@');
  if (at == std::string::npos || at < authority) return url;
  return url.substr(0, authority) + url.substr(at + 1);
}

std::string ProxyFailureNote(const IotException& exception) {
  std::string note;
  if (!exception.proxy.empty()) {
    note = " via proxy " + EscapeUntrusted(exception.proxy);
  } else if (exception.proxyStatus != 0) {
    note = " via a proxy";
  }
  if (exception.proxyStatus != 0) note += ", which answered " + std::to_string(exception.proxyStatus);
  return note;
}

// ---------------------------------------------------------------------------
// Failure text

std::string CurlFailureText(int code) { return "curl error " + std::to_string(code); }

std::string CurlCodeDescription(int code) { return curl_easy_strerror(static_cast<CURLcode>(code)); }

bool ParseCurlFailure(const std::string& text, int* code) {
  static const char kPrefix[] = "curl error ";
  constexpr size_t kPrefixLength = sizeof kPrefix - 1;
  if (text.size() <= kPrefixLength || text.compare(0, kPrefixLength, kPrefix) != 0) return false;
  int value = 0;
  for (size_t i = kPrefixLength; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9' || value > 99999) return false;
    value = value * 10 + (c - '0');
  }
  *code = value;
  return true;
}
