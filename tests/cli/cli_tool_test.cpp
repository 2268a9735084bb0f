// The `iotcloud` program, run as a separate process like a user runs it:
// exit codes, messages for bad input, and lookups against the local gateway
// with TLS verified against its CA.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/crypto.h>
#include <sqlite3.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "core/support/UntrustedText.h"
#include "core/support/Version.h"
#include "core/support/internal/JsonPtr.h"
#include "gateway-sim/GatewaySim.h"
#include "gateway-sim/RegionTable.h"
#include "support/TestUtil.h"

namespace {

using iotcloud::JsonPtr;
using iotcloud::gateway::Fault;
using iotcloud_test::DeviceFile;

constexpr char kAppKey[] = "cli-app-key";

using CliRun = iotcloud_test::ShellRun;

class CliToolTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    iotcloud::gateway::GatewayConfig config;
    config.applications[kAppKey] = "cli-app-secret";
    sim_ = new iotcloud::gateway::GatewaySim(config);
    std::string error;
    ASSERT_TRUE(sim_->Start(&error)) << error;
  }
  static void TearDownTestSuite() { delete sim_, sim_ = nullptr; }

  // The exit code and output of `program` with `args`, with the tool's
  // environment variables unset but for those of `env` ("NAME=value").
  CliRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                    const std::vector<std::string>& env = {}) {
    return iotcloud_test::RunInShell(program, args, {std::begin(kToolVariables), std::end(kToolVariables)}, env,
                                     dir_.File("out"), dir_.File("err"));
  }
  CliRun Iotcloud(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    return RunProgram(IOTCLOUD_CLI_PATH, args, env);
  }
  static constexpr const char* kToolVariables[] = {"IOTCLOUD_GATEWAY", "IOTCLOUD_APP_KEY", "IOTCLOUD_APP_SECRET_FILE",
                                                   "IOTCLOUD_CA_FILE", "IOTCLOUD_CACHE"};

  // The global options that point the tool at the local gateway, then
  // `command`; an option repeated in `command` overrides these.
  std::vector<std::string> Against(const std::vector<std::string>& command) {
    std::vector<std::string> args = {"--gateway",    sim_->hostPort(),      "--ca-file", sim_->caFile(),
                                     "--cache",      dir_.File("cache.db"), "--app-key", kAppKey,
                                     "--app-secret", "cli-app-secret"};
    args.insert(args.end(), command.begin(), command.end());
    return args;
  }

  void ExpectUsageError(const std::vector<std::string>& args, const std::string& message) {
    const CliRun run = Iotcloud(args);
    EXPECT_EQ(run.exitCode, 2) << message;
    EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("--help"), std::string::npos) << run.err;
  }

  void ExpectTransportFailure(const std::vector<std::string>& args, const std::string& says, const std::string& hint) {
    const CliRun run = Iotcloud(args);
    EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
    EXPECT_NE(run.out.find(says), std::string::npos) << run.out << run.err;
    EXPECT_EQ(run.out.find("initialised"), std::string::npos) << run.out;
    EXPECT_EQ(run.err.find(hint.empty() ? "--ca-file" : hint) != std::string::npos, !hint.empty()) << run.err;
  }

  static iotcloud::gateway::GatewaySim* sim_;
  iotcloud_test::TempDir dir_;
};

iotcloud::gateway::GatewaySim* CliToolTest::sim_ = nullptr;

