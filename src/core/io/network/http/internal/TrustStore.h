// The certificates every gateway connection is verified against, parsed
// once per AsyncHttpRequestManage::Init() and shared by all connections, and
// the TLS hook that hands them to each new connection.
//
// Owns: building the store from the options (caPem, caFile or the system's
// trust store) and the CURLOPT_SSL_CTX_FUNCTION that installs it. The store
// is built and released on the thread calling Init()/CleanUp(); in between it
// is read-only and read from the HTTP manager thread's TLS set-up. Each
// connection's TLS context takes its own reference, so a context libcurl
// frees late never sees the store freed.
#pragma once

#include <curl/curl.h>
#include <openssl/x509_vfy.h>

#include <memory>

#include "core/support/internal/Owned.h"

struct AsyncHttpOptions;

namespace iotcloud {
namespace http {

struct TrustStore {
  Owned<X509_STORE, X509_STORE_free> store;  // null when it could not be built
  CURLcode error = CURLE_OK;                 // why not: every connection fails with it
};

// The store for `options`: caPem, else caFile, else libcurl's default bundle
// and folder. Logs (level 4) when no usable certificate was found.
std::shared_ptr<TrustStore> BuildTrustStore(const AsyncHttpOptions& options);

// What a transfer's TLS set-up needs; lives in the transfer's CurlTransfer.
struct TlsSetup {
  const TrustStore* trust = nullptr;
  bool httpsProxy = false;  // an "https://" proxy is set: libcurl opens TLS to it too
};

// CURLOPT_SSL_CTX_FUNCTION with a TlsSetup* as its data: gives a new
// gateway connection's TLS context the shared store; leaves an "https://"
// proxy's own connection alone.
CURLcode InstallTrustStore(CURL* easy, void* sslContext, void* tlsSetup);

}  // namespace http
}  // namespace iotcloud
