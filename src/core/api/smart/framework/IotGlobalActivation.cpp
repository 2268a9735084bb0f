#include "core/api/smart/framework/IotGlobalActivation.h"

#include <cjson/cJSON.h>
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "core/api/smart/framework/IotAsyncManager.h"
#include "core/api/smart/framework/IotCacheManager.h"
#include "core/api/smart/framework/IotLanguageManager.h"
#include "core/api/smart/framework/internal/LookupRetry.h"
#include "core/io/network/http/AsyncHttpRequest.h"
#include "core/support/Clock.h"
#include "core/support/DeploymentConfig.h"
#include "core/support/PlatformServices.h"
#include "core/support/QZRandom.h"
#include "core/support/TovoLog.h"
#include "core/support/UntrustedText.h"
#include "core/support/internal/JsonPtr.h"

namespace {

constexpr const char kRegionPath[] = "/velmo/account/region/get";
constexpr const char kApiVersion[] = "1.0.2";
// How long a blocking lookup waits past the lookup's deadline before it
// gives up on an end that the transport should long since have delivered.
constexpr int64_t kWaitMarginMs = 5000;
// The most attempts a retry policy may ask for.
constexpr int kMaxAttempts = 10;
// A later attempt is not started with less than this left of the lookup's
// deadline: it could hardly connect.
constexpr auto kShortestAttempt = std::chrono::milliseconds(100);

using Outcome = IotGlobalActivation::LookupOutcome;
using Result = IotGlobalActivation::LookupResult;

// The calling thread's last lookup.
thread_local Result t_lastResult;

void AddString(cJSON* object, const char* key, const std::string& value) {
  cJSON_AddItemToObject(object, key, cJSON_CreateString(value.c_str()));
}

// The "params" of each kind of lookup; the caller owns the tree.
cJSON* EmailParams(const std::string& email) {
  cJSON* params = cJSON_CreateObject();
  AddString(params, "type", "EMAIL");
  AddString(params, "email", email);
  return params;
}

cJSON* PhoneParams(const std::string& phoneLocationCode, const std::string& phone) {
  cJSON* params = cJSON_CreateObject();
  AddString(params, "type", "PHONE");
  AddString(params, "phoneLocationCode", phoneLocationCode);
  AddString(params, "phone", phone);
  return params;
}

cJSON* CountryCodeParams(const std::string& countryCode) {
  cJSON* params = cJSON_CreateObject();
  AddString(params, "type", "COUNTRY_CODE");
  AddString(params, "countryCode", countryCode);
  return params;
}

cJSON* AuthCodeParams(const std::string& authCode) {
  cJSON* params = cJSON_CreateObject();
  AddString(params, "type", "THIRD_AUTHCODE");
  AddString(params, "authCode", authCode);
  return params;
}

// What of a personal identifier may be logged: an authorisation code is a
// credential and is withheld whole; of an e-mail address the domain is kept
// and of a phone number its last two digits, enough to tell requests apart.
std::string MaskedForLog(const std::string& key, const std::string& value) {
  if (key == "email") {
    const size_t at = value.rfind('@');
    return at == std::string::npos ? "***" : "***" + value.substr(at);
  }
  if (key == "phone" && value.size() > 2) return "***" + value.substr(value.size() - 2);
  return "***";
}

// The request body for the log, with the personal identifiers among the
// parameters masked (see MaskedForLog); the body sent is not changed.
std::string BodyForLog(const std::string& body) {
  static const char* const kPersonal[] = {"authCode", "email", "phone"};
  iotcloud::JsonPtr tree(cJSON_Parse(body.c_str()));
  cJSON* params = tree ? cJSON_GetObjectItemCaseSensitive(tree.get(), "params") : nullptr;
  if (params == nullptr) return "(withheld)";
  for (const char* key : kPersonal) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(params, key);
    if (item == nullptr) continue;
    const std::string value = cJSON_IsString(item) ? item->valuestring : "";
    cJSON_ReplaceItemInObjectCaseSensitive(params, key, cJSON_CreateString(MaskedForLog(key, value).c_str()));
  }
  iotcloud::JsonText text(cJSON_Print(tree.get()));
  return text ? std::string(text.get()) : "(withheld)";
}

// How much of a text from the network or the cache goes into one log line.
constexpr size_t kLoggedBytes = 512;

// Text from the network or the cache as it is logged: escaped, and cut after
// kLoggedBytes bytes with its whole length.
std::string ForLog(const std::string& text) { return iotcloud::EscapeUntrustedExcerpt(text, kLoggedBytes); }

// Why the transport refused to take a request, in words the caller can act on.
std::string NotSentDetail(const std::map<std::string, std::string>& headers, const AsyncHttpRequestManage* manage) {
  for (const auto& header : headers) {
    if (!AsyncHttpRequest::IsSafeHeaderText(header.first) || !AsyncHttpRequest::IsSafeHeaderText(header.second)) {
      return "the request was not sent: the header " + iotcloud::EscapeUntrusted(header.first) +
             " holds CR, LF or NUL (check the application key and the settings it is built from)";
    }
  }
  if (!manage->IsInited()) return "the request was not sent: the transport is not running (IotAsyncManager::init)";
  return "the request was not sent: the transport refused it (see the log)";
}

