#include "core/api/smart/framework/IotCacheManager.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/api/smart/framework/IotLanguageManager.h"
#include "core/api/smart/framework/IotSmartCountryManager.h"
#include "settings_test_support.h"

namespace {

using iotcloud_test::LogCapture;
using iotcloud_test::TempDir;
using settings_test::LogLine;
using settings_test::MakeDefaultPlatform;
using settings_test::RecordingPlatform;
using settings_test::ScopedPlatform;

std::string AllBytes() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  return bytes;
}

// Persisted entries are found by these texts after an upgrade, so they are
// part of the stored format.
TEST(CacheKeys, TextsOfTheKeys) {
  EXPECT_STREQ(PLATFORM_OA_SESSION_KEY, "oa");
  EXPECT_STREQ(PLATFORM_IOT_SESSION_KEY, "iot");
  EXPECT_STREQ(PLATFORM_REGION_INFO_KEY, "region");
  EXPECT_STREQ(PLATFORM_COUNTRY_CODE_KEY, "country_code");
  EXPECT_STREQ(PLATFORM_LANGUAGE_KEY, "language");
}

// The lifecycle lines of the three settings singletons carry the class name
// as the function name, whichever compiler built them.
TEST(SettingsSingletons, LifecycleLinesAndOneInstanceEach) {
  {
    LogCapture log;
    { IotCacheManager separate; }
    { IotLanguageManager separate; }
    { IotSmartCountryManager separate; }
    std::vector<std::pair<std::string, std::string>> seen;
    for (const LogLine& line : log.Lines()) {
      EXPECT_EQ(line.level, 1);
      seen.emplace_back(line.function, line.message);
    }
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"IotCacheManager", "new"},        {"~IotCacheManager", "deleted."},
        {"IotLanguageManager", "new"},     {"~IotLanguageManager", "deleted."},
        {"IotSmartCountryManager", "new"}, {"~IotSmartCountryManager", "deleted."},
    };
    EXPECT_EQ(seen, expected);
  }

  // Concurrent first calls agree on one instance per class.
  std::vector<std::thread> threads;
  std::vector<const void*> instances(3 * 4);
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&instances, i] {
      instances[3 * i] = IotCacheManager::getInstance();
      instances[3 * i + 1] = IotLanguageManager::getInstance();
      instances[3 * i + 2] = IotSmartCountryManager::getInstance();
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int i = 1; i < 4; ++i) {
    for (int k = 0; k < 3; ++k) EXPECT_EQ(instances[3 * i + k], instances[k]);
  }
  // Later calls create nothing.
  LogCapture log;
  EXPECT_EQ(IotCacheManager::getInstance(), instances[0]);
  EXPECT_EQ(IotLanguageManager::getInstance(), instances[1]);
  EXPECT_EQ(IotSmartCountryManager::getInstance(), instances[2]);
  EXPECT_TRUE(log.Lines().empty());
}

TEST(CacheManager, InitConfigStartsAtDefaultsAndIsReplacedWhole) {
  IotCacheManager manager;
  EXPECT_EQ(manager.getEnv(), 0);
  EXPECT_EQ(manager.getAppKey(), "");

  IotSmartInitConfig config;
  EXPECT_EQ(config.appType, 1);
  EXPECT_FALSE(config.debugMode);
  config.env = 2;
  config.appKey = "app-key-1";
  config.appVersion = "3.4.5";
  manager.setSmartInitConfig(config);
  EXPECT_EQ(manager.getEnv(), 2);
  EXPECT_EQ(manager.getAppKey(), "app-key-1");

  manager.setSmartInitConfig(IotSmartInitConfig{});
  EXPECT_EQ(manager.getEnv(), 0);
  EXPECT_EQ(manager.getAppKey(), "");
}

TEST(CacheManager, ValuesRoundTripThroughTheSqliteCache) {
  TempDir dir;
  ScopedPlatform platform(MakeDefaultPlatform(dir.File("cache.db")));
  IotCacheManager* cache = IotCacheManager::getInstance();
  const std::vector<std::string> values = {
      "zh-CN", "", std::string("a\0b\0", 4), AllBytes(), std::string(1 << 20, '\x80'), "{\n\t\"regionId\":\t\"x\"\n}",
  };
  LogCapture log;
  for (const char* key : {PLATFORM_OA_SESSION_KEY, PLATFORM_IOT_SESSION_KEY, PLATFORM_REGION_INFO_KEY,
                          PLATFORM_COUNTRY_CODE_KEY, PLATFORM_LANGUAGE_KEY}) {
    EXPECT_EQ(cache->readFormPlatformCache(key), "") << "never written: " << key;
    for (const std::string& value : values) {
      ASSERT_TRUE(cache->writeToPlatformCache(key, value)) << key;
      EXPECT_EQ(cache->readFormPlatformCache(key), value) << key << " size " << value.size();
    }
    // Writing the empty string is how an entry is cleared.
    ASSERT_TRUE(cache->writeToPlatformCache(key, "something"));
    ASSERT_TRUE(cache->writeToPlatformCache(key, ""));
    EXPECT_EQ(cache->readFormPlatformCache(key), "") << key;
  }
  EXPECT_TRUE(log.Lines().empty());
}

