#include "core/api/smart/framework/IotSmartCountryManager.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/TestUtil.h"

namespace {

using iotcloud_test::LogCapture;

// A few entries, in the case a host might pass them; the key set itself is
// checked against the system's ISO 3166 list below.
TEST(CountryTable, SpotValuesAreAcceptedInAnyCase) {
  IotSmartCountryManager manager;
  LogCapture log;
  const std::pair<std::string, std::string> cases[] = {{"cn", "86"},  {"US", "1"},  {"gg", "441481"},
                                                       {"Lv", "371"}, {"de", "49"}, {"AQ", "672"}};
  for (const auto& [code, phone] : cases) {
    EXPECT_TRUE(manager.setCountryCode(code)) << code;
    EXPECT_EQ(manager.getPhoneLocationCode(), phone) << code;
    EXPECT_EQ(manager.isChinaMainlandPhoneLocationCode(), code == "cn") << code;
  }
  EXPECT_EQ(manager.getCountryCode(), "AQ");
  EXPECT_EQ(IotSmartCountryManager::countryCodePhoneCodeMap_.size(), 249u);
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