// Why an answer could not be read as a region: the service's own error, or
// an answer that is no region lookup response at all.
Result ClassifyUnparsedAnswer(const std::string& data) {
  Result result;
  result.outcome = Outcome::kUnreadableAnswer;
  iotcloud::JsonPtr tree(cJSON_Parse(data.c_str()));
  if (!tree) {
    result.detail = "the answer is not JSON";
    return result;
  }
  const cJSON* code = cJSON_GetObjectItem(tree.get(), "code");
  if (code == nullptr) {
    result.detail = "the answer has no \"code\"";
    return result;
  }
  if (code->valueint != 200) {
    result.outcome = Outcome::kServiceError;
    result.serviceCode = code->valueint;
    const cJSON* message = cJSON_GetObjectItem(tree.get(), "message");
    if (cJSON_IsString(message) && message->valuestring != nullptr) result.serviceMessage = message->valuestring;
    result.detail = "service error " + std::to_string(result.serviceCode) +
                    (result.serviceMessage.empty() ? std::string() : ": " + result.serviceMessage);
    return result;
  }
  result.detail = iotcloud::JsonHasNulEscape(data) ? "a string in the answer holds \\u0000"
                                                   : "the answer's \"data\" could not be read";
  return result;
}

// A header value of an answer as LookupResult keeps it.
std::string HeaderValue(const IotResponse& response, const char* lowerName) {
  return response.header(lowerName).substr(0, IotGlobalActivation::kHeaderValueBytes);
}

// The outcome of a lookup cancelled before its answer was handled.
Result CancelledResult() {
  Result result;
  result.outcome = Outcome::kCancelled;
  result.detail = "cancelled";
  return result;
}

// The outcome of an answer whose status is outside 2xx: never a region,
// whatever its body says. `result` holds the header fields already.
void JudgeRefusal(const IotResponse& response, Result* result) {
  const int status = response.httpStatus;
  if (status >= 400 && !result->gatewayErrorCode.empty()) {
    result->outcome = Outcome::kGatewayRefused;
    result->detail = "the gateway refused the request: HTTP " + std::to_string(status) + ", error " +
                     result->gatewayErrorCode +
                     (result->gatewayErrorMessage.empty() ? std::string() : ": " + result->gatewayErrorMessage);
  } else {
    result->outcome = Outcome::kHttpStatus;
    result->detail = "the gateway answered HTTP status " + std::to_string(status);
    if (status >= 300 && status < 400) {
      const std::string location = HeaderValue(response, "location");
      result->detail +=
          ", Location: " + (location.empty() ? std::string("(none)") : location) + " (redirects are not followed)";
    } else if (!result->gatewayErrorMessage.empty()) {
      result->detail += ": " + result->gatewayErrorMessage;
    }
  }
  if (!result->requestId.empty()) result->detail += " (request id " + result->requestId + ")";
}

}  // namespace

iotcloud::Mutex IotGlobalActivation::mutex_;
IotGlobalActivation* IotGlobalActivation::pInstance_ = nullptr;

IotGlobalActivation::IIotGlobalActivationCallback::~IIotGlobalActivationCallback() = default;

const char* IotGlobalActivation::OutcomeName(LookupOutcome outcome) {
  switch (outcome) {
    case LookupOutcome::kNone: return "none";
    case LookupOutcome::kChanged: return "changed";
    case LookupOutcome::kUnchanged: return "unchanged";
    case LookupOutcome::kServiceError: return "service-error";
    case LookupOutcome::kUnreadableAnswer: return "unreadable-answer";
    case LookupOutcome::kTransportFailure: return "transport-failure";
    case LookupOutcome::kNotSent: return "not-sent";
    case LookupOutcome::kGatewayRefused: return "gateway-refused";
    case LookupOutcome::kHttpStatus: return "http-status";
    case LookupOutcome::kIncompleteAnswer: return "incomplete-answer";
    case LookupOutcome::kCancelled: return "cancelled";
  }
  return "unknown";
}

IotGlobalActivation* IotGlobalActivation::getInstance() {
  iotcloud::MutexLock lock(&mutex_);
  if (pInstance_ == nullptr) pInstance_ = new IotGlobalActivation();
  return pInstance_;
}

IotGlobalActivation::IotGlobalActivation()
    : apiGatewayHost_(IOTCLOUD_DEFAULT_API_GATEWAY_HOST),
      shanghaiIotApiHost_(IOTCLOUD_DEFAULT_SHANGHAI_IOT_API_HOST),
      httpUtil_(this) {
  QZ_LOG(1, "new");
}

IotGlobalActivation::~IotGlobalActivation() {
  {
    iotcloud::MutexLock lock(&mutex_);
    if (pInstance_ == this) pInstance_ = nullptr;
  }
  QZ_LOG(1, "deleted.");
}

// ---- Region cache and lifecycle ---------------------------------------------

bool IotGlobalActivation::init() { return restoreRegionInfoFromCache(); }

