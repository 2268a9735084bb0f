// IotGlobalActivation: the singleton, its region lookups as one-liners over
// the lookup engine under internal/ (the kinds of identifier, the state
// machine, the transport it runs on, the answer classifier, the region
// store and the clock), the blocking wait, and the callbacks through which
// the transport and the request builder reach it.
#include "core/api/smart/framework/IotGlobalActivation.h"

#include <algorithm>
#include <utility>

#include "core/api/smart/framework/IotAsyncManager.h"
#include "core/api/smart/framework/IotCacheManager.h"
#include "core/api/smart/framework/IotLanguageManager.h"
#include "core/api/smart/framework/internal/AnswerClassifier.h"
#include "core/api/smart/framework/internal/GatewayClock.h"
#include "core/api/smart/framework/internal/LookupKinds.h"
#include "core/api/smart/framework/internal/LookupMachine.h"
#include "core/api/smart/framework/internal/LookupRetry.h"
#include "core/api/smart/framework/internal/LookupTransport.h"
#include "core/api/smart/framework/internal/RegionStore.h"
#include "core/io/network/http/AsyncHttpRequest.h"
#include "core/support/Clock.h"
#include "core/support/DeploymentConfig.h"
#include "core/support/PlatformServices.h"
#include "core/support/QZRandom.h"
#include "core/support/TovoLog.h"
#include "core/support/UntrustedText.h"
#include "core/support/internal/HostCode.h"

using iotcloud::lookup::Identifiers;
using iotcloud::lookup::Machine;

namespace {

constexpr const char kRegionPath[] = "/velmo/account/region/get";
constexpr const char kApiVersion[] = "1.0.2";
// The most attempts a retry policy may ask for.
constexpr int kMaxAttempts = 10;

// The calling thread's last blocking lookup.
thread_local IotGlobalActivation::LookupResult t_lastResult;

}  // namespace

struct IotGlobalActivation::Parts {
  explicit Parts(IAsyncHttpReqCallback* callback) : transport(callback) {}

  iotcloud::lookup::RegionStore region;
  iotcloud::lookup::GatewayClock clock;
  iotcloud::lookup::RuntimeTransport transport;

  iotcloud::Mutex policyMutex;
  RetryPolicy policy IOTCLOUD_GUARDED_BY(policyMutex);

  iotcloud::Mutex executorMutex;
  CompletionExecutor executor IOTCLOUD_GUARDED_BY(executorMutex);

  iotcloud::Mutex hostsMutex;
  std::string apiGatewayHost IOTCLOUD_GUARDED_BY(hostsMutex) = IOTCLOUD_DEFAULT_API_GATEWAY_HOST;
  std::string shanghaiIotApiHost IOTCLOUD_GUARDED_BY(hostsMutex) = IOTCLOUD_DEFAULT_SHANGHAI_IOT_API_HOST;
};

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

IotGlobalActivation::IotGlobalActivation() : httpUtil_(this), parts_(std::make_unique<Parts>(this)) {
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
  QZ_LOG(1, "region info=%s", iotcloud::ForLog(text).c_str());
  return parts_->region.Restore(text);
}

void IotGlobalActivation::saveRegionInfoToCache(bool clear) {
  if (clear) {
    parts_->region.Clear();
  } else {
    parts_->region.Save();
  }
}

void IotGlobalActivation::resetRegion() { parts_->region.Reset(); }

IotRegionInfo IotGlobalActivation::getRegionInfo() { return parts_->region.Get(); }

void IotGlobalActivation::setIotGlobalActivationCallback(IIotGlobalActivationCallback* callback) {
  parts_->region.SetObserver(callback);
}

// ---- Gateway hosts, retry policy, clock ------------------------------------------

void IotGlobalActivation::setGatewayHosts(const std::string& apiGatewayHost, const std::string& shanghaiIotApiHost) {
  iotcloud::MutexLock lock(&parts_->hostsMutex);
  parts_->apiGatewayHost = apiGatewayHost;
  parts_->shanghaiIotApiHost = shanghaiIotApiHost;
}

std::string IotGlobalActivation::getApiGatewayHost() {
  iotcloud::MutexLock lock(&parts_->hostsMutex);
  return parts_->apiGatewayHost;
}

std::string IotGlobalActivation::getShanghaiIotApiHost() {
  iotcloud::MutexLock lock(&parts_->hostsMutex);
  return parts_->shanghaiIotApiHost;
}

