#include "platform/DefaultPlatform.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sqlite3.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "core/io/network/http/internal/HttpDate.h"
#include "core/support/TovoLog.h"
#include "core/support/internal/Owned.h"
#include "platform/internal/Os.h"

namespace iotcloud {
namespace {

using Statement = Owned<sqlite3_stmt, sqlite3_finalize>;
using Connection = Owned<sqlite3, sqlite3_close_v2>;

Statement Prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
    QZ_LOG(4, "cache: prepare failed: %s", sqlite3_errmsg(db));
    sqlite3_finalize(raw);
    return nullptr;
  }
  return Statement(raw);
}

namespace fs = std::filesystem;

// Paths are UTF-8 everywhere in the library (Windows' narrow calls would read
// them in the ANSI code page); drive letters and either slash work there.
fs::path FsPath(const std::string& utf8) { return fs::u8path(utf8); }

// mkdir -p for the folder that holds `path`; folders it makes are the
// owner's only.
bool MakeParentDirectories(const std::string& path) {
  fs::path made;
  for (const fs::path& part : FsPath(path).parent_path()) {
    made /= part;
    std::error_code error;
    if (made == made.root_name() || made == made.root_path() || fs::is_directory(made, error)) continue;
    if (!fs::create_directory(made, error) && error) {
      QZ_LOG(4, "cache: cannot create folder %s: %s", made.u8string().c_str(), error.message().c_str());
      return false;
    }
    fs::permissions(made, fs::perms::owner_all, fs::perm_options::replace, error);
  }
  return true;
}

// How long a statement waits for a lock another connection holds. Saves run
// on the HTTP manager thread, where every other transfer waits with them; a
// writer of this cache holds the lock for one small transaction (about a
// millisecond with its fsync), so a longer wait only ever waits for a stuck
// or foreign process. The save then fails, is logged, and the next one tries
// again.
constexpr int kBusyTimeoutMs = 250;

enum class OpenState { kOpen, kReadOnly, kDamaged, kFailed };

struct Opened {
  OpenState state = OpenState::kFailed;
  Connection db;
  std::string readOnlyReason;  // not empty: open, but only for reading
};

OpenState StateFor(int rc) {
  switch (rc & 0xff) {
    case SQLITE_OK: return OpenState::kOpen;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT: return OpenState::kDamaged;
    case SQLITE_READONLY:
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_AUTH: return OpenState::kReadOnly;
    default: return OpenState::kFailed;  // busy, locked, full, I/O: not the file's fault
  }
}

// Runs `sql`; on failure *why says what failed. Returns SQLite's result.
int Run(sqlite3* db, const char* sql, std::string* why) {
  char* error = nullptr;
  const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &error);
  if (rc != SQLITE_OK) *why = error ? error : sqlite3_errmsg(db);
  sqlite3_free(error);
  return rc;
}

// PRAGMA quick_check: SQLITE_OK when the database reads as sound, else
// SQLITE_CORRUPT (or the error that stopped the check) with *why.
int QuickCheck(sqlite3* db, std::string* why) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, "PRAGMA quick_check(1)", -1, &raw, nullptr) != SQLITE_OK) {
    sqlite3_finalize(raw);
    *why = sqlite3_errmsg(db);
    return sqlite3_errcode(db);
  }
  Statement statement(raw);
  const int rc = sqlite3_step(statement.get());
  if (rc != SQLITE_ROW) {
    *why = sqlite3_errmsg(db);
    return rc;
  }
  const unsigned char* verdict = sqlite3_column_text(statement.get(), 0);
  if (verdict != nullptr && std::strcmp(reinterpret_cast<const char*>(verdict), "ok") == 0) return SQLITE_OK;
  *why = verdict ? reinterpret_cast<const char*>(verdict) : "quick_check failed";
  for (char& c : *why) c = (c == '\n') ? ' ' : c;
  return SQLITE_CORRUPT;
}