bool IotGlobalActivation::restoreRegionInfoFromCache() {
  const std::string text = IotCacheManager::getInstance()->readFormPlatformCache(PLATFORM_REGION_INFO_KEY);
  if (text.empty()) {
    QZ_LOG(3, "No region info found.");
    return false;
  }
  QZ_LOG(1, "region info=%s", ForLog(text).c_str());
  iotcloud::MutexLock lock(&regionMutex_);
  return regionInfo_.parseFromJsonString(text);
}

void IotGlobalActivation::saveRegionInfoToCache(bool clear) {
  iotcloud::MutexLock lock(&regionMutex_);
  if (clear) {
    QZ_LOG(1, "clear %s", PLATFORM_REGION_INFO_KEY);
    regionInfo_.resetToChina();
    IotCacheManager::getInstance()->writeToPlatformCache(PLATFORM_REGION_INFO_KEY, std::string());
    return;
  }
  std::string json = regionInfo_.toJsonString();
  QZ_LOG(1, "saveRegionInfoToCache data=%s", ForLog(json).c_str());
  IotCacheManager::getInstance()->writeToPlatformCache(PLATFORM_REGION_INFO_KEY, std::move(json));
}

void IotGlobalActivation::resetRegion() {
  iotcloud::MutexLock lock(&regionMutex_);
  regionInfo_.resetToChina();
}

IotRegionInfo IotGlobalActivation::getRegionInfo() {
  iotcloud::MutexLock lock(&regionMutex_);
  return regionInfo_;
}

void IotGlobalActivation::setIotGlobalActivationCallback(IIotGlobalActivationCallback* callback) {
  iotcloud::RecursiveMutexLock lock(&observerMutex_);
  observer_ = callback;
}

bool IotGlobalActivation::saveRegionIfCacheDiffers() {
  iotcloud::MutexLock lock(&regionMutex_);
  if (lastSaveChecked_ != regionInfo_ || lastSaveCheckedJson_.empty()) {
    lastSaveChecked_ = regionInfo_;
    lastSaveCheckedJson_ = regionInfo_.toJsonString();
  }
  std::string json = lastSaveCheckedJson_;
  IotCacheManager* cache = IotCacheManager::getInstance();
  // A write of the same bytes changes nothing a reader can see, but costs a
  // durable commit (an fsync with the default platform) on the HTTP manager
  // thread; a read is cheap.
  if (cache->readFormPlatformCache(PLATFORM_REGION_INFO_KEY) == json) {
    QZ_LOG(1, "the cache holds this region already");
    return true;
  }
  QZ_LOG(1, "saveRegionInfoToCache data=%s", ForLog(json).c_str());
  return cache->writeToPlatformCache(PLATFORM_REGION_INFO_KEY, std::move(json));
}

IotGlobalActivation::LookupOutcome IotGlobalActivation::takeOver(const IotRegionInfo& fresh) {
  IotRegionInfo current;
  {
    iotcloud::MutexLock lock(&regionMutex_);
    if (!(fresh != regionInfo_)) return LookupOutcome::kUnchanged;
    regionInfo_ = fresh;
    current = regionInfo_;
  }
  iotcloud::RecursiveMutexLock lock(&observerMutex_);
  if (observer_ != nullptr) observer_->OnRegionInfoChanged(current);
  return LookupOutcome::kChanged;
}

// ---- Gateway hosts -------------------------------------------------------------

void IotGlobalActivation::setGatewayHosts(const std::string& apiGatewayHost, const std::string& shanghaiIotApiHost) {
  iotcloud::MutexLock lock(&hostsMutex_);
  apiGatewayHost_ = apiGatewayHost;
  shanghaiIotApiHost_ = shanghaiIotApiHost;
}

std::string IotGlobalActivation::getApiGatewayHost() {
  iotcloud::MutexLock lock(&hostsMutex_);
  return apiGatewayHost_;
}

std::string IotGlobalActivation::getShanghaiIotApiHost() {
  iotcloud::MutexLock lock(&hostsMutex_);
  return shanghaiIotApiHost_;
}

std::string IotGlobalActivation::countryCodeHost(const std::string& countryCode) {
  // Only the exact code "CN" goes to the API gateway; every other value goes
  // to the IoT API host of the Shanghai region.
  return countryCode == "CN" ? getApiGatewayHost() : getShanghaiIotApiHost();
}

// ---- Lookups -------------------------------------------------------------------

bool IotGlobalActivation::isEmail(const std::string& text) {
  return !text.empty() && text.find('@') != std::string::npos;
}

void IotGlobalActivation::regionGetByLoginId(std::string loginId, std::string phoneLocationCode) {
  if (isEmail(loginId)) {
    regionGetByEmail(loginId);
  } else {
    regionGetByPhone(phoneLocationCode, loginId);
  }
}

void IotGlobalActivation::regionGetByEmail(const std::string& email) {
  lookup("regionGetByEmail", EmailParams(email), getApiGatewayHost());
}

