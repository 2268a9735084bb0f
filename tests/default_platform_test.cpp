// The default platform's SQLite cache: exact round trips that persist, a
// writer killed mid-write, and files and disks that misbehave. Its concurrent
// use is in cache_manager_test.
#include "platform/DefaultPlatform.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/support/TovoLog.h"
#include "settings_test_support.h"
#include "support/TestUtil.h"

namespace {

using iotcloud_test::LogCapture;
using iotcloud_test::TempDir;
using settings_test::MakeDefaultPlatform;

TEST(DefaultPlatformCache, KeysAndValuesOfAnyBytesRoundTripAndPersist) {
  TempDir dir;
  const std::vector<std::pair<std::string, std::string>> entries = {
      {"empty", ""}, {"nul", std::string(1, '\0')},          {"large", std::string(3 << 20, '\xa5')},
      {"", "value"}, {std::string("a\0b", 3), "NUL in key"}, {"a", "key that is a prefix of the one above"}};
  {
    auto platform = MakeDefaultPlatform(dir.File("cache.db"));
    for (const auto& [key, value] : entries) ASSERT_TRUE(platform->writeCache(key, "old " + value));
    for (const auto& [key, value] : entries) ASSERT_TRUE(platform->writeCache(key, value));
    for (const auto& [key, value] : entries) EXPECT_EQ(platform->readCache(key), value) << key;
    // The reused read statement holds no snapshot between calls: another
    // connection's write is seen at once.
    MakeDefaultPlatform(dir.File("cache.db"))->writeCache("empty", "from another connection");
    EXPECT_EQ(platform->readCache("empty"), "from another connection");
    ASSERT_TRUE(platform->writeCache("empty", ""));
  }
  auto reopened = MakeDefaultPlatform(dir.File("cache.db"));
  for (const auto& [key, value] : entries) EXPECT_EQ(reopened->readCache(key), value) << key;
  EXPECT_EQ(reopened->readCache("never written"), "");
}

// Version n of a value: a header naming n, then a filler and a length that
// depend on n.
std::string VersionedValue(unsigned version) {
  char header[16];
  std::snprintf(header, sizeof header, "v%08u;", version);
  return std::string(header) + std::string((1 << 20) + version % 4093, static_cast<char>('A' + version % 26));
}

// A child overwrites large values in a loop and is killed with SIGKILL at
// varying points; every value read afterwards must be one whole version, and
// SQLite must find the database intact.
TEST(DefaultPlatformCache, AKilledWriterNeverLeavesAHalfWrittenValue) {
  TempDir dir;
  const std::string path = dir.File("cache.db");
  const std::vector<std::string> keys = {"region", "language", "oa"};
  std::mt19937 random(20240611);
  for (int round = 0; round < 6; ++round) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {  // no gtest from here on: write, report progress, wait for the kill
      close(pipeFds[0]);
      iotcloud::SetLogMinLevel(5);
      auto platform = MakeDefaultPlatform(path);
      for (unsigned version = 1;; ++version)
        for (const std::string& key : keys)
          if (!platform->writeCache(key, VersionedValue(version)) || write(pipeFds[1], "w", 1) != 1) _exit(3);
    }
    close(pipeFds[1]);
    char progress = 0;
    for (int seen = 1 + static_cast<int>(random() % 6); seen > 0 && read(pipeFds[0], &progress, 1) == 1;) --seen;
    // Where inside the next write the kill lands; not a synchronisation.
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    close(pipeFds[0]);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child ended on its own, status " << status;

    auto platform = MakeDefaultPlatform(path);
    for (const std::string& key : keys) {
      const std::string value = platform->readCache(key);
      unsigned version = 0;
      if (round == 0 && value.empty()) continue;  // perhaps never written yet
      EXPECT_TRUE(std::sscanf(value.c_str(), "v%08u;", &version) == 1 && value == VersionedValue(version))
          << "round " << round << " key " << key << " size " << value.size();
    }
    sqlite3* db = nullptr;
    std::string check;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_exec(
        db, "PRAGMA integrity_check",
        [](void* out, int, char** row, char**) {
          *static_cast<std::string*>(out) = row[0] ? row[0] : "";
          return 0;
        },
        &check, nullptr);
    sqlite3_close_v2(db);
    EXPECT_EQ(check, "ok") << "round " << round;
  }
}

