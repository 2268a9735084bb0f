#include "core/api/smart/framework/IotLanguageManager.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/api/smart/framework/IotCacheManager.h"
#include "settings_test_support.h"

namespace {

using iotcloud_test::LogCapture;
using iotcloud_test::TempDir;
using settings_test::LinesAtLevel;
using settings_test::LinesWithMessage;
using settings_test::LogLine;
using settings_test::MakeDefaultPlatform;
using settings_test::RecordingPlatform;
using settings_test::ScopedPlatform;

std::string CachedLanguage() { return IotCacheManager::getInstance()->readFormPlatformCache(PLATFORM_LANGUAGE_KEY); }

TEST(LanguageManager, SplitCutsLikeLineReading) {
  struct Case {
    std::string text;
    char delimiter;
    std::vector<std::string> pieces;
  };
  const Case cases[] = {
      {"zh-CN", '-', {"zh", "CN"}},  {"-CN", '-', {"", "CN"}},        {"zh-", '-', {"zh"}},
      {"zh--CN", '-', {"zh", "", "CN"}}, {"", '-', {}},                {"-", '-', {""}},
      {"zh_CN", '-', {"zh_CN"}},     {"zh_CN", '_', {"zh", "CN"}},   {"zh-Hans-CN", '-', {"zh", "Hans", "CN"}},
  };
  for (const Case& c : cases) EXPECT_EQ(IotLanguageManager::split(c.text, c.delimiter), c.pieces) << c.text;
}

TEST(LanguageManager, ValidLanguageIsTwoPiecesAtHyphenOrElseUnderscore) {
  const std::pair<std::string, bool> cases[] = {
      {"zh-CN", true},  {"zh_CN", true},       {"xx-YY", true},       {"-CN", true},     {"zh-CN-", true},
      {"EN_us", true},  {"a_b-c", true},       {"zh_", false},        {"zh", false},     {"", false},
      {"-", false},     {"_", false},          {"zh-Hans-CN", false}, {"zh_Hans_CN", false}, {"zh--CN", false},
  };
  for (const auto& [text, valid] : cases) EXPECT_EQ(IotLanguageManager::isValidLanguage(text), valid) << text;
}

TEST(LanguageManager, EverySupportedCodeMapsToItsTag) {
  const std::pair<std::string, std::string> cases[] = {
      {"zh", "zh-CN"}, {"en", "en-US"}, {"fr", "fr-FR"}, {"de", "de-DE"}, {"ja", "ja-JP"},
      {"ko", "ko-KR"}, {"es", "es-ES"}, {"ru", "ru-RU"}, {"hi", "hi-IN"}, {"it", "it-IT"},
      {"pt", "pt-PT"}, {"nl", "nl-NL"}, {"pl", "pl-PL"},
      // Anything else falls back.
      {"ZH", "en-US"}, {"pt-BR", "en-US"}, {"", "en-US"}, {"zho", "en-US"}, {"z", "en-US"}, {"sv", "en-US"},
  };
  for (const auto& [code, tag] : cases) EXPECT_EQ(IotLanguageManager::makeLanguageString(code), tag) << code;
}

TEST(LanguageManager, SetLanguageStoresTheHyphenFormOrRejects) {
  struct Case {
    std::string input;
    std::string stored;  // empty: rejected
  };
  const Case cases[] = {
      {"zh_CN", "zh-CN"}, {"zh-CN-", "zh-CN"}, {"xx-YY", "xx-YY"}, {"-CN", "-CN"}, {"EN_us", "EN-us"},
      {"zh", ""},         {"", ""},            {"zh-Hans-CN", ""},
  };
  for (const Case& c : cases) {
    TempDir dir;
    ScopedPlatform platform(MakeDefaultPlatform(dir.File("cache.db")));
    IotLanguageManager manager;
    manager.setLanguage("fr-FR");
    LogCapture log;
    manager.setLanguage(c.input);
    const std::string expected = c.stored.empty() ? "fr-FR" : c.stored;
    EXPECT_EQ(CachedLanguage(), expected) << c.input;
    EXPECT_EQ(manager.getLanguage(), expected) << c.input;
    const std::vector<LogLine> failures = LinesAtLevel(log, 4);
    if (c.stored.empty()) {
      ASSERT_EQ(failures.size(), 1u) << c.input;
      EXPECT_EQ(failures[0].function, "setLanguage");
      EXPECT_EQ(failures[0].message,
                "set wrong language=" + c.input + ", the format is like 'zh-CN' or 'en-US'");
    } else {
      EXPECT_TRUE(failures.empty()) << c.input;
    }
  }
}

TEST(LanguageManager, NothingCachedFallsBackToTheSystemLanguageInMemoryOnly) {
  const std::pair<std::string, std::string> cases[] = {
      {"de", "de-DE"}, {"hi", "hi-IN"}, {"pt-BR", "en-US"}, {"ZH", "en-US"},
  };
  for (const auto& [system, tag] : cases) {
    TempDir dir;
    auto recording = std::make_shared<RecordingPlatform>(MakeDefaultPlatform(dir.File("cache.db"), system));
    ScopedPlatform platform(recording);
    EXPECT_EQ(IotLanguageManager::getDefaultSettingLanguage(), tag) << system;

    IotLanguageManager manager;
    LogCapture log;
    EXPECT_EQ(manager.getLanguage(), tag) << system;
    EXPECT_EQ(recording->readCalls, 1);
    EXPECT_EQ(recording->systemLanguageCalls, 2);
    // A second call neither reads the cache nor asks the platform.
    EXPECT_EQ(manager.getLanguage(), tag);
    EXPECT_EQ(recording->readCalls, 1);
    EXPECT_EQ(recording->systemLanguageCalls, 2);
    EXPECT_EQ(recording->writeCalls, 0) << "the default is not cached";

    const std::vector<LogLine> notable = LinesAtLevel(log, 2);
    ASSERT_EQ(notable.size(), 1u);
    EXPECT_EQ(notable[0].message, "no language set before, use system default.");
    EXPECT_EQ(notable[0].function, "getLanguage");
    EXPECT_EQ(LinesWithMessage(log, "get language=" + tag).size(), 2u);
  }
}

TEST(LanguageManager, ACachedTagIsUsedUnchecked) {
  TempDir dir;
  ScopedPlatform platform(MakeDefaultPlatform(dir.File("cache.db"), "de"));
  ASSERT_TRUE(IotCacheManager::getInstance()->writeToPlatformCache(PLATFORM_LANGUAGE_KEY, "not a tag"));
  IotLanguageManager manager;
  LogCapture log;
  EXPECT_EQ(manager.getLanguage(), "not a tag");
  EXPECT_TRUE(LinesAtLevel(log, 2).empty());
}

TEST(LanguageManager, ClearLanguageEmptiesTheCacheAndFallsBack) {
  TempDir dir;
  ScopedPlatform platform(MakeDefaultPlatform(dir.File("cache.db"), "ja"));
  IotLanguageManager manager;
  manager.setLanguage("ko-KR");
  ASSERT_EQ(manager.getLanguage(), "ko-KR");
  manager.clearLanguage();
  EXPECT_EQ(CachedLanguage(), "");
  EXPECT_EQ(manager.getLanguage(), "ja-JP");
  EXPECT_EQ(CachedLanguage(), "");
}

TEST(LanguageManager, AFreshManagerOverTheSameCacheFileRestoresTheTag) {
  TempDir dir;
  {
    ScopedPlatform platform(MakeDefaultPlatform(dir.File("cache.db"), "de"));
    IotLanguageManager before;
    before.setLanguage("es_ES");
  }
  // A new platform object over the same file and a new manager, as after a
  // restart of the host.
  ScopedPlatform platform(MakeDefaultPlatform(dir.File("cache.db"), "de"));
  IotLanguageManager after;
  EXPECT_EQ(after.getLanguage(), "es-ES");
}

// Setters, clearers and readers on several threads at once. Readers only ever
// see a whole tag, and afterwards the held tag and the cache agree: a fresh
// manager over the same cache reads what the used one holds.
TEST(LanguageManager, ConcurrentSetClearAndGetAgree) {
  TempDir dir;
  ScopedPlatform platform(MakeDefaultPlatform(dir.File("cache.db"), "pl"));
  IotLanguageManager manager;
  const std::vector<std::string> tags = {"zh-CN", "en-US", "fr-FR", "de-DE"};
  std::set<std::string> allowed(tags.begin(), tags.end());
  allowed.insert("pl-PL");
  constexpr int kRounds = 60;
  std::vector<std::thread> threads;
  for (size_t t = 0; t < tags.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        if (t == 0 && round % 5 == 0) {
          manager.clearLanguage();
        } else if (round % 2 == 0) {
          manager.setLanguage(tags[t]);
        } else {
          const std::string seen = manager.getLanguage();
          EXPECT_TRUE(allowed.count(seen)) << seen;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  IotLanguageManager fresh;
  EXPECT_EQ(fresh.getLanguage(), manager.getLanguage());
}

}  // namespace