void IotGlobalActivation::regionGetByPhone(const std::string& phoneLocationCode, const std::string& phone) {
  lookup("regionGetByPhone", PhoneParams(phoneLocationCode, phone), getApiGatewayHost());
}

void IotGlobalActivation::regionGetByCountryCode(const std::string& countryCode) {
  lookup("regionGetByCountryCode", CountryCodeParams(countryCode), countryCodeHost(countryCode));
}

void IotGlobalActivation::regionGetByAuthCode(const std::string& authCode) {
  lookup("regionGetByAuthCode", AuthCodeParams(authCode), getApiGatewayHost());
}

IotGlobalActivation::LookupResult IotGlobalActivation::getLastLookupResult() const { return t_lastResult; }

// ---- Retry policy and clock ------------------------------------------------------

void IotGlobalActivation::setRetryPolicy(const RetryPolicy& policy) {
  RetryPolicy kept = policy;
  kept.maxAttempts = std::min(std::max(kept.maxAttempts, 1), kMaxAttempts);
  kept.baseDelayMs = std::max<int64_t>(kept.baseDelayMs, 0);
  kept.maxDelayMs = std::max<int64_t>(kept.maxDelayMs, 0);
  if (kept.deadlineMs <= 0) kept.deadlineMs = RetryPolicy().deadlineMs;
  iotcloud::MutexLock lock(&policyMutex_);
  policy_ = kept;
}

IotGlobalActivation::RetryPolicy IotGlobalActivation::getRetryPolicy() {
  iotcloud::MutexLock lock(&policyMutex_);
  return policy_;
}

int64_t IotGlobalActivation::getClockOffsetMs() const { return clockOffsetMs_.load(); }

void IotGlobalActivation::setWallClock(std::function<int64_t()> nowMs) {
  iotcloud::MutexLock lock(&policyMutex_);
  hasWallClock_.store(static_cast<bool>(nowMs), std::memory_order_release);
  wallClock_ = std::move(nowMs);
}

