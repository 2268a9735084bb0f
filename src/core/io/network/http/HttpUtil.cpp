#include "core/io/network/http/HttpUtil.h"

#include <cjson/cJSON.h>
#include <openssl/bio.h>
#include <openssl/decoder.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "core/io/network/http/internal/Base64.h"
#include "core/io/network/http/internal/HttpDate.h"
#include "core/support/QZRandom.h"
#include "core/support/TovoLog.h"
#include "core/support/internal/JsonPtr.h"
#include "core/support/internal/Owned.h"

// The built-in key: a placeholder 2048-bit RSA key made for this project. A
// deployment replaces it with its cloud's public key (same form: one line of
// Base64 between the markers, no line feed at the end), or the host points
// `public_key` at its own key at run time.
static const char kBuiltInPublicKey[] =
    "-----BEGIN PUBLIC KEY-----\n"
    "MIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8AMIIBCgKCAQEA3Asaa7UBhuygAZ3TBVMuEYeTKVuWNgQvoMvT0RwfqmaS3lU6TN7I"
    "SlJkBOoFgpVGVCVbwKU8IzTQVdj1eFrEjjCncfkb50LE3yMVXWu0vmJl2Apv+KVziwNfiLLBK4KjeRJ9w23o65TckysMCmpK"
    "CDJg/1dhjQvJ6l4zqGrjQbrZSabnapRQttyzo+v19Vlcpk7CSlX3yGcJeEOpzI+mYC7oR5Sf2WGpxKhxYTHPrYdnj5HaxRma"
    "Zmfycb9d2ponSToqFrOBFFzTJ67F4C/Sa60/U5bCW8jS9v5pYrCdMY1aUiimDPIuW5moAC1j07jFIkiQNRnOStugRQBalvqK"
    "lQIDAQAB\n"
    "-----END PUBLIC KEY-----";

const char* public_key = kBuiltInPublicKey;

