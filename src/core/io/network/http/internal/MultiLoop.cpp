#include "core/io/network/http/internal/MultiLoop.h"

#include <algorithm>
#include <iterator>
#include <string_view>
#include <utility>

#include "core/io/network/http/internal/EasySetup.h"
#include "core/support/TovoLog.h"
#include "core/support/UntrustedText.h"

namespace iotcloud {
namespace http {
namespace {

// The loop whose step runs on this thread's stack (a callback calling back
// into the manager is then refused where it would re-enter the step).
thread_local const MultiLoop* t_inStepOf = nullptr;

class StepScope {
 public:
  explicit StepScope(const MultiLoop* loop) : previous_(t_inStepOf) { t_inStepOf = loop; }
  ~StepScope() { t_inStepOf = previous_; }
  StepScope(const StepScope&) = delete;
  StepScope& operator=(const StepScope&) = delete;

 private:
  const MultiLoop* previous_;
};

// The hosts whose connections libcurl's connection cache keeps in full.
constexpr long kKeptHosts = 4;

// Origins remembered at most; past it those with nothing in libcurl are
// forgotten (they count as multiplexing again until a transfer ends).
constexpr size_t kKnownOrigins = 64;

std::string_view OriginOf(const PostedRequest& state) {
  return std::string_view(state.url).substr(0, state.originLength);
}

// Every failure of a multi-handle call is logged the same way.
void LogMultiFailure(const char* call, CURLMcode code) {
  QZ_LOG(4, "ERROR: %s failed, code %d '%s'.", call, static_cast<int>(code), curl_multi_strerror(code));
}

// The options as they are applied: values of zero or below take the defaults.
AsyncHttpOptions Normalised(AsyncHttpOptions options) {
  const AsyncHttpOptions defaults;
  if (options.connectTimeoutMs <= 0) options.connectTimeoutMs = defaults.connectTimeoutMs;
  if (options.totalTimeoutMs <= 0) options.totalTimeoutMs = defaults.totalTimeoutMs;
  if (options.maxResponseBytes == 0) options.maxResponseBytes = defaults.maxResponseBytes;
  if (options.maxHostConnections <= 0) options.maxHostConnections = defaults.maxHostConnections;
  if (options.maxTransfers <= 0) options.maxTransfers = defaults.maxTransfers;
  return options;
}

}  // namespace

MultiLoop::MultiLoop() : options_(std::make_shared<const AsyncHttpOptions>()) {}

MultiLoop::~MultiLoop() {
  if (IsInited()) CleanUp();
}

bool MultiLoop::IsInited() const {
  MutexLock lock(&mutex_);
  return inited_;
}

void MultiLoop::SetHttpOptions(const AsyncHttpOptions& options) {
  if (options.proxy && !options.proxy->empty()) {
    const std::string shown = EscapeUntrusted(ProxyUrlForLog(*options.proxy));
    if (IsSupportedProxyUrl(*options.proxy)) {
      QZ_LOG(2, "AsyncHttpRequestManage: proxy %s", shown.c_str());
    } else {
      QZ_LOG(4,
             "AsyncHttpRequestManage: proxy '%s' refused (http://, https:// or socks5h:// and a host); every request "
             "posted with it fails with curl error %d",
             shown.c_str(), static_cast<int>(CURLE_UNSUPPORTED_PROTOCOL));
    }
  }
  auto normalised = std::make_shared<const AsyncHttpOptions>(Normalised(options));
  MutexLock lock(&mutex_);
  options_ = std::move(normalised);
  // A new maxTransfers may admit queued requests now.
  if (multi_) curl_multi_wakeup(multi_->handle.get());
}

std::shared_ptr<const AsyncHttpOptions> MultiLoop::HttpOptions() const {
  MutexLock lock(&mutex_);
  return options_;
}

int MultiLoop::Init() {
  std::shared_ptr<const AsyncHttpOptions> options;
  bool wasInited;
  {
    MutexLock lock(&mutex_);
    wasInited = inited_;
    options = options_;
  }
  QZ_LOG(2, "AsyncHttpRequestManage::Init, init=%d", wasInited ? 1 : 0);
  if (wasInited) return 0;

  auto multi = std::make_unique<CurlMulti>();
  if (!multi->global.Acquire()) {
    QZ_LOG(4, "AsyncHttpRequestManage::Init, libcurl could not be initialised");
    return -1;
  }
  multi->handle.reset(curl_multi_init());
  if (!multi->handle) {
    QZ_LOG(4, "AsyncHttpRequestManage::Init, curl_multi_init failed");
    return -1;
  }
  const CURLMcode mc =
      curl_multi_setopt(multi->handle.get(), CURLMOPT_MAX_HOST_CONNECTIONS, options->maxHostConnections);
  if (mc != CURLM_OK) {
    QZ_LOG(3, "AsyncHttpRequestManage::Init, CURLMOPT_MAX_HOST_CONNECTIONS refused, code %d '%s'.",
           static_cast<int>(mc), curl_multi_strerror(mc));
  }
  // libcurl keeps by default four idle connections per transfer it holds at
  // the moment, so the connections of a burst are closed as the burst
  // drains and opened again by the next one. Kept instead: the full
  // connection allowance of a few hosts (the gateway and its sibling hosts).
  const long keptConnections = std::max(kKeptHosts * options->maxHostConnections, options->maxTransfers);
  if (curl_multi_setopt(multi->handle.get(), CURLMOPT_MAXCONNECTS, keptConnections) != CURLM_OK) {
    QZ_LOG(3, "AsyncHttpRequestManage::Init, CURLMOPT_MAXCONNECTS refused");
  }
  inMulti_ = 0;
  hostConnections_ = options->maxHostConnections;
  origins_.clear();
  trust_ = BuildTrustStore(*options);
  multiHandle_ = multi->handle.get();
  MutexLock lock(&mutex_);
  multi_ = std::move(multi);
  inited_ = true;
  return 0;
}

int MultiLoop::CleanUp() {
  QZ_LOG(2, "AsyncHttpRequestManage::CleanUp");
  if (t_inStepOf == this) {
    // Called from a completion callback: the step on this thread's stack
    // still uses the multi handle.
    QZ_LOG(4, "AsyncHttpRequestManage::CleanUp from inside a completion callback refused");
    return -1;
  }
  {
    MutexLock lock(&mutex_);
    if (!inited_) return 0;
    inited_ = false;  // from here on AddRequest and ScheduleTask refuse
  }
  SweepCancelled();
  // Fail what is left: what libcurl holds first, then what is queued. One at
  // a time, each taken out under the lock and marked as being delivered, so
  // a callback (or another thread) may cancel those still waiting.
  for (;;) {
    AsyncHttpRequest* request = nullptr;
    {
      MutexLock lock(&mutex_);
      if (!table_.empty()) {
        request = table_.begin()->second;
        table_.erase(table_.begin());
      } else if (!pending_.empty()) {
        request = pending_.front();
        pending_.pop_front();
      } else {
        break;
      }
      delivering_ = request;
      deliveringThread_ = std::this_thread::get_id();
    }
    DeliverMarked(request, CURLE_ABORTED_BY_CALLBACK);
  }
  // Then the tasks, told that they will not run.
  tasks_.StopAll();
  SweepCancelled();  // cancelled by those calls
  idle_.clear();     // easy handles before the multi handle that their connections belong to
  inMulti_ = 0;
  origins_.clear();
  std::unique_ptr<CurlMulti> multi;
  {
    MutexLock lock(&mutex_);
    multi = std::move(multi_);
  }
  multiHandle_ = nullptr;
  multi.reset();
  trust_.reset();  // after the connections, though each TLS context holds its own reference
  return 0;
}

int MultiLoop::AddRequest(std::string id, AsyncHttpRequest* request) {
  MutexLock lock(&mutex_);
  if (!inited_) {
    QZ_LOG(4, "AsyncHttpRequestManage::AddClient, but multi_ have not inited!!!!");
    return -1;
  }
  if (request == nullptr || !request->state_->submitted) {
    QZ_LOG(4, "AsyncHttpRequestManage::AddRequest, id=%s has no prepared transfer", id.c_str());
    return -1;
  }
  PostedRequest& state = *request->state_;
  state.id = std::move(id);
  state.postedAt = tasks_.Now();
  // A queue that was not empty has a wake-up on its way already, or waits
  // for a transfer to end, which wakes the HTTP manager thread anyway.
  const bool wake = pending_.empty();
  pending_.push_back(request);
  if (wake) curl_multi_wakeup(multi_->handle.get());
  return 0;
}

int MultiLoop::RemoveRequests(const std::vector<std::string>& ids) {
  std::vector<AsyncHttpRequest*> unsent;
  bool cancelledInMulti = false;
  {
    MutexLock lock(&mutex_);
    for (const std::string& id : ids) {
      auto queued = std::stable_partition(pending_.begin(), pending_.end(),
                                          [&id](AsyncHttpRequest* r) { return r->state_->id != id; });
      unsent.insert(unsent.end(), queued, pending_.end());
      pending_.erase(queued, pending_.end());
      // Admitted: only the HTTP manager thread may touch the multi handle,
      // and it may be waiting in curl_multi_poll now. Marked, the request
      // is neither delivered nor kept; the next step removes it.
      auto range = table_.equal_range(id);
      for (auto it = range.first; it != range.second; ++it) {
        it->second->state_->cancelled = true;
        cancelled_.push_back(it->second);
        cancelledInMulti = true;
      }
      table_.erase(range.first, range.second);
    }
    // A callback of one of them running on another thread has begun: wait
    // for it alone. On the thread running it (a callback cancelling its own
    // request) there is nothing left to cancel.
    while (delivering_ != nullptr && deliveringThread_ != std::this_thread::get_id() &&
           std::find(ids.begin(), ids.end(), delivering_->state_->id) != ids.end()) {
      delivered_.Wait();
    }
  }
  // Never in the multi handle, so no libcurl state refers to them.
  for (AsyncHttpRequest* request : unsent) delete request;
  if (cancelledInMulti) Wakeup();
  return 0;
}

void MultiLoop::SweepCancelled() {
  std::vector<AsyncHttpRequest*> cancelled;
  {
    MutexLock lock(&mutex_);
    cancelled.swap(cancelled_);
  }
  for (AsyncHttpRequest* request : cancelled) {
    RemoveFromMulti(request);
    Retire(request);
  }
}

void MultiLoop::RemoveFromMulti(AsyncHttpRequest* request) {
  PostedRequest& state = *request->state_;
  if (!state.inMulti) return;
  curl_multi_remove_handle(multiHandle_, state.transfer->easy.get());
  state.inMulti = false;
  --inMulti_;
  Uncount(request);
}

void MultiLoop::Uncount(AsyncHttpRequest* request) {
  PostedRequest& state = *request->state_;
  if (!state.counted) return;
  state.counted = false;
  auto origin = origins_.find(OriginOf(state));
  if (origin != origins_.end() && origin->second.inLibcurl > 0) --origin->second.inLibcurl;
}

void MultiLoop::Retire(AsyncHttpRequest* request) {
  Uncount(request);
  size_t keep;
  {
    MutexLock lock(&mutex_);
    keep = static_cast<size_t>(options_->maxTransfers);
  }
  CurlTransfer* transfer = request->state_->transfer.get();
  if (transfer != nullptr && transfer->easy && idle_.size() < keep) {
    // Back to the state of a new handle, keeping only what libcurl keeps
    // across a reset (buffers; connections belong to the multi handle).
    curl_easy_reset(transfer->easy.get());
    transfer->headers.reset();
    idle_.push_back(std::move(request->state_->transfer));
  }
  delete request;
}

void MultiLoop::Deliver(AsyncHttpRequest* request, int curlCode) {
  {
    MutexLock lock(&mutex_);
    if (request->state_->cancelled) return;  // RemoveRequests took it; the sweep deletes it
    auto range = table_.equal_range(request->state_->id);
    for (auto it = range.first; it != range.second; ++it) {
      if (it->second == request) {
        table_.erase(it);
        break;
      }
    }
    delivering_ = request;
    deliveringThread_ = std::this_thread::get_id();
  }
  DeliverMarked(request, curlCode);
}

void MultiLoop::DeliverMarked(AsyncHttpRequest* request, int curlCode) {
  RemoveFromMulti(request);
  request->OnComplete(curlCode);  // the callback and the record; no lock held
  {
    MutexLock lock(&mutex_);
    delivering_ = nullptr;
  }
  delivered_.SignalAll();
  Retire(request);
}

void MultiLoop::Admit() {
  std::vector<AsyncHttpRequest*> admitted;
  {
    MutexLock lock(&mutex_);
    const size_t limit = static_cast<size_t>(options_->maxTransfers);
    const size_t perSerialOrigin = static_cast<size_t>(std::max(1L, hostConnections_));
    while (inMulti_ + admitted.size() < limit && !pending_.empty()) {
      AsyncHttpRequest* request = pending_.front();
      PostedRequest& state = *request->state_;
      auto origin = origins_.find(OriginOf(state));
      if (origin == origins_.end()) {
        if (origins_.size() >= kKnownOrigins) {
          for (auto it = origins_.begin(); it != origins_.end();) {
            it = it->second.inLibcurl == 0 ? origins_.erase(it) : std::next(it);
          }
        }
        origin = origins_.emplace(std::string(OriginOf(state)), Origin()).first;
      }
      // FIFO across origins too: the requests behind wait with it.
      if (origin->second.serial && origin->second.inLibcurl >= perSerialOrigin) break;
      ++origin->second.inLibcurl;
      state.counted = true;
      pending_.pop_front();
      // In the table before anything of this step is delivered, so a
      // callback's RemoveRequests finds every admitted request.
      table_.emplace(request->state_->id, request);
      admitted.push_back(request);
    }
  }
  if (admitted.empty()) return;
  std::vector<std::pair<AsyncHttpRequest*, int>> refused;
  const TimePoint now = tasks_.Now();
  for (AsyncHttpRequest* request : admitted) {
    request->state_->admittedAt = now;
    int error = CURLE_OK;
    if (!AdmitOne(request, &error)) refused.emplace_back(request, error);
  }
  for (const auto& [request, error] : refused) {
    Uncount(request);
    Deliver(request, error);
  }
}

bool MultiLoop::AdmitOne(AsyncHttpRequest* request, int* error) {
  std::unique_ptr<CurlTransfer> reused;
  if (!idle_.empty()) {
    reused = std::move(idle_.back());
    idle_.pop_back();
  }
  PostedRequest& state = *request->state_;
  *error = SetUpTransfer(state, trust_.get(), std::move(reused));
  if (*error != CURLE_OK) return false;
  CURL* easy = state.transfer->easy.get();
  curl_easy_setopt(easy, CURLOPT_PRIVATE, static_cast<void*>(request));
  const CURLMcode mc = curl_multi_add_handle(multiHandle_, easy);
  if (mc != CURLM_OK) {
    LogMultiFailure("curl_multi_add_handle()", mc);
    *error = CURLE_FAILED_INIT;
    return false;
  }
  state.inMulti = true;
  ++inMulti_;
  return true;
}

int MultiLoop::HeartBeat() {
  if (t_inStepOf == this) return 0;  // from inside a callback of this step
  {
    MutexLock lock(&mutex_);
    if (!inited_) return 0;
  }
  StepScope step(this);

  SweepCancelled();
  tasks_.RunDue();
  Admit();

  int result = 0;
  const CURLMcode mc = curl_multi_perform(multiHandle_, &stillRunning_);
  if (mc != CURLM_OK) {
    LogMultiFailure("curl_multi_perform()", mc);
    result = -1;
  }
  // Collected first (a message is valid only until its handle leaves the
  // multi handle), then delivered; completions already queued are delivered
  // even when perform failed.
  std::vector<std::pair<AsyncHttpRequest*, int>> finished;
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multiHandle_, &queued)) {
    if (message->msg != CURLMSG_DONE) continue;
    char* priv = nullptr;
    if (curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &priv) != CURLE_OK || priv == nullptr) continue;
    auto* request = reinterpret_cast<AsyncHttpRequest*>(priv);
    long version = 0;
    if (message->data.result == CURLE_OK &&
        curl_easy_getinfo(message->easy_handle, CURLINFO_HTTP_VERSION, &version) == CURLE_OK && version != 0) {
      auto origin = origins_.find(OriginOf(*request->state_));
      if (origin != origins_.end()) origin->second.serial = version < CURL_HTTP_VERSION_2_0;
    }
    finished.emplace_back(request, message->data.result);
  }
  for (const auto& [request, code] : finished) Deliver(request, code);
  SweepCancelled();
  // Fill the slots freed by this step; libcurl's timer for the new transfers
  // is already due, so the next wait returns at once and the next step
  // starts them.
  Admit();
  return result;
}

