#include "cli/Commands.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "cli/Output.h"
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
#include "platform/DefaultPlatform.h"

namespace iotcloud {
namespace cli {
namespace {

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
                         : !options.gateway.empty()  ? options.gateway
                                                     : IOTCLOUD_DEFAULT_SHANGHAI_IOT_API_HOST;
    IotGlobalActivation::getInstance()->setGatewayHosts(gateway, iotApi);
  }

  void startRuntime(const Options& options) {
    AsyncHttpRequestManage* manage = IotAsyncManager::getInstance()->getAsyncHttpRequestManage();
    AsyncHttpOptions http = manage->GetHttpOptions();
    http.caFile = options.caFile;
    http.proxy = options.proxy;
    if (options.timeoutMs > 0) {
      http.totalTimeoutMs = options.timeoutMs;
      if (http.connectTimeoutMs > options.timeoutMs) http.connectTimeoutMs = options.timeoutMs;
    }
    if (options.trace) {
      trace_ = std::make_shared<TransferTrace>();
      http.transferObserver = trace_;
    }
    manage->SetHttpOptions(http);
    IotAsyncManager::getInstance()->init();
    running_ = true;
  }

  // --trace: the lookup's POSTs in the order they ended. Stops the runtime
  // first: once the HTTP manager thread is joined, every record is in (a
  // record follows the callback that releases the lookup).
  std::vector<IotTransferRecord> TakeTrace() {
    if (running_) IotAsyncManager::getInstance()->deInit();
    running_ = false;
    std::vector<IotTransferRecord> posts;
    if (!trace_) return posts;
    for (IotTransferRecord& record : trace_->records()) {
      if (!record.head && record.type == ASYNC_HTTP_REQ_REGION_GET) posts.push_back(std::move(record));
    }
    return posts;
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
    PrintNotSaved(what);
    return false;
  }
  void PrintNotSaved(const char* what) {
    std::fprintf(stderr, "iotcloud: %s could not be saved in the cache %s (see the log above)\n", what,
                 Shown(cachePath_).c_str());
  }