TEST_F(CliToolTest, BadInputGetsAMessageAUsageHintAndExitCode2) {
  std::ofstream(dir_.File("long-secret")) << std::string(4097, 's');
  std::ofstream(dir_.File("huge.pem")) << "-----BEGIN CERTIFICATE-----\n" << std::string(4 << 20, 'A');
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      // clang-format off
      {{"--frobnicate", "region", "show"}, "unknown option --frobnicate\n"},
      // A slip of the fingers gets the nearest option or command.
      {{"--emial", "x@example.com", "region", "lookup"}, "unknown option --emial; did you mean --email?"},
      {{"--gatway=h", "region", "show"}, "unknown option --gatway; did you mean --gateway?"},
      {{"--json=yes", "region", "show"}, "--json takes no value"},
      {{"regoin", "lookup"}, "unknown command 'regoin'; did you mean 'region lookup'?"},
      {{"show"}, "unknown command 'show'; did you mean 'region show'?"},
      // What a command interpreter acts on arrives as typed (the variable is
      // unset: wine's cmd.exe expands a set one's %NAME% however escaped).
      {{"a b\"c&|<>^%IOTCLOUD_UNSET%!(x)"}, "unknown command 'a b\"c&|<>^%IOTCLOUD_UNSET%!(x)'"},
      {{"region", "lokup"}, "unknown region command 'lokup'; did you mean 'region lookup'?"},
      {{"language", "stt", "de-DE"}, "unknown language command 'stt'; did you mean 'language set'?"},
      // Files are read only when regular, and only up to a size fitting them.
      {{"--app-secret-file", DeviceFile(), "region", "show"}, "secret file " + DeviceFile() + ": is not a regular file"},
      {{"--app-secret-file", dir_.File("long-secret"), "region", "show"}, "is larger than 4096 bytes"},
      {{"--ca-file", DeviceFile(), "region", "show"}, "CA file " + DeviceFile() + ": is not a regular file"},
      {{"--ca-file", dir_.File("huge.pem"), "region", "show"}, "is larger than 4194304 bytes"},
      // A gateway is a host with an optional port, nothing that changes the URL.
      {{"--gateway", "host:1/other?q=", "region", "show"}, "--gateway wants HOST or HOST:PORT"},
      {{"--iot-api-host", "user@host", "region", "show"}, "--iot-api-host wants HOST"},
      {{"region", "lookup", "--email", "\xff\xfe@example.com"}, "--email is not valid UTF-8 text"},
      // The proxy's credentials are not repeated.
      {{"--proxy", "socks4://bob:pw@proxy:1080", "region", "show"},
       "--proxy wants http://, https:// or socks5h:// with a host, not 'socks4://proxy:1080'"},
      // clang-format on
  };
  for (const auto& [args, message] : cases) ExpectUsageError(args, message);
  EXPECT_EQ(Iotcloud({"--gateway", "[::1]:443", "--cache", dir_.File("c.db"), "region", "show"}).exitCode, 0);
}

// A FIFO is no regular file either (and reading it would block).
TEST_F(CliToolTest, SecretFileThatIsAFifoIsRefused) {
  std::string why;
  if (!iotcloud_test::MakeFifo(dir_.File("fifo"), &why)) GTEST_SKIP() << why;
  ExpectUsageError({"--app-secret-file", dir_.File("fifo"), "region", "show"}, "is not a regular file");
}

// What a terminal would act on: C0 controls other than the line feed (and
// the tab that --json indents with), DEL, C1 controls, and bytes that are not
// UTF-8. None may come through from the gateway.
void ExpectSafeForATerminal(const std::string& text) {
  for (unsigned char c : text) {
    ASSERT_TRUE((c >= 0x20 && c != 0x7f) || c == '\n' || c == '\t') << int(c) << " in:\n" << text.substr(0, 2000);
  }
  ASSERT_TRUE(iotcloud::IsValidUtf8(text)) << text.substr(0, 2000);
  ASSERT_EQ(text.find("\xc2\x9b"), std::string::npos) << text.substr(0, 2000);
}

