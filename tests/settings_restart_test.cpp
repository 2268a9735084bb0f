// A restart of the host: one process saves the language and the region JSON,
// a new process over the same cache file reads them back.
//
// The new process is this test program again, started with
// IOTCLOUD_SETTINGS_RESTART_CACHE naming the cache file. In that mode a
// global test environment does the host's start-up reads, writes what it
// found to the file named by IOTCLOUD_SETTINGS_RESTART_OUT and exits before
// any test runs.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/api/smart/framework/IotCacheManager.h"
#include "core/api/smart/framework/IotLanguageManager.h"
#include "core/api/smart/framework/IotRegionInfo.h"
#include "settings_test_support.h"

extern char** environ;

namespace {

using iotcloud_test::TempDir;
using settings_test::MakeDefaultPlatform;
using settings_test::ScopedPlatform;

constexpr const char* kCacheVariable = "IOTCLOUD_SETTINGS_RESTART_CACHE";
constexpr const char* kOutVariable = "IOTCLOUD_SETTINGS_RESTART_OUT";
constexpr const char* kSystemLanguage = "de";

// The restarted host: the process-wide managers, fresh in this process.
int RunRestartedHost(const char* cachePath, const char* outPath) {
  setSharedPlatformImpl(MakeDefaultPlatform(cachePath, kSystemLanguage));
  const std::string language = IotLanguageManager::getInstance()->getLanguage();
  const std::string region = IotCacheManager::getInstance()->readFormPlatformCache(PLATFORM_REGION_INFO_KEY);
  setSharedPlatformImpl(nullptr);
  std::ofstream out(outPath, std::ios::binary);
  out << language << '\n' << region;
  out.close();
  return out ? 0 : 2;
}

class RestartedHostEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    const char* cachePath = std::getenv(kCacheVariable);
    const char* outPath = std::getenv(kOutVariable);
    if (cachePath != nullptr && outPath != nullptr) _exit(RunRestartedHost(cachePath, outPath));
  }
};
::testing::Environment* const kRestartedHost = ::testing::AddGlobalTestEnvironment(new RestartedHostEnvironment);

// Starts this program again with `variables` added to the environment and
// returns its exit status.
int RunSelf(const std::vector<std::string>& variables) {
  std::vector<std::string> environment(variables);
  for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = "/proc/self/exe";
  std::string filter = "--gtest_filter=SettingsRestart.*";
  char* argv[] = {program.data(), filter.data(), nullptr};
  pid_t child = 0;
  if (posix_spawn(&child, program.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return -1;
  int status = 0;
  if (waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SettingsRestart, ANewProcessRestoresLanguageAndRegion) {
  TempDir dir;
  const std::string cachePath = dir.File("cache.db");
  const std::string outPath = dir.File("restarted.txt");

  IotRegionInfo region;
  region.setRegionId("eu-central-1");
  region.setMqttEndpoint("mqtt.eu-central-1.example.com:8883");
  region.setApiGatewayEndpoint("api.example.com");
  region.setOaApiGatewayEndpoint("account.eu-central-1.example.com");
  region.setRegionEnglishName("Frankfurt \xc3\xbc");
  region.setPushChannelEndpoint("push.eu-central-1.example.com");
  region.setShortRegionId("3");
  const std::string regionJson = region.toJsonString();
  {
    ScopedPlatform platform(MakeDefaultPlatform(cachePath, kSystemLanguage));
    IotLanguageManager::getInstance()->setLanguage("fr_FR");
    ASSERT_TRUE(IotCacheManager::getInstance()->writeToPlatformCache(PLATFORM_REGION_INFO_KEY, regionJson));
  }

  ASSERT_EQ(RunSelf({std::string(kCacheVariable) + "=" + cachePath, std::string(kOutVariable) + "=" + outPath}), 0);

  std::ifstream in(outPath, std::ios::binary);
  const std::string restarted((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t newline = restarted.find('\n');
  ASSERT_NE(newline, std::string::npos) << restarted;
  EXPECT_EQ(restarted.substr(0, newline), "fr-FR");
  const std::string restoredJson = restarted.substr(newline + 1);
  EXPECT_EQ(restoredJson, regionJson);
  IotRegionInfo restored;
  ASSERT_TRUE(restored.parseFromJsonString(restoredJson));
  EXPECT_TRUE(restored == region);
}

}  // namespace
