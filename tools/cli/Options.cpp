#include "cli/Options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "common/BoundedFile.h"
#include "core/io/network/http/AsyncHttpRequest.h"
#include "core/support/DeploymentConfig.h"
#include "core/support/UntrustedText.h"
#include "core/support/Version.h"

namespace iotcloud {
namespace cli {

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
void SetGenerate(const std::string& name, const std::string&, Options* options) { options->generate = name; }
void SetIdentifier(const std::string& name, const std::string& value, Options* options) {
  if (options->identifiers.count(name)) throw UsageError(name + " given twice", Topic::kLookup);
  // The library sends identifiers as they are given; the gateway reads them
  // as UTF-8 text.
  if (!iotcloud::IsValidUtf8(value)) throw UsageError(name + " is not valid UTF-8 text", Topic::kLookup);
  options->identifiers[name] = value;
}

// One option of the command line: how it is read, how --help, the manual
// page and the bash completion show it, and where else its value may come
// from.
struct OptionSpec {
  const char* name;
  const char* alias;  // another spelling, or null
  bool takesValue;    // "--name VALUE" or "--name=VALUE"; otherwise just "--name"
  Topic command;      // the command that takes it; kGlobal: every command
  Apply apply;
  const char* synopsis;  // the left column of --help; null: named in another option's synopsis
  const char* help;      // the right column, lines separated by '\n'
  // The environment variable that supplies the option when the command line
  // gives neither it nor another option of its group; null: none.
  const char* env = nullptr;
  int group = 0;  // options of one group other than 0 set the same thing
  // The value, for the completion: "FILE", the words it may be, or null.
  const char* values = nullptr;
  bool hidden = false;  // for building the documentation; in no help text
};

// Every option, in the order --help lists them.
const OptionSpec kOptionTable[] = {
    {"--gateway", nullptr, true, Topic::kGlobal, SetGateway, "--gateway HOST[:PORT]",
     "API gateway host (default " IOTCLOUD_DEFAULT_API_GATEWAY_HOST ")", "IOTCLOUD_GATEWAY"},
    {"--iot-api-host", nullptr, true, Topic::kGlobal, SetIotApiHost, "--iot-api-host HOST[:PORT]",
     "IoT API host of the Shanghai region, for country lookups\n"
     "other than CN (default: the --gateway value if given,\n"
     "else " IOTCLOUD_DEFAULT_SHANGHAI_IOT_API_HOST ")"},
    {"--app-key", nullptr, true, Topic::kGlobal, SetAppKey, "--app-key KEY", "gateway application key",
     "IOTCLOUD_APP_KEY"},
    {"--app-secret", nullptr, true, Topic::kGlobal, SetAppSecret, "--app-secret SECRET",
     "application secret the requests are signed with", nullptr, 1},
    {"--app-secret-file", nullptr, true, Topic::kGlobal, SetAppSecretFile, "--app-secret-file FILE",
     "read the secret from FILE instead (first line;\n"
     "a regular file of at most 4 KiB)",
     "IOTCLOUD_APP_SECRET_FILE", 1, "FILE"},
    {"--ca-file", nullptr, true, Topic::kGlobal, SetCaFile, "--ca-file FILE",
     "PEM certificates to verify the gateway with, at\n"
     "most 4 MiB (default: the system's trust store)",
     "IOTCLOUD_CA_FILE", 0, "FILE"},
    {"--proxy", nullptr, true, Topic::kGlobal, SetProxy, "--proxy URL",
     "proxy for the requests: http://, https:// or\n"
     "socks5h://HOST:PORT (default: libcurl reads\n"
     "https_proxy, ALL_PROXY and NO_PROXY)"},
    {"--no-proxy", nullptr, false, Topic::kGlobal, SetProxy, "--no-proxy", "no proxy, whatever the environment says"},
    {"--cache", nullptr, true, Topic::kGlobal, SetCache, "--cache FILE",
     "cache database (default ~/.cache/iotcloud/cache.db)", "IOTCLOUD_CACHE", 0, "FILE"},
    {"--stage", nullptr, true, Topic::kGlobal, SetStage, "--stage prod|pre|test",
     "gateway environment stage (default prod)", nullptr, 0, "prod pre test"},
    {"--timeout-ms", nullptr, true, Topic::kGlobal, SetTimeout, "--timeout-ms N",
     "time limit of one request (default 20000)"},
    {"--log-level", nullptr, true, Topic::kGlobal, SetLogLevel, "--log-level N",
     "library log level: 1 trace, 2 events, 3 warnings,\n"
     "4 failures (default), 5 silent",
     nullptr, 0, "1 2 3 4 5"},
    {"--json", nullptr, false, Topic::kGlobal, SetJson, "--json", "machine-readable output"},
    {"--help", "-h", false, Topic::kGlobal, SetHelp, "-h, --help", "this text; after a command, that command's help"},
    {"--version", nullptr, false, Topic::kGlobal, SetVersion, "--version",
     "the versions of the tool, the library and the\n"
     "libraries it runs on"},
    {"--bash-completion", nullptr, false, Topic::kGlobal, SetGenerate, nullptr, "print the bash completion script",
     nullptr, 0, nullptr, true},
    {"--man-page", nullptr, false, Topic::kGlobal, SetGenerate, nullptr, "print the manual page (roff)", nullptr, 0,
     nullptr, true},

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

// Every command: its words, its arguments and what it does, in the order
// --help lists them.
const struct CommandSpec {
  Topic topic;
  const char* words;
  const char* arguments;  // after the words; may be empty
  const char* summary;
} kCommands[] = {
    {Topic::kLookup, "region lookup", "", "ask the gateway which region serves an account"},
    {Topic::kShow, "region show", "", "print the region saved by the last lookup"},
    {Topic::kClear, "region clear", "", "forget the saved region"},
    {Topic::kLanguage, "language get", "", "print the request language"},
    {Topic::kLanguage, "language set", "TAG", "set the request language (like zh-CN or en-US)"},
    {Topic::kLanguage, "language clear", "", "forget the language; the system's is used"},
    {Topic::kCountry, "country set", "CODE", "check a country code and print its phone location code"},
};

const std::pair<int, const char*> kExitCodes[] = {
    {kExitOk, "success"},
    {kExitFailure, "other failure"},
    {kExitUsage, "usage error"},
    {kExitTransport, "transport failure"},
    {kExitService, "service error"},
    {kExitAnswer, "unreadable answer"},
    {kExitRefused, "refused by the gateway"},
    {kExitStatus, "other HTTP status (redirects are not followed)"},
    {kExitIncomplete, "incomplete answer"},
    {kExitNotSaved, "save failed"},
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
    if (entry.command != command || entry.synopsis == nullptr || entry.hidden) continue;
    if (keep != nullptr && !keep(entry)) continue;
    std::string line = std::string("  ") + entry.synopsis + "  ";
    if (line.size() < column) line.resize(column, ' ');
    std::string help = entry.help;
    if (entry.env != nullptr) help += std::string("\n$") + entry.env + " when not given";
    for (char c : help) {
      line += c;
      if (c == '\n') line.append(column, ' ');
    }
    text += line + "\n";
  }
  return text;
}

// `words` wrapped into lines of at most `width` characters, each line after
// the first indented by `indent`.
std::string Wrapped(const std::string& words, size_t width, size_t indent = 0) {
  std::string text, line;
  size_t start = 0;
  while (start < words.size()) {
    size_t end = words.find(' ', start);
    if (end == std::string::npos) end = words.size();
    const std::string word = words.substr(start, end - start);
    if (!line.empty() && line.size() + 1 + word.size() > width) {
      text += line + "\n";
      line = std::string(indent, ' ');
    }
    line += (line.empty() || line.back() == ' ' ? "" : " ") + word;
    start = end + 1;
  }
  return text + line + "\n";
}

std::string CommandList() {
  std::string text;
  for (const CommandSpec& entry : kCommands) {
    std::string left = std::string(entry.words) + (*entry.arguments != '\0' ? " " : "") + entry.arguments;
    left.resize(std::max<size_t>(left.size() + 1, 17), ' ');
    text += "  " + left + entry.summary + "\n";
  }
  return text;
}

std::string ExitCodeSentence() {
  std::string text = "Exit codes:";
  for (const auto& [code, meaning] : kExitCodes) {
    text += " " + std::to_string(code) + " " + meaning + (code == kExitNotSaved ? "." : ",");
  }
  return text;
}

const char kLookupUsageHead[] =
    "Usage: iotcloud [global options] region lookup <one identifier>\n"
    "\n"
    "Identifiers (exactly one):\n";

const char kLookupUsageTail[] =
    "\n"
    "Prints the observer's report, one line saying whether the region changed\n"
    "and why not, and, after an answer that named a region, that region. Needs\n"
    "--app-key and a secret. With --trace, each attempt's times count from its\n"
    "start, as curl -w shows them; with --json they are in \"attemptsTrace\", in\n"
    "microseconds.\n";

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

std::string MainUsage() {
  return "Usage: iotcloud [global options] <command> [options]\n\nCommands:\n" + CommandList() + "\nGlobal options:\n" +
         OptionList(Topic::kGlobal, 30) + "\n" + Wrapped(ExitCodeSentence(), 79);
}
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

// Edits that turn `a` into `b`: a character inserted, deleted or replaced,
// or two neighbours swapped.
size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

// The first word of each command ("region", "language", "country") once.
std::vector<std::string> CommandFirstWords() {
  std::vector<std::string> words;
  for (const CommandSpec& entry : kCommands) {
    const std::string first = std::string(entry.words).substr(0, std::string(entry.words).find(' '));
    if (std::find(words.begin(), words.end(), first) == words.end()) words.push_back(first);
  }
  return words;
}

// The second words of the commands that begin with `first`.
std::vector<std::string> CommandSecondWords(const std::string& first) {
  std::vector<std::string> words;
  for (const CommandSpec& entry : kCommands) {
    const std::string command = entry.words;
    if (command.compare(0, first.size() + 1, first + " ") == 0) words.push_back(command.substr(first.size() + 1));
  }
  return words;
}

// Text for the manual page: roff's special characters escaped, a line that
// would start with a control character protected.
std::string Roff(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else if (c == '\n') {
      out += ' ';
    } else {
      out += c;
    }
  }
  return (!out.empty() && (out[0] == '.' || out[0] == '\'')) ? "\\&" + out : out;
}

// One option as a tagged paragraph of the manual page.
std::string ManOption(const OptionSpec& entry) {
  std::string text = ".TP\n.B " + Roff(entry.synopsis) + "\n" + Roff(entry.help);
  if (entry.env != nullptr) text += "; from \\fB" + Roff(entry.env) + "\\fR when not given";
  return text + "\n";
}

// The words the completion offers as options for `command`.
std::string CompletionOptions(Topic command) {
  std::string words;
  for (const OptionSpec& entry : kOptionTable) {
    if (entry.hidden || (entry.command != Topic::kGlobal && entry.command != command)) continue;
    words += std::string(words.empty() ? "" : " ") + entry.name;
    if (entry.alias != nullptr) words += std::string(" ") + entry.alias;
  }
  return words;
}

}  // namespace