// Each kind of answer through the whole tool, as text and as --json: its
// exit code, its line of text, its --json fields. Hostile answers cannot act
// on the terminal or forge a line, --json stays valid JSON that means what the
// gateway said, the log line of a huge answer stays short, and a value cut by
// \u0000 is not stored; nothing but a complete region is saved.
TEST_F(CliToolTest, EachAnswerHasItsExitCodeAndCannotReachTheTerminalRaw) {
  const std::string escapes =
      R"({"code":200,"message":"success","data":{"regionId":"eu-\u001b]0;owned\u0007x",)"
      R"("regionEnglishName":"\u001b[2J\r\nregion changed: forged","mqttEndpoint":"\u009b31m\u202e",)"
      "\"apiGatewayEndpoint\":\"raw \x1b[1m \x7f\",\"oaApiGatewayEndpoint\":\"o\"}}";
  const std::string badUtf8 =
      "{\"code\":200,\"data\":{\"regionId\":\"bad-\xff\xfe\xc0\",\"mqttEndpoint\":\"m\",\"apiGatewayEndpoint\":\"a\","
      "\"oaApiGatewayEndpoint\":\"o\"}}";
  const std::string region =
      "{\"code\":200,\"data\":" + iotcloud::gateway::RegionTable::BuiltIn().RegionJson("us-west-1") + "}";
  auto raw = [](const std::string& body) { return Fault{Fault::Kind::kRawBody, 0, 200, 0, body}; };
  const struct {
    Fault fault;  // kDelay: none, signed with the wrong secret
    int exitCode;
    // In the text output, in the log (stderr), in --json (run after the text, so it finds a region unchanged).
    std::string line, logged, outcome, status;
  } cases[] = {
      // clang-format off
      {raw(escapes), 0, "regionId               eu-\\x1b]0;owned\\x07x", "", "unchanged", "200"},
      {raw(badUtf8), 0, "bad-\\xff\\xfe\\xc0", "", "unchanged", "200"},
      {raw(R"({"code":500,"message":"\u001b]0;x\u0007\nregion changed: forged"})"), 4,
       "region unchanged: service error 500: \\x1b]0;x\\x07\\nregion changed: forged",
       "no region: service error 500: \\x1b]0;x\\x07\\nregion changed: forged", "service-error", "200"},
      {raw("\x1b[2J<html>" + std::string(4000000 - 10, 'h')), 5, "region unchanged: the answer is not JSON",
       "the answer is not JSON: \\x1b[2J<html>hhhh", "unreadable-answer", "200"},
      {raw(R"({"code":200,"data":{"regionId":"ap-\u0000-evil"}})"), 5, "a string in the answer holds \\u0000",
       "holds \\u0000: {", "unreadable-answer", "200"},
      {{Fault::Kind::kDelay}, 6,
       "answer: HTTP 400, gateway error InvalidSignature \"Invalid signature\", request id ", "",
       "gateway-refused", "400,\n\t\"gatewayErrorCode\":\t\"InvalidSignature\""},
      {{Fault::Kind::kErrorStatus, 0, 429, 0, "", "", "Throttled\x1b[2J"}, 6,
       "answer: HTTP 429, gateway error Throttled\\x1b[2J \"Too Many Requests\", request id ", "",
       "gateway-refused", "429,\n\t\"gatewayErrorCode\":\t\"Throttled\\u001b[2J\""},
      {{Fault::Kind::kErrorStatus, 0, 500, 0, region}, 7,
       "region unchanged: the gateway answered HTTP status 500 (request id ", "", "http-status", "500"},
      {raw(R"({"code":200,"data":null})"), 8,
       "region unchanged: the answer names no complete region: \"data\" is missing or empty", "",
       "incomplete-answer", "200"},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    for (const bool json : {false, true}) {
      if (c.fault.kind != Fault::Kind::kDelay) sim_->PushFault(c.fault);
      std::vector<std::string> args = {"region", "lookup", "--email", "carol@example.com", "--attempts", "1"};
      if (json) args.insert(args.begin(), "--json");
      if (c.fault.kind == Fault::Kind::kDelay) args.insert(args.begin(), {"--app-secret", "wrong-secret"});
      const CliRun run = Iotcloud(Against(args));
      EXPECT_EQ(run.exitCode, c.exitCode) << run.out.substr(0, 2000) << run.err.substr(0, 2000);
      ExpectSafeForATerminal(run.out);
      ExpectSafeForATerminal(run.err);
      EXPECT_EQ(run.out.find("\nregion changed: forged"), std::string::npos) << run.out;
      EXPECT_LT(run.err.size(), 2000u) << run.err.substr(0, 2000);  // the log line of the 4 MB answer is cut
      EXPECT_NE(run.err.find(c.logged), std::string::npos) << run.err;
      if (!json) {
        EXPECT_NE(run.out.find(c.line), std::string::npos) << run.out;
        // The region table only after an answer that named a region.
        EXPECT_EQ(run.out.find("  regionId  ") != std::string::npos, c.exitCode == 0) << run.out;
        continue;
      }
      EXPECT_TRUE(JsonPtr(cJSON_Parse(run.out.c_str()))) << run.out;
      const std::string regionId = &c == &cases[0] ? "eu-\\u001b]0;owned\\u0007x" : "";  // JSON keeps the meaning
      for (const std::string& member : {"\"outcome\":\t\"" + c.outcome + "\"", "\"httpStatus\":\t" + c.status,
                                        std::string("\"requestId\":\t\""), "\"regionId\":\t\"" + regionId}) {
        EXPECT_NE(run.out.find(member), std::string::npos) << member << " in " << run.out;
      }
    }
  }
  // The cache holds the region of the last good answer.
  EXPECT_NE(Iotcloud(Against({"region", "show"})).out.find("bad-"), std::string::npos);
}

