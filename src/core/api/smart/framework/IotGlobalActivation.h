// The current cloud region of the user's account, and the lookups that find
// it.
//
// IotGlobalActivation asks the account service, through the cloud's API
// gateway, which region serves an account: by e-mail address, by phone number
// with its phone location code, by country code, or by an external login's
// authorisation code. Each lookup is a signed HTTPS POST to
// "/velmo/account/region/get", sent again after a transient failure as the
// retry policy allows (see RetryPolicy; exactly one request when maxAttempts
// is 1), and ends once its final answer has been handled: a region
// different from the current one has been taken over, the observer has been
// told and the region has been saved in the platform cache under "region"
// (the write is skipped when the cache holds those bytes already). The
// blocking calls (regionGetBy...) wait for that end; the asynchronous ones
// (regionGetBy...Async) return at once and report it to a completion. Only
// the final answer touches the region, the observer and the cache. The next start restores it with init(). Only a 2xx
// answer that names a complete region can change the region; a gateway refusal, any other HTTP status (redirects are
// never followed) and an incomplete answer change nothing, the cache included. getLastLookupResult() says which.
//
// Start-up order expected of the host:
//   IotCacheManager::getInstance()->setSmartInitConfig(config);
//   IotAsyncManager::getInstance()->init();
//   IotGlobalActivation::getInstance()->init();          // restore
//   IotGlobalActivation::getInstance()->setIotGlobalActivationCallback(&observer);
//
// Threads:
//  - A blocking lookup blocks its calling thread until its own final answer
//    has been handled, or until a little past the lookup's deadline. Several
//    threads may look up at once; each is released by its own lookup only. A
//    blocking lookup on the HTTP manager thread (for instance from inside
//    OnRegionInfoChanged or a completion) is refused at once: it would wait
//    for a completion only that thread can deliver.
//  - An asynchronous lookup's later attempts, its waits between attempts
//    (timers of the HTTP manager thread's wait: no thread sleeps) and its
//    completion run on the HTTP manager thread; see LookupCompletion for the
//    exceptions.
//  - The final answer is handled on the HTTP manager thread: the region is
//    taken over, the observer told, then the region saved. getRegionInfo()
//    and LookupHandle::cancel() never wait for that save or for another
//    lookup's answer; setIotGlobalActivationCallback waits only for a call
//    of the observer in progress on another thread; saveRegionInfoToCache,
//    restoreRegionInfoFromCache and init() read or write the cache on the
//    calling thread (and may wait for a save in progress).
//  - Host code the library calls (completions, the observer) runs with no
//    lock of the library held; an exception it throws is logged at level 4
//    and changes nothing.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "../../../io/network/http/AsyncHttpTypes.h"
#include "../../../io/network/http/HttpUtil.h"
#include "../../../support/Export.h"
#include "../../../support/Mutex.h"
#include "IotRegionInfo.h"

