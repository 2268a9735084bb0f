// AsyncHttpRequest and AsyncHttpRequestManage: the public face of the
// transport. The work is done under internal/: the multi loop
// (MultiLoop), the easy-handle set-up (EasySetup), the trust store
// (TrustStore), what a finished transfer reports (TransferReport), the task
// scheduler, the response header parser, the proxy and failure texts.
#include "core/io/network/http/AsyncHttpRequest.h"

#include <utility>

#include "core/io/network/http/internal/EasySetup.h"
#include "core/io/network/http/internal/MultiLoop.h"
#include "core/io/network/http/internal/PostedRequest.h"
#include "core/io/network/http/internal/TransferReport.h"
#include "core/support/TovoLog.h"
#include "core/support/internal/HostCode.h"

using iotcloud::http::PostedRequest;

// ---------------------------------------------------------------------------
// AsyncHttpRequest

AsyncHttpRequest::AsyncHttpRequest(_AsyncHttpReqType type, AsyncHttpRequestManage* manage,
                                   IAsyncHttpReqCallback* callback, long /*port*/)
    : state_(std::make_unique<PostedRequest>(type, manage, callback)) {}

AsyncHttpRequest::~AsyncHttpRequest() = default;

int AsyncHttpRequest::Clean() {
  state_->transfer.reset();
  return 0;
}

bool AsyncHttpRequest::IsSafeHeaderText(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

int AsyncHttpRequest::CopyIotReq(const IotRequest* from, IotRequest* to) {
  if (from != nullptr && to != nullptr && from != to) *to = *from;
  return 0;
}

void AsyncHttpRequest::SetDeadline(std::chrono::steady_clock::time_point deadline) {
  state_->deadline = deadline;
  state_->budgetAfterAdmission = std::chrono::milliseconds(0);
}

void AsyncHttpRequest::SetDeadlineAfterAdmission(std::chrono::milliseconds budget) {
  state_->deadline = {};
  state_->budgetAfterAdmission = budget;
}

int AsyncHttpRequest::Post(IotRequest* request, std::map<std::string, std::string>& headers, const std::string& body) {
  return Submit(request, headers, body, false);
}

int AsyncHttpRequest::Connect(IotRequest* request) { return Submit(request, {}, std::string(), true); }

int AsyncHttpRequest::Submit(IotRequest* request, const std::map<std::string, std::string>& headers,
                             const std::string& body, bool head) {
  PostedRequest& state = *state_;
  if (request == nullptr) {
    QZ_LOG_AS("Post", 4, "AsyncHttpRequest Post without a request record");
    return -1;
  }
  state.url = std::string(request->protocol == 0 ? "https://" : "http://") + request->host;
  state.originLength = state.url.size();
  state.url += request->path;
  state.id = request->id;
  CopyIotReq(request, &state.record);
  QZ_LOG_AS("Post", 2, "AsyncHttpRequest %s, url=%s, id=%s, body len=%d", head ? "Connect" : "Post", state.url.c_str(),
            state.id.c_str(), static_cast<int>(body.size()));
  // A request refused earlier may be posted again; start from a clean state.
  state.transfer.reset();
  state.submitted = false;
  state.responseHeader.clear();
  state.responseBody.clear();
  if (state.manage == nullptr) {
    QZ_LOG_AS("Post", 4, "AsyncHttpRequest Post without a request manager");
    return -1;
  }
  if (!iotcloud::http::BuildHeaderList(state, headers)) return -1;
  state.body = body;
  state.head = head;
  state.options = state.manage->HttpOptions();
  state.submitted = true;
  // AddRequest logs a refusal; the caller keeps the request then.
  if (state.manage->AddRequest(state.id, this) != 0) {
    state.submitted = false;
    state.transfer.reset();
    return -1;
  }
  // Handed over: the HTTP manager thread may already have completed and
  // deleted this request.
  return 0;
}

int AsyncHttpRequest::OnComplete(int curlCode) {
  PostedRequest& state = *state_;
  // The observer of the options this request was posted with.
  const std::shared_ptr<IAsyncHttpTransferObserver> observer =
      state.options ? state.options->transferObserver : nullptr;
  if (state.callback == nullptr && !observer) return 0;
  const IotTransferTiming timing = iotcloud::http::TimingOf(state, std::chrono::steady_clock::now());
  if (state.callback == nullptr) {
    // Nobody to tell of the outcome; the observer still hears of the transfer.
  } else if (curlCode != 0) {
    const IotException exception = iotcloud::http::FailureOf(state, curlCode, timing);
    iotcloud::CallHostCode("a request's OnFailure",
                           [&] { state.callback->OnFailure(&state.record, &exception, state.type); });
  } else {
    // Called once, and the request is deleted right after: the body moves.
    IotResponse response = iotcloud::http::TakeResponse(state, timing);
    iotcloud::CallHostCode("a request's OnResponse",
                           [&] { state.callback->OnResponse(&state.record, &response, state.type); });
  }
  if (observer) {
    const IotTransferRecord record = iotcloud::http::RecordOf(state, curlCode, timing);
    iotcloud::CallHostCode("the transfer observer", [&] { observer->OnTransfer(record); });
  }
  return 0;
}

// ---------------------------------------------------------------------------
// AsyncHttpRequestManage

AsyncHttpRequestManage::AsyncHttpRequestManage() : impl_(std::make_unique<iotcloud::http::MultiLoop>()) {}

AsyncHttpRequestManage::~AsyncHttpRequestManage() = default;

int AsyncHttpRequestManage::Init() { return impl_->Init(); }

int AsyncHttpRequestManage::CleanUp() { return impl_->CleanUp(); }

int AsyncHttpRequestManage::AddRequest(std::string id, AsyncHttpRequest* request) {
  return impl_->AddRequest(std::move(id), request);
}

int AsyncHttpRequestManage::RemoveRequests(std::vector<std::string> ids) { return impl_->RemoveRequests(ids); }

int AsyncHttpRequestManage::HeartBeat() { return impl_->HeartBeat(); }

int AsyncHttpRequestManage::WaitForActivity() { return impl_->WaitForActivity(); }

void AsyncHttpRequestManage::Wakeup() { impl_->Wakeup(); }

uint64_t AsyncHttpRequestManage::ScheduleTask(std::chrono::steady_clock::time_point due, Task task) {
  return impl_->ScheduleTask(due, std::move(task));
}

bool AsyncHttpRequestManage::CancelTask(uint64_t id) { return impl_->CancelTask(id); }

void AsyncHttpRequestManage::SetHttpOptions(const AsyncHttpOptions& options) { impl_->SetHttpOptions(options); }

AsyncHttpOptions AsyncHttpRequestManage::GetHttpOptions() const { return *impl_->HttpOptions(); }

std::shared_ptr<const AsyncHttpOptions> AsyncHttpRequestManage::HttpOptions() const { return impl_->HttpOptions(); }

bool AsyncHttpRequestManage::IsInited() const { return impl_->IsInited(); }

uint64_t AsyncHttpRequestManage::WakeupCount() const { return impl_->WakeupCount(); }
