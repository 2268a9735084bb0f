// Windows keeps its roots in the "ROOT" certificate store of the system
// (crypt32), which libcurl's OpenSSL backend does not read.
#include "core/support/internal/SystemTrustStore.h"

// <windows.h> first: <wincrypt.h> builds on its types.
#include <windows.h>

#include <wincrypt.h>

#include <openssl/x509.h>

#include "core/support/TovoLog.h"
#include "core/support/internal/Owned.h"

namespace iotcloud {
namespace {

BOOL CloseStore(HCERTSTORE store) { return CertCloseStore(store, 0); }

}  // namespace

int AddSystemRootCertificates(X509_STORE* store) {
  if (store == nullptr) return 0;
  Owned<void, CloseStore> system(CertOpenSystemStoreW(0, L"ROOT"));
  if (!system) {
    QZ_LOG(4, "trust store: cannot open the system's ROOT store (error %lu)", GetLastError());
    return 0;
  }
  int added = 0;
  int unreadable = 0;
  PCCERT_CONTEXT context = nullptr;
  while ((context = CertEnumCertificatesInStore(system.get(), context)) != nullptr) {
    if (context->dwCertEncodingType != X509_ASN_ENCODING) continue;
    const unsigned char* der = context->pbCertEncoded;
    Owned<X509, X509_free> certificate(d2i_X509(nullptr, &der, static_cast<long>(context->cbCertEncoded)));
    if (!certificate) {
      ++unreadable;
      continue;
    }
    if (X509_STORE_add_cert(store, certificate.get()) == 1) ++added;
  }
  QZ_LOG(2, "trust store: %d roots from the system's ROOT store (%d unreadable)", added, unreadable);
  return added;
}

}  // namespace iotcloud
