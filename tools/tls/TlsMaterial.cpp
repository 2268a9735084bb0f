#include "tls/TlsMaterial.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <cstring>

#include "core/support/internal/Owned.h"
#include "tls/Files.h"

namespace iotcloud {
namespace tls {
namespace {

using PkeyPtr = Owned<EVP_PKEY, EVP_PKEY_free>;
using X509Ptr = Owned<X509, X509_free>;
using BioPtr = Owned<BIO, BIO_free>;
using ExtPtr = Owned<X509_EXTENSION, X509_EXTENSION_free>;
using BnPtr = Owned<BIGNUM, BN_free>;

// Sets *error to `what` followed by OpenSSL's queued reasons, and clears the
// queue so later calls start clean.
bool Fail(std::string* error, const std::string& what) {
  std::string text = what;
  unsigned long code;
  while ((code = ERR_get_error()) != 0) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    text += ": ";
    text += buffer;
  }
  if (error != nullptr) *error = text;
  return false;
}

PkeyPtr NewKey() { return PkeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")); }

bool AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  ExtPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
  return ext != nullptr && X509_add_ext(cert, ext.get(), -1) == 1;
}

// A certificate for `key` named `commonName`, issued by `issuer` (null: by
// itself), with the given extensions (nid, value pairs) and a random serial.
X509Ptr MakeCertificate(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey,
                        const std::pair<int, const char*>* extensions, size_t extensionCount) {
  X509Ptr cert(X509_new());
  if (!cert) return nullptr;
  BnPtr serial(BN_new());
  if (!serial || BN_rand(serial.get(), 64, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
      BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())) == nullptr) {
    return nullptr;
  }
  if (X509_set_version(cert.get(), X509_VERSION_3) != 1 ||
      X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) == nullptr ||
      X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3L * 24 * 3600) == nullptr ||
      X509_set_pubkey(cert.get(), key) != 1) {
    return nullptr;
  }
  X509_NAME* name = X509_get_subject_name(cert.get());
  if (X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("iotcloud test"), -1,
                                 -1, 0) != 1 ||
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1,
                                 0) != 1) {
    return nullptr;
  }
  X509* signer = issuer != nullptr ? issuer : cert.get();
  if (X509_set_issuer_name(cert.get(), X509_get_subject_name(signer)) != 1) return nullptr;
  for (size_t i = 0; i < extensionCount; ++i) {
    if (!AddExtension(cert.get(), signer, extensions[i].first, extensions[i].second)) {
      return nullptr;
    }
  }
  if (X509_sign(cert.get(), issuerKey, EVP_sha256()) <= 0) return nullptr;
  return cert;
}

// Writes an object as PEM with `write` into *out.
template <typename T, typename Write>
bool ToPem(T* object, Write write, std::string* out) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || write(bio.get(), object) != 1) return false;
  char* data = nullptr;
  long length = BIO_get_mem_data(bio.get(), &data);
  out->assign(data, static_cast<size_t>(length));
  return true;
}

bool ToPem(X509* cert, std::string* out) { return ToPem(cert, PEM_write_bio_X509, out); }

bool ToPem(EVP_PKEY* key, std::string* out) {
  return ToPem(
      key,
      [](BIO* bio, EVP_PKEY* k) { return PEM_write_bio_PrivateKey(bio, k, nullptr, nullptr, 0, nullptr, nullptr); },
      out);
}

}  // namespace

bool GenerateTlsMaterial(TlsMaterial* out, std::string* error) {
  return GenerateTlsMaterialFor("DNS:localhost,IP:127.0.0.1", out, error);
}

bool GenerateTlsMaterialFor(const std::string& subjectAltName, TlsMaterial* out, std::string* error) {
  if (out == nullptr) {
    if (error != nullptr) *error = "no output";
    return false;
  }
  PkeyPtr caKey = NewKey();
  PkeyPtr serverKey = NewKey();
  if (!caKey || !serverKey) return Fail(error, "EC key generation failed");

  const std::pair<int, const char*> caExtensions[] = {
      {NID_basic_constraints, "critical,CA:TRUE"},
      {NID_key_usage, "critical,keyCertSign,cRLSign"},
      {NID_subject_key_identifier, "hash"},
  };
  X509Ptr ca = MakeCertificate(caKey.get(), "iotcloud test CA", nullptr, caKey.get(), caExtensions,
                               sizeof caExtensions / sizeof caExtensions[0]);
  if (!ca) return Fail(error, "CA certificate creation failed");

  const std::pair<int, const char*> serverExtensions[] = {
      {NID_basic_constraints, "critical,CA:FALSE"},
      {NID_key_usage, "critical,digitalSignature,keyEncipherment"},
      {NID_ext_key_usage, "serverAuth"},
      {NID_subject_alt_name, subjectAltName.c_str()},
      {NID_subject_key_identifier, "hash"},
      {NID_authority_key_identifier, "keyid:always"},
  };
  X509Ptr server = MakeCertificate(serverKey.get(), "localhost", ca.get(), caKey.get(), serverExtensions,
                                   sizeof serverExtensions / sizeof serverExtensions[0]);
  if (!server) return Fail(error, "server certificate creation failed");

  TlsMaterial material;
  if (!ToPem(ca.get(), &material.caCertPem) || !ToPem(server.get(), &material.serverCertPem) ||
      !ToPem(serverKey.get(), &material.serverKeyPem)) {
    return Fail(error, "PEM encoding failed");
  }
  *out = std::move(material);
  return true;
}

std::string MakeTemporaryFolder(const std::string& prefix, std::string* error) {
  return MakeFreshFolder(prefix, error);
}

bool WriteTlsMaterial(const TlsMaterial& material, const std::string& dir, std::string* error) {
  return MakePrivateFolder(dir, error) && WriteWholeFile(dir + "/ca.pem", material.caCertPem, false, error) &&
         WriteWholeFile(dir + "/server.pem", material.serverCertPem, false, error) &&
         WriteWholeFile(dir + "/server.key", material.serverKeyPem, true, error);
}

}  // namespace tls
}  // namespace iotcloud