// A lookup says what changed and tells the observer; a new process restores
// exactly the region the gateway answered. A command that saves fails (exit
// 9, saying so) when its save fails, here because another process holds the
// cache's write lock; the lookup's answer is still shown.
TEST_F(CliToolTest, LookupSavesTheRegionForTheNextProcessOrFailsWhenItCannot) {
  const CliRun first = Iotcloud(Against({"region", "lookup", "--email", "bob@example.de"}));
  ASSERT_EQ(first.exitCode, 0) << first.out << first.err;
  for (const char* line : {"observer: region changed to eu-central-1 (Frankfurt)",
                           "region changed: cn-shanghai -> eu-central-1", "  regionId               eu-central-1\n"}) {
    EXPECT_NE(first.out.find(line), std::string::npos) << first.out;
  }
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(dir_.File("cache.db").c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  const struct {
    std::vector<std::string> command;
    std::string out, err;
  } cases[] = {
      // clang-format off
      {{"region", "lookup", "--email", "dave@example.com"}, "region changed: eu-central-1 -> us-west-1",
       "iotcloud: the region could not be saved in the cache"},
      {{"region", "clear"}, "", "iotcloud: the cleared region could not be saved"},
      {{"language", "set", "de-DE"}, "", "iotcloud: the language could not be saved"},
      // clang-format on
  };
  for (const auto& c : cases) {
    const CliRun run = Iotcloud(Against(c.command));
    EXPECT_EQ(run.exitCode, 9) << run.out << run.err;
    EXPECT_NE(run.out.find(c.out), std::string::npos) << run.out;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
  }
  sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  JsonPtr shown(cJSON_Parse(Iotcloud(Against({"--json", "region", "show"})).out.c_str()));
  EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(shown.get(), "saved")));
  JsonPtr answered(cJSON_Parse(iotcloud::gateway::RegionTable::BuiltIn().RegionJson("eu-central-1").c_str()));
  EXPECT_TRUE(cJSON_Compare(cJSON_GetObjectItemCaseSensitive(shown.get(), "region"), answered.get(), true));
  EXPECT_EQ(Iotcloud(Against({"region", "clear"})).exitCode, 0);
  EXPECT_NE(Iotcloud(Against({"region", "show"})).out.find("no saved region"), std::string::npos);
}

