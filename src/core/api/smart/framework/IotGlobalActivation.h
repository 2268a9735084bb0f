// The current cloud region of the user's account, and the lookups that find
// it.
//
// IotGlobalActivation asks the account service, through the cloud's API
// gateway, which region serves an account: by e-mail address, by phone number
// with its phone location code, by country code, or by an external login's
// authorisation code. Each lookup is one signed HTTPS POST to
// "/velmo/account/region/get" and blocks its caller until the answer has been
// handled: a region different from the current one has been taken over, the
// observer has been told and the region has been saved in the platform cache
// under "region" (the write is skipped when the cache holds those bytes
// already). The next start restores it with init(). Only a 2xx answer that
// names a complete region can change the region; a gateway refusal, any
// other HTTP status (redirects are never followed) and an incomplete answer
// change nothing, the cache included. getLastLookupResult() says which.
//
// Start-up order expected of the host:
//   IotCacheManager::getInstance()->setSmartInitConfig(config);
//   IotAsyncManager::getInstance()->init();
//   IotGlobalActivation::getInstance()->init();          // restore
//   IotGlobalActivation::getInstance()->setIotGlobalActivationCallback(&observer);
//
// Threads and locks:
//  - Lookups run on the calling host thread and block it until their own
//    answer has been handled, or until a deadline a little past the transfer
//    limits. Several threads may look up at once; each is released by its own
//    answer only. A lookup on the HTTP manager thread (for instance from
//    inside OnRegionInfoChanged) is refused at once: it would wait for a
//    completion only that thread can deliver.
//  - OnResponse/OnFailure run on the HTTP manager thread (OnFailure also on
//    the thread running IotAsyncManager::deInit() for transfers cut short).
//  - regionMutex_ guards the current region and is held across the cache
//    write that saves it, so saves land in the order the region changed. Lock
//    order: regionMutex_ before IotCacheManager's lock; nothing here is called
//    back from the cache.
//  - observerMutex_ (recursive) guards the observer pointer and is held while
//    the observer runs, so once setIotGlobalActivationCallback returns, the
//    previous observer is never called again. The observer may read the
//    region and replace itself from inside its call; it must not start a
//    lookup (refused, see above) or wait for a thread that does.
//  - waitMutex_ guards the table of lookups in flight. Each lookup waits on
//    a completion of its own (its own mutex and condition variable), so an
//    answer wakes its caller and no other.
//  - hostsMutex_ guards the gateway host names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "core/api/smart/framework/IotRegionInfo.h"
#include "core/io/network/http/AsyncHttpTypes.h"
#include "core/io/network/http/HttpUtil.h"
#include "core/support/Export.h"
#include "core/support/Mutex.h"

typedef struct cJSON cJSON;

class IOTCLOUD_API IotGlobalActivation : public IAsyncHttpReqCallback, public IHttpUtilCallback {
 public:
  // The host's observer of region changes. Borrowed, never deleted by the
  // library.
  class IOTCLOUD_API IIotGlobalActivationCallback {
   public:
    virtual ~IIotGlobalActivationCallback();
    // A lookup brought a region different from the current one; `regionInfo`
    // is the new current region. Runs on the HTTP manager thread, before the
    // region is saved and before the lookup returns. Must not start a lookup.
    virtual void OnRegionInfoChanged(const IotRegionInfo& regionInfo) = 0;
  };

