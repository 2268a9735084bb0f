#include "core/api/smart/framework/IotLanguageManager.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "core/api/smart/framework/IotCacheManager.h"
#include "settings_test_support.h"

namespace {

using namespace iotcloud_test;
using namespace settings_test;

std::string CachedLanguage() { return IotCacheManager::getInstance()->readFormPlatformCache(PLATFORM_LANGUAGE_KEY); }

// A valid language is two pieces cut at '-', or else at '_' (cut like line
// reading: empty pieces kept inside, a trailing one dropped); it is stored in
// the hyphen form. An invalid one is refused with a log line.
TEST(LanguageManager, SetLanguageStoresTheHyphenFormOrRefuses) {
  const std::pair<std::string, std::string> cases[] = {
      // input, stored ("": refused)
      {"zh_CN", "zh-CN"}, {"zh-CN-", "zh-CN"}, {"xx-YY", "xx-YY"}, {"-CN", "-CN"}, {"EN_us", "EN-us"},
      {"a_b-c", "a_b-c"}, {"zh", ""},          {"", ""},           {"zh_", ""},    {"-", ""},
      {"_", ""},          {"zh-Hans-CN", ""},  {"zh_Hans_CN", ""}, {"zh--CN", ""},
  };
  TempDir dir;
  ScopedPlatform platform(MakeDefaultPlatform(dir.File("cache.db")));
  IotLanguageManager manager;
  for (const auto& [input, stored] : cases) {
    manager.setLanguage("fr-FR");
    LogCapture log(4);
    manager.setLanguage(input);
    EXPECT_EQ(CachedLanguage(), stored.empty() ? "fr-FR" : stored) << input;
    EXPECT_EQ(manager.getLanguage(), CachedLanguage()) << input;
    EXPECT_EQ(log.Count("set wrong language=" + input + ","), stored.empty() ? 1u : 0u) << input;
  }
}

// With nothing cached the system language's tag is used, held in memory only,
// and the fallback is logged once. Only a known two-letter code, exactly, maps
// to its tag; anything else falls back to "en-US". A cached tag is used
// unchecked, and clearing it falls back again.
TEST(LanguageManager, NothingCachedFallsBackToTheSystemLanguage) {
  const std::pair<std::string, std::string> codes[] = {
      {"zh", "zh-CN"},    {"hi", "hi-IN"}, {"pt", "pt-PT"},  {"ZH", "en-US"},
      {"pt-BR", "en-US"}, {"", "en-US"},   {"zho", "en-US"}, {"sv", "en-US"},
  };
  for (const auto& [system, tag] : codes) {
    SCOPED_TRACE(system);
    TempDir dir;
    ScopedPlatform platform(MakeDefaultPlatform(dir.File("cache.db"), system));
    LogCapture log;
    IotLanguageManager manager;
    EXPECT_EQ(manager.getLanguage(), tag);
    EXPECT_EQ(manager.getLanguage(), tag);
    EXPECT_EQ(CachedLanguage(), "");
    EXPECT_EQ(log.Count("no language set before, use system default."), 1u);
    ASSERT_TRUE(IotCacheManager::getInstance()->writeToPlatformCache(PLATFORM_LANGUAGE_KEY, "not a tag"));
    IotLanguageManager cached;
    EXPECT_EQ(cached.getLanguage(), "not a tag");
    cached.clearLanguage();
    EXPECT_EQ(CachedLanguage(), "");
    EXPECT_EQ(cached.getLanguage(), tag);
  }
}

// Setters, clearers and readers on several threads at once (the singleton's
// first call among them). Readers only see whole tags, and afterwards the held
// tag and the cache agree: a fresh manager over the same cache reads it.
TEST(LanguageManager, ConcurrentSetClearAndGetAgree) {
  TempDir dir;
  ScopedPlatform platform(MakeDefaultPlatform(dir.File("cache.db"), "pl"));
  std::vector<std::thread> threads;
  for (const char* tag : {"zh-CN", "en-US", "fr-FR", "de-DE"})
    threads.emplace_back([tag] {
      IotLanguageManager* manager = IotLanguageManager::getInstance();
      for (int round = 0; round < 60; ++round) {
        if (round % 10 == 5 && tag[0] == 'z') manager->clearLanguage();
        if (round % 2 == 0) manager->setLanguage(tag);
        EXPECT_TRUE(IotLanguageManager::isValidLanguage(manager->getLanguage()));
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(IotLanguageManager().getLanguage(), IotLanguageManager::getInstance()->getLanguage());
}

}  // namespace
