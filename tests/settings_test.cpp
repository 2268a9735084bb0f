// The settings a host reads and writes, and the cache they live in:
// - the default platform's SQLite cache: exact round trips that persist, a
//   writer killed mid-write, and files and disks that misbehave;
// - the cache manager over it, also used from several threads at once;
// - the request language and the user's country.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "core/api/smart/framework/IotCacheManager.h"
#include "core/api/smart/framework/IotLanguageManager.h"
#include "core/api/smart/framework/IotSmartCountryManager.h"
#include "core/support/PlatformServices.h"
#include "core/support/TovoLog.h"
#include "platform/DefaultPlatform.h"
#include "support/TestUtil.h"

namespace {

using namespace iotcloud_test;

// Installs `platform` as the process's platform services object until the end
// of the scope.
struct ScopedPlatform {
  explicit ScopedPlatform(std::shared_ptr<PlatformServices> platform) { setSharedPlatformImpl(std::move(platform)); }
  ~ScopedPlatform() { setSharedPlatformImpl(nullptr); }
};

// A default platform, or a subclass P of it, over the SQLite cache at `cachePath`.
template <typename P = iotcloud::DefaultPlatform>
std::shared_ptr<P> MakeDefaultPlatform(const std::string& cachePath, const std::string& systemLanguage = "zh") {
  iotcloud::DefaultPlatformOptions options;
  options.cachePath = cachePath;
  options.systemLanguage = systemLanguage;
  return std::make_shared<P>(options);
}

TEST(DefaultPlatformCache, KeysAndValuesOfAnyBytesRoundTripAndPersist) {
  TempDir dir;
  const std::vector<std::pair<std::string, std::string>> entries = {
      {"empty", ""}, {"nul", std::string(1, '\0')},          {"large", std::string(3 << 20, '\xa5')},
      {"", "value"}, {std::string("a\0b", 3), "NUL in key"}, {"a", "key that is a prefix of the one above"}};
  {
    auto platform = MakeDefaultPlatform(dir.File("cache.db"));
    for (const auto& [key, value] : entries) ASSERT_TRUE(platform->writeCache(key, "old " + value));
    for (const auto& [key, value] : entries) ASSERT_TRUE(platform->writeCache(key, value));
    // The reused read statement holds no snapshot between calls: another
    // connection's write is seen at once.
    EXPECT_EQ(platform->readCache("empty"), "");
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

constexpr char kWriterVariable[] = "IOTCLOUD_TEST_KILLED_WRITER_CACHE";

// A child overwrites large values in a loop and is killed (SIGKILL,
// TerminateProcess) at varying points; every value read afterwards must be
// one whole version, and SQLite's own integrity check must find the database
// intact. The child is this test program again, running only this test with
// kWriterVariable naming the cache: it writes for ever and prints '@' after
// each write.
TEST(DefaultPlatformCache, AKilledWriterNeverLeavesAHalfWrittenValue) {
  const std::vector<std::string> keys = {"region", "language", "oa"};
  if (const char* writerCache = std::getenv(kWriterVariable)) {  // the child: no gtest checks from here on
    iotcloud::SetLogMinLevel(5);
    auto platform = MakeDefaultPlatform(writerCache);
    for (unsigned version = 1;; ++version)
      for (const std::string& key : keys) {
        if (!platform->writeCache(key, VersionedValue(version))) std::exit(3);
        std::fputc('@', stdout);
        std::fflush(stdout);
      }
  }
  TempDir dir;
  const std::string path = dir.File("cache.db");
  std::mt19937 random(20240611);
  for (int round = 0; round < 6; ++round) {
    ChildProcess writer;
    ASSERT_TRUE(writer.Start(ThisProgram(), {"--gtest_filter=DefaultPlatformCache.AKilledWriter*"}, "",
                             {std::string(kWriterVariable) + "=" + path}));
    std::string printed;
    ASSERT_TRUE(writer.ReadUntil(std::string(1 + random() % 6, '@'), &printed)) << printed;
    // Where inside the next write the kill lands; not a synchronisation.
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    writer.Kill();
    const ExitStatus status = writer.Wait();
    ASSERT_TRUE(status.killed) << "the writer ended on its own: " << status.Describe() << ", " << printed;
    auto platform = MakeDefaultPlatform(path);
    for (const std::string& key : keys) {
      const std::string value = platform->readCache(key);
      unsigned version = 0;
      EXPECT_TRUE((round == 0 && value.empty()) ||  // perhaps never written yet
                  (std::sscanf(value.c_str(), "v%08u;", &version) == 1 && value == VersionedValue(version)))
          << "round " << round << " key " << key << " size " << value.size();
    }
    sqlite3* db = nullptr;
    sqlite3_stmt* check = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr);
    EXPECT_TRUE(sqlite3_step(check) == SQLITE_ROW &&
                std::string(reinterpret_cast<const char*>(sqlite3_column_text(check, 0))) == "ok")
        << "round " << round;
    sqlite3_finalize(check);
    sqlite3_close_v2(db);
  }
}

// The platform the library makes for itself when the host installed none
// makes no cache file until something is read or written, and then says at
// level 2 where the file is (under the per-user cache folder).
TEST(DefaultPlatformCache, TheImplicitPlatformMakesItsFileOnlyWhenUsed) {
  TempDir dir;
  ScopedEnvironmentVariable cacheHome(UserCacheVariable(), dir.File("home"));
  const std::string path = iotcloud::DefaultPlatform::DefaultCachePath();
  EXPECT_EQ(std::filesystem::u8path(path), std::filesystem::u8path(dir.File("home/iotcloud/cache.db")));
  setSharedPlatformImpl(nullptr);
  LogCapture log(2);
  std::shared_ptr<PlatformServices> implicit = getSharedPlatformImpl();
  EXPECT_FALSE(implicit->getSystemLanguage().empty());
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::u8path(path)));
  EXPECT_EQ(log.Count("cache: opened"), 0u);
  EXPECT_EQ(implicit->readCache("region"), "");
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::u8path(path)));
  EXPECT_EQ(log.Count("cache: opened " + path), 1u);
  setSharedPlatformImpl(nullptr);
}