  // Why the calling thread's last lookup did or did not change the region.
  // Only kChanged and kUnchanged come from an answer that named a region;
  // every other outcome leaves the region and the observer alone. The cache
  // is written only after a 2xx answer that is not incomplete (see the
  // README, "When lookups fail").
  enum class LookupOutcome {
    kNone,              // this thread has not looked up yet
    kChanged,           // a new region was taken over and announced (see saveFailed for its save)
    kUnchanged,         // the answer equals the current region
    kServiceError,      // a 2xx answer whose JSON "code" is other than 200
    kUnreadableAnswer,  // a 2xx answer that is not a region lookup response
    kTransportFailure,  // the transfer failed (curlCode) or no answer came in time
    kNotSent,           // the request never left (transport not running, refused)
    kGatewayRefused,    // status 400 or above with an "X-Ca-Error-Code": the gateway itself refused the request
    kHttpStatus,        // any other status outside 2xx (a 3xx is not followed; detail quotes its Location)
    kIncompleteAnswer,  // a success answer without regionId or one of the endpoints (serviceMessage names it)
  };
  // Text from the answer's headers is kept as received, cut to
  // kHeaderValueBytes bytes; escape it before it reaches a terminal.
  static constexpr size_t kHeaderValueBytes = 256;
  struct LookupResult {
    LookupOutcome outcome = LookupOutcome::kNone;
    int serviceCode = 0;         // kServiceError: the answer's "code"
    std::string serviceMessage;  // kServiceError: the answer's "message" (may be empty);
                                 // kIncompleteAnswer: the member that is missing or empty
    int curlCode = 0;            // kTransportFailure: libcurl's result code; 0 for a missed deadline
    std::string detail;          // one human-readable line
    // Set whenever an answer came (any outcome but kTransportFailure,
    // kNotSent and kNone):
    int httpStatus = 0;               // the answer's HTTP status
    std::string gatewayErrorCode;     // its "X-Ca-Error-Code" header; empty when absent
    std::string gatewayErrorMessage;  // its "X-Ca-Error-Message" header
    std::string requestId;            // its "X-Ca-Request-Id": quote it to the gateway's operator
    // Requests sent for this lookup: 1 once one was handed to the transport,
    // 0 for kNotSent. Lookups do not retry yet, so it is never more than 1.
    int attempts = 0;
    // The answer asked for a cache write (the region changed, or the cache
    // did not hold it) and the write failed: the region in memory is right,
    // the next start will not restore it.
    bool saveFailed = false;
  };
  static const char* OutcomeName(LookupOutcome outcome);

  static IotGlobalActivation* getInstance();

  // Restores the region saved by the last run; see restoreRegionInfoFromCache.
  bool init();
  // Loads the current region from the cache entry "region". False when there
  // is none (logged "No region info found.") or it is not JSON; the region
  // then keeps its value. A JSON text sets each field it holds.
  bool restoreRegionInfoFromCache();
  // clear false: writes the current region as region JSON under "region".
  // clear true: resets the region to the China defaults and writes the empty
  // string there. The observer is not called.
  void saveRegionInfoToCache(bool clear);
  // The current region back to the China defaults, in memory only.
  void resetRegion();
  // A copy of the current region. Any thread, also during a lookup.
  IotRegionInfo getRegionInfo();
  // Sets the observer (null removes it). Waits for a running observer call to
  // end unless called from inside it.
  void setIotGlobalActivationCallback(IIotGlobalActivationCallback* callback);

  // Lookups. Each blocks until its answer has been handled; see
  // getLastLookupResult() for the outcome.
  void regionGetByLoginId(std::string loginId, std::string phoneLocationCode);
  static bool isEmail(const std::string& text);
  void regionGetByEmail(const std::string& email);
  void regionGetByPhone(const std::string& phoneLocationCode, const std::string& phone);
  void regionGetByCountryCode(const std::string& countryCode);
  void regionGetByAuthCode(const std::string& authCode);

  // The outcome of the calling thread's last lookup.
  LookupResult getLastLookupResult() const;

  // Opens a verified connection to the API gateway host in the background,
  // which later lookups then reuse, so the first lookup need not pay for the
  // connection. Returns at once; whether it succeeds changes nothing else.
  // Worth calling once IotAsyncManager::init() ran and the hosts are set.
  // Any thread.
  void warmUp();

  // Gateway hosts that lookups post to: the API gateway, and the IoT API host
  // of the Shanghai region (country-code lookups for codes other than "CN").
  // A host may carry ":port". Defaults are the deployment's build-time
  // settings. Any thread; applies to lookups started afterwards.
  void setGatewayHosts(const std::string& apiGatewayHost, const std::string& shanghaiIotApiHost);
  std::string getApiGatewayHost();
  std::string getShanghaiIotApiHost();