namespace {

// ---- Text encoders -------------------------------------------------------

// Letters and digits as the POSIX locale classifies them. The library never
// changes the process locale, but its host may; the encoding must not follow.
bool IsAsciiAlnum(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// ---- Request envelope ----------------------------------------------------

constexpr char kEnvelopeVersion[] = "1.0";

// The envelope text, or empty text when a JSON object or the printed text
// could not be made. Takes over `params` (may be null) in every case.
std::string BuildEnvelope(iotcloud::JsonPtr params, const std::string& language, const std::string& apiVer,
                          const std::string& id, const std::string& iotToken) {
  iotcloud::JsonPtr envelope(cJSON_CreateObject());
  iotcloud::JsonPtr request(cJSON_CreateObject());
  if (!envelope || !request) {
    return {};
  }
  if (!cJSON_AddItemToObject(envelope.get(), "request", request.get())) {
    return {};
  }
  cJSON* const requestItem = request.release();  // now owned by the envelope

  if (cJSON_AddStringToObject(requestItem, "language", language.c_str()) == nullptr ||
      cJSON_AddStringToObject(requestItem, "apiVer", apiVer.c_str()) == nullptr) {
    return {};
  }
  if (!iotToken.empty() && cJSON_AddStringToObject(requestItem, "iotToken", iotToken.c_str()) == nullptr) {
    return {};
  }
  if (params) {
    if (!cJSON_AddItemToObject(envelope.get(), "params", params.get())) {
      return {};
    }
    static_cast<void>(params.release());  // now owned by the envelope
  }
  if (cJSON_AddStringToObject(envelope.get(), "id", id.c_str()) == nullptr ||
      cJSON_AddStringToObject(envelope.get(), "version", kEnvelopeVersion) == nullptr) {
    return {};
  }
  const iotcloud::JsonText text(cJSON_Print(envelope.get()));
  if (!text) {
    return {};
  }
  return std::string(text.get());
}

// ---- Signature headers ---------------------------------------------------

constexpr char kMethod[] = "POST";
constexpr char kAccept[] = "application/json; charset=utf-8";
constexpr char kFormContentType[] = "application/x-www-form-urlencoded; charset=utf-8";
constexpr char kStreamContentType[] = "application/octet-stream; charset=utf-8";
constexpr char kSignatureMethod[] = "HmacSHA1";
constexpr char kSignedHeaders[] = "x-ca-key,x-ca-nonce,x-ca-signature-method";
constexpr int kNonceLength = 32;
constexpr int kEnvPre = 1;
constexpr int kEnvTest = 2;

// ---- RSA -----------------------------------------------------------------

constexpr char kSpkiMarker[] = "-----BEGIN PUBLIC KEY-----";
constexpr char kPkcs1Marker[] = "-----BEGIN RSA PUBLIC KEY-----";
// Ciphertext and text areas. The ciphertext area bounds the modulus at 4096
// bits; the text area offers Base64 511 bytes, so the text always ends in a
// zero and fits ciphertexts up to 381 bytes (keys up to 3048 bits).
constexpr int kRsaWorkAreaSize = 512;
// RSAES-PKCS1-v1_5 needs 11 bytes of the modulus for its padding.
constexpr int kPkcs1PaddingOverhead = 11;

using BioPtr = iotcloud::Owned<BIO, BIO_free>;
using PkeyPtr = iotcloud::Owned<EVP_PKEY, EVP_PKEY_free>;
using PkeyCtxPtr = iotcloud::Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using DecoderCtxPtr = iotcloud::Owned<OSSL_DECODER_CTX, OSSL_DECODER_CTX_free>;

// Drops, on scope exit, whatever OpenSSL queued on this thread's error queue
// since construction, so a failed call leaves nothing behind for the caller.
class OpenSslErrorScope {
 public:
  OpenSslErrorScope() { ERR_set_mark(); }
  ~OpenSslErrorScope() { ERR_pop_to_mark(); }
  OpenSslErrorScope(const OpenSslErrorScope&) = delete;
  OpenSslErrorScope& operator=(const OpenSslErrorScope&) = delete;
};

bool StartsWith(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

// The RSA public key in the PEM text `pem`, chosen by its first line; null
// when the text begins with neither marker, cannot be read or holds a key of
// another type.
PkeyPtr ReadRsaPublicKey(const char* pem) {
  const bool spki = StartsWith(pem, kSpkiMarker);
  if (!spki && !StartsWith(pem, kPkcs1Marker)) {
    return nullptr;
  }
  const BioPtr bio(BIO_new_mem_buf(pem, -1));
  if (!bio) {
    return nullptr;
  }
  PkeyPtr key;
  if (spki) {
    key.reset(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
  } else {
    EVP_PKEY* decoded = nullptr;
    const DecoderCtxPtr decoder(
        OSSL_DECODER_CTX_new_for_pkey(&decoded, "PEM", "type-specific", "RSA", EVP_PKEY_PUBLIC_KEY, nullptr, nullptr));
    if (!decoder) {
      return nullptr;
    }
    const bool ok = OSSL_DECODER_from_bio(decoder.get(), bio.get()) == 1;
    key.reset(decoded);
    if (!ok) {
      return nullptr;
    }
  }
  if (!key || EVP_PKEY_is_a(key.get(), "RSA") != 1) {
    return nullptr;
  }
  return key;
}

}  // namespace

// ---- Free encoders ---------------------------------------------------------

unsigned char ToHex(unsigned char value) { return static_cast<unsigned char>(value < 10 ? value + 48 : value + 55); }

unsigned char FromHex(unsigned char c) {
  if (c >= 'A' && c <= 'Z') {
    return static_cast<unsigned char>(c - 55);
  }
  if (c >= 'a' && c <= 'z') {
    return static_cast<unsigned char>(c - 87);
  }
  return static_cast<unsigned char>(c - 48);
}

std::string UrlDecode(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  const size_t size = text.size();
  for (size_t i = 0; i < size;) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= size) {
        // Fewer than two characters follow: nothing to decode, keep them.
        out.append(text, i, std::string::npos);
        break;
      }
      const unsigned high = FromHex(static_cast<unsigned char>(text[i + 1]));
      const unsigned low = FromHex(static_cast<unsigned char>(text[i + 2]));
      out.push_back(static_cast<char>(static_cast<unsigned char>(high * 16 + low)));
      i += 3;
    } else if (c == '+') {
      out.push_back(' ');
      ++i;
    } else {
      out.push_back(c);
      ++i;
    }
  }
  return out;
}

