// iotcloud: looks up, shows and clears the cloud region of an account, and
// manages the request language and country, through the iotcloud library.
//
// It is a host application in miniature: it installs the default platform
// (SQLite cache, HMAC-SHA1 signer) with the given key and secret, hands the
// start-up configuration over, starts the runtime, restores the saved region,
// sets an observer and runs one command.

#include <cjson/cJSON.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/api/smart/framework/IotAsyncManager.h"
#include "core/api/smart/framework/IotCacheManager.h"
#include "core/api/smart/framework/IotGlobalActivation.h"
#include "core/api/smart/framework/IotLanguageManager.h"
#include "core/api/smart/framework/IotRegionInfo.h"
#include "core/api/smart/framework/IotSmartCountryManager.h"
#include "core/io/network/http/AsyncHttpRequest.h"
#include "core/support/DeploymentConfig.h"
#include "core/support/PlatformServices.h"
#include "core/support/TovoLog.h"
#include "core/support/UntrustedText.h"
#include "common/BoundedFile.h"
#include "platform/DefaultPlatform.h"

namespace {

// Exit codes.
enum ExitCode {
  kExitOk = 0,
  kExitFailure = 1,    // anything else that went wrong (e.g. the cache)
  kExitUsage = 2,      // bad command line or unreadable input file
  kExitTransport = 3,  // the request did not reach the gateway, or no answer came
  kExitService = 4,    // the gateway or the account service refused the request
  kExitAnswer = 5,     // the answer was not a region lookup response
};

const char kVersion[] = "0.1.0";

// Largest files taken: a secret is a line; a CA bundle is a few hundred KiB.
constexpr size_t kMaxSecretFileBytes = 4096;
constexpr size_t kMaxCaFileBytes = 4 << 20;

const char kMainUsage[] =
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
    "Global options:\n"
    "  --gateway HOST[:PORT]       API gateway host (default " IOTCLOUD_DEFAULT_API_GATEWAY_HOST ")\n"
    "  --iot-api-host HOST[:PORT]  IoT API host of the Shanghai region, for country lookups\n"
    "                              other than CN (default: the --gateway value if given,\n"
    "                              else " IOTCLOUD_DEFAULT_SHANGHAI_IOT_API_HOST ")\n"
    "  --app-key KEY               gateway application key\n"
    "  --app-secret SECRET         application secret the requests are signed with\n"
    "  --app-secret-file FILE      read the secret from FILE instead (first line;\n"
    "                              a regular file of at most 4 KiB)\n"
    "  --ca-file FILE              PEM certificates to verify the gateway with, at\n"
    "                              most 4 MiB (default: the system's trust store)\n"
    "  --cache FILE                cache database (default ~/.cache/iotcloud/cache.db)\n"
    "  --stage prod|pre|test       gateway environment stage (default prod)\n"
    "  --timeout-ms N              time limit of one request (default 20000)\n"
    "  --log-level N               library log level: 1 trace, 2 events, 3 warnings,\n"
    "                              4 failures (default), 5 silent\n"
    "  --json                      machine-readable output\n"
    "  -h, --help                  this text; after a command, that command's help\n"
    "  --version                   the tool's version\n"
    "\n"
    "Exit codes: 0 success, 1 other failure, 2 usage error, 3 transport failure,\n"
    "4 service error, 5 unreadable answer.\n";

const char kLookupUsage[] =
    "Usage: iotcloud [global options] region lookup <one identifier>\n"
    "\n"
    "Identifiers (exactly one):\n"
    "  --email ADDRESS                       by e-mail address\n"
    "  --phone NUMBER --location-code CODE   by phone number and its calling code (86)\n"
    "  --login-id ID [--location-code CODE]  e-mail if ID holds '@', else phone number\n"
    "  --country CODE                        by country code (CN)\n"
    "  --auth-code CODE                      by an external login's authorisation code\n"
    "\n"
    "Prints the observer's report, one line saying whether the region changed\n"
    "and why not, and the current region. Needs --app-key and a secret.\n";

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

struct Options {
  std::string gateway;
  std::string iotApiHost;
  std::string appKey;
  std::string appSecret;
  bool haveSecret = false;
  std::string caFile;
  std::string cacheFile;
  int stage = 0;
  long timeoutMs = 0;
  int logLevel = 4;
  bool json = false;
  bool help = false;
  bool version = false;
  // Lookup identifiers, by option name.
  std::map<std::string, std::string> identifiers;
  std::vector<std::string> words;  // the command and its arguments
};

class UsageError : public std::runtime_error {
 public:
  UsageError(const std::string& message, const char* usage) : std::runtime_error(message), usage_(usage) {}
  const char* usage() const { return usage_; }

