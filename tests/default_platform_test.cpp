// The default platform's SQLite cache: exact round trips, persistence, the
// journal mode, a cache that cannot be opened, and a writer killed mid-write.
#include "platform/DefaultPlatform.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/support/TovoLog.h"
#include "settings_test_support.h"

namespace {

using iotcloud::DefaultPlatform;
using iotcloud_test::LogCapture;
using iotcloud_test::TempDir;
using settings_test::LinesAtLevel;
using settings_test::LogLine;
using settings_test::MakeDefaultPlatform;

std::string AllBytes() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  return bytes;
}

// Runs one statement against the database file with SQLite directly and
// returns the first column of the first row.
std::string QueryFile(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  std::string result;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(statement, 0);
      if (text) result = reinterpret_cast<const char*>(text);
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close_v2(db);
  return result;
}

TEST(DefaultPlatformCache, ValuesAndKeysOfAnyBytesRoundTripAndPersist) {
  TempDir dir;
  const std::string path = dir.File("cache.db");
  const std::vector<std::pair<std::string, std::string>> entries = {
      {"empty", ""},
      {"nul", std::string(1, '\0')},
      {"bytes", AllBytes()},
      {"large", std::string(3 << 20, '\xa5')},
      {"", "value under the empty key"},
      {std::string("a\0b", 3), "key with a NUL"},
      {"a", "key that is a prefix of the one above"},
  };
  {
    auto platform = MakeDefaultPlatform(path);
    ASSERT_TRUE(platform->cacheIsOpen());
    EXPECT_EQ(platform->readCache("never written"), "");
    for (const auto& [key, value] : entries) ASSERT_TRUE(platform->writeCache(key, "old " + value));
    for (const auto& [key, value] : entries) ASSERT_TRUE(platform->writeCache(key, value));
    for (const auto& [key, value] : entries) EXPECT_EQ(platform->readCache(key), value) << key;
    // The encoding hooks are inverse.
    for (const auto& [key, value] : entries)
      EXPECT_EQ(platform->decodeCacheValue(platform->encodeCacheValue(value)), value);
  }
  auto reopened = MakeDefaultPlatform(path);
  for (const auto& [key, value] : entries) EXPECT_EQ(reopened->readCache(key), value) << key;
  EXPECT_EQ(reopened->readCache("never written"), "");
}

TEST(DefaultPlatformCache, JournalIsWriteAheadLog) {
  TempDir dir;
  const std::string path = dir.File("cache.db");
  auto platform = MakeDefaultPlatform(path);
  ASSERT_TRUE(platform->writeCache("k", "v"));
  EXPECT_EQ(QueryFile(path, "PRAGMA journal_mode"), "wal");
}

TEST(DefaultPlatformCache, ACacheThatCannotBeOpenedFailsWritesAndSaysWhy) {
  TempDir dir;
  const std::string blocker = dir.File("blocker");
  std::ofstream(blocker) << "a regular file, not a folder";
  for (const std::string& path : {blocker + "/cache.db", blocker + "/sub/cache.db"}) {
    LogCapture log;
    auto platform = MakeDefaultPlatform(path);
    EXPECT_FALSE(platform->cacheIsOpen()) << path;
    EXPECT_FALSE(platform->writeCache("region", "{}")) << path;
    EXPECT_EQ(platform->readCache("region"), "") << path;
    bool saidWhy = false;
    for (const LogLine& line : LinesAtLevel(log, 4)) {
      if (line.message.find("cannot") != std::string::npos && line.message.find(blocker) != std::string::npos)
        saidWhy = true;
    }
    EXPECT_TRUE(saidWhy) << path;
  }
}

TEST(DefaultPlatformCache, ConcurrentWritersAndReaders) {
  TempDir dir;
  auto platform = MakeDefaultPlatform(dir.File("cache.db"));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&platform, t] {
      const std::string key = "key" + std::to_string(t);
      for (int round = 0; round < 50; ++round) {
        const std::string value = std::string(static_cast<size_t>(round) * 37, static_cast<char>('a' + t));
        EXPECT_TRUE(platform->writeCache(key, value));
        EXPECT_EQ(platform->readCache(key), value);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
}

// Values written by the killed child: a version header, then a filler byte
// that depends on the version, to a length that depends on it too.
constexpr size_t kBaseSize = 1 << 20;

std::string VersionedValue(uint32_t version) {
  char header[16];
  std::snprintf(header, sizeof header, "v%08u;", static_cast<unsigned>(version));
  std::string value(header);
  value.resize(kBaseSize + version % 4093, static_cast<char>('A' + version % 26));
  return value;
}

bool IsOneWholeVersion(const std::string& value) {
  unsigned version = 0;
  if (value.size() < 10 || std::sscanf(value.c_str(), "v%08u;", &version) != 1) return false;
  return value == VersionedValue(version);
}

// A child process overwrites large values in a loop and is killed with
// SIGKILL at varying points; every value read afterwards must be one whole
// version, and the database must be intact.
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
    if (child == 0) {
      // Child: no gtest from here on; only write, report progress and wait
      // for the kill.
      close(pipeFds[0]);
      iotcloud::SetLogMinLevel(5);
      auto platform = MakeDefaultPlatform(path);
      for (uint32_t version = 1;; ++version) {
        for (const std::string& key : keys) {
          if (!platform->writeCache(key, VersionedValue(version))) _exit(3);
          if (write(pipeFds[1], "w", 1) != 1) _exit(4);
        }
      }
    }
    close(pipeFds[1]);
    // Let some writes complete, then kill at a random point of a later one.
    const int writesToWaitFor = 1 + static_cast<int>(random() % 6);
    char progress = 0;
    for (int seen = 0; seen < writesToWaitFor; ++seen) {
      if (read(pipeFds[0], &progress, 1) != 1) break;
    }
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
      if (round == 0 && value.empty()) continue;  // perhaps never written yet
      EXPECT_TRUE(IsOneWholeVersion(value)) << "round " << round << " key " << key << " size " << value.size();
    }
    EXPECT_EQ(QueryFile(path, "PRAGMA integrity_check"), "ok");
  }
}

}  // namespace
