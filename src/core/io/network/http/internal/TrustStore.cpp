#include "core/io/network/http/internal/TrustStore.h"

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdint>
#include <string>

#include "core/io/network/http/AsyncHttpRequest.h"
#include "core/support/TovoLog.h"
#include "core/support/internal/SystemTrustStore.h"

namespace iotcloud {
namespace http {
namespace {

// libcurl's own defaults: the CA bundle and folder it would read when no
// CA option is set (the system's trust store).
void DefaultCaLocations(std::string* file, std::string* folder) {
  Owned<CURL, curl_easy_cleanup> probe(curl_easy_init());
  if (!probe) return;
  char* value = nullptr;
  if (curl_easy_getinfo(probe.get(), CURLINFO_CAINFO, &value) == CURLE_OK && value != nullptr) *file = value;
  value = nullptr;
  if (curl_easy_getinfo(probe.get(), CURLINFO_CAPATH, &value) == CURLE_OK && value != nullptr) *folder = value;
}

void FreeInfoStack(STACK_OF(X509_INFO) * infos) { sk_X509_INFO_pop_free(infos, X509_INFO_free); }

// Every certificate of a PEM text; false when it holds none or an
// unreadable one.
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

}  // namespace

// Verification as libcurl sets it up for its own store: trusted
// certificates first, and an intermediate in the store may anchor a chain.
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
  } else if (const int added = AddSystemRootCertificates(store); added >= 0) {
    source = "the system trust store";  // one the system keeps in a store of its own
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

// libcurl calls this for every TLS context of a transfer, the one for an
// "https://" proxy included, and (this libcurl) loads a context's CA
// certificates only after the call, into whatever store the context then
// has. The proxy's context must therefore keep its own store: the shared one
// would verify the proxy against the gateway's CAs and then take in the
// proxy's. It is told apart by the tunnel: a new TLS connection to the
// gateway starts only once the proxy has opened the tunnel for this transfer
// (CONNECT answered 2xx); the proxy's own starts before that, also when a
// refused CONNECT (407) makes libcurl connect to the proxy again.
CURLcode InstallTrustStore(CURL* easy, void* sslContext, void* tlsSetup) {
  const auto* tls = static_cast<const TlsSetup*>(tlsSetup);
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

}  // namespace http
}  // namespace iotcloud