 private:
  const char* usage_;
};

// The text of a file named by `option`, or a usage error saying why not.
std::string ReadOptionFile(const std::string& option, const std::string& what, const std::string& path,
                           size_t maxBytes) {
  std::string text, error;
  if (!iotcloud::tools::ReadBoundedFile(path, maxBytes, &text, &error)) {
    throw UsageError(option + ": cannot read the " + what + " " + path + ": " + error,
                     kMainUsage);
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

long ParseNumber(const std::string& option, const std::string& value, long low, long high) {
  char* end = nullptr;
  errno = 0;
  long number = std::strtol(value.c_str(), &end, 10);
  if (value.empty() || *end != '\0' || errno != 0 || number < low || number > high) {
    throw UsageError(option + " wants a whole number from " + std::to_string(low) + " to " +
                         std::to_string(high) + ", not '" + value + "'",
                     kMainUsage);
  }
  return number;
}

Options ParseCommandLine(int argc, char** argv) {
  Options options;
  static const char* const kIdentifiers[] = {"--email", "--phone", "--location-code", "--login-id", "--country",
                                             "--auth-code"};
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--") {
      for (++i; i < argc; ++i) options.words.push_back(argv[i]);
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') {
      options.words.push_back(arg);
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      options.help = true;
      continue;
    }
    if (arg == "--json") {
      options.json = true;
      continue;
    }
    if (arg == "--version") {
      options.version = true;
      continue;
    }
    // Options with a value: "--name value" or "--name=value".
    std::string name = arg;
    std::string value;
    bool haveValue = false;
    if (size_t equals = arg.find('='); equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
      haveValue = true;
    }
    static const char* const kValued[] = {"--gateway", "--iot-api-host", "--app-key", "--app-secret",
                                          "--app-secret-file", "--ca-file", "--cache", "--stage",
                                          "--timeout-ms", "--log-level"};
    bool known = false;
    for (const char* candidate : kValued) known = known || name == candidate;
    for (const char* candidate : kIdentifiers) known = known || name == candidate;
    if (!known) throw UsageError("unknown option " + name, kMainUsage);
    if (!haveValue) {
      if (i + 1 >= argc) throw UsageError(name + " needs a value", kMainUsage);
      value = argv[++i];
    }

    if (name == "--gateway" || name == "--iot-api-host") {
      if (!IsHostAndPort(value)) {
        throw UsageError(name + " wants HOST or HOST:PORT (IPv6 as [ADDRESS]:PORT), not '" +
                             value + "'",
                         kMainUsage);
      }
      (name == "--gateway" ? options.gateway : options.iotApiHost) = value;
    } else if (name == "--app-key") {
      options.appKey = value;
    } else if (name == "--app-secret") {
      options.appSecret = value;
      options.haveSecret = true;
    } else if (name == "--app-secret-file") {
      const std::string text = ReadOptionFile(name, "secret file", value, kMaxSecretFileBytes);
      options.appSecret = text.substr(0, text.find_first_of("\r\n"));
      options.haveSecret = true;
    } else if (name == "--ca-file") {
      const std::string text = ReadOptionFile(name, "CA file", value, kMaxCaFileBytes);
      if (text.find("-----BEGIN CERTIFICATE-----") == std::string::npos) {
        throw UsageError("the CA file " + value + " holds no PEM certificate", kMainUsage);
      }
      options.caFile = value;
    } else if (name == "--cache") {
      options.cacheFile = value;
    } else if (name == "--stage") {
      if (value == "prod") {
        options.stage = 0;
      } else if (value == "pre") {
        options.stage = 1;
      } else if (value == "test") {
        options.stage = 2;
      } else {
        throw UsageError("--stage is prod, pre or test, not '" + value + "'", kMainUsage);
      }
    } else if (name == "--timeout-ms") {
      options.timeoutMs = ParseNumber(name, value, 1, 600000);
    } else if (name == "--log-level") {
      options.logLevel = static_cast<int>(ParseNumber(name, value, 1, 5));
    } else {
      if (options.identifiers.count(name)) throw UsageError(name + " given twice", kLookupUsage);
      // The library sends identifiers as they are given; the gateway reads
      // them as UTF-8 text.
      if (!iotcloud::IsValidUtf8(value)) throw UsageError(name + " is not valid UTF-8 text", kLookupUsage);
      options.identifiers[name] = value;
    }
  }
  return options;
}

// Text from the gateway or the cache as the tool prints it: control
// characters and bytes that are not UTF-8 escaped, so that no answer can
// retitle the terminal, clear it or forge a line of the tool's output.
std::string Shown(const std::string& text) { return iotcloud::EscapeUntrusted(text); }

// Collects what the observer hears; it runs on the library's HTTP thread.
class Observer : public IIotGlobalActivationCallback {
 public:
  explicit Observer(bool json) : json_(json) {}
  void OnRegionInfoChanged(const IotRegionInfo& regionInfo) override {
    std::lock_guard<std::mutex> lock(mutex_);
    reports_.push_back(regionInfo);
    if (!json_) {
      std::printf("observer: region changed to %s (%s)\n", Shown(regionInfo.getRegionId()).c_str(),
                  Shown(regionInfo.getRegionEnglishName()).c_str());
      std::fflush(stdout);
    }
  }
  std::vector<IotRegionInfo> reports() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
  }