int64_t IotGlobalActivation::wallClockMs() {
  if (hasWallClock_.load(std::memory_order_acquire)) {
    iotcloud::MutexLock lock(&policyMutex_);
    if (wallClock_) return wallClock_();
  }
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool IotGlobalActivation::readAnswerDate(const IotResponse& response, int64_t sentOffsetMs) {
  // A success with no offset held has nothing to teach: the Date is read
  // only when it could refuse, or give a held offset back.
  const bool refusal = response.httpStatus >= 400;
  if (!refusal && sentOffsetMs == 0 && clockOffsetMs_.load() == 0) return false;
  const iotcloud::ClockReading reading =
      iotcloud::ReadAnswerDate(response.httpStatus, response.header("date"), wallClockMs(), sentOffsetMs);
  if (!reading.valid) return false;
  if (reading.refusal) {
    // A request dated by a stale offset, refused now that the local clock is
    // right again, goes back to the local clock.
    clockOffsetMs_.store(reading.agrees ? 0 : reading.skewMs);
    QZ_LOG(3, "the gateway's clock is %lld ms %s this computer's: requests are dated by %s",
           static_cast<long long>(std::llabs(reading.skewMs)), reading.skewMs > 0 ? "ahead of" : "behind",
           reading.agrees ? "the local clock" : "the gateway's");
    return true;
  }
  if (reading.agrees && clockOffsetMs_.exchange(0) != 0) {
    QZ_LOG(3, "the local clock agrees with the gateway's again: requests are dated by it");
  }
  return false;
}

// ---- Lookups -------------------------------------------------------------------

// One asynchronous lookup. The attempts follow each other: the first is sent
// by the caller's thread, the others by the HTTP manager thread (from a
// timer, or at once from the answer of a date refusal). `mutex` guards the
// state that cancel() reads from other threads.
struct IotGlobalActivation::AsyncLookup {
  enum class State { kSending, kInFlight, kWaiting, kHandling, kDone };

  IotGlobalActivation* owner = nullptr;
  const char* function = "";
  std::string host;
  iotcloud::JsonPtr params;  // a copy goes into each attempt's body
  RetryPolicy policy;
  std::chrono::steady_clock::time_point deadline;

  iotcloud::Mutex mutex;
  State state IOTCLOUD_GUARDED_BY(mutex) = State::kSending;
  bool cancelled IOTCLOUD_GUARDED_BY(mutex) = false;
  std::string requestId IOTCLOUD_GUARDED_BY(mutex);  // the attempt in flight
  uint64_t timerId IOTCLOUD_GUARDED_BY(mutex) = 0;   // the wait for the next attempt
  LookupCompletion completion IOTCLOUD_GUARDED_BY(mutex);
  int attempts IOTCLOUD_GUARDED_BY(mutex) = 0;          // requests handed to the transport
  bool dateRetried IOTCLOUD_GUARDED_BY(mutex) = false;  // the one attempt outside the budget was made
  int64_t sentOffsetMs IOTCLOUD_GUARDED_BY(mutex) = 0;  // the clock offset the attempt in flight carries
  Result last IOTCLOUD_GUARDED_BY(mutex);               // the outcome of the attempt before
  std::vector<std::string> earlier IOTCLOUD_GUARDED_BY(mutex);
};

bool IotGlobalActivation::LookupHandle::cancel() {
  std::shared_ptr<AsyncLookup> lookup = lookup_.lock();
  return lookup && lookup->owner->cancelLookup(lookup);
}

void IotGlobalActivation::lookup(const char* function, cJSON* params, const std::string& host) {
  if (IotAsyncManager::getInstance()->isHttpManagerThread()) {
    cJSON_Delete(params);
    QZ_LOG_AS(function, 4, "lookup refused: called on the HTTP manager thread, which would wait for itself");
    Result result;
    result.outcome = LookupOutcome::kNotSent;
    result.detail = "a lookup cannot run on the HTTP manager thread";
    t_lastResult = result;
    return;
  }
  auto pending = std::make_shared<Pending>();
  bool sent = false;
  std::shared_ptr<AsyncLookup> started = startLookup(
      function, params, host,
      [pending](const Result& result) { asyncResponseNotify(ASYNC_HTTP_REQ_REGION_GET, *pending, result); }, &sent);
  Result result;
  if (!sent) {
    iotcloud::MutexLock lock(&pending->mutex);
    t_lastResult = pending->result;
    return;
  }
  const int64_t timeoutMs = started->policy.deadlineMs + kWaitMarginMs;
  if (!waitForAsyncResponse(ASYNC_HTTP_REQ_REGION_GET, *pending, timeoutMs, &result)) {
    // No end in time: cancel, unless the end is being delivered right now.
    if (cancelLookup(started)) {
      result = Result();
      result.outcome = LookupOutcome::kTransportFailure;
      result.detail = "no answer within " + std::to_string(timeoutMs) + " ms";
    } else {
      iotcloud::MutexLock lock(&pending->mutex);
      while (!pending->done) pending->cond.Wait();
      result = pending->result;
    }
  }
  t_lastResult = result;
}

std::shared_ptr<IotGlobalActivation::AsyncLookup> IotGlobalActivation::startLookup(const char* function, cJSON* params,
                                                                                   const std::string& host,
                                                                                   LookupCompletion completion,
                                                                                   bool* sent) {
  auto lookup = std::make_shared<AsyncLookup>();
  lookup->owner = this;
  lookup->function = function;
  lookup->host = host;
  lookup->params.reset(params);
  lookup->policy = getRetryPolicy();
  lookup->deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(lookup->policy.deadlineMs);
  {
    iotcloud::MutexLock lock(&lookup->mutex);
    lookup->completion = std::move(completion);
  }
  sendAttempt(lookup);
  if (sent != nullptr) {
    iotcloud::MutexLock lock(&lookup->mutex);
    *sent = lookup->attempts > 0;
  }
  return lookup;
}

void IotGlobalActivation::sendAttempt(const std::shared_ptr<AsyncLookup>& lookup) {
  AsyncLookup& l = *lookup;
  Result ended;
  {
    iotcloud::MutexLock lock(&l.mutex);
    if (l.state == AsyncLookup::State::kDone) return;
    if (l.cancelled) {
      ended = CancelledResult();
    } else if (l.attempts > 0 && std::chrono::steady_clock::now() + kShortestAttempt >= l.deadline) {
      ended = l.last;
      ended.detail += "; no further attempt: too little is left before the lookup's deadline";
    } else {
      IotRequest record;
      record.protocol = 0;
      record.host = l.host;
      record.path = kRegionPath;
      record.id = QZRandom::getRandomGUID(32);
      record.attempt = l.attempts + 1;
      const int64_t offset = clockOffsetMs_.load();
      std::string body;
      std::map<std::string, std::string> headers;
      if (!buildRequest(l.function, cJSON_Duplicate(l.params.get(), true), record.id, wallClockMs() + offset, &body,
                        &headers)) {
        ended.outcome = LookupOutcome::kNotSent;
        ended.detail = "the request body could not be built";
      } else {
        AsyncHttpRequestManage* manage = IotAsyncManager::getInstance()->getAsyncHttpRequestManage();
        auto* request = new AsyncHttpRequest(ASYNC_HTTP_REQ_REGION_GET, manage, this, 0);
        request->SetDeadline(l.deadline);
        {
          iotcloud::MutexLock table(&waitMutex_);
          inFlight_[record.id] = lookup;
        }
        if (request->Post(&record, headers, body) == 0) {
          l.state = AsyncLookup::State::kInFlight;
          l.requestId = record.id;
          l.sentOffsetMs = offset;
          ++l.attempts;
          return;
        }
        delete request;  // not handed over: still ours
        iotcloud::MutexLock table(&waitMutex_);
        inFlight_.erase(record.id);
        ended.outcome = LookupOutcome::kNotSent;
        ended.detail = NotSentDetail(headers, manage);
      }
    }
  }
  finishLookup(l, ended);
}

bool IotGlobalActivation::buildRequest(const char* function, cJSON* params, const std::string& id, int64_t dateMs,
                                       std::string* body, std::map<std::string, std::string>* headers) {
  httpUtil_.MakeHttpBody(params, kApiVersion, id, *body);  // takes params over
  if (body->empty()) {
    QZ_LOG_AS(function, 4, "id=%s, request body could not be built", id.c_str());
    return false;
  }
  if (iotcloud::GetLogMinLevel() <= 2) {
    QZ_LOG_AS(function, 2, "id=%s, http_body=%s", id.c_str(), BodyForLog(*body).c_str());
  }
  httpUtil_.MakeHttpHeader(kRegionPath, *body, *headers, false, dateMs / 1000);
  return true;
}

bool IotGlobalActivation::scheduleRetry(const std::shared_ptr<AsyncLookup>& lookup, int64_t retryAfterMs,
                                        Result* result) {
  AsyncLookup& l = *lookup;
  iotcloud::MutexLock lock(&l.mutex);
  if (l.cancelled) return false;  // the caller ends it as cancelled
  const int counted = l.attempts - (l.dateRetried ? 1 : 0);
  if (counted >= l.policy.maxAttempts) {
    if (l.policy.maxAttempts > 1) result->detail += "; no further attempt: all " + std::to_string(counted) + " made";
    return false;
  }
  thread_local std::mt19937_64 random{std::random_device{}()};
  const int64_t delayMs = retryAfterMs >= 0
                              ? std::min(retryAfterMs, l.policy.maxDelayMs)
                              : iotcloud::BackoffMs(counted, l.policy.baseDelayMs, l.policy.maxDelayMs, random());
  const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs);
  if (due + kShortestAttempt >= l.deadline) {
    result->detail += "; no further attempt: the lookup's deadline would pass first";
    return false;
  }
  AsyncHttpRequestManage* manage = IotAsyncManager::getInstance()->getAsyncHttpRequestManage();
  // The task holds the lookup while it waits: nothing else does.
  const uint64_t timer = manage->ScheduleTask(due, [this, waiting = lookup](bool run) {
    if (run) {
      sendAttempt(waiting);
      return;
    }
    Result stopped;
    stopped.outcome = LookupOutcome::kTransportFailure;
    stopped.curlCode = CURLE_ABORTED_BY_CALLBACK;
    stopped.detail = "the transport stopped before the next attempt (" + CurlFailureText(stopped.curlCode) + ")";
    finishLookup(*waiting, stopped);
  });
  if (timer == 0) return false;
  QZ_LOG_AS(l.function, 3, "attempt %d: %s; next attempt in %lld ms", l.attempts, ForLog(result->detail).c_str(),
            static_cast<long long>(delayMs));
  l.earlier.push_back("attempt " + std::to_string(l.attempts) + ": " + result->detail + "; retried after " +
                      std::to_string(delayMs) + " ms" + (retryAfterMs >= 0 ? " (Retry-After)" : ""));
  l.last = *result;
  l.state = AsyncLookup::State::kWaiting;
  l.timerId = timer;
  return true;
}