// Opens (creating when missing) the cache for reading and writing, in WAL
// mode, and checks it. kReadOnly when it can only be read, kDamaged when it
// is not a sound database.
Opened OpenForWriting(const std::string& path, bool inMemory, std::string* why) {
  Opened opened;
  sqlite3* raw = nullptr;
  int rc =
      sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  Connection db(raw);
  if (rc != SQLITE_OK) {
    *why = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
    opened.state = StateFor(rc);
    return opened;
  }
  sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
  // WAL with synchronous=FULL: a committed write survives a crash, and a
  // write cut short by one is rolled back on the next open.
  if ((!inMemory && (rc = Run(db.get(), "PRAGMA journal_mode=WAL", why)) != SQLITE_OK) ||
      (rc = Run(db.get(), "PRAGMA synchronous=FULL", why)) != SQLITE_OK ||
      (rc = Run(db.get(), "CREATE TABLE IF NOT EXISTS cache(key BLOB PRIMARY KEY NOT NULL, value BLOB NOT NULL)",
                why)) != SQLITE_OK ||
      (rc = QuickCheck(db.get(), why)) != SQLITE_OK) {
    opened.state = StateFor(rc);
    return opened;
  }
  // SQLite opens a file it may not write read-only without saying so.
  if (sqlite3_db_readonly(db.get(), "main") == 1) {
    *why = "the file is read-only";
    opened.state = OpenState::kReadOnly;
    return opened;
  }
  opened.state = OpenState::kOpen;
  opened.db = std::move(db);
  return opened;
}

// Opens an existing cache read-only. A WAL database whose folder cannot take
// the -shm file is opened as immutable: nobody can write it there either.
Opened OpenForReading(const std::string& path, std::string* why) {
  Opened opened;
  for (const bool immutable : {false, true}) {
    std::string name = path;
    int flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX;
    if (immutable) {
      name = "file:";
      for (char c : os::UriPath(path)) {
        if (c == '%' || c == '?' || c == '#') {
          static const char kHex[] = "0123456789ABCDEF";
          name += '%';
          name += kHex[(static_cast<unsigned char>(c) >> 4) & 0xF];
          name += kHex[static_cast<unsigned char>(c) & 0xF];
        } else {
          name += c;
        }
      }
      name += "?immutable=1";
      flags |= SQLITE_OPEN_URI;
    }
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(name.c_str(), &raw, flags, nullptr);
    Connection db(raw);
    if (rc == SQLITE_OK) {
      sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
      rc = Run(db.get(), "SELECT count(*) FROM cache", why);
      if (rc == SQLITE_OK) rc = QuickCheck(db.get(), why);
    } else {
      *why = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
    }
    if (rc == SQLITE_OK) {
      opened.state = OpenState::kOpen;
      opened.db = std::move(db);
      return opened;
    }
    if ((rc & 0xff) != SQLITE_CANTOPEN) break;
  }
  return opened;
}

// Renames the damaged database (with its -wal, -shm and -journal files, which
// belong to it) to "<path>.damaged-<UTC time>", so that nothing is lost and a
// fresh cache can take its place. False with *why when it cannot be moved.
bool MoveAside(const std::string& path, std::string* aside, std::string* why) {
  const UtcTime now = BreakDownUtc(std::time(nullptr));
  char stamp[40];
  std::snprintf(stamp, sizeof stamp, "%04lld%02d%02dT%02d%02d%02dZ", static_cast<long long>(now.year), now.month,
                now.day, now.hour, now.minute, now.second);
  const auto present = [](const std::string& name) {
    std::error_code error;
    return fs::exists(fs::symlink_status(FsPath(name), error));
  };
  std::string target = path + ".damaged-" + stamp;
  for (int n = 2; present(target); ++n) target = path + ".damaged-" + stamp + "-" + std::to_string(n);
  std::error_code error;
  fs::rename(FsPath(path), FsPath(target), error);
  if (error) {
    *why = error.message();
    return false;
  }
  for (const char* suffix : {"-wal", "-shm", "-journal"}) {
    const std::string from = path + suffix;
    if (present(from)) fs::rename(FsPath(from), FsPath(target + suffix), error);
  }
  *aside = target;
  return true;
}

std::string Base64(const unsigned char* data, size_t length) {
  std::string out(4 * ((length + 2) / 3) + 1, '\0');
  int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), data, static_cast<int>(length));
  out.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return out;
}

}  // namespace

// The open cache. Members end in reverse order: the statements before the
// connection they belong to.
struct DefaultPlatform::Database {
  Connection connection;
  std::string readOnlyReason;  // not empty: open only for reading, for this reason
  // Prepared on first use and reused by every write and read.
  Statement writeStatement;
  Statement readStatement;

  // `slot`'s statement, reset and unbound, prepared from `sql` first when it
  // is missing. Null (logged) when preparing fails.
  sqlite3_stmt* Reuse(Statement& slot, const char* sql) {
    if (slot) {
      sqlite3_reset(slot.get());
      sqlite3_clear_bindings(slot.get());
    } else {
      slot = Prepare(connection.get(), sql);
    }
    return slot.get();
  }
};

DefaultPlatform::DefaultPlatform(DefaultPlatformOptions options) : options_(std::move(options)) {
  if (options_.openCacheOnFirstUse) return;
  MutexLock lock(&mutex_);
  openLocked();
}

DefaultPlatform::~DefaultPlatform() = default;