// Whether `dir` holds a damaged cache moved aside; its name in *name.
bool HasDamagedCopy(const std::string& dir, std::string* name = nullptr) {
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().filename().string().rfind("cache.db.damaged-", 0) != 0) continue;
    if (name != nullptr) *name = entry.path().filename().string();
    return true;
  }
  return false;
}

// A cache holding "region" = "saved", closed again.
void MakeCache(const std::string& path) { ASSERT_TRUE(MakeDefaultPlatform(path)->writeCache("region", "saved")); }

// A damaged file is moved aside (kept byte for byte) and replaced by an
// empty cache, with one line at level 4; an empty file is an empty cache.
TEST(DefaultPlatformCacheFailures, DamagedFilesAreMovedAsideAndAFreshCacheStarts) {
  // What the file is cut to (-1: left as it is), where the damage starts, the bytes written there.
  const std::tuple<long, long, std::string> cases[] = {
      {0, 0, "region=eu\n"},
      {50, 0, ""} /* cut inside the header */,
      {4096, 0, ""},
      {-1, 4096, std::string(64, '\xff')},
      {0, 0, ""} /* empty: not damaged */,
  };
  for (const auto& [size, offset, bytes] : cases) {
    SCOPED_TRACE(bytes.substr(0, 10) + " at " + std::to_string(offset) + ", size " + std::to_string(size));
    TempDir dir;
    const std::string path = dir.File("cache.db");
    MakeCache(path);
    if (size >= 0) std::filesystem::resize_file(std::filesystem::u8path(path), static_cast<std::uintmax_t>(size));
    std::fstream(path, std::ios::in | std::ios::out | std::ios::binary)
        .seekp(offset)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    const std::string damagedBytes = iotcloud_test::ReadFile(path);
    LogCapture log(4);
    auto platform = MakeDefaultPlatform(path);
    EXPECT_EQ(platform->readCache("region"), "");
    EXPECT_TRUE(platform->writeCache("region", "fresh"));
    EXPECT_EQ(platform->readCache("region"), "fresh");
    std::string aside;
    const bool damaged = size != 0 || !bytes.empty();
    ASSERT_EQ(HasDamagedCopy(dir.File(""), &aside), damaged);
    ASSERT_EQ(log.Lines().size(), damaged ? 1u : 0u);
    if (!damaged) continue;
    EXPECT_EQ(iotcloud_test::ReadFile(dir.File(aside)), damagedBytes);
    EXPECT_NE(log.Lines()[0].message.find(aside), std::string::npos) << log.Lines()[0].message;
  }
}

// A path that is no regular file is left alone: no read blocks on a FIFO or
// a device. (A read-only cache is checked through the command-line tool,
// cli_tool_test's ReadOnlyCacheIsShownButNotWritten.)
TEST(DefaultPlatformCacheFailures, FifosAndDevicesAreNotOpened) {
  TempDir dir;
  std::vector<std::string> paths = {DeviceFile()};
  std::string noFifo;
  if (MakeFifo(dir.File("fifo"), &noFifo)) paths.push_back(dir.File("fifo"));
  for (const std::string& path : paths) {
    auto platform = MakeDefaultPlatform(path);
    EXPECT_FALSE(platform->cacheIsOpen()) << path;
    EXPECT_EQ(platform->readCache("region"), "") << path;
    EXPECT_FALSE(platform->writeCache("region", "x")) << path;
    EXPECT_FALSE(std::filesystem::is_regular_file(std::filesystem::u8path(path))) << path;
  }
  if (!noFifo.empty()) std::printf("note: the device was checked, no FIFO: %s\n", noFifo.c_str());
}

// A full disk fails the write that does not fit and keeps what was saved;
// that is no damage.
TEST(DefaultPlatformCacheFailures, AFullDiskKeepsTheCache) {
  TempDir dir;
  const std::string fs = dir.File("fs"), path = fs + "/cache.db";
  std::filesystem::create_directory(std::filesystem::u8path(fs));
  SmallFileSystem small(fs, 512 << 10);
  if (!small.mounted()) GTEST_SKIP() << small.why();
  MakeCache(path);
  {
    auto platform = MakeDefaultPlatform(path);
    bool failed = false;
    for (int i = 0; i < 16 && !failed; ++i)
      failed = !platform->writeCache("big" + std::to_string(i), std::string(64 << 10, 'b'));
    EXPECT_TRUE(failed) << "512 KiB never filled";
  }
  EXPECT_EQ(MakeDefaultPlatform(path)->readCache("region"), "saved");
  EXPECT_FALSE(HasDamagedCopy(fs));
}

// Another connection holding the write lock makes a save fail after a short
// wait instead of holding the HTTP manager thread for seconds (it was 5 s); a
// lock that is let go in time is waited for.
TEST(DefaultPlatformCacheFailures, HeldWriteLockFailsASaveAfterAShortWait) {
  TempDir dir;
  const std::string path = dir.File("cache.db");
  MakeCache(path);
  auto platform = MakeDefaultPlatform(path);
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(platform->writeCache("region", "blocked"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  std::thread release([other] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // lets the save start waiting; not a synchronisation
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
  });
  EXPECT_TRUE(platform->writeCache("region", "after the lock"));
  release.join();
  sqlite3_close(other);
  EXPECT_EQ(platform->readCache("region"), "after the lock");
}

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