Options ParseCommandLine(int argc, char** argv) {
  Options options;
  std::vector<const OptionSpec*> given;
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
    if (entry == nullptr) {
      std::vector<std::string> names;
      for (const OptionSpec& candidate : kOptionTable) {
        if (!candidate.hidden) names.push_back(candidate.name);
      }
      const std::string nearest = Nearest(name, names);
      throw UsageError("unknown option " + name + (nearest.empty() ? "" : "; did you mean " + nearest + "?"),
                       Topic::kGlobal);
    }
    if (inlineValue && !entry->takesValue) throw UsageError(name + " takes no value", Topic::kGlobal);
    if (entry->takesValue && !inlineValue) {
      if (i + 1 >= argc) throw UsageError(name + " needs a value", Topic::kGlobal);
      value = argv[++i];
    }
    entry->apply(name, value, &options);
    given.push_back(entry);
  }
  if (options.help || options.version || !options.generate.empty()) return options;
  // The environment stands in for global options the command line left out.
  for (const OptionSpec& entry : kOptionTable) {
    if (entry.env == nullptr) continue;
    const bool set = std::any_of(given.begin(), given.end(), [&entry](const OptionSpec* other) {
      return other == &entry || (entry.group != 0 && other->group == entry.group);
    });
    const char* value = std::getenv(entry.env);
    if (!set && value != nullptr && *value != '\0') entry.apply(entry.env, value, &options);
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

std::string Nearest(const std::string& given, const std::vector<std::string>& candidates) {
  std::string best;
  size_t bestDistance = std::string::npos;
  bool tie = false;
  for (const std::string& candidate : candidates) {
    const size_t distance = EditDistance(given, candidate);
    if (distance < bestDistance) {
      best = candidate, bestDistance = distance, tie = false;
    } else if (distance == bestDistance && candidate != best) {
      tie = true;
    }
  }
  // Near enough to be a slip of the fingers: at most two edits, and at most
  // one for every three characters typed.
  return !tie && bestDistance <= 2 && bestDistance * 3 <= given.size() ? best : "";
}

std::string NearestCommand(const std::vector<std::string>& words) {
  if (words.empty()) return "";
  const std::vector<std::string> firsts = CommandFirstWords();
  const bool knownFirst = std::find(firsts.begin(), firsts.end(), words[0]) != firsts.end();
  const std::string first = knownFirst ? words[0] : Nearest(words[0], firsts);
  if (first.empty()) {
    // A command's second word alone ("lookup"), when only one command has it.
    std::string only;
    for (const CommandSpec& entry : kCommands) {
      const std::string command = entry.words;
      if (command.substr(command.find(' ') + 1) != words[0]) continue;
      if (!only.empty()) return "";
      only = command;
    }
    return only;
  }
  if (words.size() < 2) return knownFirst ? "" : first;
  const std::vector<std::string> seconds = CommandSecondWords(first);
  const bool knownSecond = std::find(seconds.begin(), seconds.end(), words[1]) != seconds.end();
  const std::string second = knownSecond ? words[1] : Nearest(words[1], seconds);
  if (second.empty()) return knownFirst ? "" : first;
  return knownFirst && knownSecond ? "" : first + " " + second;
}

std::string BashCompletion() {
  std::string valueCases, plainValues;
  for (const OptionSpec& entry : kOptionTable) {
    if (!entry.takesValue) continue;
    if (entry.values == nullptr) {
      plainValues += std::string(plainValues.empty() ? "" : "|") + entry.name;
    } else if (std::string(entry.values) == "FILE") {
      valueCases += std::string("    ") + entry.name + ") COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n";
    } else {
      valueCases += std::string("    ") + entry.name + ") COMPREPLY=($(compgen -W \"" + entry.values +
                    "\" -- \"$cur\")); return ;;\n";
    }
  }
  std::string commandCases;
  for (const std::string& first : CommandFirstWords()) {
    std::string seconds;
    for (const std::string& second : CommandSecondWords(first)) seconds += (seconds.empty() ? "" : " ") + second;
    commandCases += "    " + first + ") words=\"" + seconds + "\" ;;\n";
  }
  std::string firsts;
  for (const std::string& first : CommandFirstWords()) firsts += (firsts.empty() ? "" : " ") + first;
  std::string takesValue;
  for (const OptionSpec& entry : kOptionTable) {
    if (entry.takesValue) takesValue += std::string(takesValue.empty() ? "" : "|") + entry.name;
  }
  return "# bash completion for iotcloud, written by `iotcloud --bash-completion` from the\n"
         "# tool's own option table.\n"
         "_iotcloud() {\n"
         "  local cur=${COMP_WORDS[COMP_CWORD]} prev=\"\" command=\"\" words i\n"
         "  [ \"$COMP_CWORD\" -gt 0 ] && prev=${COMP_WORDS[COMP_CWORD-1]}\n"
         "  case \"$prev\" in\n" +
         valueCases + "    " + plainValues +
         ") COMPREPLY=(); return ;;\n"
         "  esac\n"
         "  # The command words typed so far, past the options and their values.\n"
         "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
         "    case \"${COMP_WORDS[i]}\" in\n"
         "      " +
         takesValue +
         ") ((i++)) ;;\n"
         "      -*) ;;\n"
         "      *) command=\"${command:+$command }${COMP_WORDS[i]}\" ;;\n"
         "    esac\n"
         "  done\n"
         "  if [[ $cur == -* ]]; then\n"
         "    case \"$command\" in\n"
         "      \"region lookup\"*) words=\"" +
         CompletionOptions(Topic::kLookup) +
         "\" ;;\n"
         "      *) words=\"" +
         CompletionOptions(Topic::kGlobal) +
         "\" ;;\n"
         "    esac\n"
         "  else\n"
         "    case \"$command\" in\n"
         "    \"\") words=\"" +
         firsts + "\" ;;\n" + commandCases +
         "    *) words=\"\" ;;\n"
         "    esac\n"
         "  fi\n"
         "  COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
         "}\n"
         "complete -F _iotcloud iotcloud\n";
}

std::string ManPage() {
  std::string text =
      ".\\\" The manual page of iotcloud, written by `iotcloud --man-page` from the\n"
      ".\\\" tool's own option table.\n"
      ".TH IOTCLOUD 1 \"\" \"iotcloud " IOTCLOUD_VERSION_STRING
      "\" \"User Commands\"\n"
      ".SH NAME\n"
      "iotcloud \\- look up the cloud region of an account; manage the request language and country\n"
      ".SH SYNOPSIS\n";
  for (const CommandSpec& entry : kCommands) {
    text += ".B iotcloud\n[\\fIglobal options\\fR] \\fB" + Roff(entry.words) + "\\fR" +
            (*entry.arguments != '\0' ? " \\fI" + Roff(entry.arguments) + "\\fR" : "") +
            (entry.topic == Topic::kLookup ? " \\fIidentifier\\fR [\\fIoptions\\fR]" : "") + "\n.br\n";
  }
  text +=
      ".SH DESCRIPTION\n"
      "\\fBiotcloud\\fR asks the cloud's API gateway, through one signed HTTPS request, which cloud region "
      "serves an account, keeps that region in its cache for the next start, and sets the language that "
      "requests carry. Everything that came from the gateway or the cache is printed escaped, so that no "
      "answer can act on the terminal.\n"
      ".SH COMMANDS\n";
  for (const CommandSpec& entry : kCommands) {
    text += ".TP\n.B " + Roff(std::string(entry.words) + (*entry.arguments != '\0' ? " " : "") + entry.arguments) +
            "\n" + Roff(entry.summary) + "\n";
  }
  text += ".SH GLOBAL OPTIONS\n";
  for (const OptionSpec& entry : kOptionTable) {
    if (entry.command == Topic::kGlobal && entry.synopsis != nullptr && !entry.hidden) text += ManOption(entry);
  }
  text += ".SH REGION LOOKUP OPTIONS\nExactly one identifier:\n";
  for (const OptionSpec& entry : kOptionTable) {
    if (entry.command == Topic::kLookup && entry.synopsis != nullptr) text += ManOption(entry);
  }
  text += ".SH ENVIRONMENT\n";
  for (const OptionSpec& entry : kOptionTable) {
    if (entry.env == nullptr) continue;
    text += ".TP\n.B " + Roff(entry.env) + "\nstands in for \\fB" + Roff(entry.name) + "\\fR when the command line ";
    text += entry.group != 0 ? "gives no option of its kind.\n" : "does not give it.\n";
  }
  text +=
      ".TP\n.B https_proxy\\fR, \\fBALL_PROXY\\fR, \\fBNO_PROXY\n"
      "are read by libcurl unless \\fB\\-\\-proxy\\fR or \\fB\\-\\-no\\-proxy\\fR is given.\n"
      ".SH EXIT STATUS\n";
  for (const auto& [code, meaning] : kExitCodes) {
    text += ".TP\n.B " + std::to_string(code) + "\n" + Roff(meaning) + "\n";
  }
  text +=
      ".SH FILES\n.TP\n.I ~/.cache/iotcloud/cache.db\nthe cache (\\fB$XDG_CACHE_HOME\\fR/iotcloud/cache.db when set)\n";
  return text;
}

}  // namespace cli
}  // namespace iotcloud