// A cache that can only be read is shown, but a command that would save is
// refused before anything is sent. Root may write any folder, so as root the
// cache sits on a read-only mount.
TEST_F(CliToolTest, ReadOnlyCacheIsShownButNotWritten) {
  const std::string dir = dir_.File("ro");
  iotcloud_test::ReadOnlyFolder folder(dir);  // writable again before TempDir removes it
  if (!folder.ok()) GTEST_SKIP() << folder.why();
  auto with = [&](std::vector<std::string> command) {
    command.insert(command.begin(), {"--cache", dir + "/cache.db"});
    return Against(command);  // after the --cache of Against, so this one counts
  };
  ASSERT_EQ(Iotcloud(with({"language", "set", "de-DE"})).exitCode, 0);
  ASSERT_TRUE(folder.Seal());
  sim_->clearRequests();
  for (const std::vector<std::string>& command : std::vector<std::vector<std::string>>{
           {"region", "lookup", "--email", "dave@example.com"}, {"region", "clear"}, {"language", "clear"}}) {
    const CliRun run = Iotcloud(with(command));
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_NE(run.err.find("iotcloud: the cache " + dir + "/cache.db is read-only"), std::string::npos) << run.err;
  }
  EXPECT_TRUE(sim_->requests().empty());
  EXPECT_EQ(Iotcloud(with({"language", "get"})).out, "de-DE\n");
  EXPECT_EQ(Iotcloud(with({"region", "show"})).exitCode, 0);
}

// Transport failures exit 3 and name their cause: a closed port (with --json
// its curl code, with --trace libcurl's error), a dead proxy, a gateway whose
// CA the system trust store (used without --ca-file) does not know, with a
// hint at --ca-file, a request the transport refuses to send (not blamed on
// initialisation).
TEST_F(CliToolTest, TransportFailuresExit3AndSayWhy) {
  const std::string closed = "127.0.0.1:" + std::to_string(iotcloud_test::ClosedPort());
  std::vector<std::string> untrusted = Against({"region", "lookup", "--email", "x@example.de"});
  untrusted.erase(untrusted.begin() + 2, untrusted.begin() + 4);
  const std::tuple<std::vector<std::string>, std::string, std::string> cases[] = {
      {Against({"--gateway", closed, "--json", "region", "lookup", "--country", "DE"}), "\"curlCode\":\t7", ""},
      {Against({"--gateway", closed, "region", "lookup", "--trace", "--country", "DE"}),
       "\nattempt 1: curl error 7 (Couldn't connect to server), -, reused no, ", ""},
      {Against({"--proxy", "http://" + closed, "region", "lookup", "--email", "bob@example.de"}),
       "via proxy http://" + closed, ""},
      {untrusted, "(curl error 60)", "give the certificate of the CA that signed it with --ca-file FILE"},
  };
  for (const auto& [args, says, hint] : cases) ExpectTransportFailure(args, says, hint);
}

// A header value with a line break is refused by the transport, not sent.
TEST_F(CliToolTest, RequestWithALineBreakInAHeaderIsNotSent) {
  const std::string key = std::string(kAppKey) + "\r\nX-Injected: 1";
  if (const std::string why = iotcloud_test::WhyShellCannotPass(key); !why.empty()) GTEST_SKIP() << why;
  ExpectTransportFailure(Against({"--app-key", key, "region", "lookup", "--country", "DE"}),
                         "the request was not sent: the header x-ca-key holds CR, LF or NUL", "");
}