namespace iotcloud {

UtcTime BreakDownUtc(std::time_t when) {
  // Days and seconds of the day, flooring toward the past for times before
  // 1970. No C runtime call: gmtime differs between runtimes (the Windows one
  // refuses years after 3000).
  const int64_t seconds = static_cast<int64_t>(when);
  int64_t days = seconds / 86400;
  int64_t secondOfDay = seconds % 86400;
  if (secondOfDay < 0) {
    secondOfDay += 86400;
    --days;
  }
  // Civil date of a day count since 1970-01-01, in 400-year eras of 146097
  // days, with years counted from March so that a leap day ends a year.
  const int64_t shifted = days + 719468;
  const int64_t era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
  const int64_t dayOfEra = shifted - era * 146097;
  const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
  UtcTime utc;
  utc.day = static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
  utc.month = static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
  utc.year = yearOfEra + era * 400 + (utc.month <= 2 ? 1 : 0);
  utc.hour = static_cast<int>(secondOfDay / 3600);
  utc.minute = static_cast<int>(secondOfDay / 60 % 60);
  utc.second = static_cast<int>(secondOfDay % 60);
  utc.weekday = static_cast<int>((days % 7 + 11) % 7);  // 1970-01-01 was a Thursday
  return utc;
}

size_t FormatHttpDate(std::time_t when, char* out, size_t outSize) {
  static constexpr char kDays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (out == nullptr || outSize == 0) {
    return 0;
  }
  const UtcTime utc = BreakDownUtc(when);
  const int written =
      std::snprintf(out, outSize, "%s, %02d %s %lld %02d:%02d:%02d GMT", kDays[utc.weekday], utc.day,
                    kMonths[utc.month - 1], static_cast<long long>(utc.year), utc.hour, utc.minute, utc.second);
  if (written < 0 || static_cast<size_t>(written) >= outSize) {
    out[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(written);
}

}  // namespace iotcloud

// ---- HttpUtil ----------------------------------------------------------------

HttpUtil::HttpUtil(IHttpUtilCallback* callback) : callback_(callback) {}

HttpUtil::~HttpUtil() = default;

std::string HttpUtil::UrlEncode(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (IsAsciiAlnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out.push_back(ch);
    } else if (c == ' ') {
      out.push_back('+');
    } else {
      out.push_back('%');
      out.push_back(static_cast<char>(ToHex(static_cast<unsigned char>(c >> 4))));
      out.push_back(static_cast<char>(ToHex(static_cast<unsigned char>(c & 15))));
    }
  }
  return out;
}

size_t HttpUtil::GetGmtTime(char* out) {
  if (out == nullptr) {
    return 0;
  }
  char work[iotcloud::kHttpDateBufferSize] = {};
  const size_t length = iotcloud::FormatHttpDate(std::time(nullptr), work, sizeof work);
  std::memcpy(out, work, length + 1);
  return length;
}

void HttpUtil::MakeHttpBody(cJSON* params, const std::string& apiVer, const std::string& id, std::string& out) {
  MakeHttpBody(params, apiVer, id, out, std::string());
}

void HttpUtil::MakeHttpBody(cJSON* params, const std::string& apiVer, const std::string& id, std::string& out,
                            const std::string& iotToken) {
  iotcloud::JsonPtr ownedParams(params);
  if (callback_ == nullptr) {
    QZ_LOG(TOVO_LOG_ERROR, "No callback: request body not built.");
    out.clear();
    return;
  }
  const std::string language = callback_->OnLanguageGet();
  // Built aside first: `out` may be the same string as an argument.
  std::string text = BuildEnvelope(std::move(ownedParams), language, apiVer, id, iotToken);
  out = std::move(text);
}

bool HttpUtil::MakeHttpHeader(const std::string& path, const std::string& body,
                              std::map<std::string, std::string>& headers, bool form) {
  return MakeHttpHeader(path, body, headers, form, static_cast<int64_t>(std::time(nullptr)));
}

bool HttpUtil::MakeHttpHeader(const std::string& path, const std::string& body,
                              std::map<std::string, std::string>& headers, bool form, int64_t dateSeconds) {
  const char* const contentType = form ? kFormContentType : kStreamContentType;
  const std::string nonce = QZRandom::getRandomGUID(kNonceLength);
  const std::string appKey = callback_ != nullptr ? callback_->OnAppKeyGet() : std::string();
  if (appKey.empty()) {
    QZ_LOG(TOVO_LOG_ERROR, "AppKey is invalid.");
    return false;
  }

  headers["x-ca-key"] = appKey;
  headers["x-ca-nonce"] = nonce;
  if (form) {
    headers["appKey"] = appKey;
  }
  const int32_t env = callback_->OnEnvGet();
  if (env == kEnvPre) {
    headers["x-ca-stage"] = "PRE";
  } else if (env == kEnvTest) {
    headers["x-ca-stage"] = "TEST";
  }
  char date[iotcloud::kHttpDateBufferSize] = {};
  iotcloud::FormatHttpDate(static_cast<std::time_t>(dateSeconds), date, sizeof date);
  headers["date"] = date;
  headers["x-ca-signature-method"] = kSignatureMethod;
  headers["x-ca-signature-headers"] = kSignedHeaders;
  headers["accept"] = kAccept;
  headers["content-type"] = contentType;

  std::string toSign;
  toSign.reserve(256 + path.size() + (form ? body.size() : 0));
  toSign.append(kMethod).append("\n");
  toSign.append(kAccept).append("\n");
  toSign.append("\n");  // no digest of the body is signed
  toSign.append(contentType).append("\n");
  toSign.append(date).append("\n");
  toSign.append("x-ca-key:").append(appKey).append("\n");
  toSign.append("x-ca-nonce:").append(nonce).append("\n");
  toSign.append("x-ca-signature-method:").append(kSignatureMethod).append("\n");
  toSign.append(path);
  if (form) {
    toSign.append("?").append(body);
  }

  headers["x-ca-signature"] = callback_->OnStringSign(toSign);
  headers["x-ca-version"] = "1";
  return true;
}

std::string HttpUtil::RsaEncode(const char* data, int length) {
  const char* const pem = public_key;  // read once: the host may repoint it between calls
  if (pem == nullptr || length < 0 || (data == nullptr && length > 0)) {
    return {};
  }
  const OpenSslErrorScope errors;
  const PkeyPtr key = ReadRsaPublicKey(pem);
  if (!key) {
    return {};
  }
  const int modulusBytes = EVP_PKEY_get_size(key.get());
  if (modulusBytes <= 0 || modulusBytes > kRsaWorkAreaSize || length > modulusBytes - kPkcs1PaddingOverhead) {
    return {};
  }
  const PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0) {
    return {};
  }
  static const unsigned char kNoData = 0;
  const unsigned char* const in = length > 0 ? reinterpret_cast<const unsigned char*>(data) : &kNoData;
  unsigned char cipher[kRsaWorkAreaSize] = {};
  size_t cipherLength = sizeof cipher;
  if (EVP_PKEY_encrypt(ctx.get(), cipher, &cipherLength, in, static_cast<size_t>(length)) <= 0 ||
      cipherLength > sizeof cipher) {
    return {};
  }
  char text[kRsaWorkAreaSize] = {};
  // When the text would not fit, Encode writes nothing and the text stays empty.
  Base64::Encode(reinterpret_cast<const char*>(cipher), cipherLength, text, sizeof text - 1);
  return std::string(text);
}
