#include "core/api/smart/framework/IotSmartCountryManager.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/TestUtil.h"

namespace {

using iotcloud_test::LogCapture;

// Every entry against tests/data/countries.tsv ("CODE<tab>PHONE" lines, '#'
// comments), transcribed independently of the source; each entry is accepted
// in lower case, as a host might pass it.
TEST(CountryTable, MatchesTheTranscriptionAndEveryEntryIsAccepted) {
  const char* dataDir = std::getenv("IOTCLOUD_TEST_DATA");
  std::ifstream in(std::string(dataDir ? dataDir : "tests/data") + "/countries.tsv");
  ASSERT_TRUE(in.is_open());
  std::map<std::string, std::string> expected;
  for (std::string line; std::getline(in, line);) {  // a line without a tab becomes a bad entry
    if (line.empty() || line[0] == '#') continue;
    EXPECT_TRUE(expected.emplace(line.substr(0, line.find('\t')), line.substr(line.find('\t') + 1)).second) << line;
  }
  ASSERT_EQ(expected.size(), 249u);
  EXPECT_EQ(IotSmartCountryManager::countryCodePhoneCodeMap_, expected);

  IotSmartCountryManager manager;
  LogCapture log;
  for (const auto& [code, phone] : expected) {
    std::string lower = code;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_TRUE(manager.setCountryCode(lower)) << code;
    EXPECT_EQ(manager.getCountryCode(), code);
    EXPECT_EQ(manager.getPhoneLocationCode(), phone) << code;
    EXPECT_EQ(manager.isChinaMainlandPhoneLocationCode(), code == "CN") << code;
  }
  EXPECT_TRUE(log.Lines().empty());
}

TEST(CountryTable, KeysAreTheIso3166Alpha2Codes) {
  std::ifstream in("/usr/share/zoneinfo/iso3166.tab");
  if (!in.is_open()) GTEST_SKIP() << "/usr/share/zoneinfo/iso3166.tab (tzdata) is not installed";
  std::set<std::string> iso, ours;
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#') iso.insert(line.substr(0, line.find('\t')));
  for (const auto& entry : IotSmartCountryManager::countryCodePhoneCodeMap_) ours.insert(entry.first);
  EXPECT_EQ(ours, iso);
}

TEST(CountryManager, UnknownCodesFallBackToChina) {
  for (const std::string code : {"XX", "", "CHN", " CN", "Latvia", "\xc3\xa7n"}) {
    IotSmartCountryManager manager;
    ASSERT_TRUE(manager.setCountryCode("us"));
    LogCapture log;
    EXPECT_FALSE(manager.setCountryCode(code)) << code;
    EXPECT_EQ(manager.getCountryCode() + " " + manager.getPhoneLocationCode(), "CN 86") << code;
    EXPECT_TRUE(manager.isChinaMainlandPhoneLocationCode()) << code;
    ASSERT_EQ(log.Lines().size(), 1u) << code;
    EXPECT_EQ(log.Lines()[0].level, 1);
    EXPECT_EQ(log.Lines()[0].message, "country code=" + code + " is invalid, use CN as default.");
  }
}

// Setters and readers on several threads at once (the singleton's first call
// among them); every value read is one that some call set.
TEST(CountryManager, ConcurrentSetAndGet) {
  const std::set<std::string> countries = {"", "US", "GG", "DE", "CN"}, phones = {"", "1", "441481", "49", "86"};
  std::vector<std::thread> threads;
  for (const std::string code : {"us", "GG", "de", "XX"}) {
    threads.emplace_back([&, code] {
      IotSmartCountryManager* manager = IotSmartCountryManager::getInstance();
      for (int round = 0; round < 200; ++round) {
        if (round % 2 == 0) manager->setCountryCode(code);
        EXPECT_TRUE(countries.count(manager->getCountryCode()));
        EXPECT_TRUE(phones.count(manager->getPhoneLocationCode()));
        manager->isChinaMainlandPhoneLocationCode();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  const IotSmartCountryManager* manager = IotSmartCountryManager::getInstance();
  EXPECT_EQ(manager->getPhoneLocationCode(),
            IotSmartCountryManager::countryCodePhoneCodeMap_.at(manager->getCountryCode()));
}

}  // namespace