void IotGlobalActivation::setRetryPolicy(const RetryPolicy& policy) {
  RetryPolicy kept = policy;
  kept.maxAttempts = std::min(std::max(kept.maxAttempts, 1), kMaxAttempts);
  kept.baseDelayMs = std::max<int64_t>(kept.baseDelayMs, 0);
  kept.maxDelayMs = std::max<int64_t>(kept.maxDelayMs, 0);
  if (kept.deadlineMs <= 0) kept.deadlineMs = RetryPolicy().deadlineMs;
  iotcloud::MutexLock lock(&parts_->policyMutex);
  parts_->policy = kept;
}

IotGlobalActivation::RetryPolicy IotGlobalActivation::getRetryPolicy() {
  iotcloud::MutexLock lock(&parts_->policyMutex);
  return parts_->policy;
}

int64_t IotGlobalActivation::getClockOffsetMs() const { return parts_->clock.OffsetMs(); }

void IotGlobalActivation::setWallClock(std::function<int64_t()> nowMs) { parts_->clock.SetWallClock(std::move(nowMs)); }

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

void IotGlobalActivation::regionGetByEmail(const std::string& email) { lookup({&iotcloud::lookup::kEmail, {email}}); }

void IotGlobalActivation::regionGetByPhone(const std::string& phoneLocationCode, const std::string& phone) {
  lookup({&iotcloud::lookup::kPhone, {phoneLocationCode, phone}});
}

void IotGlobalActivation::regionGetByCountryCode(const std::string& countryCode) {
  lookup({&iotcloud::lookup::kCountryCode, {countryCode}});
}

void IotGlobalActivation::regionGetByAuthCode(const std::string& authCode) {
  lookup({&iotcloud::lookup::kAuthCode, {authCode}});
}

IotGlobalActivation::LookupHandle IotGlobalActivation::regionGetByLoginIdAsync(const std::string& loginId,
                                                                               const std::string& phoneLocationCode,
                                                                               LookupCompletion completion) {
  return isEmail(loginId) ? regionGetByEmailAsync(loginId, std::move(completion))
                          : regionGetByPhoneAsync(phoneLocationCode, loginId, std::move(completion));
}

IotGlobalActivation::LookupHandle IotGlobalActivation::regionGetByEmailAsync(const std::string& email,
                                                                             LookupCompletion completion) {
  return startAsync({&iotcloud::lookup::kEmail, {email}}, std::move(completion));
}

IotGlobalActivation::LookupHandle IotGlobalActivation::regionGetByPhoneAsync(const std::string& phoneLocationCode,
                                                                             const std::string& phone,
                                                                             LookupCompletion completion) {
  return startAsync({&iotcloud::lookup::kPhone, {phoneLocationCode, phone}}, std::move(completion));
}

IotGlobalActivation::LookupHandle IotGlobalActivation::regionGetByCountryCodeAsync(const std::string& countryCode,
                                                                                   LookupCompletion completion) {
  return startAsync({&iotcloud::lookup::kCountryCode, {countryCode}}, std::move(completion));
}

IotGlobalActivation::LookupHandle IotGlobalActivation::regionGetByAuthCodeAsync(const std::string& authCode,
                                                                                LookupCompletion completion) {
  return startAsync({&iotcloud::lookup::kAuthCode, {authCode}}, std::move(completion));
}

IotGlobalActivation::LookupResult IotGlobalActivation::getLastLookupResult() const { return t_lastResult; }

void IotGlobalActivation::setCompletionExecutor(CompletionExecutor executor) {
  iotcloud::MutexLock lock(&parts_->executorMutex);
  parts_->executor = std::move(executor);
}

IotGlobalActivation::LookupHandle IotGlobalActivation::startAsync(const Identifiers& identifiers,
                                                                  LookupCompletion completion) {
  CompletionExecutor executor;
  {
    iotcloud::MutexLock lock(&parts_->executorMutex);
    executor = parts_->executor;
  }
  if (executor && completion) {
    completion = [executor = std::move(executor), completion = std::move(completion)](const LookupResult& result) {
      auto run = [completion, result] { completion(result); };
      bool handed = false;
      iotcloud::CallHostCode("the completion executor", [&] {
        executor([run] { iotcloud::CallHostCode("a lookup's completion", run); });
        handed = true;
      });
      if (!handed) run();
    };
  }
  return LookupHandle(startLookup(identifiers, std::move(completion), nullptr));
}

