// The operating system's own root certificates, for systems that keep them
// somewhere other than the files libcurl names (one source file per system
// under src/platform/; CMake picks it). Internal to the library.
//
// Thread safety: any thread; `store` must not be in use by another thread.
#pragma once

#include <openssl/x509.h>

namespace iotcloud {

// Adds the system's trusted root certificates to `store`. Returns how many
// were added (0 when the system holds none that OpenSSL can read), or -1 when
// this system keeps its roots in the files libcurl names, which the caller
// then loads as it would without this function.
int AddSystemRootCertificates(X509_STORE* store);

}  // namespace iotcloud