// The environment stands in for the global options the command line leaves
// out; an option given (or, for the secret, either of its two options) wins
// over it, and a bad value is a usage error naming the variable.
TEST_F(CliToolTest, EnvironmentSuppliesGlobalOptionsThatFlagsOverride) {
  std::ofstream(dir_.File("secret")) << "cli-app-secret\n";
  std::ofstream(dir_.File("wrong-secret")) << "wrong-secret\n";
  const std::string closed = "127.0.0.1:" + std::to_string(iotcloud_test::ClosedPort());
  const std::vector<std::string> all = {"IOTCLOUD_GATEWAY=" + sim_->hostPort(),
                                        std::string("IOTCLOUD_APP_KEY=") + kAppKey,
                                        "IOTCLOUD_APP_SECRET_FILE=" + dir_.File("secret"),
                                        "IOTCLOUD_CA_FILE=" + sim_->caFile(), "IOTCLOUD_CACHE=" + dir_.File("env.db")};
  const struct {
    std::vector<std::string> env, args;
    int exitCode;
    std::string out, err;
  } cases[] = {
      // clang-format off
      {all, {"region", "lookup", "--email", "bob@example.de"}, 0, "region changed: cn-shanghai -> eu-central-1", ""},
      {{all[4]}, {"region", "show"}, 0, "regionId               eu-central-1", ""},
      {{"IOTCLOUD_GATEWAY=" + closed, "IOTCLOUD_APP_SECRET_FILE=" + dir_.File("wrong-secret")},
       Against({"region", "lookup", "--email", "bob@example.de"}), 0, "region changed: ", ""},
      {{"IOTCLOUD_CA_FILE=" + DeviceFile()}, {"region", "show"}, 2, "",
       "IOTCLOUD_CA_FILE: cannot read the CA file " + DeviceFile() + ": is not a regular file"},
      {{"IOTCLOUD_GATEWAY=host/path"}, {"region", "show"}, 2, "", "IOTCLOUD_GATEWAY wants HOST or HOST:PORT"},
      // clang-format on
  };
  for (const auto& c : cases) {
    const CliRun run = Iotcloud(c.args, c.env);
    EXPECT_EQ(run.exitCode, c.exitCode) << c.env[0] << "\n" << run.out << run.err;
    EXPECT_NE(run.out.find(c.out), std::string::npos) << run.out;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
  }
}

// The bash completion offers the commands, the options of the command typed
// so far and the values an option takes, past options and their values.
TEST_F(CliToolTest, CompletionFollowsTheOptionTable) {
  if (const std::string why = iotcloud_test::WhyNoPosixTools(); !why.empty()) GTEST_SKIP() << why;
  const CliRun script = Iotcloud({"--bash-completion"});
  ASSERT_EQ(script.exitCode, 0);
  std::ofstream(dir_.File("completion")) << script.out;
  std::ofstream(dir_.File("ca.pem")) << "";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"reg"}, "region"},
      {{"region", "lo"}, "lookup"},
      {{"--cache", "x", "language", ""}, "get set clear"},
      {{"--json", "region", "lookup", "--em"}, "--email"},
      {{"--stage", "p"}, "prod pre"},
      {{"--ca-file", dir_.File("ca.p")}, dir_.File("ca.pem")},
      {{"region", "show", "--tr"}, ""},                          // --trace is region lookup's
      {{"--gateway", "region", ""}, "region language country"},  // "region" is --gateway's value
  };
  for (const auto& [words, offered] : cases) {
    std::vector<std::string> args = {"-c",
                                     "source \"$1\"; shift; COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); _iotcloud; "
                                     "echo \"${COMPREPLY[*]}\"",
                                     "bash", dir_.File("completion"), "iotcloud"};
    args.insert(args.end(), words.begin(), words.end());
    const CliRun run = RunProgram("bash", args);
    EXPECT_EQ(run.out, offered + "\n") << words.back() << run.err;
  }
}

