// The `iotcloud` program, run as a separate process like a user runs it:
// exit codes, messages for bad input, and lookups against the local gateway
// with TLS verified against its CA.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "gateway-sim/GatewaySim.h"
#include "gateway-sim/RegionTable.h"
#include "support/TestUtil.h"

namespace {

using iotcloud::gateway::Fault;
using iotcloud::gateway::GatewayConfig;
using iotcloud::gateway::GatewaySim;
using iotcloud_test::TempDir;

constexpr char kAppKey[] = "cli-app-key";
constexpr char kAppSecret[] = "cli-app-secret";

struct CliRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Single quotes for the shell.
std::string Quote(const std::string& arg) {
  std::string quoted = "'";
  for (char c : arg) quoted += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// A loopback port with nothing listening on it.
int ClosedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

class CliToolTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    GatewayConfig config;
    config.applications[kAppKey] = kAppSecret;
    sim_ = new GatewaySim(config);
    std::string error;
    ASSERT_TRUE(sim_->Start(&error)) << error;
  }
  static void TearDownTestSuite() {
    delete sim_;
    sim_ = nullptr;
  }

  CliRun Iotcloud(const std::vector<std::string>& args) {
    std::string command = Quote(IOTCLOUD_CLI_PATH);
    for (const std::string& arg : args) command += " " + Quote(arg);
    command += " </dev/null >" + Quote(dir_.File("out")) + " 2>" + Quote(dir_.File("err"));
    CliRun run;
    const int status = std::system(command.c_str());
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = Slurp(dir_.File("out"));
    run.err = Slurp(dir_.File("err"));
    return run;
  }

  // The global options that point the tool at the local gateway.
  std::vector<std::string> Against(const std::vector<std::string>& command, const std::string& secret = kAppSecret) {
    std::vector<std::string> args = {"--gateway", sim_->hostPort(), "--ca-file", sim_->caFile(),
                                     "--cache",   dir_.File("cache.db"), "--app-key", kAppKey,
                                     "--app-secret", secret};
    args.insert(args.end(), command.begin(), command.end());
    return args;
  }

  static GatewaySim* sim_;
  TempDir dir_;
};

GatewaySim* CliToolTest::sim_ = nullptr;

TEST_F(CliToolTest, BadInputGetsAMessageAUsageHintAndExitCode2) {
  const std::string missingCa = dir_.File("missing.pem");
  std::ofstream(dir_.File("not-a-cert.pem")) << "hello\n";
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{}, "no command given"},
      {{"--frobnicate", "region", "show"}, "unknown option --frobnicate"},
      {{"region", "show", "--cache"}, "--cache needs a value"},
      {{"--ca-file", missingCa, "region", "show"}, "cannot read the CA file"},
      {{"--ca-file", dir_.File("not-a-cert.pem"), "region", "show"}, "holds no PEM certificate"},
      {{"--stage", "staging", "region", "show"}, "--stage is prod, pre or test"},
      {{"--timeout-ms", "soon", "region", "show"}, "--timeout-ms wants a whole number"},
      {{"region"}, "region wants one of lookup, show, clear"},
      {{"region", "move"}, "unknown region command 'move'"},
      {{"teleport"}, "unknown command 'teleport'"},
      {{"region", "lookup"}, "needs one identifier"},
      {{"region", "lookup", "--email", "a@b", "--country", "DE"}, "exactly one identifier"},
      {{"region", "lookup", "--phone", "123"}, "--phone needs --location-code"},
      {{"region", "lookup", "--email", "a@b"}, "needs --app-key"},
      {{"region", "show", "--email", "a@b"}, "belongs to region lookup"},
      {{"--cache", dir_.File("c.db"), "language", "set", "english"}, "is no language tag"},
      {{"language", "speak"}, "unknown language command"},
      {{"country", "get"}, "country wants: set CODE"},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const std::string& a : c.args) joined += a + " ";
    SCOPED_TRACE(joined);
    const CliRun run = Iotcloud(c.args);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("--help"), std::string::npos) << run.err;
  }
}

TEST_F(CliToolTest, EveryCommandHasHelp) {
  const std::vector<std::vector<std::string>> commands = {
      {"--help"}, {"region", "lookup", "--help"}, {"region", "show", "-h"},
      {"region", "clear", "--help"}, {"language", "--help"}, {"country", "--help"}};
  for (const auto& args : commands) {
    const CliRun run = Iotcloud(args);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.out.find("Usage: iotcloud"), std::string::npos) << run.out;
  }
}

