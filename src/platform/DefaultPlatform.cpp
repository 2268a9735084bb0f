#include "platform/DefaultPlatform.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/support/TovoLog.h"

namespace iotcloud {
namespace {

struct StatementDeleter {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

Statement Prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
    QZ_LOG(4, "cache: prepare failed: %s", sqlite3_errmsg(db));
    sqlite3_finalize(raw);
    return nullptr;
  }
  return Statement(raw);
}

bool Exec(sqlite3* db, const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    QZ_LOG(4, "cache: '%s' failed: %s", sql, error ? error : sqlite3_errmsg(db));
    sqlite3_free(error);
    return false;
  }
  return true;
}

// mkdir -p for the folder that holds `path`.
bool MakeParentDirectories(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    std::string dir = path.substr(0, slash);
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
      QZ_LOG(4, "cache: cannot create folder %s: %s", dir.c_str(), std::strerror(errno));
      return false;
    }
  }
  return true;
}

std::string Base64(const unsigned char* data, size_t length) {
  std::string out(4 * ((length + 2) / 3) + 1, '\0');
  int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), data, static_cast<int>(length));
  out.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return out;
}

}  // namespace

DefaultPlatform::DefaultPlatform(DefaultPlatformOptions options) : options_(std::move(options)) {
  std::lock_guard<std::mutex> lock(mutex_);
  openLocked();
}

DefaultPlatform::~DefaultPlatform() {
  writeStatement_.reset();
  readStatement_.reset();
  if (db_ != nullptr) sqlite3_close_v2(db_);
}

void DefaultPlatform::StatementFinalize::operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }

sqlite3_stmt* DefaultPlatform::statementLocked(CachedStatement& slot, const char* sql) {
  if (slot && sqlite3_db_handle(slot.get()) == db_) {
    sqlite3_reset(slot.get());
    sqlite3_clear_bindings(slot.get());
    return slot.get();
  }
  slot.reset(Prepare(db_, sql).release());
  return slot.get();
}

std::string DefaultPlatform::DefaultCachePath() {
  std::string base;
  if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') {
      const passwd* entry = getpwuid(getuid());
      home = entry ? entry->pw_dir : nullptr;
    }
    base = std::string(home ? home : "/tmp") + "/.cache";
  }
  return base + "/iotcloud/cache.db";
}

bool DefaultPlatform::openLocked() {
  if (db_ != nullptr) return true;
  const std::string path = options_.cachePath.empty() ? DefaultCachePath() : options_.cachePath;
  if (path != ":memory:" && !MakeParentDirectories(path)) return false;
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) {
    QZ_LOG(4, "cache: cannot open %s: %s", path.c_str(), db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close_v2(db);
    return false;
  }
  sqlite3_busy_timeout(db, 5000);
  // WAL with synchronous=FULL: a committed write survives a crash, and a
  // write cut short by one is rolled back on the next open.
  if ((path != ":memory:" && !Exec(db, "PRAGMA journal_mode=WAL")) || !Exec(db, "PRAGMA synchronous=FULL") ||
      !Exec(db, "CREATE TABLE IF NOT EXISTS cache(key BLOB PRIMARY KEY NOT NULL, value BLOB NOT NULL)")) {
    sqlite3_close_v2(db);
    return false;
  }
  db_ = db;
  return true;
}

bool DefaultPlatform::cacheIsOpen() {
  std::lock_guard<std::mutex> lock(mutex_);
  return db_ != nullptr;
}

std::string DefaultPlatform::LanguageOfLocaleName(const std::string& localeName) {
  std::string code;
  for (char c : localeName) {
    if (!std::isalpha(static_cast<unsigned char>(c))) break;
    code.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  if (code.size() < 2 || code.size() > 3 || localeName == "C" || localeName == "POSIX") return std::string();
  return code.substr(0, 2);
}

std::string DefaultPlatform::getSystemLanguage() {
  if (!options_.systemLanguage.empty()) return options_.systemLanguage;
  // POSIX precedence: LC_ALL overrides LC_MESSAGES, which overrides LANG.
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value == nullptr || value[0] == '\0') continue;
    std::string code = LanguageOfLocaleName(value);
    if (!code.empty()) return code;
    // A set variable that names no language ("C") still decides.
    break;
  }
  return "en";
}

std::string DefaultPlatform::getApplicationKey() { return options_.applicationKey; }

std::string DefaultPlatform::signString(std::string text, int method) {
  if (method != 1) {
    QZ_LOG(4, "signString: unsupported method %d", method);
    return std::string();
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  const std::string& secret = options_.applicationSecret;
  if (HMAC(EVP_sha1(), secret.data(), static_cast<int>(secret.size()),
           reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest, &digestLength) == nullptr) {
    QZ_LOG(4, "signString: HMAC-SHA1 failed");
    return std::string();
  }
  return Base64(digest, digestLength);
}

bool DefaultPlatform::writeCache(std::string key, std::string storedText) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!openLocked()) {
    QZ_LOG(4, "cache: not open, write of key=%s dropped", key.c_str());
    return false;
  }
  sqlite3_stmt* statement = statementLocked(writeStatement_, "INSERT OR REPLACE INTO cache(key, value) VALUES(?1, ?2)");
  if (statement == nullptr) return false;
  // The bound text is not copied: the strings outlive the step, and the reset
  // below lets go of them.
  sqlite3_bind_blob(statement, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
  // A zero-length blob must still be a blob, not NULL.
  if (storedText.empty()) {
    sqlite3_bind_zeroblob(statement, 2, 0);
  } else {
    sqlite3_bind_blob(statement, 2, storedText.data(), static_cast<int>(storedText.size()), SQLITE_STATIC);
  }
  const bool written = sqlite3_step(statement) == SQLITE_DONE;
  if (!written) QZ_LOG(4, "cache: write of key=%s failed: %s", key.c_str(), sqlite3_errmsg(db_));
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  return written;
}

std::string DefaultPlatform::readCache(std::string key) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!openLocked()) return std::string();
  sqlite3_stmt* statement = statementLocked(readStatement_, "SELECT value FROM cache WHERE key = ?1");
  if (statement == nullptr) return std::string();
  sqlite3_bind_blob(statement, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
  std::string value;
  const int rc = sqlite3_step(statement);
  if (rc == SQLITE_ROW) {
    const void* blob = sqlite3_column_blob(statement, 0);
    const int size = sqlite3_column_bytes(statement, 0);
    if (blob != nullptr) value.assign(static_cast<const char*>(blob), static_cast<size_t>(size));
  } else if (rc != SQLITE_DONE) {
    QZ_LOG(4, "cache: read of key=%s failed: %s", key.c_str(), sqlite3_errmsg(db_));
  }
  // Ends the read transaction, so the statement holds no snapshot between calls.
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  return value;
}

std::string DefaultPlatform::encodeCacheValue(std::string value) { return value; }

std::string DefaultPlatform::decodeCacheValue(std::string storedText) { return storedText; }

}  // namespace iotcloud