 private:
  const bool json_;
  std::mutex mutex_;
  std::vector<IotRegionInfo> reports_;  // guarded by mutex_
};

std::vector<std::pair<const char*, std::string>> RegionFields(const IotRegionInfo& region) {
  return {{"regionId", region.getRegionId()},
          {"mqttEndpoint", region.getMqttEndpoint()},
          {"apiGatewayEndpoint", region.getApiGatewayEndpoint()},
          {"oaApiGatewayEndpoint", region.getOaApiGatewayEndpoint()},
          {"regionEnglishName", region.getRegionEnglishName()},
          {"pushChannelEndpoint", region.getPushChannelEndpoint()},
          {"shortRegionId", region.getShortRegionId()}};
}

void PrintRegionTable(const IotRegionInfo& region) {
  for (const auto& [name, value] : RegionFields(region)) {
    std::printf("  %-22s %s\n", name, Shown(value).c_str());
  }
}

cJSON* RegionJson(const IotRegionInfo& region) {
  cJSON* object = cJSON_CreateObject();
  for (const auto& [name, value] : RegionFields(region)) cJSON_AddStringToObject(object, name, value.c_str());
  return object;
}

// Prints `object` and deletes it. Strings may hold any bytes the gateway
// sent: the output is made valid UTF-8 with every control character escaped.
void PrintJson(cJSON* object) {
  char* text = cJSON_Print(object);
  if (text != nullptr) std::printf("%s\n", iotcloud::MakeJsonTerminalSafe(text).c_str());
  cJSON_free(text);
  cJSON_Delete(object);
}