std::string DefaultPlatform::DefaultCachePath() { return os::DefaultCachePath(); }

bool DefaultPlatform::openLocked() {
  if (db_) return true;
  const std::string path = options_.cachePath.empty() ? DefaultCachePath() : options_.cachePath;
  const bool inMemory = path == ":memory:";
  if (!inMemory) {
    // A device or a FIFO would be read for ever or block; and it must never
    // be moved aside as a damaged cache.
    if (os::IsSpecialFile(path)) {
      QZ_LOG(4, "cache: %s is not a regular file; no cache is kept", path.c_str());
      return false;
    }
    if (!MakeParentDirectories(path)) return false;
  }

  std::string why;
  Opened opened = OpenForWriting(path, inMemory, &why);
  if (opened.state == OpenState::kDamaged) {
    std::string aside, moveError;
    if (!MoveAside(path, &aside, &moveError)) {
      QZ_LOG(4, "cache: %s is damaged (%s) and cannot be moved aside: %s", path.c_str(), why.c_str(),
             moveError.c_str());
      return false;
    }
    QZ_LOG(4, "cache: %s is damaged (%s); moved it to %s and started an empty cache", path.c_str(), why.c_str(),
           aside.c_str());
    opened = OpenForWriting(path, inMemory, &why);
  }
  if (opened.state == OpenState::kReadOnly) {
    // Reading does not need what writing does (the -wal and -shm files next
    // to the database): a cache in a read-only folder or on read-only media
    // can still be read.
    const std::string writeError = why;
    opened = OpenForReading(path, &why);
    if (opened.state == OpenState::kOpen) {
      QZ_LOG(3, "cache: %s cannot be written (%s); opened it read-only, saves will fail", path.c_str(),
             writeError.c_str());
      opened.readOnlyReason = writeError;
    }
  }
  if (opened.state != OpenState::kOpen) {
    QZ_LOG(4, "cache: cannot open %s: %s", path.c_str(), why.c_str());
    return false;
  }
  QZ_LOG(2, "cache: opened %s", path.c_str());
  db_ = std::make_unique<Database>();
  db_->connection = std::move(opened.db);
  db_->readOnlyReason = opened.readOnlyReason;
  return true;
}

bool DefaultPlatform::cacheIsOpen() {
  MutexLock lock(&mutex_);
  return db_ != nullptr;
}

bool DefaultPlatform::cacheIsWritable() {
  MutexLock lock(&mutex_);
  return openLocked() && db_->readOnlyReason.empty();
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
    return "en";
  }
  // Without one, the system's own setting where it keeps one apart (Windows).
  const std::string code = LanguageOfLocaleName(os::UserLocaleName());
  return code.empty() ? "en" : code;
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
  MutexLock lock(&mutex_);
  if (!openLocked()) {
    QZ_LOG(4, "cache: not open, write of key=%s dropped", key.c_str());
    return false;
  }
  if (!db_->readOnlyReason.empty()) {
    QZ_LOG(4, "cache: opened read-only (%s), write of key=%s refused", db_->readOnlyReason.c_str(), key.c_str());
    return false;
  }
  sqlite3_stmt* statement = db_->Reuse(db_->writeStatement, "INSERT OR REPLACE INTO cache(key, value) VALUES(?1, ?2)");
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
  if (!written) QZ_LOG(4, "cache: write of key=%s failed: %s", key.c_str(), sqlite3_errmsg(db_->connection.get()));
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  return written;
}

std::string DefaultPlatform::readCache(std::string key) {
  MutexLock lock(&mutex_);
  if (!openLocked()) return std::string();
  sqlite3_stmt* statement = db_->Reuse(db_->readStatement, "SELECT value FROM cache WHERE key = ?1");
  if (statement == nullptr) return std::string();
  sqlite3_bind_blob(statement, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
  std::string value;
  const int rc = sqlite3_step(statement);
  if (rc == SQLITE_ROW) {
    const void* blob = sqlite3_column_blob(statement, 0);
    const int size = sqlite3_column_bytes(statement, 0);
    if (blob != nullptr) value.assign(static_cast<const char*>(blob), static_cast<size_t>(size));
  } else if (rc != SQLITE_DONE) {
    QZ_LOG(4, "cache: read of key=%s failed: %s", key.c_str(), sqlite3_errmsg(db_->connection.get()));
  }
  // Ends the read transaction, so the statement holds no snapshot between calls.
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  return value;
}

std::string DefaultPlatform::encodeCacheValue(std::string value) { return value; }

std::string DefaultPlatform::decodeCacheValue(std::string storedText) { return storedText; }

}  // namespace iotcloud