void IotGlobalActivation::finishLookup(AsyncLookup& lookup, Result result) {
  LookupCompletion completion;
  {
    iotcloud::MutexLock lock(&lookup.mutex);
    if (lookup.state == AsyncLookup::State::kDone) return;
    lookup.state = AsyncLookup::State::kDone;
    completion = std::move(lookup.completion);
    result.attempts = lookup.attempts;
    result.earlierAttempts = std::move(lookup.earlier);
  }
  if (completion) completion(result);
}

bool IotGlobalActivation::cancelLookup(const std::shared_ptr<AsyncLookup>& lookup) {
  AsyncLookup& l = *lookup;
  std::string requestId;
  uint64_t timer = 0;
  {
    iotcloud::MutexLock lock(&l.mutex);
    if (l.state == AsyncLookup::State::kHandling || l.state == AsyncLookup::State::kDone || l.cancelled) {
      return false;
    }
    l.cancelled = true;
    requestId = l.requestId;
    timer = l.timerId;
  }
  AsyncHttpRequestManage* manage = IotAsyncManager::getInstance()->getAsyncHttpRequestManage();
  // Once these return, no answer of the attempt and no timer will run; one
  // that ran meanwhile saw `cancelled` and ended the lookup already.
  if (!requestId.empty()) {
    manage->RemoveRequests({requestId});
    iotcloud::MutexLock table(&waitMutex_);
    inFlight_.erase(requestId);
  }
  if (timer != 0) manage->CancelTask(timer);
  const Result cancelled = CancelledResult();
  // The completion runs on the HTTP manager thread, like every other; when
  // the transport is stopping, on the thread stopping it.
  const uint64_t task = manage->ScheduleTask(
      std::chrono::steady_clock::now(), [this, ended = lookup, cancelled](bool) { finishLookup(*ended, cancelled); });
  if (task == 0) finishLookup(l, cancelled);
  return true;
}

std::shared_ptr<IotGlobalActivation::AsyncLookup> IotGlobalActivation::takeInFlight(const std::string& requestId) {
  iotcloud::MutexLock lock(&waitMutex_);
  auto it = inFlight_.find(requestId);
  if (it == inFlight_.end()) return nullptr;
  std::shared_ptr<AsyncLookup> lookup = std::move(it->second);
  inFlight_.erase(it);
  return lookup;
}

