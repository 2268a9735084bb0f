// The language tag ("zh-CN", "en-US") that the framework sends with its cloud
// requests. The host's choice is persisted in the platform cache under
// "language"; when none is held, the operating system's language is mapped
// onto one of the thirteen supported tags.
//
// Thread safety: every operation may run on any thread at the same time as
// the others; language_ is guarded by languageMutex_.
// Lock order: languageMutex_ is taken before IotCacheManager::mutex_ (the
// cache is read and written while it is held, so the member and the cache
// entry change together); nothing called under it calls back into this class.
// Failures: an invalid tag is logged and ignored; a failed cache write is
// logged by IotCacheManager. Nothing throws.
#pragma once

#include <string>
#include <vector>

#include "../../../support/Export.h"
#include "../../../support/Mutex.h"

class IOTCLOUD_API IotLanguageManager {
 public:
  // The process-wide instance, created on first use and never destroyed.
  static IotLanguageManager* getInstance();

  // Hosts use getInstance(). A separate instance starts empty, as the
  // process-wide one does at start, and shares the platform cache with it.
  IotLanguageManager();
  virtual ~IotLanguageManager();
  IotLanguageManager(const IotLanguageManager&) = delete;
  IotLanguageManager& operator=(const IotLanguageManager&) = delete;

  // Accepts any text of two pieces cut at '-' (or, when '-' gives one piece,
  // at '_'): "zh-CN", "zh_CN", "xx-YY", "-CN". Holds and persists the pieces
  // joined by '-'; letter case is kept. Any other text is logged (level 4)
  // and changes nothing.
  void setLanguage(std::string language);

  // The held tag; when none is held, the cached one; when the cache holds
  // none, the system default (held in memory only, not cached). Once a tag is
  // held, neither the cache nor the platform is consulted again.
  std::string getLanguage();

  // Drops the held tag and writes the empty string to the cache, so the next
  // getLanguage() falls back to the system default.
  void clearLanguage();

  // makeLanguageString() of the platform's system language. No side effects.
  static std::string getDefaultSettingLanguage();

  // True when the text is not empty and cuts into exactly two pieces at '-',
  // or, when '-' gives a single piece, at '_'.
  static bool isValidLanguage(std::string language);

  // The runs of characters between delimiters, line-reading style: a leading
  // or doubled delimiter gives an empty piece, a trailing one gives none, an
  // empty text gives no pieces.
  static std::vector<std::string> split(const std::string& text, char delimiter);

  // The supported tag of a two-letter code (zh, en, fr, de, ja, ko, es, ru,
  // hi, it, pt, nl, pl; case-sensitive), "en-US" for anything else.
  static std::string makeLanguageString(const std::string& systemLanguage);

 private:
  static iotcloud::Mutex mutex_;
  static IotLanguageManager* pInstance_ IOTCLOUD_GUARDED_BY(mutex_);

  iotcloud::Mutex languageMutex_;                             // guards language_; held across its cache accesses
  std::string language_ IOTCLOUD_GUARDED_BY(languageMutex_);  // empty, or the current tag
};
