#include "core/api/smart/framework/IotCacheManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "settings_test_support.h"

namespace {

using namespace iotcloud_test;
using namespace settings_test;

// The real SQLite cache, storing values with an "enc:" prefix. An access
// (encode then write, or read then decode) that begins while another is still
// open counts as an overlap.
class CheckingPlatform : public iotcloud::DefaultPlatform {
 public:
  using DefaultPlatform::DefaultPlatform;
  std::string encodeCacheValue(std::string v) override { return begin("enc:" + v); }
  bool writeCache(std::string k, std::string v) override { return end(DefaultPlatform::writeCache(k, v)); }
  std::string readCache(std::string k) override { return begin(DefaultPlatform::readCache(k)); }
  std::string decodeCacheValue(std::string v) override { return end(v.rfind("enc:", 0) == 0 ? v.substr(4) : "?"); }
  std::atomic<int> overlaps{0};

 private:
  // The yield widens the window an unserialised caller would overlap in.
  std::string begin(std::string result) {
    overlaps += open_++ != 0;
    std::this_thread::yield();
    return result;
  }
  template <typename T>
  T end(T result) {
    overlaps += --open_ != 0;
    return result;
  }
  std::atomic<int> open_{0};
};

// Values round-trip through the real SQLite cache, which holds only the
// encoded form, under the key texts stored data is found by. (The platform
// test covers values of every byte; here a NUL must not cut a value short.)
TEST(CacheManager, ValuesRoundTripEncodedUnderTheirKeyTextsAndARefusedWriteIsLoggedOnce) {
  TempDir dir;
  auto checking = MakeDefaultPlatform<CheckingPlatform>(dir.File("cache.db"));
  ScopedPlatform platform(checking);
  IotCacheManager* cache = IotCacheManager::getInstance();
  // clang-format off
  const std::pair<const char*, const char*> keys[] = {{PLATFORM_OA_SESSION_KEY, "oa"},
      {PLATFORM_IOT_SESSION_KEY, "iot"}, {PLATFORM_REGION_INFO_KEY, "region"},
      {PLATFORM_COUNTRY_CODE_KEY, "country_code"}, {PLATFORM_LANGUAGE_KEY, "language"}};
  // clang-format on
  for (const auto& [key, text] : keys) {
    // The empty string comes last: writing it is how an entry is cleared.
    for (const std::string& value : {std::string("a\0b\0\xff", 5), std::string()}) {
      ASSERT_TRUE(cache->writeToPlatformCache(key, value)) << text;
      EXPECT_EQ(checking->DefaultPlatform::readCache(text), "enc:" + value) << text;
      EXPECT_EQ(cache->readFormPlatformCache(key), value) << text << " size " << value.size();
    }
  }
  // A cache that cannot open (its path is under a file) refuses the write,
  // which is logged once and not retried.
  ScopedPlatform broken(MakeDefaultPlatform(dir.File("cache.db") + "/cache.db"));
  LogCapture log;
  EXPECT_FALSE(IotCacheManager::getInstance()->writeToPlatformCache(PLATFORM_REGION_INFO_KEY, "new"));
  EXPECT_EQ(log.Count("cache: not open, write of key=region dropped"), 1u);
  EXPECT_EQ(log.Count("writeToPlatformCache key=region failed."), 1u);
}

// Each access is one critical section around both platform calls. The
// threads also make the singleton's first call concurrently, and use the
// platform directly beside the manager (the platform's own lock).
TEST(CacheManager, ConcurrentAccessesNeverOverlap) {
  TempDir dir;
  auto checking = MakeDefaultPlatform<CheckingPlatform>(dir.File("cache.db"));
  ScopedPlatform platform(checking);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t, &checking] {
      IotCacheManager* cache = IotCacheManager::getInstance();
      for (int round = 0; round < 40; ++round) {
        const std::string key = "key" + std::to_string(t), value = key + "=" + std::to_string(round);
        EXPECT_TRUE(cache->writeToPlatformCache(key, value));
        EXPECT_EQ(cache->readFormPlatformCache(key), value);
        cache->writeToPlatformCache(PLATFORM_LANGUAGE_KEY, value);
        EXPECT_TRUE(checking->DefaultPlatform::writeCache("direct" + key, value));
        EXPECT_EQ(checking->DefaultPlatform::readCache("direct" + key), value);
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(checking->overlaps.load(), 0);
  // The shared key holds one whole value of one of the writers.
  EXPECT_NE(IotCacheManager::getInstance()->readFormPlatformCache(PLATFORM_LANGUAGE_KEY).find("=39"),
            std::string::npos);
}

}  // namespace