// The default platform, watched: remembers whether a cache write failed, so
// that the tool can say a change was not saved. Called on the HTTP manager
// thread (region saves) and on the main thread.
class WatchedPlatform : public PlatformServices {
 public:
  explicit WatchedPlatform(std::shared_ptr<iotcloud::DefaultPlatform> real) : real_(std::move(real)) {}
  std::string getSystemLanguage() override { return real_->getSystemLanguage(); }
  std::string getApplicationKey() override { return real_->getApplicationKey(); }
  std::string signString(std::string text, int method) override { return real_->signString(std::move(text), method); }
  bool writeCache(std::string key, std::string storedText) override {
    const bool written = real_->writeCache(std::move(key), std::move(storedText));
    if (!written) writeFailed_ = true;
    return written;
  }
  std::string readCache(std::string key) override { return real_->readCache(std::move(key)); }
  std::string encodeCacheValue(std::string value) override { return real_->encodeCacheValue(std::move(value)); }
  std::string decodeCacheValue(std::string storedText) override {
    return real_->decodeCacheValue(std::move(storedText));
  }

  iotcloud::DefaultPlatform& real() { return *real_; }
  bool writeFailed() const { return writeFailed_.load(); }

 private:
  const std::shared_ptr<iotcloud::DefaultPlatform> real_;
  std::atomic<bool> writeFailed_{false};
};

// The library's settings, platform and runtime for one command; stops the
// runtime again on destruction.
class Session {
 public:
  explicit Session(const Options& options) {
    iotcloud::SetLogMinLevel(options.logLevel);
    iotcloud::DefaultPlatformOptions platform;
    platform.cachePath = options.cacheFile;
    platform.applicationKey = options.appKey;
    platform.applicationSecret = options.appSecret;
    cachePath_ = options.cacheFile.empty() ? iotcloud::DefaultPlatform::DefaultCachePath() : options.cacheFile;
    services_ = std::make_shared<WatchedPlatform>(std::make_shared<iotcloud::DefaultPlatform>(platform));
    cacheOpen_ = services_->real().cacheIsOpen();
    setSharedPlatformImpl(services_);

    IotSmartInitConfig config;
    config.env = options.stage;
    config.appKey = options.appKey;
    IotCacheManager::getInstance()->setSmartInitConfig(config);

    std::string gateway = options.gateway.empty() ? IOTCLOUD_DEFAULT_API_GATEWAY_HOST : options.gateway;
    std::string iotApi = !options.iotApiHost.empty() ? options.iotApiHost
                         : !options.gateway.empty() ? options.gateway
                                                    : IOTCLOUD_DEFAULT_SHANGHAI_IOT_API_HOST;
    IotGlobalActivation::getInstance()->setGatewayHosts(gateway, iotApi);
  }

  void startRuntime(const Options& options) {
    AsyncHttpRequestManage* manage = IotAsyncManager::getInstance()->getAsyncHttpRequestManage();
    AsyncHttpOptions http = manage->GetHttpOptions();
    http.caFile = options.caFile;
    if (options.timeoutMs > 0) {
      http.totalTimeoutMs = options.timeoutMs;
      if (http.connectTimeoutMs > options.timeoutMs) http.connectTimeoutMs = options.timeoutMs;
    }
    manage->SetHttpOptions(http);
    IotAsyncManager::getInstance()->init();
    running_ = true;
  }

  ~Session() {
    if (running_) IotAsyncManager::getInstance()->deInit();
    setSharedPlatformImpl(nullptr);
  }

  bool cacheOpen() const { return cacheOpen_; }
  bool cacheWritable() { return services_->real().cacheIsWritable(); }
  // True once a write to the cache has failed in this session.
  bool writeFailed() const { return services_->writeFailed(); }

  // Checks that the cache can take what the command will save; prints why not.
  bool CanSave() {
    if (!cacheOpen_) {
      std::fprintf(stderr, "iotcloud: the cache %s cannot be opened\n", Shown(cachePath_).c_str());
      return false;
    }
    if (!cacheWritable()) {
      std::fprintf(stderr, "iotcloud: the cache %s is read-only; nothing could be saved\n", Shown(cachePath_).c_str());
      return false;
    }
    return true;
  }
  // After the command: false, with a message, when a write failed.
  bool Saved(const char* what) {
    if (!writeFailed()) return true;
    std::fprintf(stderr, "iotcloud: %s could not be saved in the cache %s (see the log above)\n", what,
                 Shown(cachePath_).c_str());
    return false;
  }

