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
#include <random>
#include <string>
#include <thread>
#include <tuple>
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
    // The reused read statement holds no snapshot between calls: another
    // connection's write is seen at once.
    EXPECT_EQ(platform->readCache("empty"), "");
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
// SQLite's own integrity check must find the database intact.
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
      EXPECT_TRUE((round == 0 && value.empty()) ||  // perhaps never written yet
                  (std::sscanf(value.c_str(), "v%08u;", &version) == 1 && value == VersionedValue(version)))
          << "round " << round << " key " << key << " size " << value.size();
    }
    sqlite3* db = nullptr;
    sqlite3_stmt* check = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr);
    EXPECT_TRUE(sqlite3_step(check) == SQLITE_ROW &&
                std::string(reinterpret_cast<const char*>(sqlite3_column_text(check, 0))) == "ok")
        << "round " << round;
    sqlite3_finalize(check);
    sqlite3_close_v2(db);
  }
}

// Whether `dir` holds a damaged cache moved aside; its name in *name.
bool HasDamagedCopy(const std::string& dir, std::string* name = nullptr) {
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().filename().string().rfind("cache.db.damaged-", 0) != 0) continue;
    if (name != nullptr) *name = entry.path().filename().string();
    return true;
  }
  return false;
}

// A cache holding "region" = "saved", closed again.
void MakeCache(const std::string& path) { ASSERT_TRUE(MakeDefaultPlatform(path)->writeCache("region", "saved")); }

// A damaged file is moved aside (kept byte for byte) and replaced by an
// empty cache, with one line at level 4; an empty file is an empty cache.
TEST(DefaultPlatformCacheFailures, DamagedFilesAreMovedAsideAndAFreshCacheStarts) {
  // What the file is cut to (-1: left as it is), where the damage starts, the bytes written there.
  const std::tuple<long, long, std::string> cases[] = {
      {0, 0, "region=eu\n"},
      {50, 0, ""} /* cut inside the header */,
      {4096, 0, ""},
      {-1, 4096, std::string(64, '\xff')},
      {0, 0, ""} /* empty: not damaged */,
  };
  for (const auto& [size, offset, bytes] : cases) {
    SCOPED_TRACE(bytes.substr(0, 10) + " at " + std::to_string(offset) + ", size " + std::to_string(size));
    TempDir dir;
    const std::string path = dir.File("cache.db");
    MakeCache(path);
    ASSERT_TRUE(size < 0 || truncate(path.c_str(), size) == 0);
    std::fstream(path, std::ios::in | std::ios::out | std::ios::binary)
        .seekp(offset)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    const std::string damagedBytes = iotcloud_test::ReadFile(path);
    LogCapture log(4);
    auto platform = MakeDefaultPlatform(path);
    EXPECT_EQ(platform->readCache("region"), "");
    EXPECT_TRUE(platform->writeCache("region", "fresh"));
    EXPECT_EQ(platform->readCache("region"), "fresh");
    std::string aside;
    const bool damaged = size != 0 || !bytes.empty();
    ASSERT_EQ(HasDamagedCopy(dir.File(""), &aside), damaged);
    ASSERT_EQ(log.Lines().size(), damaged ? 1u : 0u);
    if (!damaged) continue;
    EXPECT_EQ(iotcloud_test::ReadFile(dir.File(aside)), damagedBytes);
    EXPECT_NE(log.Lines()[0].message.find(aside), std::string::npos) << log.Lines()[0].message;
  }
}

// A path that is no regular file is left alone: no read blocks on a FIFO. A
// full disk fails the write that does not fit and keeps what was saved;
// neither counts as damage. (A read-only cache is checked through the
// command-line tool, cli_tool_test's ReadOnlyCacheIsShownButNotWritten.)
TEST(DefaultPlatformCacheFailures, FifoIsNotOpenedAndAFullDiskKeepsTheCache) {
  TempDir dir;
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  auto fifo = MakeDefaultPlatform(dir.File("fifo"));
  EXPECT_FALSE(fifo->cacheIsOpen());
  EXPECT_EQ(fifo->readCache("region"), "");
  EXPECT_FALSE(fifo->writeCache("region", "x"));
  struct stat status {};
  EXPECT_TRUE(stat(dir.File("fifo").c_str(), &status) == 0 && S_ISFIFO(status.st_mode));

  const std::string fs = dir.File("fs"), path = fs + "/cache.db";
  if (mkdir(fs.c_str(), 0700) != 0 || mount("tmpfs", fs.c_str(), "tmpfs", 0, "size=512k") != 0) {
    GTEST_SKIP() << "cannot mount a small file system here (needs root)";
  }
  struct Unmount {  // lets TempDir remove the folder again
    std::string dir;
    ~Unmount() { umount2(dir.c_str(), MNT_DETACH); }
  } unmount{fs};
  MakeCache(path);
  {
    auto platform = MakeDefaultPlatform(path);
    bool failed = false;
    for (int i = 0; i < 16 && !failed; ++i)
      failed = !platform->writeCache("big" + std::to_string(i), std::string(64 << 10, 'b'));
    EXPECT_TRUE(failed) << "512 KiB never filled";
  }
  EXPECT_EQ(MakeDefaultPlatform(path)->readCache("region"), "saved");
  EXPECT_FALSE(HasDamagedCopy(fs));
}

// Another connection holding the write lock makes a save fail after a short
// wait instead of holding the HTTP manager thread for seconds (it was 5 s); a
// lock that is let go in time is waited for.
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
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
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
