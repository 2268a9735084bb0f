// POSIX systems keep their roots in the bundle or folder libcurl names.
#include "core/support/internal/SystemTrustStore.h"

namespace iotcloud {

int AddSystemRootCertificates(X509_STORE* /*store*/) { return -1; }

}  // namespace iotcloud
