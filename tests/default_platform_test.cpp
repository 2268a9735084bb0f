// The default platform's SQLite cache: exact round trips that persist, and a
// writer killed mid-write. Its concurrent use is in cache_manager_test.
#include "platform/DefaultPlatform.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/support/TovoLog.h"
#include "settings_test_support.h"

namespace {

using iotcloud_test::TempDir;
using settings_test::MakeDefaultPlatform;

TEST(DefaultPlatformCache, KeysAndValuesOfAnyBytesRoundTripAndPersist) {
  TempDir dir;
  const std::vector<std::pair<std::string, std::string>> entries = {
      {"empty", ""},   {"nul", std::string(1, '\0')},           {"large", std::string(3 << 20, '\xa5')},
      {"", "value"},   {std::string("a\0b", 3), "NUL in key"}, {"a", "key that is a prefix of the one above"}};
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
    sqlite3_exec(db, "PRAGMA integrity_check", [](void* out, int, char** row, char**) {
      *static_cast<std::string*>(out) = row[0] ? row[0] : "";
      return 0;
    }, &check, nullptr);
    sqlite3_close_v2(db);
    EXPECT_EQ(check, "ok") << "round " << round;
  }
}

}  // namespace