int MultiLoop::WaitForActivity() {
  if (t_inStepOf == this) return 0;  // from inside a callback: never block there
  bool busy;
  {
    MutexLock lock(&mutex_);
    if (!inited_) return -1;
    busy = inMulti_ > 0 || !pending_.empty();
  }
  int64_t waitMs = busy ? AsyncHttpRequestManage::kBusyWaitMs : AsyncHttpRequestManage::kIdleWaitMs;
  const TimePoint next = tasks_.NextDue();
  if (next != TimePoint::max()) {
    // Rounded up, so the wait does not end just before the task is due.
    const TimePoint now = tasks_.Now();
    const int64_t untilTask = next <= now ? 0 : std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
    waitMs = std::min(waitMs, untilTask);
  }
  // curl_multi_poll also returns early for libcurl's own timers, and at once
  // after curl_multi_wakeup, even one made before the call.
  const CURLMcode mc = curl_multi_poll(multiHandle_, nullptr, 0, static_cast<int>(waitMs), nullptr);
  wakeups_.fetch_add(1, std::memory_order_relaxed);
  if (mc != CURLM_OK) {
    LogMultiFailure("curl_multi_poll()", mc);
    return -1;
  }
  return 0;
}

void MultiLoop::Wakeup() {
  MutexLock lock(&mutex_);
  if (multi_) curl_multi_wakeup(multi_->handle.get());
}

uint64_t MultiLoop::ScheduleTask(TimePoint due, TaskScheduler::Task task) {
  MutexLock lock(&mutex_);
  if (!inited_ || !task) return 0;
  bool first = false;
  const uint64_t id = tasks_.Schedule(due, std::move(task), &first);
  // Only a task that becomes the first changes how long the HTTP manager
  // thread may sleep.
  if (first) curl_multi_wakeup(multi_->handle.get());
  return id;
}

bool MultiLoop::CancelTask(uint64_t id) { return tasks_.Cancel(id); }

}  // namespace http
}  // namespace iotcloud