// Files in `dir` whose names start with `prefix`.
std::vector<std::string> FilesStartingWith(const std::string& dir, const std::string& prefix) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) == 0) names.push_back(name);
  }
  return names;
}

// A tmpfs of `size` mounted on a fresh folder, unmounted again on
// destruction. Mounting needs root (CAP_SYS_ADMIN); ok() is false otherwise.
class SmallFileSystem {
 public:
  explicit SmallFileSystem(const std::string& size) {
    mounted_ = mkdir(dir_.File("fs").c_str(), 0700) == 0 &&
               mount("tmpfs", dir_.File("fs").c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) umount2(dir_.File("fs").c_str(), MNT_DETACH);
  }
  bool ok() const { return mounted_; }
  std::string dir() const { return dir_.File("fs"); }
  bool MakeReadOnly() { return mount("tmpfs", dir().c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0; }

 private:
  TempDir dir_;
  bool mounted_ = false;
};

// A cache holding "region" = "saved", closed again.
void MakeCache(const std::string& path) { ASSERT_TRUE(MakeDefaultPlatform(path)->writeCache("region", "saved")); }

// A damaged file is moved aside (kept byte for byte) and replaced by an
// empty cache, with one line at level 4; an empty file is an empty cache.
TEST(DefaultPlatformCacheFailures, DamagedFilesAreMovedAsideAndAFreshCacheStarts) {
  auto overwrite = [](long offset, const std::string& bytes) {
    return [=](const std::string& path) {
      std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
      file.seekp(offset);
      file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    };
  };
  auto truncateTo = [](long size) {
    return [=](const std::string& path) { ASSERT_EQ(truncate(path.c_str(), size), 0); };
  };
  const struct {
    const char* name;
    std::function<void(const std::string&)> damage;
    bool damaged;
  } cases[] = {
      {"garbage", [](const std::string& path) { std::ofstream(path, std::ios::binary) << std::string(5000, '\x5a'); },
       true},
      {"text file", [](const std::string& path) { std::ofstream(path) << "region=eu\n"; }, true},
      {"truncated inside the header", truncateTo(50), true},
      {"truncated to one page", truncateTo(4096), true},
      {"damaged table page", overwrite(4096, std::string(64, '\xff')), true},
      {"damaged file header", overwrite(0, "not sqlite at all"), true},
      {"empty file", truncateTo(0), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.File("cache.db");
    MakeCache(path);
    c.damage(path);
    const std::string damagedBytes = iotcloud_test::ReadFile(path);

    LogCapture log(3);
    auto platform = MakeDefaultPlatform(path);
    EXPECT_TRUE(platform->cacheIsWritable());
    EXPECT_EQ(platform->readCache("region"), "");
    EXPECT_TRUE(platform->writeCache("region", "fresh"));
    EXPECT_EQ(platform->readCache("region"), "fresh");

    const std::vector<std::string> aside = FilesStartingWith(dir.File(""), "cache.db.damaged-");
    if (!c.damaged) {
      EXPECT_TRUE(aside.empty());
      EXPECT_TRUE(log.Lines().empty());
      continue;
    }
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(iotcloud_test::ReadFile(dir.File(aside[0])), damagedBytes);
    ASSERT_EQ(log.Lines().size(), 1u);
    EXPECT_EQ(log.Lines()[0].level, 4);
    EXPECT_NE(log.Lines()[0].message.find("is damaged"), std::string::npos) << log.Lines()[0].message;
    EXPECT_NE(log.Lines()[0].message.find(aside[0]), std::string::npos) << log.Lines()[0].message;
  }
}

// A cache in a read-only folder (root: a read-only mount, since root may
// write any folder) is read, and every write fails and says why.
TEST(DefaultPlatformCacheFailures, ReadOnlyCacheIsReadAndRefusesWrites) {
  SmallFileSystem fs("1m");
  TempDir plain;
  const bool root = geteuid() == 0;
  if (root && !fs.ok()) GTEST_SKIP() << "running as root without the right to mount a read-only file system";
  const std::string dir = root ? fs.dir() : plain.File("ro");
  if (!root) {
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  }
  const std::string path = dir + "/cache.db";
  MakeCache(path);
  ASSERT_TRUE(root ? fs.MakeReadOnly() : chmod(dir.c_str(), 0500) == 0);

  LogCapture log(3);
  auto platform = MakeDefaultPlatform(path);
  EXPECT_TRUE(platform->cacheIsOpen());
  EXPECT_FALSE(platform->cacheIsWritable());
  EXPECT_EQ(platform->readCache("region"), "saved");
  EXPECT_FALSE(platform->writeCache("region", "new"));
  EXPECT_EQ(platform->readCache("region"), "saved");
  EXPECT_TRUE(log.Contains("opened it read-only")) << (log.Lines().empty() ? "" : log.Lines()[0].message);
  EXPECT_TRUE(log.Contains("write of key=region refused"));
  EXPECT_TRUE(FilesStartingWith(dir, "cache.db.damaged-").empty());
  if (!root) chmod(dir.c_str(), 0700);
}

// A full disk fails the write that does not fit and keeps what was saved.
TEST(DefaultPlatformCacheFailures, FullDiskFailsTheWriteAndKeepsTheCache) {
  SmallFileSystem fs("512k");
  if (!fs.ok()) GTEST_SKIP() << "cannot mount a small file system here (needs root)";
  const std::string path = fs.dir() + "/cache.db";
  MakeCache(path);
  LogCapture log(4);
  {
    auto platform = MakeDefaultPlatform(path);
    bool failed = false;
    for (int i = 0; i < 16 && !failed; ++i)
      failed = !platform->writeCache("big" + std::to_string(i), std::string(64 << 10, 'b'));
    EXPECT_TRUE(failed) << "512 KiB never filled";
    EXPECT_TRUE(log.Contains("full")) << (log.Lines().empty() ? "" : log.Lines().back().message);
    EXPECT_EQ(platform->readCache("region"), "saved");
  }
  auto reopened = MakeDefaultPlatform(path);
  EXPECT_EQ(reopened->readCache("region"), "saved");
  EXPECT_TRUE(FilesStartingWith(fs.dir(), "cache.db.damaged-").empty());
}

// A path that is no regular file is left alone: no read blocks on a FIFO.
TEST(DefaultPlatformCacheFailures, FifoIsNotOpened) {
  TempDir dir;
  ASSERT_EQ(mkfifo(dir.File("cache.db").c_str(), 0600), 0);
  LogCapture log(4);
  auto platform = MakeDefaultPlatform(dir.File("cache.db"));
  EXPECT_TRUE(log.Contains("is not a regular file"));
  EXPECT_FALSE(platform->cacheIsOpen());
  EXPECT_EQ(platform->readCache("region"), "");
  EXPECT_FALSE(platform->writeCache("region", "x"));
  struct stat status {};
  EXPECT_TRUE(stat(dir.File("cache.db").c_str(), &status) == 0 && S_ISFIFO(status.st_mode));
}

// Another connection holding the write lock makes a save fail after a short
// wait instead of holding the HTTP manager thread for seconds; a lock that is
// let go in time is waited for.
TEST(DefaultPlatformCacheFailures, HeldWriteLockFailsASaveAfterAShortWait) {
  TempDir dir;
  const std::string path = dir.File("cache.db");
  MakeCache(path);
  auto platform = MakeDefaultPlatform(path);
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(platform->writeCache("region", "blocked"));
  const auto waited = std::chrono::steady_clock::now() - start;
  std::printf("save against a held lock failed after %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()));
  EXPECT_LT(waited, std::chrono::seconds(2));  // it was 5 s

  std::thread release([other] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // lets the save start waiting; not a synchronisation
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
  });
  EXPECT_TRUE(platform->writeCache("region", "after the lock"));
  release.join();
  sqlite3_close(other);
  EXPECT_EQ(platform->readCache("region"), "after the lock");
}

}  // namespace
