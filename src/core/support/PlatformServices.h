// The host platform's services object: system language, application key,
// request signing and a persistent key-value cache with its value encoding.
//
// Contract for implementations:
//  - every operation may be called from any thread, concurrently;
//  - readCache returns the empty string for a key never written;
//  - a value, the empty string and any bytes (NUL included) among them, reads
//    back through decodeCacheValue(readCache(k)) exactly as it was passed to
//    writeCache(k, encodeCacheValue(v));
//  - the cache operations are called with a lock of the caller held and must
//    not call back into the framework.
#pragma once

#include <memory>
#include <string>

#include "Export.h"

class IOTCLOUD_API PlatformServices {
 public:
  virtual ~PlatformServices();

  // Two-letter lower-case code of the operating system's language ("zh").
  virtual std::string getSystemLanguage() = 0;
  // The gateway application key; empty when none is configured.
  virtual std::string getApplicationKey() = 0;
  // Signature of a gateway string-to-sign; method 1 is HMAC-SHA1, Base64.
  virtual std::string signString(std::string text, int method) = 0;
  // Stores `storedText` under `key`; false when it could not be stored.
  virtual bool writeCache(std::string key, std::string storedText) = 0;
  // The text stored under `key`, or the empty string.
  virtual std::string readCache(std::string key) = 0;
  // Turns a value into the text to store, and back.
  virtual std::string encodeCacheValue(std::string value) = 0;
  virtual std::string decodeCacheValue(std::string storedText) = 0;
};

// The process's platform services object. When the host has installed none,
// a default platform (per-user SQLite cache, no application key) is made on
// first use. Callers fetch it afresh for every use and keep the reference only
// for that use. Thread-safe.
IOTCLOUD_API std::shared_ptr<PlatformServices> getSharedPlatformImpl();

// Installs the host's platform services object; null drops the current one so
// that the next getSharedPlatformImpl() makes a default one again. Uses in
// progress keep the object they fetched. Thread-safe.
IOTCLOUD_API void setSharedPlatformImpl(std::shared_ptr<PlatformServices> platform);
