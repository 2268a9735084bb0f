#include "cli/Options.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "common/BoundedFile.h"
#include "core/io/network/http/AsyncHttpRequest.h"
#include "core/support/DeploymentConfig.h"
#include "core/support/UntrustedText.h"

namespace iotcloud {
namespace cli {

const char kVersion[] = "0.1.0";

namespace {

// Largest files taken: a secret is a line; a CA bundle is a few hundred KiB.
constexpr size_t kMaxSecretFileBytes = 4096;
constexpr size_t kMaxCaFileBytes = 4 << 20;

// The text of a file named by `option`, or a usage error saying why not.
std::string ReadOptionFile(const std::string& option, const std::string& what, const std::string& path,
                           size_t maxBytes) {
  std::string text, error;
  if (!iotcloud::tools::ReadBoundedFile(path, maxBytes, &text, &error)) {
    throw UsageError(option + ": cannot read the " + what + " " + path + ": " + error, Topic::kGlobal);
  }
  return text;
}

// A gateway host as the library takes it: a host name, an IPv4 address or a
// bracketed IPv6 address, with an optional ":port". Anything else (a path,
// a query, credentials, a scheme) would change the request's URL.
bool IsHostAndPort(const std::string& value) {
  std::string host = value, port;
  if (!value.empty() && value[0] == '[') {
    const size_t close = value.find(']');
    if (close == std::string::npos || close == 1) return false;
    for (char c : value.substr(1, close - 1)) {
      if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') return false;
    }
    if (close + 1 < value.size()) {
      if (value[close + 1] != ':') return false;
      port = value.substr(close + 2);
      if (port.empty()) return false;
    }
    host.clear();
  } else if (const size_t colon = value.find(':'); colon != std::string::npos) {
    host = value.substr(0, colon);
    port = value.substr(colon + 1);
    if (port.empty()) return false;
  }
  if (value.empty() || (value[0] != '[' && host.empty()) || host.size() > 253) return false;
  for (char c : host) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != '_') return false;
  }
  if (!port.empty()) {
    if (port.size() > 5) return false;
    for (char c : port) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    const long number = std::strtol(port.c_str(), nullptr, 10);
    if (number < 1 || number > 65535) return false;
  }
  return true;
}

std::string CheckedHost(const std::string& option, const std::string& value) {
  if (!IsHostAndPort(value)) {
    throw UsageError(option + " wants HOST or HOST:PORT (IPv6 as [ADDRESS]:PORT), not '" + value + "'", Topic::kGlobal);
  }
  return value;
}

long ParseNumber(const std::string& option, const std::string& value, long low, long high) {
  char* end = nullptr;
  errno = 0;
  long number = std::strtol(value.c_str(), &end, 10);
  if (value.empty() || *end != '\0' || errno != 0 || number < low || number > high) {
    throw UsageError(option + " wants a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
                         ", not '" + value + "'",
                     Topic::kGlobal);
  }
  return number;
}

// What each option does to Options; `name` is the option as given, `value`
// its value (empty for an option that takes none).
using Apply = void (*)(const std::string& name, const std::string& value, Options* options);

void SetGateway(const std::string& name, const std::string& value, Options* options) {
  options->gateway = CheckedHost(name, value);
}
void SetIotApiHost(const std::string& name, const std::string& value, Options* options) {
  options->iotApiHost = CheckedHost(name, value);
}
void SetAppKey(const std::string&, const std::string& value, Options* options) { options->appKey = value; }
void SetAppSecret(const std::string&, const std::string& value, Options* options) {
  options->appSecret = value;
  options->haveSecret = true;
}
void SetAppSecretFile(const std::string& name, const std::string& value, Options* options) {
  const std::string text = ReadOptionFile(name, "secret file", value, kMaxSecretFileBytes);
  options->appSecret = text.substr(0, text.find_first_of("\r\n"));
  options->haveSecret = true;
}
void SetCaFile(const std::string& name, const std::string& value, Options* options) {
  const std::string text = ReadOptionFile(name, "CA file", value, kMaxCaFileBytes);
  if (text.find("-----BEGIN CERTIFICATE-----") == std::string::npos) {
    throw UsageError("the CA file " + value + " holds no PEM certificate", Topic::kGlobal);
  }
  options->caFile = value;
}
void SetProxy(const std::string& name, const std::string& value, Options* options) {
  if (options->proxy) throw UsageError("--proxy and --no-proxy: give one of them, once", Topic::kGlobal);
  if (name == "--no-proxy") {
    options->proxy = std::string();
    return;
  }
  if (!IsSupportedProxyUrl(value)) {
    throw UsageError("--proxy wants http://, https:// or socks5h:// with a host, not '" +
                         EscapeUntrusted(ProxyUrlForLog(value)) + "'",
                     Topic::kGlobal);
  }
  options->proxy = value;
}
void SetCache(const std::string&, const std::string& value, Options* options) { options->cacheFile = value; }
void SetStage(const std::string&, const std::string& value, Options* options) {
  static const char* const kStages[] = {"prod", "pre", "test"};  // by IotSmartInitConfig::env
  for (int stage = 0; stage < 3; ++stage) {
    if (value == kStages[stage]) {
      options->stage = stage;
      return;
    }
  }
  throw UsageError("--stage is prod, pre or test, not '" + value + "'", Topic::kGlobal);
}
void SetTimeout(const std::string& name, const std::string& value, Options* options) {
  options->timeoutMs = ParseNumber(name, value, 1, 600000);
}
void SetAttempts(const std::string& name, const std::string& value, Options* options) {
  options->attempts = static_cast<int>(ParseNumber(name, value, 1, 10));
}
void SetLogLevel(const std::string& name, const std::string& value, Options* options) {
  options->logLevel = static_cast<int>(ParseNumber(name, value, 1, 5));
}
void SetJson(const std::string&, const std::string&, Options* options) { options->json = true; }
void SetHelp(const std::string&, const std::string&, Options* options) { options->help = true; }
void SetVersion(const std::string&, const std::string&, Options* options) { options->version = true; }
void SetTrace(const std::string&, const std::string&, Options* options) { options->trace = true; }
void SetIdentifier(const std::string& name, const std::string& value, Options* options) {
  if (options->identifiers.count(name)) throw UsageError(name + " given twice", Topic::kLookup);
  // The library sends identifiers as they are given; the gateway reads them
  // as UTF-8 text.
  if (!iotcloud::IsValidUtf8(value)) throw UsageError(name + " is not valid UTF-8 text", Topic::kLookup);
  options->identifiers[name] = value;
}

// One option of the command line, and how --help lists it.
struct OptionSpec {
  const char* name;
  const char* alias;  // another spelling, or null
  bool takesValue;    // "--name VALUE" or "--name=VALUE"; otherwise just "--name"
  Topic command;      // the command that takes it; kGlobal: every command
  Apply apply;
  const char* synopsis;  // the left column of --help; null: named in another option's synopsis
  const char* help;      // the right column, lines separated by '\n'
};

// Every option, in the order --help lists them.
const OptionSpec kOptionTable[] = {
    {"--gateway", nullptr, true, Topic::kGlobal, SetGateway, "--gateway HOST[:PORT]",
     "API gateway host (default " IOTCLOUD_DEFAULT_API_GATEWAY_HOST ")"},
    {"--iot-api-host", nullptr, true, Topic::kGlobal, SetIotApiHost, "--iot-api-host HOST[:PORT]",
     "IoT API host of the Shanghai region, for country lookups\n"
     "other than CN (default: the --gateway value if given,\n"
     "else " IOTCLOUD_DEFAULT_SHANGHAI_IOT_API_HOST ")"},
    {"--app-key", nullptr, true, Topic::kGlobal, SetAppKey, "--app-key KEY", "gateway application key"},
    {"--app-secret", nullptr, true, Topic::kGlobal, SetAppSecret, "--app-secret SECRET",
     "application secret the requests are signed with"},
    {"--app-secret-file", nullptr, true, Topic::kGlobal, SetAppSecretFile, "--app-secret-file FILE",
     "read the secret from FILE instead (first line;\n"
     "a regular file of at most 4 KiB)"},
    {"--ca-file", nullptr, true, Topic::kGlobal, SetCaFile, "--ca-file FILE",
     "PEM certificates to verify the gateway with, at\n"
     "most 4 MiB (default: the system's trust store)"},
    {"--proxy", nullptr, true, Topic::kGlobal, SetProxy, "--proxy URL",
     "proxy for the requests: http://, https:// or\n"
     "socks5h://HOST:PORT (default: libcurl reads\n"
     "https_proxy, ALL_PROXY and NO_PROXY)"},
    {"--no-proxy", nullptr, false, Topic::kGlobal, SetProxy, "--no-proxy", "no proxy, whatever the environment says"},
    {"--cache", nullptr, true, Topic::kGlobal, SetCache, "--cache FILE",
     "cache database (default ~/.cache/iotcloud/cache.db)"},
    {"--stage", nullptr, true, Topic::kGlobal, SetStage, "--stage prod|pre|test",
     "gateway environment stage (default prod)"},
    {"--timeout-ms", nullptr, true, Topic::kGlobal, SetTimeout, "--timeout-ms N",
     "time limit of one request (default 20000)"},
    {"--log-level", nullptr, true, Topic::kGlobal, SetLogLevel, "--log-level N",
     "library log level: 1 trace, 2 events, 3 warnings,\n"
     "4 failures (default), 5 silent"},
    {"--json", nullptr, false, Topic::kGlobal, SetJson, "--json", "machine-readable output"},
    {"--help", "-h", false, Topic::kGlobal, SetHelp, "-h, --help", "this text; after a command, that command's help"},
    {"--version", nullptr, false, Topic::kGlobal, SetVersion, "--version", "the tool's version"},

    {"--email", nullptr, true, Topic::kLookup, SetIdentifier, "--email ADDRESS", "by e-mail address"},
    {"--phone", nullptr, true, Topic::kLookup, SetIdentifier, "--phone NUMBER --location-code CODE",
     "by phone number and its calling code (86)"},
    {"--location-code", nullptr, true, Topic::kLookup, SetIdentifier, nullptr, nullptr},
    {"--login-id", nullptr, true, Topic::kLookup, SetIdentifier, "--login-id ID [--location-code CODE]",
     "e-mail if ID holds '@', else phone number"},
    {"--country", nullptr, true, Topic::kLookup, SetIdentifier, "--country CODE", "by country code (CN)"},
    {"--auth-code", nullptr, true, Topic::kLookup, SetIdentifier, "--auth-code CODE",
     "by an external login's authorisation code"},
    {"--attempts", nullptr, true, Topic::kLookup, SetAttempts, "--attempts N",
     "send at most N requests when they meet transient\n"
     "failures (1 to 10; default 3; 1: never retry)"},
    {"--trace", nullptr, false, Topic::kLookup, SetTrace, "--trace",
     "after the outcome, one line per attempt: HTTP\n"
     "status or transport error, HTTP version, reuse of\n"
     "the connection, times and bytes"},
};

const OptionSpec* FindOption(const std::string& name) {
  for (const OptionSpec& entry : kOptionTable) {
    if (name == entry.name || (entry.alias != nullptr && name == entry.alias)) return &entry;
  }
  return nullptr;
}

bool IsIdentifier(const OptionSpec& entry) { return entry.apply == SetIdentifier; }
bool IsNoIdentifier(const OptionSpec& entry) { return entry.apply != SetIdentifier; }

// The options `command` takes (those `keep` accepts, when given) as --help
// lists them: the synopsis, then the help text from column `column` on.
std::string OptionList(Topic command, size_t column, bool (*keep)(const OptionSpec&) = nullptr) {
  std::string text;
  for (const OptionSpec& entry : kOptionTable) {
    if (entry.command != command || entry.synopsis == nullptr) continue;
    if (keep != nullptr && !keep(entry)) continue;
    std::string line = std::string("  ") + entry.synopsis + "  ";
    if (line.size() < column) line.resize(column, ' ');
    for (const char* help = entry.help; *help != '\0'; ++help) {
      line += *help;
      if (*help == '\n') line.append(column, ' ');
    }
    text += line + "\n";
  }
  return text;
}

const char kMainUsageHead[] =
    "Usage: iotcloud [global options] <command> [options]\n"
    "\n"
    "Commands:\n"
    "  region lookup    ask the gateway which region serves an account\n"
    "  region show      print the region saved by the last lookup\n"
    "  region clear     forget the saved region\n"
    "  language get     print the request language\n"
    "  language set TAG set the request language (like zh-CN or en-US)\n"
    "  language clear   forget the language; the system's is used\n"
    "  country set CODE check a country code and print its phone location code\n"
    "\n"
    "Global options:\n";

const char kMainUsageTail[] =
    "\n"
    "Exit codes: 0 success, 1 other failure, 2 usage error, 3 transport failure,\n"
    "4 service error, 5 unreadable answer, 6 refused by the gateway, 7 other HTTP\n"
    "status (redirects are not followed), 8 incomplete answer, 9 save failed.\n";

const char kLookupUsageHead[] =
    "Usage: iotcloud [global options] region lookup <one identifier>\n"
    "\n"
    "Identifiers (exactly one):\n";

const char kLookupUsageTail[] =
    "\n"
    "Prints the observer's report, one line saying whether the region changed\n"
    "and why not, and the current region. Needs --app-key and a secret.\n"
    "With --trace, each attempt's times count from its start, as curl -w\n"
    "shows them; with --json they are in \"attemptsTrace\", in microseconds.\n";

const char kShowUsage[] =
    "Usage: iotcloud [global options] region show\n"
    "\n"
    "Prints the region saved in the cache (the China defaults when none is).\n";

const char kClearUsage[] =
    "Usage: iotcloud [global options] region clear\n"
    "\n"
    "Forgets the saved region; the next start uses the China defaults.\n";

const char kLanguageUsage[] =
    "Usage: iotcloud [global options] language get | set TAG | clear\n"
    "\n"
    "  get        print the request language (saved, else the system's)\n"
    "  set TAG    save TAG, two parts joined by '-' or '_' (zh-CN, en_US)\n"
    "  clear      forget the saved language\n";

const char kCountryUsage[] =
    "Usage: iotcloud [global options] country set CODE\n"
    "\n"
    "Checks a two-letter country code and prints it with its phone location\n"
    "code. An unknown code falls back to CN (86) and exits with 2.\n";

std::string MainUsage() { return kMainUsageHead + OptionList(Topic::kGlobal, 30) + kMainUsageTail; }
std::string LookupUsage() {
  return kLookupUsageHead + OptionList(Topic::kLookup, 40, IsIdentifier) + "\nOptions:\n" +
         OptionList(Topic::kLookup, 40, IsNoIdentifier) + kLookupUsageTail;
}
std::string ShowUsage() { return kShowUsage; }
std::string ClearUsage() { return kClearUsage; }
std::string LanguageUsage() { return kLanguageUsage; }
std::string CountryUsage() { return kCountryUsage; }

// Each help topic: the words of its command and its help text.
const struct TopicSpec {
  Topic topic;
  const char* command;
  std::string (*usage)();
} kTopics[] = {
    {Topic::kGlobal, "", MainUsage},  // named by no words: the fallback
    {Topic::kLookup, "region lookup", LookupUsage},
    {Topic::kShow, "region show", ShowUsage},
    {Topic::kClear, "region clear", ClearUsage},
    {Topic::kLanguage, "language", LanguageUsage},
    {Topic::kCountry, "country", CountryUsage},
};

}  // namespace

