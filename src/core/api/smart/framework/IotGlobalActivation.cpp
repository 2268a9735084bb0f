#include "core/api/smart/framework/IotGlobalActivation.h"

#include <cjson/cJSON.h>
#include <curl/curl.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <vector>

#include "core/api/smart/framework/IotAsyncManager.h"
#include "core/api/smart/framework/IotCacheManager.h"
#include "core/api/smart/framework/IotLanguageManager.h"
#include "core/io/network/http/AsyncHttpRequest.h"
#include "core/support/Clock.h"
#include "core/support/DeploymentConfig.h"
#include "core/support/PlatformServices.h"
#include "core/support/QZRandom.h"
#include "core/support/TovoLog.h"
#include "core/support/UntrustedText.h"
#include "core/support/internal/JsonPtr.h"

// Logs under an explicit function name: the four lookups share one body but
// each logs as itself.
#define QZ_LOG_AS(function, level, ...) TovoLog((level), "QZ", __FILE__, __LINE__, (function), __VA_ARGS__)

namespace {

constexpr const char kRegionPath[] = "/velmo/account/region/get";
constexpr const char kApiVersion[] = "1.0.2";
// How long a lookup waits past the transfer's own time limit before it gives
// up on an answer that the transport should long since have delivered.
constexpr int64_t kWaitMarginMs = 5000;

using Outcome = IotGlobalActivation::LookupOutcome;
using Result = IotGlobalActivation::LookupResult;

// The calling thread's last lookup.
thread_local Result t_lastResult;

void AddString(cJSON* object, const char* key, const std::string& value) {
  cJSON_AddItemToObject(object, key, cJSON_CreateString(value.c_str()));
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
  cJSON* params = cJSON_CreateObject();
  AddString(params, "type", "EMAIL");
  AddString(params, "email", email);
  lookup("regionGetByEmail", params, getApiGatewayHost());
}

void IotGlobalActivation::regionGetByPhone(const std::string& phoneLocationCode, const std::string& phone) {
  cJSON* params = cJSON_CreateObject();
  AddString(params, "type", "PHONE");
  AddString(params, "phoneLocationCode", phoneLocationCode);
  AddString(params, "phone", phone);
  lookup("regionGetByPhone", params, getApiGatewayHost());
}

void IotGlobalActivation::regionGetByCountryCode(const std::string& countryCode) {
  cJSON* params = cJSON_CreateObject();
  AddString(params, "type", "COUNTRY_CODE");
  AddString(params, "countryCode", countryCode);
  // Only the exact code "CN" goes to the API gateway; every other value goes
  // to the IoT API host of the Shanghai region.
  lookup("regionGetByCountryCode", params, countryCode == "CN" ? getApiGatewayHost() : getShanghaiIotApiHost());
}

void IotGlobalActivation::regionGetByAuthCode(const std::string& authCode) {
  cJSON* params = cJSON_CreateObject();
  AddString(params, "type", "THIRD_AUTHCODE");
  AddString(params, "authCode", authCode);
  lookup("regionGetByAuthCode", params, getApiGatewayHost());
}

IotGlobalActivation::LookupResult IotGlobalActivation::getLastLookupResult() const { return t_lastResult; }

void IotGlobalActivation::lookup(const char* function, cJSON* params, const std::string& host) {
  Result result;
  result.outcome = LookupOutcome::kNotSent;
  if (IotAsyncManager::getInstance()->isHttpManagerThread()) {
    cJSON_Delete(params);
    QZ_LOG_AS(function, 4, "lookup refused: called on the HTTP manager thread, which would wait for itself");
    result.detail = "a lookup cannot run on the HTTP manager thread";
    t_lastResult = result;
    return;
  }
  IotRequest record;
  record.protocol = 0;
  record.host = host;
  record.path = kRegionPath;
  record.id = QZRandom::getRandomGUID(32);
  std::string body;
  std::map<std::string, std::string> headers;
  if (!buildRequest(function, params, record.id, &body, &headers)) {
    result.detail = "the request body could not be built";
    t_lastResult = result;
    return;
  }
  t_lastResult = postAndWait(record, headers, body);
  if (t_lastResult.outcome != LookupOutcome::kNotSent) t_lastResult.attempts = 1;
}

bool IotGlobalActivation::buildRequest(const char* function, cJSON* params, const std::string& id, std::string* body,
                                       std::map<std::string, std::string>* headers) {
  httpUtil_.MakeHttpBody(params, kApiVersion, id, *body);  // takes params over
  if (body->empty()) {
    QZ_LOG_AS(function, 4, "id=%s, request body could not be built", id.c_str());
    return false;
  }
  if (iotcloud::GetLogMinLevel() <= 2) {
    QZ_LOG_AS(function, 2, "id=%s, http_body=%s", id.c_str(), BodyForLog(*body).c_str());
  }
  httpUtil_.MakeHttpHeader(kRegionPath, *body, *headers, false);
  return true;
}

IotGlobalActivation::LookupResult IotGlobalActivation::postAndWait(const IotRequest& record,
                                                                   std::map<std::string, std::string>& headers,
                                                                   const std::string& body) {
  const std::string& id = record.id;
  auto pending = std::make_shared<Pending>();
  {
    iotcloud::MutexLock lock(&waitMutex_);
    pending_[id] = pending;
  }
  auto forget = [this, &id] {
    iotcloud::MutexLock lock(&waitMutex_);
    pending_.erase(id);
  };
  AsyncHttpRequestManage* manage = IotAsyncManager::getInstance()->getAsyncHttpRequestManage();
  auto* request = new AsyncHttpRequest(ASYNC_HTTP_REQ_REGION_GET, manage, this, 0);
  IotRequest posted = record;
  if (request->Post(&posted, headers, body) != 0) {
    delete request;  // not handed over: still ours
    forget();
    Result result;
    result.outcome = LookupOutcome::kNotSent;
    result.detail = NotSentDetail(headers, manage);
    return result;
  }

  Result result;
  const int64_t timeoutMs = manage->HttpOptions()->totalTimeoutMs + kWaitMarginMs;
  if (!waitForAsyncResponse(ASYNC_HTTP_REQ_REGION_GET, *pending, timeoutMs, &result)) {
    // No answer in time: cancel the transfer, then take an answer that landed
    // meanwhile, if any (once RemoveRequests returns, none can land later).
    manage->RemoveRequests({id});
    iotcloud::MutexLock lock(&pending->mutex);
    if (pending->done) {
      result = pending->result;
    } else {
      result = Result();
      result.outcome = LookupOutcome::kTransportFailure;
      result.detail = "no answer within " + std::to_string(timeoutMs) + " ms";
    }
  }
  forget();
  return result;
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

void IotGlobalActivation::asyncResponseNotify(_AsyncHttpReqType type, const std::string& id,
                                              const LookupResult& result) {
  QZ_LOG(1, "notify wait end, type=%d", static_cast<int>(type));
  std::shared_ptr<Pending> pending;
  {
    iotcloud::MutexLock lock(&waitMutex_);
    auto it = pending_.find(id);
    if (it == pending_.end()) return;  // its caller gave up already
    pending = it->second;
  }
  {
    iotcloud::MutexLock lock(&pending->mutex);
    pending->done = true;
    pending->result = result;
  }
  // After unlocking, so the woken caller does not block on the mutex at once.
  pending->cond.Signal();
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

  Result result;
  bool save = false;
  const int status = response->httpStatus;
  // 0: the transport knew no status; the body alone decides, as it always did.
  if (status == 0 || (status >= 200 && status < 300)) {
    result = judgeSuccessAnswer(response->data, &save);
  }
  result.httpStatus = status;
  result.gatewayErrorCode = HeaderValue(*response, "x-ca-error-code");
  result.gatewayErrorMessage = HeaderValue(*response, "x-ca-error-message");
  result.requestId = HeaderValue(*response, "x-ca-request-id");
  if (status != 0 && (status < 200 || status >= 300)) {
    JudgeRefusal(*response, &result);
    QZ_LOG(4, "id=%s, no region: %s", request->id.c_str(), ForLog(result.detail).c_str());
  }
  result.attempts = 1;
  // A 2xx answer is followed by a save of the current region, skipped when
  // the cache holds its bytes already; a refusal or an incomplete answer
  // leaves the cache alone.
  if (save && !saveRegionIfCacheDiffers()) {
    result.saveFailed = true;
    result.detail += "; the region could not be saved in the cache";
  }
  asyncResponseNotify(type, request->id, result);
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
  Result result;
  result.outcome = LookupOutcome::kTransportFailure;
  result.curlCode = 0;
  ParseCurlFailure(exception->message, &result.curlCode);
  result.detail = std::string("transport failure: ") + curl_easy_strerror(static_cast<CURLcode>(result.curlCode)) +
                  " (" + CurlFailureText(result.curlCode) + ")" + ProxyFailureNote(*exception);
  asyncResponseNotify(type, request->id, result);
}

// ---- IHttpUtilCallback ------------------------------------------------------------

std::string IotGlobalActivation::OnStringSign(std::string text) {
  return getSharedPlatformImpl()->signString(std::move(text), 1);
}

std::string IotGlobalActivation::OnAppKeyGet() { return getSharedPlatformImpl()->getApplicationKey(); }

std::string IotGlobalActivation::OnLanguageGet() { return IotLanguageManager::getInstance()->getLanguage(); }

int32_t IotGlobalActivation::OnEnvGet() { return IotCacheManager::getInstance()->getEnv(); }
