// The system trust store behind lookups that name no CA: the command-line
// tool, without --ca-file, reaches the local gateway exactly when the
// gateway's CA is among the system's roots. On Windows those are the ROOT
// store, which the library loads through crypt32 into its shared store; the
// test adds the fresh CA there (run it in a throw-away wine prefix). POSIX
// systems keep their roots in files shared by every user: skipped there.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gateway-sim/GatewaySim.h"
#include "support/TestUtil.h"

namespace {

TEST(SystemTrustStore, ALookupWithoutCaOptionsTrustsTheSystemsRoots) {
  iotcloud::gateway::GatewayConfig config;
  config.applications["trust-app"] = "trust-secret";
  iotcloud::gateway::GatewaySim gateway(config);
  std::string error;
  ASSERT_TRUE(gateway.Start(&error)) << error;
  iotcloud_test::ScopedSystemRoot root(iotcloud_test::ReadFile(gateway.caFile()));
  if (!root.added()) GTEST_SKIP() << root.why();

  iotcloud_test::TempDir dir;
  const std::vector<std::string> lookup = {"--gateway",    gateway.hostPort(),
                                           "--cache",      dir.File("cache.db"),
                                           "--app-key",    "trust-app",
                                           "--app-secret", "trust-secret",
                                           "region",       "lookup",
                                           "--email",      "a@example.de",
                                           "--attempts",   "1"};
  std::string printed;
  const iotcloud_test::ExitStatus trusted =
      iotcloud_test::RunProgram(IOTCLOUD_CLI_PATH, lookup, dir.File("err"), &printed);
  EXPECT_TRUE(trusted.exited && trusted.code == 0) << trusted.Describe() << ": " << printed;

  // Another CA, which no store holds: the same lookup fails verification.
  iotcloud::gateway::GatewaySim stranger(config);
  ASSERT_TRUE(stranger.Start(&error)) << error;
  std::vector<std::string> untrusted = lookup;
  untrusted[1] = stranger.hostPort();
  const iotcloud_test::ExitStatus refused =
      iotcloud_test::RunProgram(IOTCLOUD_CLI_PATH, untrusted, dir.File("err"), &printed);
  EXPECT_TRUE(refused.exited && refused.code == 3) << refused.Describe();
  EXPECT_NE(printed.find("curl error 60"), std::string::npos) << printed;
}

}  // namespace