// The manual page holds every option --help lists and renders without a
// warning (where groff is installed).
TEST_F(CliToolTest, ManualPageFollowsTheOptionTable) {
  const CliRun page = Iotcloud({"--man-page"});
  ASSERT_EQ(page.exitCode, 0);
  for (const std::vector<std::string>& help : {std::vector<std::string>{"--help"}, {"region", "lookup", "--help"}}) {
    const std::string text = Iotcloud(help).out;
    for (size_t at = 0; (at = text.find("\n  -", at)) != std::string::npos; ++at) {
      const size_t start = text.find("--", at), end = text.find_first_of(" ,\n", start);
      std::string option = text.substr(start, end - start), roff;
      for (char c : option) roff += c == '-' ? std::string("\\-") : std::string(1, c);
      EXPECT_NE(page.out.find(roff), std::string::npos) << option;
    }
  }
  for (const char* name : kToolVariables) EXPECT_NE(page.out.find(name), std::string::npos) << name;
  std::ofstream(dir_.File("iotcloud.1")) << page.out;
  if (iotcloud_test::WhyNoPosixTools().empty() && std::system("command -v groff >/dev/null") == 0) {
    const CliRun rendered = RunProgram("groff", {"-man", "-ww", "-z", dir_.File("iotcloud.1")});
    EXPECT_EQ(rendered.exitCode, 0);
    EXPECT_EQ(rendered.err, "");
  }
}

// --version names the versions the tool runs with, as the libraries report
// them in this process; the local gateway names its own.
TEST_F(CliToolTest, VersionNamesTheLibrariesInUse) {
  const CliRun tool = Iotcloud({"--version"});
  EXPECT_EQ(tool.exitCode, 0);
  for (const std::string& part :
       {std::string("iotcloud " IOTCLOUD_VERSION_STRING "\nlibrary: iotcloud " IOTCLOUD_VERSION_STRING ", "),
        std::string("libcurl ") + curl_version_info(CURLVERSION_NOW)->version,
        std::string("OpenSSL ") + OpenSSL_version(OPENSSL_VERSION_STRING),
        std::string("SQLite ") + sqlite3_libversion(), std::string("cJSON ") + cJSON_Version()}) {
    EXPECT_NE(tool.out.find(part), std::string::npos) << part << " in " << tool.out;
  }
  const CliRun gateway = RunProgram(IOTCLOUD_GATEWAY_PATH, {"--version"});
  EXPECT_EQ(gateway.exitCode, 0);
  EXPECT_EQ(gateway.out, std::string("iotcloud-gateway-sim " IOTCLOUD_VERSION_STRING "\nlibraries: OpenSSL ") +
                             OpenSSL_version(OPENSSL_VERSION_STRING) + ", cpp-httplib " CPPHTTPLIB_VERSION "\n");
}

// Retried attempts are listed; --trace adds one line per attempt after the
// outcome. The gateway's 200 ms delay of the last attempt shows in its first
// byte.
TEST_F(CliToolTest, RetriedAttemptsAreListedAndTraceShowsWhereTheirTimeWent) {
  sim_->PushFault({Fault::Kind::kErrorStatus, 0, 503});
  sim_->PushFault({Fault::Kind::kErrorStatus, 0, 503});
  sim_->PushFault({Fault::Kind::kDelay, 200});
  const CliRun run = Iotcloud(Against({"region", "lookup", "--trace", "--country", "DE"}));
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  for (const char* line : {"retried: attempt 1: the gateway answered HTTP status 503",
                           "retried: attempt 2: ", "attempts 3", "\nattempt 1: HTTP 503, "}) {
    EXPECT_NE(run.out.find(line), std::string::npos) << run.out;
  }
  const size_t at = run.out.find("\nattempt 3: HTTP 200, http/1.1, reused ");
  ASSERT_NE(at, std::string::npos) << run.out;
  EXPECT_LT(run.out.find("\nregion "), at) << run.out;  // after the outcome line
  const std::string line = run.out.substr(at + 1, run.out.find('\n', at + 1) - at - 1);
  EXPECT_EQ(line.find(", received 0 B"), std::string::npos) << line;
  const double firstByteMs = std::stod(line.substr(line.find("first byte ") + 11));
  const double totalMs = std::stod(line.substr(line.find("total ") + 6));
  EXPECT_GE(firstByteMs, 200);
  EXPECT_GE(totalMs, firstByteMs);
  EXPECT_LT(totalMs, 20000);
}

}  // namespace