bool IotGlobalActivation::LookupHandle::cancel() {
  std::shared_ptr<Machine> lookup = lookup_.lock();
  return lookup && lookup->Cancel();
}

void IotGlobalActivation::lookup(const Identifiers& identifiers) {
  if (parts_->transport.IsDriverThread()) {
    QZ_LOG_AS(identifiers.kind->function, 4,
              "lookup refused: called on the HTTP manager thread, which would wait for itself");
    t_lastResult = LookupResult();
    t_lastResult.outcome = LookupOutcome::kNotSent;
    t_lastResult.detail = "a lookup cannot run on the HTTP manager thread";
    return;
  }
  auto pending = std::make_shared<Pending>();
  const auto began = std::chrono::steady_clock::now();
  bool sent = false;
  const std::shared_ptr<Machine> started = startLookup(
      identifiers, [pending](const LookupResult& result) { asyncResponseNotify(*pending, result); }, &sent);
  LookupResult result;
  if (!sent) {
    iotcloud::MutexLock lock(&pending->mutex);
    t_lastResult = pending->result;
    return;
  }
  if (!waitForAsyncResponse(*pending, *started, &result)) {
    // No end in time: cancel, unless the end is being delivered right now.
    if (started->Cancel()) {
      const auto waited =
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began).count();
      result = LookupResult();
      result.outcome = LookupOutcome::kTransportFailure;
      result.detail = "no answer within " + std::to_string(waited) + " ms";
    } else {
      iotcloud::MutexLock lock(&pending->mutex);
      while (!pending->done) pending->cond.Wait();
      result = pending->result;
    }
  }
  t_lastResult = result;
}

std::shared_ptr<Machine> IotGlobalActivation::startLookup(const Identifiers& identifiers, LookupCompletion completion,
                                                          bool* sent) {
  const iotcloud::lookup::Kind& kind = *identifiers.kind;
  Machine::Request request;
  request.function = kind.function;
  request.path = kRegionPath;
  request.host = kind.host == iotcloud::lookup::HostRule::kChinaOrShanghai && identifiers.values[0] != "CN"
                     ? getShanghaiIotApiHost()
                     : getApiGatewayHost();
  request.build = [this, identifiers](const std::string& id, int64_t dateMs, std::string* body,
                                      Machine::Headers* headers) {
    httpUtil_.MakeHttpBody(identifiers.Params().release(), kApiVersion, id, *body);  // takes the params over
    if (body->empty()) {
      QZ_LOG_AS(identifiers.kind->function, 4, "id=%s, request body could not be built", id.c_str());
      return false;
    }
    QZ_LOG_AS(identifiers.kind->function, 2, "id=%s, http_body=%s", id.c_str(), identifiers.BodyForLog(*body).c_str());
    httpUtil_.MakeHttpHeader(kRegionPath, *body, *headers, false, dateMs / 1000);
    return true;
  };
  request.takeSuccess = [this, identifiers](const IotResponse& response) {
    iotcloud::lookup::RegionVerdict verdict = iotcloud::lookup::ClassifyRegionAnswer(response.data);
    LookupResult& result = verdict.result;
    for (const char* key : verdict.absent) QZ_LOG_AS(identifiers.kind->function, 4, "%s not found.", key);
    if (verdict.hasRegion) {
      result.outcome = parts_->region.TakeOver(verdict.region);
      result.detail = (result.outcome == LookupOutcome::kChanged ? "region changed to " : "region unchanged: ") +
                      verdict.region.getRegionId();
    } else {
      // An answer that is no lookup answer at all is shown, cut, for whoever
      // has to find out what answered.
      const std::string shown = result.outcome == LookupOutcome::kUnreadableAnswer
                                    ? result.detail + ": " + iotcloud::ForLog(identifiers.MaskIn(response.data))
                                    : iotcloud::ForLog(identifiers.MaskIn(result.detail));
      QZ_LOG_AS(identifiers.kind->function, 4, "no region: %s", shown.c_str());
    }
    // A 2xx answer is followed by a save of the current region, skipped when
    // the cache holds its bytes already; an incomplete answer leaves the
    // cache alone.
    if (verdict.save && !parts_->region.SaveIfCacheDiffers()) {
      result.saveFailed = true;
      result.detail += "; the region could not be saved in the cache";
    }
    return result;
  };
  request.maskForLog = [identifiers](const std::string& text) { return identifiers.MaskIn(text); };
  auto machine = std::make_shared<Machine>(parts_->transport, parts_->clock, std::move(request), getRetryPolicy(),
                                           std::move(completion));
  const bool wasSent = machine->Start();
  if (sent != nullptr) *sent = wasSent;
  return machine;
}