 private:
  std::shared_ptr<WatchedPlatform> services_;
  std::string cachePath_;
  bool cacheOpen_ = false;
  bool running_ = false;
};

int ExitCodeFor(IotGlobalActivation::LookupOutcome outcome) {
  using Outcome = IotGlobalActivation::LookupOutcome;
  switch (outcome) {
    case Outcome::kChanged:
    case Outcome::kUnchanged:
      return kExitOk;
    case Outcome::kServiceError:
      return kExitService;
    case Outcome::kUnreadableAnswer:
      return kExitAnswer;
    case Outcome::kTransportFailure:
    case Outcome::kNotSent:
      return kExitTransport;
    case Outcome::kNone:
      break;
  }
  return kExitFailure;
}

int RunLookup(const Options& options) {
  const auto& ids = options.identifiers;
  auto has = [&](const char* name) { return ids.count(name) != 0; };
  int kinds = has("--email") + has("--phone") + has("--login-id") + has("--country") + has("--auth-code");
  if (kinds == 0) throw UsageError("region lookup needs one identifier", kLookupUsage);
  if (kinds > 1) throw UsageError("region lookup takes exactly one identifier", kLookupUsage);
  if (has("--phone") && !has("--location-code")) {
    throw UsageError("--phone needs --location-code (the calling code, such as 86)", kLookupUsage);
  }
  if (has("--location-code") && !has("--phone") && !has("--login-id")) {
    throw UsageError("--location-code goes with --phone or --login-id", kLookupUsage);
  }
  if (options.appKey.empty()) throw UsageError("region lookup needs --app-key", kLookupUsage);
  if (!options.haveSecret) throw UsageError("region lookup needs --app-secret or --app-secret-file", kLookupUsage);

  Session session(options);
  // Every answer is saved; a lookup whose result cannot be kept is refused
  // before it is sent.
  if (!session.CanSave()) return kExitFailure;
  session.startRuntime(options);
  IotGlobalActivation* activation = IotGlobalActivation::getInstance();
  activation->init();
  const IotRegionInfo before = activation->getRegionInfo();
  Observer observer(options.json);
  activation->setIotGlobalActivationCallback(&observer);

  auto value = [&](const char* name) { return ids.at(name); };
  if (has("--email")) {
    activation->regionGetByEmail(value("--email"));
  } else if (has("--phone")) {
    activation->regionGetByPhone(value("--location-code"), value("--phone"));
  } else if (has("--login-id")) {
    activation->regionGetByLoginId(value("--login-id"), has("--location-code") ? value("--location-code") : "");
  } else if (has("--country")) {
    activation->regionGetByCountryCode(value("--country"));
  } else {
    activation->regionGetByAuthCode(value("--auth-code"));
  }
  activation->setIotGlobalActivationCallback(nullptr);

  const IotGlobalActivation::LookupResult result = activation->getLastLookupResult();
  const IotRegionInfo region = activation->getRegionInfo();
  const bool saved = !session.writeFailed();
  if (options.json) {
    cJSON* out = cJSON_CreateObject();
    cJSON_AddStringToObject(out, "outcome", IotGlobalActivation::OutcomeName(result.outcome));
    cJSON_AddStringToObject(out, "detail", result.detail.c_str());
    if (result.outcome == IotGlobalActivation::LookupOutcome::kServiceError) {
      cJSON_AddNumberToObject(out, "serviceCode", result.serviceCode);
      cJSON_AddStringToObject(out, "serviceMessage", result.serviceMessage.c_str());
    }
    if (result.outcome == IotGlobalActivation::LookupOutcome::kTransportFailure) {
      cJSON_AddNumberToObject(out, "curlCode", result.curlCode);
    }
    cJSON_AddStringToObject(out, "previousRegionId", before.getRegionId().c_str());
    cJSON_AddBoolToObject(out, "saved", saved);
    cJSON* reports = cJSON_AddArrayToObject(out, "observer");
    for (const IotRegionInfo& report : observer.reports()) cJSON_AddItemToArray(reports, RegionJson(report));
    cJSON_AddItemToObject(out, "region", RegionJson(region));
    PrintJson(out);
  } else {
    switch (result.outcome) {
      case IotGlobalActivation::LookupOutcome::kChanged:
        std::printf("region changed: %s -> %s\n", Shown(before.getRegionId()).c_str(),
                    Shown(region.getRegionId()).c_str());
        break;
      case IotGlobalActivation::LookupOutcome::kUnchanged:
        std::printf("region unchanged: the gateway answered the current region %s\n",
                    Shown(region.getRegionId()).c_str());
        break;
      default:
        // The detail may quote the service's message: a line, not a page.
        std::printf("region unchanged: %s\n", iotcloud::EscapeUntrustedExcerpt(result.detail, 512).c_str());
        break;
    }
    PrintRegionTable(region);
  }
  std::fflush(stdout);
  if (!session.Saved("the region")) return kExitFailure;
  return ExitCodeFor(result.outcome);
}

