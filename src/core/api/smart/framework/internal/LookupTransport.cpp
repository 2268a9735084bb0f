#include "core/api/smart/framework/internal/LookupTransport.h"

#include <utility>

#include "core/api/smart/framework/IotAsyncManager.h"
#include "core/io/network/http/AsyncHttpRequest.h"
#include "core/support/UntrustedText.h"

namespace iotcloud {
namespace lookup {
namespace {

AsyncHttpRequestManage* Manager() { return IotAsyncManager::getInstance()->getAsyncHttpRequestManage(); }

// Why the transport refused to take a request, in words the caller can act on.
std::string NotSentDetail(const std::map<std::string, std::string>& headers) {
  for (const auto& header : headers) {
    if (!AsyncHttpRequest::IsSafeHeaderText(header.first) || !AsyncHttpRequest::IsSafeHeaderText(header.second)) {
      return "the request was not sent: the header " + EscapeUntrusted(header.first) +
             " holds CR, LF or NUL (check the application key and the settings it is built from)";
    }
  }
  if (!Manager()->IsInited()) return "the request was not sent: the transport is not running (IotAsyncManager::init)";
  return "the request was not sent: the transport refused it (see the log)";
}

}  // namespace

bool RuntimeTransport::Post(Attempt attempt, std::shared_ptr<Machine> machine, std::string* whyNot) {
  const std::string id = attempt.record.id;
  {
    // In the table first: the answer may come before Post returns.
    MutexLock lock(&mutex_);
    inFlight_[id] = std::move(machine);
  }
  auto request = std::make_unique<AsyncHttpRequest>(ASYNC_HTTP_REQ_REGION_GET, Manager(), callback_, 0);
  if (attempt.budgetAfterAdmission.count() > 0) {
    request->SetDeadlineAfterAdmission(attempt.budgetAfterAdmission);
  } else {
    request->SetDeadline(attempt.deadline);
  }
  if (request->Post(&attempt.record, attempt.headers, attempt.body) == 0) {
    static_cast<void>(request.release());  // the request manager's now
    return true;
  }
  {
    MutexLock lock(&mutex_);
    inFlight_.erase(id);
  }
  *whyNot = NotSentDetail(attempt.headers);
  return false;
}

void RuntimeTransport::Cancel(const std::string& requestId) {
  Manager()->RemoveRequests({requestId});
  std::shared_ptr<Machine> dropped;  // released after the lock
  MutexLock lock(&mutex_);
  auto it = inFlight_.find(requestId);
  if (it == inFlight_.end()) return;
  dropped = std::move(it->second);
  inFlight_.erase(it);
}

uint64_t RuntimeTransport::Schedule(TimePoint due, std::function<void(bool run)> task) {
  return Manager()->ScheduleTask(due, std::move(task));
}

bool RuntimeTransport::CancelTask(uint64_t id) { return Manager()->CancelTask(id); }

bool RuntimeTransport::IsDriverThread() const { return IotAsyncManager::getInstance()->isHttpManagerThread(); }

std::shared_ptr<Machine> RuntimeTransport::Take(const std::string& requestId) {
  MutexLock lock(&mutex_);
  auto it = inFlight_.find(requestId);
  if (it == inFlight_.end()) return nullptr;
  std::shared_ptr<Machine> machine = std::move(it->second);
  inFlight_.erase(it);
  return machine;
}

}  // namespace lookup
}  // namespace iotcloud
