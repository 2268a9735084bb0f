#include "core/api/smart/framework/IotSmartCountryManager.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/TestUtil.h"

namespace {

// A few known entries, in the case a host might pass them (the key set itself
// is checked against the system's ISO 3166 list below), and codes that fall
// back to China with a log line.
TEST(CountryManager, KnownCodesInAnyCaseGiveTheirPhoneCodeOthersFallBackToChina) {
  const std::tuple<std::string, bool, std::string> cases[] = {
      {"cn", true, "CN 86"},   {"US", true, "US 1"},       {"gg", true, "GG 441481"},    {"Lv", true, "LV 371"},
      {"AQ", true, "AQ 672"},  {"XX", false, "CN 86"},     {"", false, "CN 86"},         {"CHN", false, "CN 86"},
      {" CN", false, "CN 86"}, {"Latvia", false, "CN 86"}, {"\xc3\xa7n", false, "CN 86"}};
  IotSmartCountryManager manager;
  for (const auto& [code, known, expected] : cases) {
    ASSERT_TRUE(manager.setCountryCode("de"));
    iotcloud_test::LogCapture log;
    EXPECT_EQ(manager.setCountryCode(code), known) << code;
    EXPECT_EQ(manager.getCountryCode() + " " + manager.getPhoneLocationCode(), expected) << code;
    EXPECT_EQ(manager.isChinaMainlandPhoneLocationCode(), expected == "CN 86") << code;
    EXPECT_EQ(log.Count("country code=" + code + " is invalid, use CN as default."), known ? 0u : 1u) << code;
  }
}

TEST(CountryManager, KeysAreTheIso3166Alpha2Codes) {
  std::ifstream in("/usr/share/zoneinfo/iso3166.tab");
  if (!in.is_open()) GTEST_SKIP() << "/usr/share/zoneinfo/iso3166.tab (tzdata) is not installed";
  std::set<std::string> iso, ours;
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#') iso.insert(line.substr(0, line.find('\t')));
  for (const auto& entry : IotSmartCountryManager::countryCodePhoneCodeMap_) ours.insert(entry.first);
  EXPECT_EQ(ours, iso);
}

// Setters and readers on several threads at once (the singleton's first call
// among them); every value read is one that some call set, and the country and
// phone code left behind belong together.
TEST(CountryManager, ConcurrentSetAndGet) {
  const std::set<std::string> countries = {"", "US", "GG", "DE", "CN"}, phones = {"", "1", "441481", "49", "86"};
  std::vector<std::thread> threads;
  for (const std::string code : {"us", "GG", "de", "XX"})
    threads.emplace_back([&, code] {
      IotSmartCountryManager* manager = IotSmartCountryManager::getInstance();
      for (int round = 0; round < 200; ++round) {
        if (round % 2 == 0) manager->setCountryCode(code);
        EXPECT_TRUE(countries.count(manager->getCountryCode()));
        EXPECT_TRUE(phones.count(manager->getPhoneLocationCode()));
        manager->isChinaMainlandPhoneLocationCode();
      }
    });
  for (std::thread& thread : threads) thread.join();
  const IotSmartCountryManager* manager = IotSmartCountryManager::getInstance();
  EXPECT_EQ(manager->getPhoneLocationCode(),
            IotSmartCountryManager::countryCodePhoneCodeMap_.at(manager->getCountryCode()));
}

}  // namespace