int RunShow(const Options& options) {
  Session session(options);
  IotGlobalActivation* activation = IotGlobalActivation::getInstance();
  const bool restored = activation->init();
  const IotRegionInfo region = activation->getRegionInfo();
  if (options.json) {
    cJSON* out = cJSON_CreateObject();
    cJSON_AddBoolToObject(out, "saved", restored);
    cJSON_AddItemToObject(out, "region", RegionJson(region));
    PrintJson(out);
  } else {
    std::printf("%s\n", restored ? "saved region (restored from the cache):"
                                 : "no saved region; the defaults are in use:");
    PrintRegionTable(region);
  }
  return session.cacheOpen() ? kExitOk : kExitFailure;
}

int RunClear(const Options& options) {
  Session session(options);
  if (!session.CanSave()) return kExitFailure;
  IotGlobalActivation::getInstance()->saveRegionInfoToCache(true);
  if (!session.Saved("the cleared region")) return kExitFailure;
  if (options.json) {
    cJSON* out = cJSON_CreateObject();
    cJSON_AddBoolToObject(out, "cleared", true);
    PrintJson(out);
  } else {
    std::printf("region cleared\n");
  }
  return kExitOk;
}

int RunLanguage(const Options& options) {
  if (options.words.size() < 2) throw UsageError("language needs get, set or clear", kLanguageUsage);
  const std::string& verb = options.words[1];
  const size_t expected = verb == "set" ? 3 : 2;
  if ((verb != "get" && verb != "set" && verb != "clear")) {
    throw UsageError("unknown language command '" + verb + "'", kLanguageUsage);
  }
  if (options.words.size() != expected) {
    throw UsageError(verb == "set" ? "language set needs one TAG" : "language " + verb + " takes no argument",
                     kLanguageUsage);
  }
  if (verb == "set" && !IotLanguageManager::isValidLanguage(options.words[2])) {
    throw UsageError("'" + options.words[2] + "' is no language tag; the form is like zh-CN or en-US",
                     kLanguageUsage);
  }
  Session session(options);
  if (verb == "get" ? !session.cacheOpen() : !session.CanSave()) {
    if (verb == "get") std::fprintf(stderr, "iotcloud: the cache cannot be opened\n");
    return kExitFailure;
  }
  IotLanguageManager* languages = IotLanguageManager::getInstance();
  if (verb == "set") {
    languages->setLanguage(options.words[2]);
  } else if (verb == "clear") {
    languages->clearLanguage();
  }
  if (!session.Saved("the language")) return kExitFailure;
  const std::string language = languages->getLanguage();
  if (options.json) {
    cJSON* out = cJSON_CreateObject();
    cJSON_AddStringToObject(out, "language", language.c_str());
    PrintJson(out);
  } else {
    std::printf("%s\n", Shown(language).c_str());
  }
  return kExitOk;
}

