// Throw-away TLS material for loopback servers: a self-signed CA and a server
// certificate it signed for "localhost" and 127.0.0.1.
//
// Every function is thread-safe and reports failures through its result and
// the optional `error` text; nothing throws.
#pragma once

#include <string>

namespace iotcloud {
namespace tls {

// PEM texts. The CA certificate is what a client trusts; the server presents
// serverCertPem with the private key serverKeyPem.
struct TlsMaterial {
  std::string caCertPem;
  std::string serverCertPem;
  std::string serverKeyPem;
};

// Generates a fresh EC P-256 CA (basicConstraints CA:TRUE, keyCertSign) and a
// server certificate signed by it with subjectAltName DNS:localhost and
// IP:127.0.0.1, valid from an hour ago for three days. Returns false (and
// leaves *out untouched) when OpenSSL fails; *error then says why.
bool GenerateTlsMaterial(TlsMaterial* out, std::string* error);

// The same with another subjectAltName for the server certificate, in
// OpenSSL's configuration syntax ("DNS:name,IP:address"), e.g. to test that a
// client rejects a certificate issued for another host.
bool GenerateTlsMaterialFor(const std::string& subjectAltName, TlsMaterial* out, std::string* error);

// Creates a fresh folder "<prefix>XXXXXX" (mode 0700) under the system's
// temporary folder and returns its path; empty with *error when it cannot.
// The caller removes it.
std::string MakeTemporaryFolder(const std::string& prefix, std::string* error);

// Writes dir/ca.pem, dir/server.pem and dir/server.key (mode 0600), creating
// `dir` when it does not exist. Returns false with *error on any failure.
bool WriteTlsMaterial(const TlsMaterial& material, const std::string& dir, std::string* error);

}  // namespace tls
}  // namespace iotcloud