  // IAsyncHttpReqCallback.
  void OnFailure(const IotRequest* request, const IotException* exception, _AsyncHttpReqType type) override;
  void OnResponse(const IotRequest* request, IotResponse* response, _AsyncHttpReqType type) override;

  ~IotGlobalActivation() override;

  // IHttpUtilCallback: answers from the platform services and the settings.
  std::string OnStringSign(std::string text) override;
  std::string OnAppKeyGet() override;
  std::string OnLanguageGet() override;
  int32_t OnEnvGet() override;

  IotGlobalActivation(const IotGlobalActivation&) = delete;
  IotGlobalActivation& operator=(const IotGlobalActivation&) = delete;

 private:
  IotGlobalActivation();

  // One lookup's completion: its caller waits on `cond`; the answer's
  // callback fills it in. Shared, so the callback can signal after leaving
  // waitMutex_ even when the caller has given up meanwhile.
  struct Pending {
    iotcloud::Mutex mutex;
    iotcloud::CondVar cond{&mutex};
    bool done IOTCLOUD_GUARDED_BY(mutex) = false;
    LookupResult result IOTCLOUD_GUARDED_BY(mutex);
  };

  // Posts one lookup with `params` (taken over) to `host` and waits for it.
  // `function` names the lookup in log lines.
  void lookup(const char* function, cJSON* params, const std::string& host);
  // The body (taking `params` over) and the signed headers of lookup `id`;
  // false (logged) when the body cannot be built.
  bool buildRequest(const char* function, cJSON* params, const std::string& id, std::string* body,
                    std::map<std::string, std::string>* headers);
  // Posts the lookup and waits for its outcome (kNotSent when the transport
  // refused it; kTransportFailure when no answer came in time).
  LookupResult postAndWait(const IotRequest& record, std::map<std::string, std::string>& headers,
                           const std::string& body);
  // Blocks until `pending` has completed or `timeoutMs` has passed. True
  // when it completed; its result is then in *result.
  bool waitForAsyncResponse(_AsyncHttpReqType type, Pending& pending, int64_t timeoutMs, LookupResult* result);
  // Marks lookup `id` complete with `result` and wakes its caller.
  void asyncResponseNotify(_AsyncHttpReqType type, const std::string& id, const LookupResult& result);
  // Takes a parsed answer over; returns kChanged or kUnchanged.
  LookupOutcome takeOver(const IotRegionInfo& fresh);
  // Saves the current region unless the cache holds exactly its bytes. False
  // when the write was needed and failed.
  bool saveRegionIfCacheDiffers();
  // The outcome of a 2xx answer; *save tells whether the current region is
  // to be saved afterwards.
  LookupResult judgeSuccessAnswer(const std::string& data, bool* save);

  static iotcloud::Mutex mutex_;
  static IotGlobalActivation* pInstance_ IOTCLOUD_GUARDED_BY(mutex_);

  iotcloud::Mutex regionMutex_;
  IotRegionInfo regionInfo_ IOTCLOUD_GUARDED_BY(regionMutex_);
  // The region last compared with the cache and its JSON text, so an
  // unchanged answer does not print the region again.
  IotRegionInfo lastSaveChecked_ IOTCLOUD_GUARDED_BY(regionMutex_);
  std::string lastSaveCheckedJson_ IOTCLOUD_GUARDED_BY(regionMutex_);

  iotcloud::RecursiveMutex observerMutex_;
  IIotGlobalActivationCallback* observer_ IOTCLOUD_GUARDED_BY(observerMutex_) = nullptr;

  iotcloud::Mutex waitMutex_;
  // lookups in flight by request id
  std::map<std::string, std::shared_ptr<Pending>> pending_ IOTCLOUD_GUARDED_BY(waitMutex_);

  iotcloud::Mutex hostsMutex_;
  std::string apiGatewayHost_ IOTCLOUD_GUARDED_BY(hostsMutex_);
  std::string shanghaiIotApiHost_ IOTCLOUD_GUARDED_BY(hostsMutex_);

  HttpUtil httpUtil_;
};

// The observer type under its short name.
using IIotGlobalActivationCallback = IotGlobalActivation::IIotGlobalActivationCallback;