bool IotGlobalActivation::waitForAsyncResponse(_AsyncHttpReqType type, Pending& pending, int64_t timeoutMs,
                                               LookupResult* result) {
  QZ_LOG(1, "wait for response, type=%d", static_cast<int>(type));
  const int64_t start = get_time();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  iotcloud::MutexLock lock(&pending.mutex);
  while (!pending.done && pending.cond.WaitUntil(deadline)) {
  }
  const bool done = pending.done;
  if (done) *result = std::move(pending.result);
  QZ_LOG(1, "wait end, cost %lldms", static_cast<long long>(get_time() - start));
  return done;
}

void IotGlobalActivation::asyncResponseNotify(_AsyncHttpReqType type, Pending& pending, const LookupResult& result) {
  QZ_LOG(1, "notify wait end, type=%d", static_cast<int>(type));
  {
    iotcloud::MutexLock lock(&pending.mutex);
    pending.done = true;
    pending.result = result;
  }
  // After unlocking, so the woken caller does not block on the mutex at once.
  pending.cond.Signal();
}

// Each asynchronous lookup builds its parameters like its blocking twin and
// starts without waiting.
IotGlobalActivation::LookupHandle IotGlobalActivation::regionGetByLoginIdAsync(const std::string& loginId,
                                                                               const std::string& phoneLocationCode,
                                                                               LookupCompletion completion) {
  return isEmail(loginId) ? regionGetByEmailAsync(loginId, std::move(completion))
                          : regionGetByPhoneAsync(phoneLocationCode, loginId, std::move(completion));
}

IotGlobalActivation::LookupHandle IotGlobalActivation::regionGetByEmailAsync(const std::string& email,
                                                                             LookupCompletion completion) {
  return LookupHandle(
      startLookup("regionGetByEmail", EmailParams(email), getApiGatewayHost(), std::move(completion), nullptr));
}

IotGlobalActivation::LookupHandle IotGlobalActivation::regionGetByPhoneAsync(const std::string& phoneLocationCode,
                                                                             const std::string& phone,
                                                                             LookupCompletion completion) {
  return LookupHandle(startLookup("regionGetByPhone", PhoneParams(phoneLocationCode, phone), getApiGatewayHost(),
                                  std::move(completion), nullptr));
}

IotGlobalActivation::LookupHandle IotGlobalActivation::regionGetByCountryCodeAsync(const std::string& countryCode,
                                                                                   LookupCompletion completion) {
  return LookupHandle(startLookup("regionGetByCountryCode", CountryCodeParams(countryCode),
                                  countryCodeHost(countryCode), std::move(completion), nullptr));
}

IotGlobalActivation::LookupHandle IotGlobalActivation::regionGetByAuthCodeAsync(const std::string& authCode,
                                                                                LookupCompletion completion) {
  return LookupHandle(startLookup("regionGetByAuthCode", AuthCodeParams(authCode), getApiGatewayHost(),
                                  std::move(completion), nullptr));
}

void IotGlobalActivation::warmUp() {
  IotAsyncManager* runtime = IotAsyncManager::getInstance();
  IotRequest record;
  record.protocol = 0;
  record.host = getApiGatewayHost();
  record.path = "/";
  record.id = QZRandom::getRandomGUID(32);
  // No callback: the answer (any status) or a failure is dropped; the
  // connection stays in the transport's pool.
  auto* request = new AsyncHttpRequest(ASYNC_HTTP_REQ_REGION_GET, runtime->getAsyncHttpRequestManage(), nullptr, 0);
  if (request->Connect(&record) != 0) {
    delete request;
    QZ_LOG(2, "warm-up not started (is IotAsyncManager initialised?)");
  }
}

// ---- Completions (HTTP manager thread) ------------------------------------------

