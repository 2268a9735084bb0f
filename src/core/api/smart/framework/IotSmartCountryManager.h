// The user's country: its ISO 3166-1 alpha-2 code ("CN") and its phone
// location code, the international calling code without a plus sign ("86").
// Codes are checked against a fixed table of 249 countries; a code that is
// not in it selects China. Held in memory only, never cached.
//
// Thread safety: every operation may run on any thread at the same time as
// the others. The country and its phone location code change together under
// stateMutex_, and the getters return copies taken under it. No lock of this
// class is held while another framework lock is taken.
// Failures: an unknown code is logged (level 1) and reported by a false
// result. Nothing throws.
#pragma once

#include <map>
#include <string>

#include "../../../support/Export.h"
#include "../../../support/Mutex.h"

class IOTCLOUD_API IotSmartCountryManager {
 public:
  // The process-wide instance, created on first use and never destroyed.
  static IotSmartCountryManager* getInstance();

  // Hosts use getInstance(). A separate instance starts with no country, as
  // the process-wide one does.
  IotSmartCountryManager();
  virtual ~IotSmartCountryManager();
  IotSmartCountryManager(const IotSmartCountryManager&) = delete;
  IotSmartCountryManager& operator=(const IotSmartCountryManager&) = delete;

  // Upper-cases the code byte by byte (nothing else: no trimming) and looks it
  // up. Found: that country and its phone location code are held, true.
  // Not found: the code is logged as given, China ("CN", "86") is held, false.
  bool setCountryCode(const std::string& countryCode);

  // Copies of the held values; both empty before the first setCountryCode.
  std::string getCountryCode() const;
  std::string getPhoneLocationCode() const;

  // True when the held phone location code is exactly "86" (not HK, MO, TW).
  bool isChinaMainlandPhoneLocationCode() const;

  // Country code (two upper-case letters) -> phone location code (digits,
  // no plus sign), 249 entries, ordered by key. Constant after load.
  static const std::map<std::string, std::string> countryCodePhoneCodeMap_;

 private:
  static iotcloud::Mutex mutex_;
  static IotSmartCountryManager* pInstance_ IOTCLOUD_GUARDED_BY(mutex_);

  mutable iotcloud::Mutex stateMutex_;
  std::string phoneLocationCode_ IOTCLOUD_GUARDED_BY(stateMutex_);  // empty until the first setCountryCode
  std::string countryCode_ IOTCLOUD_GUARDED_BY(stateMutex_);        // upper case; empty until then
};