int RunCountry(const Options& options) {
  if (options.words.size() != 3 || options.words[1] != "set") {
    throw UsageError("country wants: set CODE", kCountryUsage);
  }
  IotSmartCountryManager* countries = IotSmartCountryManager::getInstance();
  const bool known = countries->setCountryCode(options.words[2]);
  const std::string code = countries->getCountryCode();
  const std::string phone = countries->getPhoneLocationCode();
  if (options.json) {
    cJSON* out = cJSON_CreateObject();
    cJSON_AddBoolToObject(out, "known", known);
    cJSON_AddStringToObject(out, "countryCode", code.c_str());
    cJSON_AddStringToObject(out, "phoneLocationCode", phone.c_str());
    PrintJson(out);
  } else if (known) {
    std::printf("%s %s\n", code.c_str(), phone.c_str());
  } else {
    std::printf("%s %s\n", code.c_str(), phone.c_str());
    std::fprintf(stderr, "iotcloud: '%s' is not a known country code; using %s (%s)\n",
                 Shown(options.words[2]).c_str(),
                 code.c_str(), phone.c_str());
  }
  return known ? kExitOk : kExitUsage;
}

const char* UsageFor(const std::vector<std::string>& words) {
  if (words.empty()) return kMainUsage;
  if (words[0] == "region" && words.size() > 1) {
    if (words[1] == "lookup") return kLookupUsage;
    if (words[1] == "show") return kShowUsage;
    if (words[1] == "clear") return kClearUsage;
  }
  if (words[0] == "language") return kLanguageUsage;
  if (words[0] == "country") return kCountryUsage;
  return kMainUsage;
}

// The command whose --help the usage text belongs to.
const char* HintFor(const char* usage) {
  if (usage == kLookupUsage) return "iotcloud region lookup";
  if (usage == kShowUsage) return "iotcloud region show";
  if (usage == kClearUsage) return "iotcloud region clear";
  if (usage == kLanguageUsage) return "iotcloud language";
  if (usage == kCountryUsage) return "iotcloud country";
  return "iotcloud";
}

int Run(const Options& options) {
  const auto& words = options.words;
  if (words.empty()) throw UsageError("no command given", kMainUsage);
  if (!options.identifiers.empty() && !(words.size() >= 2 && words[0] == "region" && words[1] == "lookup")) {
    throw UsageError(options.identifiers.begin()->first + " belongs to region lookup", kMainUsage);
  }
  if (words[0] == "region") {
    if (words.size() != 2) throw UsageError("region wants one of lookup, show, clear", kMainUsage);
    if (words[1] == "lookup") return RunLookup(options);
    if (words[1] == "show") return RunShow(options);
    if (words[1] == "clear") return RunClear(options);
    throw UsageError("unknown region command '" + words[1] + "'", kMainUsage);
  }
  if (words[0] == "language") return RunLanguage(options);
  if (words[0] == "country") return RunCountry(options);
  throw UsageError("unknown command '" + words[0] + "'", kMainUsage);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    Options options = ParseCommandLine(argc, argv);
    if (options.version) {
      std::printf("iotcloud %s\n", kVersion);
      return kExitOk;
    }
    if (options.help) {
      std::fputs(UsageFor(options.words), stdout);
      return kExitOk;
    }
    return Run(options);
  } catch (const UsageError& error) {
    std::fprintf(stderr, "iotcloud: %s\nTry '%s --help'.\n", Shown(error.what()).c_str(), HintFor(error.usage()));
    return kExitUsage;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "iotcloud: %s\n", Shown(error.what()).c_str());
    return kExitFailure;
  }
}
