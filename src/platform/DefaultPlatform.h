// The default platform: the stand-in for the host's support library when the
// host installs no PlatformServices of its own.
//
//  - Cache: an SQLite database (WAL journal, one transaction per write, so a
//    crash or kill mid-write leaves the old value or the new one, never a
//    mix). Keys and values are stored as blobs: any bytes, NUL included, read
//    back exactly; an absent key reads as the empty string.
//    When the file is opened (on construction, or with openCacheOnFirstUse at
//    the first call that reads or writes it; a failed open is retried by
//    every later call; a level-2 line names the file opened):
//     - a path that exists but is no regular file (a device, a FIFO) is not
//       opened: reads give "", writes fail;
//     - a file that is not a sound SQLite database (garbage, truncated, a
//       damaged page, as PRAGMA quick_check sees it) is renamed, with its
//       -wal/-shm/-journal files, to "<path>.damaged-<UTC time>" (never
//       deleted), a fresh empty cache takes its place, and one level-4 line
//       says so;
//     - a cache that cannot be written (read-only file, folder or media) is
//       opened read-only: reads work, every write fails with a level-4 line
//       saying why; cacheIsWritable() tells.
//    A statement waits at most 250 ms for a lock held by another connection
//    or process, then fails (a write returns false); saves run on the HTTP
//    manager thread, where a longer wait would hold up every transfer.
//  - signString: HMAC-SHA1 of the text keyed with the application secret,
//    Base64-encoded (method 1; any other method gives the empty string).
//  - getApplicationKey: the configured key.
//  - getSystemLanguage: the configured code, or else the two-letter code of
//    the locale the environment names (LC_ALL, LC_MESSAGES, LANG), or else,
//    on Windows, of the user's locale (GetUserDefaultLocaleName); "en" when
//    none names a language.
//
// Thread-safe: one mutex guards the database connection.
#pragma once

#include <memory>
#include <string>

#include "core/support/Export.h"
#include "core/support/Mutex.h"
#include "core/support/PlatformServices.h"

namespace iotcloud {

struct DefaultPlatformOptions {
  // Database file (UTF-8; on Windows drive letters and either slash); created
  // with its folder when missing. ":memory:" keeps the cache in memory.
  // Empty selects DefaultPlatform::DefaultCachePath().
  std::string cachePath;
  std::string applicationKey;
  std::string applicationSecret;
  // Two-letter language code to report instead of the operating system's.
  std::string systemLanguage;
  // Opens (and creates) the cache file only when the cache is first read or
  // written, not on construction. The platform the library makes for itself
  // when the host installs none is made so.
  bool openCacheOnFirstUse = false;
};

class IOTCLOUD_API DefaultPlatform : public PlatformServices {
 public:
  explicit DefaultPlatform(DefaultPlatformOptions options = {});
  ~DefaultPlatform() override;
  DefaultPlatform(const DefaultPlatform&) = delete;
  DefaultPlatform& operator=(const DefaultPlatform&) = delete;

  std::string getSystemLanguage() override;
  std::string getApplicationKey() override;
  std::string signString(std::string text, int method) override;
  bool writeCache(std::string key, std::string storedText) override;
  std::string readCache(std::string key) override;
  std::string encodeCacheValue(std::string value) override;
  std::string decodeCacheValue(std::string storedText) override;

  // True when the cache database is open (perhaps only for reading).
  bool cacheIsOpen();
  // True when the cache database is open for writing.
  bool cacheIsWritable();
  // The per-user default: $XDG_CACHE_HOME/iotcloud/cache.db, else
  // ~/.cache/iotcloud/cache.db; on Windows %LOCALAPPDATA%\iotcloud\cache.db.
  static std::string DefaultCachePath();
  // The two-letter code of a POSIX locale name ("de_DE.UTF-8" gives "de"),
  // or the empty string when the name carries none ("C", "POSIX", "").
  static std::string LanguageOfLocaleName(const std::string& localeName);

 private:
  struct Database;  // the open cache: its connection and prepared statements

  // Opens the cache unless it is open; false (logged) when it cannot be.
  bool openLocked() IOTCLOUD_REQUIRES(mutex_);

  const DefaultPlatformOptions options_;
  iotcloud::Mutex mutex_;
  // Null until opened; each call retries a failed open.
  std::unique_ptr<Database> db_ IOTCLOUD_GUARDED_BY(mutex_);
};

}  // namespace iotcloud
