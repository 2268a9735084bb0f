// The framework's road to the host platform's persistent key-value cache, and
// the holder of the start-up configuration the host hands over.
//
// Lock order of the settings singletons (a lock may only be taken while
// holding the ones to its left):
//   IotLanguageManager's language lock -> IotCacheManager::mutex_ -> the
//   platform's own locks.
// IotCacheManager calls no other framework class, and the platform's cache
// operations must not call back into the framework, so the order has no
// cycle. IotSmartCountryManager never touches the cache.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "../../../support/Export.h"
#include "../../../support/Mutex.h"

// Keys of the platform cache. Values under them are byte strings; writing the
// empty string clears an entry.
inline constexpr const char* PLATFORM_OA_SESSION_KEY = "oa";              // for the host; unused here
inline constexpr const char* PLATFORM_IOT_SESSION_KEY = "iot";            // for the host; unused here
inline constexpr const char* PLATFORM_REGION_INFO_KEY = "region";         // the current region, as region JSON
inline constexpr const char* PLATFORM_COUNTRY_CODE_KEY = "country_code";  // for the host; unused here
inline constexpr const char* PLATFORM_LANGUAGE_KEY = "language";          // the request language tag

// Start-up configuration, handed over once by the host before the first
// request is built. A plain value record.
struct IOTCLOUD_API IotSmartInitConfig {
  // Stored and copied only; no operation of the framework reads it. The
  // host's own number for the kind of application it is.
  int32_t appType = 1;
  // Stored and copied only; no operation of the framework reads it. The
  // host's debug switch.
  bool debugMode = false;
  // Gateway environment: 1 the pre-release stage, 2 the test stage, anything
  // else production.
  int32_t env = 0;
  // The host's application key, returned by getAppKey(). Requests are signed
  // with the key the platform services give, not with this one.
  std::string appKey;
  // Stored and copied only; no operation of the framework reads it. The
  // host application's version text.
  std::string appVersion;
};

class IOTCLOUD_API IotCacheManager {
 public:
  // The process-wide instance, created under mutex_ on first use and never
  // destroyed. Later calls take no lock.
  static IotCacheManager* getInstance();

  // Hosts use getInstance(). A separate instance (tests) holds its own
  // configuration but shares the class-wide cache lock and the platform cache.
  IotCacheManager();
  virtual ~IotCacheManager();
  IotCacheManager(const IotCacheManager&) = delete;
  IotCacheManager& operator=(const IotCacheManager&) = delete;

  // Stores writeCache(key, encodeCacheValue(value)) through the platform
  // services, both calls under mutex_. Returns the platform's success flag;
  // a failure is logged with the key (level 4) and not retried. Any thread.
  bool writeToPlatformCache(const std::string& key, std::string value);

  // Returns decodeCacheValue(readCache(key)), both calls under mutex_; the
  // empty string when nothing is stored (the platform's answer for an absent
  // key). Any thread.
  std::string readFormPlatformCache(std::string key);

  // Replaces the whole held configuration. Meant for the host, once at start.
  void setSmartInitConfig(IotSmartInitConfig config);
  // `env` of the held configuration (0 until set).
  int32_t getEnv();
  // A copy of `appKey` of the held configuration (empty until set).
  std::string getAppKey();

 private:
  // Guards pInstance_ and every cache access (both platform calls of one
  // access). Not recursive: the platform must not call back into this class.
  static iotcloud::Mutex mutex_;
  static std::atomic<IotCacheManager*> pInstance_;  // set once, under mutex_

  // A leaf lock: guards config_ only and is never held while another lock is
  // taken, so configuration reads never wait for a cache access.
  iotcloud::Mutex configMutex_;
  IotSmartInitConfig config_ IOTCLOUD_GUARDED_BY(configMutex_);
};