namespace iotcloud {
namespace lookup {
class Machine;       // one lookup's state machine
struct Identifiers;  // what one lookup sends
}  // namespace lookup
}  // namespace iotcloud

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
    kCancelled,         // an asynchronous lookup cancelled before its answer was handled
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
    // kNotSent, kCancelled and kNone); from the last attempt:
    int httpStatus = 0;               // the answer's HTTP status
    std::string gatewayErrorCode;     // its "X-Ca-Error-Code" header; empty when absent
    std::string gatewayErrorMessage;  // its "X-Ca-Error-Message" header
    std::string requestId;            // its "X-Ca-Request-Id": quote it to the gateway's operator
    // Requests handed to the transport for this lookup (0 when none was);
    // the outcome is the last one's.
    int attempts = 0;
    // One line per earlier attempt: what it met and why another followed.
    // Text from the answers is quoted as received; escape it for a terminal.
    std::vector<std::string> earlierAttempts;
    // The answer asked for a cache write (the region changed, or the cache
    // did not hold it) and the write failed: the region in memory is right,
    // the next start will not restore it.
    bool saveFailed = false;
  };
  static const char* OutcomeName(LookupOutcome outcome);

  // How a lookup retries. Retried: a connection refused or reset, a name
  // that did not resolve, a connect or transfer time-out, HTTP 408, 429,
  // 500, 502, 503 and 504. Not retried: TLS failures, other refusals, service
  // errors and unreadable answers. The wait before retry n (1 for the
  // second attempt) is random in [0, min(maxDelayMs, baseDelayMs * 2^(n-1))],
  // or what the answer's "Retry-After" asks (seconds or an HTTP date), capped
  // by maxDelayMs. Every attempt is signed afresh (new nonce and date). No
  // later attempt starts with less than 100 ms left before the deadline, and
  // each attempt's time limits are cut to what remains of it. A refusal of the request's date (see
  // getClockOffsetMs) is retried once at once, outside this budget.
  struct RetryPolicy {
    int maxAttempts = 3;        // attempts per lookup, the first included; 1: never retry
    int64_t baseDelayMs = 250;  // see above; 0: retry at once
    int64_t maxDelayMs = 4000;  // cap of every wait
    // From when the first attempt enters the transport (time queued behind
    // other requests does not count) to the end of the last attempt.
    int64_t deadlineMs = 30000;
  };
  // Applies to lookups started afterwards. maxAttempts is kept within 1..10,
  // negative delays count as 0, a deadline of 0 or below as the default.
  // Huge values are taken: the clock arithmetic saturates ("very long").
  // Any thread.
  void setRetryPolicy(const RetryPolicy& policy);
  RetryPolicy getRetryPolicy();

  // The gateway's clock minus the local clock, in milliseconds, as learnt
  // from refusals: when the gateway refuses a request (status 400 or above)
  // and its "Date" is more than 5 minutes from the date the request carried
  // (and less than 30 days from the local clock), every later request is
  // dated by the gateway's clock, and the refused attempt is sent again at
  // once. The offset returns to 0 once an answer's "Date" agrees with the
  // local clock within a minute. Each request takes one reading of it. Any
  // thread.
  int64_t getClockOffsetMs() const;
  // The wall clock, in milliseconds since 1970, that dates requests and that
  // answers' "Date" headers are read against; null restores the system
  // clock. For hosts with a trusted time source, and for tests. Any thread.
  void setWallClock(std::function<int64_t()> nowMs);

  // An asynchronous lookup's end. Called exactly once per lookup, with the
  // same LookupResult a blocking lookup leaves (or kCancelled). It runs after
  // the final answer has been handled (region taken over, observer told,
  // cache written), on the HTTP manager thread, with two exceptions: a lookup
  // whose first request cannot be handed to the transport (kNotSent)
  // completes on the calling thread before the call returns; and lookups
  // still pending when IotAsyncManager::deInit() stops the transport
  // complete on the thread calling deInit(), with kTransportFailure and
  // curlCode 42 (kCancelled when cancel() came first). It must not block and
  // must not start a blocking lookup (refused); it may start or cancel
  // asynchronous lookups.
  using LookupCompletion = std::function<void(const LookupResult& result)>;

  // Where asynchronous lookups' completions run. Without an executor (the
  // default) they run as LookupCompletion says. With one, each completion of
  // an asynchronous lookup, whatever its outcome, is handed to the executor
  // as a function to call once, on a thread of the host's choosing: a UI
  // host posts it to its event loop. The executor is called where the
  // completion would have run (the HTTP manager thread, the thread calling
  // deInit(), or the calling thread for kNotSent) and must not block; it
  // must run every function handed to it exactly once, also those handed
  // over during or after deInit(). One that throws has not taken the
  // function: the exception is logged and the completion runs at once.
  // Blocking lookups and the observer never go through it. Applies to
  // lookups started afterwards; null removes it. Any thread.
  using CompletionExecutor = std::function<void(std::function<void()> completion)>;
  void setCompletionExecutor(CompletionExecutor executor);

  // Refers to one asynchronous lookup; cheap to copy. An empty handle (also
  // the one of a lookup that completed at once) cancels nothing.
  class IOTCLOUD_API LookupHandle {
   public:
    LookupHandle() = default;
    // Cancels the lookup unless its final answer is being handled or it has
    // completed: the transfer in flight or the wait for the next attempt is
    // dropped, nothing else changes, and the completion reports kCancelled
    // on the HTTP manager thread (on this thread when the transport is
    // stopped). True when it cancelled; false when the completion reports,
    // or reported, the lookup's own end: exactly one of the two. Never waits
    // for another lookup or a save. Any thread, also inside a completion.
    bool cancel();

   private:
    friend class IotGlobalActivation;
    explicit LookupHandle(std::weak_ptr<iotcloud::lookup::Machine> lookup) : lookup_(std::move(lookup)) {}
    std::weak_ptr<iotcloud::lookup::Machine> lookup_;
  };

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

  // The outcome of the calling thread's last blocking lookup.
  LookupResult getLastLookupResult() const;

  // The same lookups without blocking: each returns at once and reports its
  // outcome to `completion` (see LookupCompletion). Any thread, the HTTP
  // manager thread included.
  LookupHandle regionGetByLoginIdAsync(const std::string& loginId, const std::string& phoneLocationCode,
                                       LookupCompletion completion);
  LookupHandle regionGetByEmailAsync(const std::string& email, LookupCompletion completion);
  LookupHandle regionGetByPhoneAsync(const std::string& phoneLocationCode, const std::string& phone,
                                     LookupCompletion completion);
  LookupHandle regionGetByCountryCodeAsync(const std::string& countryCode, LookupCompletion completion);
  LookupHandle regionGetByAuthCodeAsync(const std::string& authCode, LookupCompletion completion);

  // Opens a verified connection to the API gateway host in the background,
  // which later lookups then reuse. It spares the first lookup the
  // connection only once it is up, about three round trips after the call
  // (TCP, TLS, the HEAD request): a lookup started before that opens a
  // connection of its own. Returns at once; whether it succeeds changes
  // nothing else. Worth calling once IotAsyncManager::init() ran and the
  // hosts are set, well before the first lookup. Any thread.
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
  struct Parts;  // the lookup engine's parts; defined by the implementation

  IotGlobalActivation();

  // A blocking lookup's end: its caller waits on `cond`; the lookup's
  // completion fills it in. Shared, so a completion that comes after the
  // caller gave up finds it still alive.
  struct Pending {
    iotcloud::Mutex mutex;
    iotcloud::CondVar cond{&mutex};
    bool done IOTCLOUD_GUARDED_BY(mutex) = false;
    LookupResult result IOTCLOUD_GUARDED_BY(mutex);
  };

  // Runs one lookup for `identifiers` and waits for its end; the result
  // becomes the calling thread's last.
  void lookup(const iotcloud::lookup::Identifiers& identifiers);
  // Starts one lookup: sends its first attempt, or completes it at once when
  // that cannot be sent (*sent, when not null, tells which).
  std::shared_ptr<iotcloud::lookup::Machine> startLookup(const iotcloud::lookup::Identifiers& identifiers,
                                                         LookupCompletion completion, bool* sent);
  // The same for an asynchronous lookup: its completion goes through the
  // completion executor when one is set.
  LookupHandle startAsync(const iotcloud::lookup::Identifiers& identifiers, LookupCompletion completion);
  // Blocks until `pending` has completed or a little past `lookup`'s
  // deadline. True when it completed; its result is then in *result.
  static bool waitForAsyncResponse(Pending& pending, const iotcloud::lookup::Machine& lookup, LookupResult* result);
  // Marks `pending` complete with `result` and wakes its caller.
  static void asyncResponseNotify(Pending& pending, const LookupResult& result);

  static iotcloud::Mutex mutex_;
  static IotGlobalActivation* pInstance_ IOTCLOUD_GUARDED_BY(mutex_);

  HttpUtil httpUtil_;
  const std::unique_ptr<Parts> parts_;
};

// The observer type under its short name.
using IIotGlobalActivationCallback = IotGlobalActivation::IIotGlobalActivationCallback;