Options ParseCommandLine(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      for (++i; i < argc; ++i) options.words.push_back(argv[i]);
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') {
      options.words.push_back(arg);
      continue;
    }
    std::string name = arg, value;
    bool inlineValue = false;
    if (const size_t equals = arg.find('='); equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
      inlineValue = true;
    }
    const OptionSpec* entry = FindOption(name);
    if (entry == nullptr || (inlineValue && !entry->takesValue)) {
      throw UsageError("unknown option " + name, Topic::kGlobal);
    }
    if (entry->takesValue && !inlineValue) {
      if (i + 1 >= argc) throw UsageError(name + " needs a value", Topic::kGlobal);
      value = argv[++i];
    }
    entry->apply(name, value, &options);
  }
  return options;
}

void CheckOptionsBelongTo(const Options& options, Topic command) {
  if (options.trace && command != Topic::kLookup) {
    throw UsageError("--trace belongs to " + CommandName(Topic::kLookup), Topic::kGlobal);
  }
  for (const auto& given : options.identifiers) {
    const Topic owner = FindOption(given.first)->command;
    if (owner != command) {
      throw UsageError(given.first + " belongs to " + CommandName(owner), Topic::kGlobal);
    }
  }
}

std::string UsageText(Topic topic) {
  for (const TopicSpec& entry : kTopics) {
    if (entry.topic == topic) return entry.usage();
  }
  return UsageText(Topic::kGlobal);
}

Topic HelpTopic(const std::vector<std::string>& words) {
  for (const TopicSpec& entry : kTopics) {
    const std::string name = entry.command;
    if (name.find(' ') == std::string::npos ? !words.empty() && words[0] == name
                                            : words.size() > 1 && words[0] + " " + words[1] == name) {
      return entry.topic;
    }
  }
  return Topic::kGlobal;
}

std::string CommandName(Topic topic) {
  for (const TopicSpec& entry : kTopics) {
    if (entry.topic == topic) return entry.command;
  }
  return "";
}

std::string HelpCommand(Topic topic) { return topic == Topic::kGlobal ? "iotcloud" : "iotcloud " + CommandName(topic); }

}  // namespace cli
}  // namespace iotcloud