bool IotGlobalActivation::waitForAsyncResponse(Pending& pending, const Machine& lookup, LookupResult* result) {
  QZ_LOG(1, "wait for response, type=%d", static_cast<int>(ASYNC_HTTP_REQ_REGION_GET));
  const int64_t start = get_time();
  iotcloud::MutexLock lock(&pending.mutex);
  // The lookup's deadline is known only once its first attempt has left the
  // transport's queue: asked again at least every second.
  for (auto now = std::chrono::steady_clock::now(); !pending.done; now = std::chrono::steady_clock::now()) {
    const auto giveUpAt = lookup.WaitDeadline();
    if (now >= giveUpAt) break;
    pending.cond.WaitUntil(std::min(giveUpAt, now + std::chrono::seconds(1)));
  }
  const bool done = pending.done;
  if (done) *result = std::move(pending.result);
  QZ_LOG(1, "wait end, cost %lldms", static_cast<long long>(get_time() - start));
  return done;
}

void IotGlobalActivation::asyncResponseNotify(Pending& pending, const LookupResult& result) {
  QZ_LOG(1, "notify wait end, type=%d", static_cast<int>(ASYNC_HTTP_REQ_REGION_GET));
  {
    iotcloud::MutexLock lock(&pending.mutex);
    pending.done = true;
    pending.result = result;
  }
  // After unlocking, so the woken caller does not block on the mutex at once.
  pending.cond.Signal();
}

void IotGlobalActivation::warmUp() {
  IotRequest record;
  record.protocol = 0;
  record.host = getApiGatewayHost();
  record.path = "/";
  record.id = QZRandom::getRandomGUID(32);
  // No callback: the answer (any status) or a failure is dropped; the
  // connection stays in the transport's pool.
  auto request = std::make_unique<AsyncHttpRequest>(
      ASYNC_HTTP_REQ_REGION_GET, IotAsyncManager::getInstance()->getAsyncHttpRequestManage(), nullptr, 0);
  if (request->Connect(&record) == 0) {
    static_cast<void>(request.release());  // the request manager's now
  } else {
    QZ_LOG(2, "warm-up not started (is IotAsyncManager initialised?)");
  }
}

// ---- Completions (HTTP manager thread) ------------------------------------------

void IotGlobalActivation::OnResponse(const IotRequest* request, IotResponse* response, _AsyncHttpReqType type) {
  const std::shared_ptr<Machine> lookup =
      type == ASYNC_HTTP_REQ_REGION_GET ? parts_->transport.Take(request->id) : nullptr;
  if (iotcloud::GetLogMinLevel() <= 1) {
    // A lookup's answer may echo what it sent; one whose lookup is gone is
    // not shown at all.
    const std::string shown = lookup ? iotcloud::ForLog(lookup->MaskForLog(response->data))
                              : type == ASYNC_HTTP_REQ_REGION_GET
                                  ? "(" + std::to_string(response->data.size()) + " bytes)"
                                  : iotcloud::ForLog(response->data);
    QZ_LOG(1, "cloud id=%s response=%s", request->id.c_str(), shown.c_str());
  }
  if (lookup) lookup->OnAnswer(request->id, *response);
}

void IotGlobalActivation::OnFailure(const IotRequest* request, const IotException* exception, _AsyncHttpReqType type) {
  if (type != ASYNC_HTTP_REQ_REGION_GET) return;
  const std::shared_ptr<Machine> lookup = parts_->transport.Take(request->id);
  if (lookup) lookup->OnFailure(request->id, *exception);
}

// ---- IHttpUtilCallback ------------------------------------------------------------

std::string IotGlobalActivation::OnStringSign(std::string text) {
  return getSharedPlatformImpl()->signString(std::move(text), 1);
}

std::string IotGlobalActivation::OnAppKeyGet() { return getSharedPlatformImpl()->getApplicationKey(); }

std::string IotGlobalActivation::OnLanguageGet() { return IotLanguageManager::getInstance()->getLanguage(); }

int32_t IotGlobalActivation::OnEnvGet() { return IotCacheManager::getInstance()->getEnv(); }
