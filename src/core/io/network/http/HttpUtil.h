// Gateway request building: the text encoders, the JSON request envelope of
// the account service, the API gateway's signature headers, and RSA
// public-key encryption under a built-in key.
//
// Thread safety: nothing here keeps state between calls or takes a lock.
// Every function may run on any thread, concurrently; the members that use
// the callback run it on the calling thread. `public_key` is the one shared
// variable: the host must not change it while an RsaEncode call runs.
//
// Failures are returned (false or empty text), never thrown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "../../../support/Export.h"

struct cJSON;

// What an HttpUtil needs from its owner: the signature of a string-to-sign,
// the gateway application key, the request language and the environment.
// Implemented by the owner of the HttpUtil; called on the thread that calls
// the HttpUtil. HttpUtil never deletes a callback, so the destructor is
// protected rather than virtual: nobody can delete through this interface.
class IOTCLOUD_API IHttpUtilCallback {
 public:
  // The signature of `text` (the gateway's string-to-sign, HMAC-SHA1 is
  // announced). Goes unchanged into "x-ca-signature", empty text included.
  virtual std::string OnStringSign(std::string text) = 0;
  // The gateway application key; empty text means none is configured.
  virtual std::string OnAppKeyGet() = 0;
  // The language tag that request bodies carry.
  virtual std::string OnLanguageGet() = 0;
  // The cloud environment: 1 pre-release stage, 2 test stage, anything else
  // production.
  virtual int32_t OnEnvGet() = 0;

 protected:
  IHttpUtilCallback() = default;
  IHttpUtilCallback(const IHttpUtilCallback&) = default;
  IHttpUtilCallback& operator=(const IHttpUtilCallback&) = default;
  ~IHttpUtilCallback() = default;
};

class IOTCLOUD_API HttpUtil {
 public:
  // `callback` is borrowed and must outlive this object. It may be null: then
  // MakeHttpHeader always fails and MakeHttpBody builds no text.
  explicit HttpUtil(IHttpUtilCallback* callback);
  virtual ~HttpUtil();

  // Form-style percent encoding: ASCII letters and digits and "-._~" stay,
  // a space becomes "+", every other byte "%XY" with uppercase hex digits.
  // Letters and digits are the ASCII ones whatever the process locale, so
  // every byte from 0x80 up is escaped.
  static std::string UrlEncode(const std::string& text);

  // Writes the current time as an HTTP date in GMT, for example
  // "Fri, 04 Dec 2026 00:18:29 GMT", with its terminating zero to `out` and
  // returns its length (29). Day and month names are always the English
  // ones, whatever the process locale. `out` must hold at least 30 bytes;
  // 64 always suffice.
  static size_t GetGmtTime(char* out);

  // Replaces `out` with the account service's envelope, formatted as
  // cJSON_Print gives it:
  //   {"request": {"language": <OnLanguageGet()>, "apiVer": apiVer
  //                [, "iotToken": iotToken when not empty]},
  //    ["params": params,] "id": id, "version": "1.0"}
  // Ownership of `params` (may be null for none) passes to this call in every
  // case: it is deleted before the call returns, and the caller must neither
  // use nor delete it afterwards. The callback is asked for the language once.
  // Without a callback, or when memory runs out, `out` is left empty (and
  // `params` is still deleted).
  void MakeHttpBody(cJSON* params, const std::string& apiVer, const std::string& id, std::string& out);
  void MakeHttpBody(cJSON* params, const std::string& apiVer, const std::string& id, std::string& out,
                    const std::string& iotToken);

  // Adds the gateway headers to `headers` (entries under other keys are left
  // as they are): "accept", "content-type", "date", "x-ca-key", "x-ca-nonce",
  // "x-ca-signature", "x-ca-signature-headers", "x-ca-signature-method",
  // "x-ca-version"; "appKey" when `form` is true; "x-ca-stage" "PRE" or
  // "TEST" for environment 1 or 2. The signature is OnStringSign of
  //   POST \n application/json; charset=utf-8 \n \n <content-type> \n <date> \n
  //   x-ca-key:<key> \n x-ca-nonce:<nonce> \n x-ca-signature-method:HmacSHA1 \n
  //   <path>, followed by "?" and `body` when `form` is true
  // (no line feed after the last line). `form` selects the content type
  // "application/x-www-form-urlencoded; charset=utf-8" instead of
  // "application/octet-stream; charset=utf-8".
  // Returns false, logs "AppKey is invalid." and leaves `headers` untouched
  // when there is no callback or the application key is empty.
  bool MakeHttpHeader(const std::string& path, const std::string& body, std::map<std::string, std::string>& headers,
                      bool form);
  // The same, dated `dateSeconds` (seconds since 1970, UTC) instead of now:
  // for a caller that corrects its clock by the gateway's.
  bool MakeHttpHeader(const std::string& path, const std::string& body, std::map<std::string, std::string>& headers,
                      bool form, int64_t dateSeconds);

  // Encrypts `length` bytes at `data` with RSAES-PKCS1-v1_5 under the PEM
  // key that `public_key` points to (read afresh on every call; text that
  // begins "-----BEGIN PUBLIC KEY-----" or "-----BEGIN RSA PUBLIC KEY-----")
  // and returns the ciphertext as Base64 text without line breaks (344
  // characters under the built-in key). Returns empty text when the key is
  // missing, unreadable or not RSA, when `length` is negative or more than
  // the modulus length minus 11 bytes, or when the Base64 text would exceed
  // 511 characters (keys over 3048 bits). Logs nothing.
  static std::string RsaEncode(const char* data, int length);

 private:
  IHttpUtilCallback* callback_;  // borrowed; set once by the constructor
};

// Inverse of HttpUtil::UrlEncode: "+" gives a space and "%" with the two
// characters after it gives one byte (the pair is not validated). A "%" with
// fewer than two characters after it is copied literally together with what
// follows. The result may hold any byte, zero included.
IOTCLOUD_API std::string UrlDecode(const std::string& text);

// One hexadecimal digit: 0-9 give '0'-'9', 10-15 give 'A'-'F' (larger values
// give the characters after 'F', modulo 256).
IOTCLOUD_API unsigned char ToHex(unsigned char value);

// The value of one hexadecimal digit, either case. Not validated: letters
// give their offset from 'A'/'a' plus 10, any other byte its offset from '0'
// (modulo 256).
IOTCLOUD_API unsigned char FromHex(unsigned char c);

// Zero-terminated PEM text of the RSA public key that HttpUtil::RsaEncode
// encrypts under. Points to the built-in key until the host points it at
// another; the text must stay valid while it is in use.
extern IOTCLOUD_API const char* public_key;