void IotGlobalActivation::OnResponse(const IotRequest* request, IotResponse* response, _AsyncHttpReqType type) {
  if (iotcloud::GetLogMinLevel() <= 1) {
    QZ_LOG(1, "cloud id=%s response=%s", request->id.c_str(), ForLog(response->data).c_str());
  }
  if (type != ASYNC_HTTP_REQ_REGION_GET) return;
  std::shared_ptr<AsyncLookup> lookup = takeInFlight(request->id);
  if (!lookup) return;
  AsyncLookup& l = *lookup;
  const int status = response->httpStatus;
  // 0: the transport knew no status; the body alone decides, as it always did.
  const bool success = status == 0 || (status >= 200 && status < 300);
  int64_t sentOffsetMs;
  bool cancelled;
  {
    iotcloud::MutexLock lock(&l.mutex);
    sentOffsetMs = l.sentOffsetMs;
    cancelled = l.cancelled;
    // A success is final: from here on cancel() leaves it alone.
    if (success && !cancelled) l.state = AsyncLookup::State::kHandling;
  }
  if (cancelled) {
    finishLookup(l, CancelledResult());
    return;
  }
  const bool dateRefused = readAnswerDate(*response, sentOffsetMs);

  Result result;
  if (success) {
    bool save = false;
    result = judgeSuccessAnswer(response->data, &save);
    // A 2xx answer is followed by a save of the current region, skipped when
    // the cache holds its bytes already; an incomplete answer leaves the
    // cache alone.
    if (save && !saveRegionIfCacheDiffers()) {
      result.saveFailed = true;
      result.detail += "; the region could not be saved in the cache";
    }
  }
  result.httpStatus = status;
  result.gatewayErrorCode = HeaderValue(*response, "x-ca-error-code");
  result.gatewayErrorMessage = HeaderValue(*response, "x-ca-error-message");
  result.requestId = HeaderValue(*response, "x-ca-request-id");
  if (!success) {
    JudgeRefusal(*response, &result);
    if (dateRefused && retryWithGatewayDate(lookup, result)) return;
    int64_t retryAfterMs = -1;
    if (iotcloud::IsRetriedStatus(status)) {
      iotcloud::RetryAfterMs(response->header("retry-after"), wallClockMs() + clockOffsetMs_.load(), &retryAfterMs);
      if (scheduleRetry(lookup, retryAfterMs, &result)) return;
    }
    iotcloud::MutexLock lock(&l.mutex);
    if (l.cancelled) {
      result = CancelledResult();
    } else {
      l.state = AsyncLookup::State::kHandling;
      QZ_LOG(4, "id=%s, no region: %s", request->id.c_str(), ForLog(result.detail).c_str());
    }
  }
  finishLookup(l, std::move(result));
}

bool IotGlobalActivation::retryWithGatewayDate(const std::shared_ptr<AsyncLookup>& lookup, const Result& refused) {
  AsyncLookup& l = *lookup;
  {
    iotcloud::MutexLock lock(&l.mutex);
    if (l.dateRetried || l.cancelled) return false;
    l.dateRetried = true;
    const int64_t offset = clockOffsetMs_.load();
    const std::string why =
        offset == 0 ? "this computer's clock agrees with the gateway's again: sent again at once, dated by it"
                    : "the gateway's clock is " + std::to_string((std::llabs(offset) + 500) / 1000) + " s " +
                          (offset > 0 ? "ahead of" : "behind") + " this computer's: sent again at once, dated by it";
    l.earlier.push_back("attempt " + std::to_string(l.attempts) + ": " + refused.detail + "; " + why);
    l.last = refused;
    l.state = AsyncLookup::State::kSending;
  }
  sendAttempt(lookup);
  return true;
}

IotGlobalActivation::LookupResult IotGlobalActivation::judgeSuccessAnswer(const std::string& data, bool* save) {
  Result result;
  IotRegionInfo fresh;
  std::string missing;
  if (fresh.parseFromHttpResponse(data, &missing)) {
    result.outcome = takeOver(fresh);
    result.detail =
        (result.outcome == LookupOutcome::kChanged ? "region changed to " : "region unchanged: ") + fresh.getRegionId();
    *save = true;
  } else if (!missing.empty()) {
    result.outcome = LookupOutcome::kIncompleteAnswer;
    result.serviceMessage = missing;
    result.detail = "the answer names no complete region: \"" + missing + "\" is missing or empty";
    *save = false;
  } else {
    result = ClassifyUnparsedAnswer(data);
    *save = true;
  }
  return result;
}

void IotGlobalActivation::OnFailure(const IotRequest* request, const IotException* exception, _AsyncHttpReqType type) {
  if (type != ASYNC_HTTP_REQ_REGION_GET) return;
  std::shared_ptr<AsyncLookup> lookup = takeInFlight(request->id);
  if (!lookup) return;
  Result result;
  result.outcome = LookupOutcome::kTransportFailure;
  result.curlCode = 0;
  ParseCurlFailure(exception->message, &result.curlCode);
  result.detail = std::string("transport failure: ") + curl_easy_strerror(static_cast<CURLcode>(result.curlCode)) +
                  " (" + CurlFailureText(result.curlCode) + ")" + ProxyFailureNote(*exception);
  // A proxy that refused the tunnel (407, 403) answered; asking again changes nothing.
  const bool retried = iotcloud::IsRetriedCurlCode(result.curlCode) && exception->proxyStatus == 0;
  if (retried && scheduleRetry(lookup, -1, &result)) return;
  {
    iotcloud::MutexLock lock(&lookup->mutex);
    if (lookup->cancelled) result = CancelledResult();
  }
  finishLookup(*lookup, std::move(result));
}

// ---- IHttpUtilCallback ------------------------------------------------------------

std::string IotGlobalActivation::OnStringSign(std::string text) {
  return getSharedPlatformImpl()->signString(std::move(text), 1);
}

std::string IotGlobalActivation::OnAppKeyGet() { return getSharedPlatformImpl()->getApplicationKey(); }

std::string IotGlobalActivation::OnLanguageGet() { return IotLanguageManager::getInstance()->getLanguage(); }

int32_t IotGlobalActivation::OnEnvGet() { return IotCacheManager::getInstance()->getEnv(); }