 private:
  std::shared_ptr<WatchedPlatform> services_;
  std::shared_ptr<TransferTrace> trace_;  // --trace only
  std::string cachePath_;
  bool cacheOpen_ = false;
  bool running_ = false;
};

// "; did you mean 'region lookup'?" for command words that name no
// command; empty when nothing is near.
std::string DidYouMean(const std::vector<std::string>& words) {
  const std::string nearest = NearestCommand(words);
  return nearest.empty() ? "" : "; did you mean '" + nearest + "'?";
}

// libcurl's codes for a server certificate that could not be verified (60),
// CA certificates that could not be read (77) and a failed issuer check (83).
bool IsTlsVerificationFailure(int curlCode) { return curlCode == 60 || curlCode == 77 || curlCode == 83; }

// After a failed TLS verification: what to try.
void PrintTlsHint(const Options& options) {
  if (options.caFile.empty()) {
    std::fprintf(stderr,
                 "iotcloud: the gateway's certificate is not trusted by this system; give the certificate of the CA "
                 "that signed it with --ca-file FILE (or IOTCLOUD_CA_FILE)\n");
  } else {
    std::fprintf(stderr,
                 "iotcloud: the gateway's certificate was not verified against --ca-file %s; is that the CA that "
                 "signed it?\n",
                 Shown(options.caFile).c_str());
  }
}

int ExitCodeFor(IotGlobalActivation::LookupOutcome outcome) {
  using Outcome = IotGlobalActivation::LookupOutcome;
  switch (outcome) {
    case Outcome::kChanged:
    case Outcome::kUnchanged: return kExitOk;
    case Outcome::kServiceError: return kExitService;
    case Outcome::kUnreadableAnswer: return kExitAnswer;
    case Outcome::kGatewayRefused: return kExitRefused;
    case Outcome::kHttpStatus: return kExitStatus;
    case Outcome::kIncompleteAnswer: return kExitIncomplete;
    case Outcome::kTransportFailure:
    case Outcome::kNotSent: return kExitTransport;
    case Outcome::kNone:
    case Outcome::kCancelled: break;  // the tool never cancels
  }
  return kExitFailure;
}

// Throws UsageError unless the options name exactly one identifier (with the
// location code where it belongs) and the key and secret to sign with.
void CheckLookupOptions(const Options& options) {
  auto has = [&](const char* name) { return options.identifiers.count(name) != 0; };
  int kinds = has("--email") + has("--phone") + has("--login-id") + has("--country") + has("--auth-code");
  if (kinds == 0) throw UsageError("region lookup needs one identifier", Topic::kLookup);
  if (kinds > 1) throw UsageError("region lookup takes exactly one identifier", Topic::kLookup);
  if (has("--phone") && !has("--location-code")) {
    throw UsageError("--phone needs --location-code (the calling code, such as 86)", Topic::kLookup);
  }
  if (has("--location-code") && !has("--phone") && !has("--login-id")) {
    throw UsageError("--location-code goes with --phone or --login-id", Topic::kLookup);
  }
  if (options.appKey.empty()) throw UsageError("region lookup needs --app-key", Topic::kLookup);
  if (!options.haveSecret) throw UsageError("region lookup needs --app-secret or --app-secret-file", Topic::kLookup);
}

// Runs the one lookup the identifiers ask for; returns when it was handled.
void SendLookup(const std::map<std::string, std::string>& ids, IotGlobalActivation* activation) {
  auto has = [&](const char* name) { return ids.count(name) != 0; };
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
}

int RunLookup(const Options& options) {
  CheckLookupOptions(options);
  Session session(options);
  // Every answer is saved; a lookup whose result cannot be kept is refused
  // before it is sent.
  if (!session.CanSave()) return kExitFailure;
  session.startRuntime(options);
  IotGlobalActivation* activation = IotGlobalActivation::getInstance();
  activation->init();
  if (options.attempts > 0) {
    IotGlobalActivation::RetryPolicy policy = activation->getRetryPolicy();
    policy.maxAttempts = options.attempts;
    activation->setRetryPolicy(policy);
  }
  LookupReport report;
  report.before = activation->getRegionInfo();
  Observer observer(options.json);
  activation->setIotGlobalActivationCallback(&observer);
  SendLookup(options.identifiers, activation);
  activation->setIotGlobalActivationCallback(nullptr);

  report.result = activation->getLastLookupResult();
  report.region = activation->getRegionInfo();
  report.clockOffsetMs = activation->getClockOffsetMs();
  report.saved = !report.result.saveFailed && !session.writeFailed();
  report.observed = observer.reports();
  if (options.trace) {
    report.trace = true;
    report.attempts = session.TakeTrace();
  }
  PrintLookupReport(report, options.json);
  std::fflush(stdout);
  if (report.result.outcome == IotGlobalActivation::LookupOutcome::kTransportFailure &&
      IsTlsVerificationFailure(report.result.curlCode)) {
    PrintTlsHint(options);
  }
  if (!report.saved) {
    session.PrintNotSaved("the region");
    return kExitNotSaved;
  }
  return ExitCodeFor(report.result.outcome);
}

int RunShow(const Options& options) {
  Session session(options);
  IotGlobalActivation* activation = IotGlobalActivation::getInstance();
  const bool restored = activation->init();
  const IotRegionInfo region = activation->getRegionInfo();
  if (options.json) {
    JsonPtr out(cJSON_CreateObject());
    cJSON_AddBoolToObject(out.get(), "saved", restored);
    cJSON_AddItemToObject(out.get(), "region", RegionJson(region).release());
    PrintJson(out);
  } else {
    std::printf("%s\n",
                restored ? "saved region (restored from the cache):" : "no saved region; the defaults are in use:");
    PrintRegionTable(region);
  }
  return session.cacheOpen() ? kExitOk : kExitFailure;
}

int RunClear(const Options& options) {
  Session session(options);
  if (!session.CanSave()) return kExitFailure;
  IotGlobalActivation::getInstance()->saveRegionInfoToCache(true);
  if (!session.Saved("the cleared region")) return kExitNotSaved;
  if (options.json) {
    JsonPtr out(cJSON_CreateObject());
    cJSON_AddBoolToObject(out.get(), "cleared", true);
    PrintJson(out);
  } else {
    std::printf("region cleared\n");
  }
  return kExitOk;
}

int RunLanguage(const Options& options) {
  if (options.words.size() < 2) throw UsageError("language needs get, set or clear", Topic::kLanguage);
  const std::string& verb = options.words[1];
  const size_t expected = verb == "set" ? 3 : 2;
  if ((verb != "get" && verb != "set" && verb != "clear")) {
    throw UsageError("unknown language command '" + verb + "'" + DidYouMean(options.words), Topic::kLanguage);
  }
  if (options.words.size() != expected) {
    throw UsageError(verb == "set" ? "language set needs one TAG" : "language " + verb + " takes no argument",
                     Topic::kLanguage);
  }
  if (verb == "set" && !IotLanguageManager::isValidLanguage(options.words[2])) {
    throw UsageError("'" + options.words[2] + "' is no language tag; the form is like zh-CN or en-US",
                     Topic::kLanguage);
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
  if (!session.Saved("the language")) return kExitNotSaved;
  const std::string language = languages->getLanguage();
  if (options.json) {
    JsonPtr out(cJSON_CreateObject());
    cJSON_AddStringToObject(out.get(), "language", language.c_str());
    PrintJson(out);
  } else {
    std::printf("%s\n", Shown(language).c_str());
  }
  return kExitOk;
}

int RunCountry(const Options& options) {
  if (options.words.size() != 3 || options.words[1] != "set") {
    throw UsageError("country wants: set CODE", Topic::kCountry);
  }
  IotSmartCountryManager* countries = IotSmartCountryManager::getInstance();
  const bool known = countries->setCountryCode(options.words[2]);
  const std::string code = countries->getCountryCode();
  const std::string phone = countries->getPhoneLocationCode();
  if (options.json) {
    JsonPtr out(cJSON_CreateObject());
    cJSON_AddBoolToObject(out.get(), "known", known);
    cJSON_AddStringToObject(out.get(), "countryCode", code.c_str());
    cJSON_AddStringToObject(out.get(), "phoneLocationCode", phone.c_str());
    PrintJson(out);
  } else {
    std::printf("%s %s\n", code.c_str(), phone.c_str());
    if (!known) {
      std::fprintf(stderr, "iotcloud: '%s' is not a known country code; using %s (%s)\n",
                   Shown(options.words[2]).c_str(), code.c_str(), phone.c_str());
    }
  }
  return known ? kExitOk : kExitUsage;
}

}  // namespace

int Run(const Options& options) {
  const auto& words = options.words;
  if (words.empty()) throw UsageError("no command given", Topic::kGlobal);
  CheckOptionsBelongTo(options, HelpTopic(words));
  if (words[0] == "region") {
    if (words.size() == 2 && words[1] == "lookup") return RunLookup(options);
    if (words.size() == 2 && words[1] == "show") return RunShow(options);
    if (words.size() == 2 && words[1] == "clear") return RunClear(options);
    if (words.size() < 2) throw UsageError("region wants one of lookup, show, clear", Topic::kGlobal);
    if (words.size() > 2 && (words[1] == "lookup" || words[1] == "show" || words[1] == "clear")) {
      throw UsageError("region " + words[1] + " takes no argument '" + words[2] + "'", Topic::kGlobal);
    }
    throw UsageError("unknown region command '" + words[1] + "'" + DidYouMean(words), Topic::kGlobal);
  }
  if (words[0] == "language") return RunLanguage(options);
  if (words[0] == "country") return RunCountry(options);
  throw UsageError("unknown command '" + words[0] + "'" + DidYouMean(words), Topic::kGlobal);
}

}  // namespace cli
}  // namespace iotcloud