TEST_F(CliToolTest, LookupChangesTheRegionAndANewProcessRestoresIt) {
  CliRun run = Iotcloud(Against({"region", "lookup", "--email", "alice@example.de"}));
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("observer: region changed to eu-central-1 (Frankfurt)"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("region changed: cn-shanghai -> eu-central-1"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("  regionId               eu-central-1\n"), std::string::npos) << run.out;

  run = Iotcloud(Against({"region", "lookup", "--phone", "12345", "--location-code", "49"}));
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_NE(run.out.find("region unchanged: the gateway answered the current region eu-central-1"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(run.out.find("observer:"), std::string::npos) << run.out;

  // A new process restores exactly the region the gateway answered.
  run = Iotcloud(Against({"--json", "region", "show"}));
  EXPECT_EQ(run.exitCode, 0);
  std::unique_ptr<cJSON, decltype(&cJSON_Delete)> shown(cJSON_Parse(run.out.c_str()), &cJSON_Delete);
  ASSERT_TRUE(shown) << run.out;
  EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(shown.get(), "saved")));
  std::unique_ptr<cJSON, decltype(&cJSON_Delete)> answered(
      cJSON_Parse(iotcloud::gateway::RegionTable::BuiltIn().RegionJson("eu-central-1").c_str()), &cJSON_Delete);
  EXPECT_TRUE(cJSON_Compare(cJSON_GetObjectItemCaseSensitive(shown.get(), "region"), answered.get(), true))
      << run.out;

  run = Iotcloud(Against({"region", "clear"}));
  EXPECT_EQ(run.exitCode, 0);
  run = Iotcloud(Against({"region", "show"}));
  EXPECT_NE(run.out.find("no saved region"), std::string::npos) << run.out;
}

TEST_F(CliToolTest, FailuresHaveTheirOwnExitCodesAndSayWhy) {
  CliRun run = Iotcloud(Against({"region", "lookup", "--country", "DE"}, "wrong-secret"));
  EXPECT_EQ(run.exitCode, 4) << run.out << run.err;
  EXPECT_NE(run.out.find("region unchanged: service error"), std::string::npos) << run.out;

  sim_->PushFault({Fault::Kind::kNonJsonBody, 0, 500, 0});
  run = Iotcloud(Against({"region", "lookup", "--country", "DE"}));
  EXPECT_EQ(run.exitCode, 5) << run.out << run.err;
  EXPECT_NE(run.out.find("region unchanged: the answer is not JSON"), std::string::npos) << run.out;

  std::vector<std::string> closed = Against({"--json", "region", "lookup", "--country", "DE"});
  closed[1] = "127.0.0.1:" + std::to_string(ClosedPort());
  run = Iotcloud(closed);
  EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
  EXPECT_NE(run.out.find("\"outcome\":\t\"transport-failure\""), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\"curlCode\":\t7"), std::string::npos) << run.out;  // could not connect
}

TEST_F(CliToolTest, UntrustedGatewayIsATransportFailure) {
  // Without --ca-file the system trust store is used, which does not know the
  // gateway's freshly made CA.
  std::vector<std::string> args = Against({"region", "lookup", "--email", "x@example.de"});
  args.erase(args.begin() + 2, args.begin() + 4);
  const CliRun run = Iotcloud(args);
  EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
}

TEST_F(CliToolTest, LanguageIsSavedForTheNextProcess) {
  const std::vector<std::string> cache = {"--cache", dir_.File("lang.db")};
  auto with = [&](std::vector<std::string> command) {
    command.insert(command.begin(), cache.begin(), cache.end());
    return command;
  };
  CliRun run = Iotcloud(with({"language", "set", "de_DE"}));
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "de-DE\n");
  run = Iotcloud(with({"language", "get"}));
  EXPECT_EQ(run.out, "de-DE\n");
  run = Iotcloud(with({"language", "clear"}));
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_NE(run.out, "de-DE\n");
}

TEST_F(CliToolTest, CountrySetPrintsThePhoneLocationCode) {
  CliRun run = Iotcloud({"country", "set", "gg"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "GG 441481\n");
  run = Iotcloud({"country", "set", "XX"});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(run.out, "CN 86\n");
  EXPECT_NE(run.err.find("not a known country code"), std::string::npos);
}

}  // namespace