TEST(CacheManager, PlatformStoresOnlyTheEncodedForm) {
  TempDir dir;
  auto inner = MakeDefaultPlatform(dir.File("cache.db"));
  auto recording = std::make_shared<RecordingPlatform>(inner);
  recording->prefixValues = true;
  ScopedPlatform platform(recording);
  IotCacheManager* cache = IotCacheManager::getInstance();

  ASSERT_TRUE(cache->writeToPlatformCache(PLATFORM_REGION_INFO_KEY, "value"));
  EXPECT_EQ(recording->lastStoredText(), "enc:value");
  EXPECT_EQ(inner->readCache(PLATFORM_REGION_INFO_KEY), "enc:value");
  EXPECT_EQ(cache->readFormPlatformCache(PLATFORM_REGION_INFO_KEY), "value");
}

TEST(CacheManager, RefusedWriteIsLoggedOnceAndNotRetried) {
  TempDir dir;
  auto recording = std::make_shared<RecordingPlatform>(MakeDefaultPlatform(dir.File("cache.db")));
  ScopedPlatform platform(recording);
  IotCacheManager* cache = IotCacheManager::getInstance();
  ASSERT_TRUE(cache->writeToPlatformCache(PLATFORM_REGION_INFO_KEY, "old"));

  recording->refuseWrites = true;
  const int writesBefore = recording->writeCalls;
  LogCapture log;
  EXPECT_FALSE(cache->writeToPlatformCache(PLATFORM_REGION_INFO_KEY, "new"));
  EXPECT_EQ(recording->writeCalls - writesBefore, 1);
  const std::vector<LogLine> lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 4);
  EXPECT_EQ(lines[0].function, "writeToPlatformCache");
  EXPECT_EQ(lines[0].message, "writeToPlatformCache key=region failed.");
  EXPECT_EQ(cache->readFormPlatformCache(PLATFORM_REGION_INFO_KEY), "old");
}

// Each access is one critical section: with several threads writing and
// reading at once, the platform sees encode+write and read+decode pairs of
// one thread, never interleaved with another access.
TEST(CacheManager, ConcurrentAccessesAreNeverInterleaved) {
  TempDir dir;
  auto recording = std::make_shared<RecordingPlatform>(MakeDefaultPlatform(dir.File("cache.db")));
  ScopedPlatform platform(recording);
  constexpr int kThreads = 4;
  constexpr int kRounds = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      IotCacheManager* cache = IotCacheManager::getInstance();
      const std::string key = "key" + std::to_string(t);
      for (int round = 0; round < kRounds; ++round) {
        const std::string value = key + "=" + std::to_string(round);
        EXPECT_TRUE(cache->writeToPlatformCache(key, value));
        EXPECT_EQ(cache->readFormPlatformCache(key), value);
        cache->writeToPlatformCache(PLATFORM_LANGUAGE_KEY, value);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  using Call = RecordingPlatform::Call;
  const std::vector<RecordingPlatform::Event> events = recording->events();
  ASSERT_EQ(events.size(), static_cast<size_t>(kThreads * kRounds * 3 * 2));
  for (size_t i = 0; i < events.size(); i += 2) {
    const bool writePair = events[i].call == Call::Encode && events[i + 1].call == Call::Write;
    const bool readPair = events[i].call == Call::Read && events[i + 1].call == Call::Decode;
    ASSERT_TRUE(writePair || readPair) << "event " << i;
    ASSERT_EQ(events[i].thread, events[i + 1].thread) << "event " << i;
  }
  // The shared key holds one whole value of one of the writers.
  const std::string last = IotCacheManager::getInstance()->readFormPlatformCache(PLATFORM_LANGUAGE_KEY);
  EXPECT_NE(last.find("=" + std::to_string(kRounds - 1)), std::string::npos) << last;
}

}  // namespace
