#include "core/api/smart/framework/IotSmartCountryManager.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "settings_test_support.h"

namespace {

using iotcloud_test::LogCapture;
using settings_test::LogLine;

using Table = std::map<std::string, std::string>;

// tests/data/countries.tsv: "CODE<tab>PHONE" lines, '#' comments.
Table LoadTranscription() {
  const char* dataDir = std::getenv("IOTCLOUD_TEST_DATA");
  const std::string path = std::string(dataDir ? dataDir : "tests/data") + "/countries.tsv";
  std::ifstream in(path);
  EXPECT_TRUE(in.is_open()) << path;
  Table table;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t tab = line.find('\t');
    EXPECT_NE(tab, std::string::npos) << line;
    const bool fresh = table.emplace(line.substr(0, tab), line.substr(tab + 1)).second;
    EXPECT_TRUE(fresh) << "duplicate " << line;
  }
  return table;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

TEST(CountryTable, MatchesTheIndependentTranscription) {
  const Table expected = LoadTranscription();
  ASSERT_EQ(expected.size(), 249u);
  const Table& actual = IotSmartCountryManager::countryCodePhoneCodeMap_;
  EXPECT_EQ(actual.size(), 249u);
  for (const auto& [code, phone] : expected) {
    auto found = actual.find(code);
    if (found == actual.end()) {
      ADD_FAILURE() << "missing " << code;
    } else {
      EXPECT_EQ(found->second, phone) << code;
    }
  }
  for (const auto& [code, phone] : actual) EXPECT_TRUE(expected.count(code)) << "extra " << code << " " << phone;
}

TEST(CountryTable, KeysAreTheIso3166Alpha2Codes) {
  const char* const kIsoTable = "/usr/share/zoneinfo/iso3166.tab";
  std::ifstream in(kIsoTable);
  if (!in.is_open()) GTEST_SKIP() << kIsoTable << " (tzdata) is not installed";
  std::set<std::string> iso;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] != '#') iso.insert(line.substr(0, line.find('\t')));
  }
  std::set<std::string> ours;
  for (const auto& entry : IotSmartCountryManager::countryCodePhoneCodeMap_) ours.insert(entry.first);
  EXPECT_EQ(ours, iso);
}

TEST(CountryManager, StartsWithNoCountry) {
  IotSmartCountryManager manager;
  EXPECT_EQ(manager.getCountryCode(), "");
  EXPECT_EQ(manager.getPhoneLocationCode(), "");
  EXPECT_FALSE(manager.isChinaMainlandPhoneLocationCode());
}

// Every entry, given in lower case as a host might pass it.
TEST(CountryManager, EveryCountryOfTheTableIsAccepted) {
  IotSmartCountryManager manager;
  LogCapture log;
  for (const auto& [code, phone] : LoadTranscription()) {
    EXPECT_TRUE(manager.setCountryCode(Lower(code))) << code;
    EXPECT_EQ(manager.getCountryCode(), code);
    EXPECT_EQ(manager.getPhoneLocationCode(), phone) << code;
    EXPECT_EQ(manager.isChinaMainlandPhoneLocationCode(), code == "CN") << code;
  }
  EXPECT_TRUE(log.Lines().empty());
}

TEST(CountryManager, UnknownCodesFallBackToChina) {
  for (const std::string code : {"XX", "", "CHN", " CN", "CN ", "Latvia", "c", "\xc3\xa7n"}) {
    IotSmartCountryManager manager;
    ASSERT_TRUE(manager.setCountryCode("us"));
    LogCapture log;
    EXPECT_FALSE(manager.setCountryCode(code)) << code;
    EXPECT_EQ(manager.getCountryCode(), "CN") << code;
    EXPECT_EQ(manager.getPhoneLocationCode(), "86") << code;
    EXPECT_TRUE(manager.isChinaMainlandPhoneLocationCode()) << code;
    const std::vector<LogLine> lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u) << code;
    EXPECT_EQ(lines[0].level, 1);
    EXPECT_EQ(lines[0].function, "setCountryCode");
    EXPECT_EQ(lines[0].message, "country code=" + code + " is invalid, use CN as default.");
  }
}

TEST(CountryManager, OnlyMainlandChinaHasTheMainlandCode) {
  IotSmartCountryManager manager;
  for (const char* code : {"HK", "MO", "TW"}) {
    ASSERT_TRUE(manager.setCountryCode(code));
    EXPECT_FALSE(manager.isChinaMainlandPhoneLocationCode()) << code;
  }
  ASSERT_TRUE(manager.setCountryCode("cN"));
  EXPECT_TRUE(manager.isChinaMainlandPhoneLocationCode());
}

// Setters and readers on several threads at once; every value read is one
// that some call set.
TEST(CountryManager, ConcurrentSetAndGet) {
  IotSmartCountryManager manager;
  const std::vector<std::string> codes = {"us", "GG", "de", "XX"};
  const std::set<std::string> countries = {"US", "GG", "DE", "CN"};
  const std::set<std::string> phones = {"1", "441481", "49", "86"};
  constexpr int kRounds = 200;
  std::vector<std::thread> threads;
  for (size_t t = 0; t < codes.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        if (round % 2 == 0) {
          manager.setCountryCode(codes[t]);
        } else {
          const std::string country = manager.getCountryCode();
          const std::string phone = manager.getPhoneLocationCode();
          EXPECT_TRUE(country.empty() || countries.count(country)) << country;
          EXPECT_TRUE(phone.empty() || phones.count(phone)) << phone;
          manager.isChinaMainlandPhoneLocationCode();
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(manager.getPhoneLocationCode(),
            IotSmartCountryManager::countryCodePhoneCodeMap_.at(manager.getCountryCode()));
}

}  // namespace
