#include "core/io/network/http/internal/TransferReport.h"

#include <utility>

namespace iotcloud {
namespace http {
namespace {

int64_t Micros(std::chrono::steady_clock::duration d) {
  return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
}

CURL* EasyOf(const PostedRequest& request) {
  return request.transfer && request.transfer->easy ? request.transfer->easy.get() : nullptr;
}

// libcurl's CURLINFO_HTTP_VERSION as 10, 11, 20 or 30; 0 for none.
int32_t HttpVersionNumber(long curlVersion) {
  switch (curlVersion) {
    case CURL_HTTP_VERSION_1_0: return 10;
    case CURL_HTTP_VERSION_1_1: return 11;
    case CURL_HTTP_VERSION_2_0: return 20;
    case CURL_HTTP_VERSION_3: return 30;
    default: return 0;
  }
}

// A status libcurl reports, or 0 when it reports none or nonsense.
int32_t StatusOf(CURL* easy, CURLINFO info) {
  long status = 0;
  if (easy == nullptr || curl_easy_getinfo(easy, info, &status) != CURLE_OK) return 0;
  return status > 0 && status < 1000 ? static_cast<int32_t>(status) : 0;
}

// What libcurl knows of the transfer on `easy`; a figure libcurl cannot give
// stays 0.
void FillFromLibcurl(CURL* easy, IotTransferRecord* record) {
  record->httpStatus = StatusOf(easy, CURLINFO_RESPONSE_CODE);
  long value = 0;
  if (curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &value) == CURLE_OK) {
    record->httpVersion = HttpVersionNumber(value);
  }
  long requestBytes = 0, headerBytes = 0, newConnections = 0;
  curl_easy_getinfo(easy, CURLINFO_REQUEST_SIZE, &requestBytes);
  curl_easy_getinfo(easy, CURLINFO_HEADER_SIZE, &headerBytes);
  curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &newConnections);
  curl_off_t bodyReceived = 0;
  curl_easy_getinfo(easy, CURLINFO_SIZE_DOWNLOAD_T, &bodyReceived);
  // A request was sent, yet no connection made for it: it went over one
  // that an earlier transfer opened.
  record->connectionReused = newConnections == 0 && requestBytes > 0;
  record->bytesReceived = static_cast<int64_t>(headerBytes) + static_cast<int64_t>(bodyReceived);
  const struct {
    CURLINFO info;
    int64_t* to;
  } points[] = {
      {CURLINFO_NAMELOOKUP_TIME_T, &record->resolvedAtUs},     {CURLINFO_CONNECT_TIME_T, &record->connectedAtUs},
      {CURLINFO_APPCONNECT_TIME_T, &record->tlsDoneAtUs},      {CURLINFO_PRETRANSFER_TIME_T, &record->requestAtUs},
      {CURLINFO_STARTTRANSFER_TIME_T, &record->firstByteAtUs}, {CURLINFO_TOTAL_TIME_T, &record->totalUs},
  };
  for (const auto& point : points) {
    curl_off_t us = 0;
    if (curl_easy_getinfo(easy, point.info, &us) == CURLE_OK) *point.to = static_cast<int64_t>(us);
  }
}

}  // namespace

IotTransferTiming TimingOf(const PostedRequest& request, PostedRequest::TimePoint now) {
  using TimePoint = PostedRequest::TimePoint;
  IotTransferTiming timing;
  if (request.admittedAt != TimePoint{}) {
    timing.queuedUs = Micros(request.admittedAt - request.postedAt);
    timing.transferUs = Micros(now - request.admittedAt);
  } else if (request.postedAt != TimePoint{}) {
    timing.queuedUs = Micros(now - request.postedAt);
  }
  return timing;
}

IotException FailureOf(const PostedRequest& request, int curlCode, const IotTransferTiming& timing) {
  IotException exception;
  exception.code = -1;
  exception.curlCode = curlCode;
  exception.message = CurlFailureText(curlCode);
  exception.timing = timing;
  const AsyncHttpOptions* options = request.options.get();
  if (options != nullptr && options->proxy && !options->proxy->empty()) {
    exception.proxy = ProxyUrlForLog(*options->proxy);
  }
  const int32_t connectStatus = StatusOf(EasyOf(request), CURLINFO_HTTP_CONNECTCODE);
  if (connectStatus < 200 || connectStatus > 299) exception.proxyStatus = connectStatus;
  return exception;
}

IotResponse TakeResponse(PostedRequest& request, const IotTransferTiming& timing) {
  IotResponse response;
  response.id = request.id;
  response.code = 0;
  response.httpStatus = StatusOf(EasyOf(request), CURLINFO_RESPONSE_CODE);
  response.headers = ParseResponseHeaders(request.responseHeader);
  response.data = std::move(request.responseBody.empty() ? request.responseHeader : request.responseBody);
  response.timing = timing;
  return response;
}

IotTransferRecord RecordOf(const PostedRequest& request, int curlCode, const IotTransferTiming& timing) {
  IotTransferRecord record;
  record.id = request.id;
  record.type = request.type;
  record.host = request.record.host;
  record.path = request.record.path;
  record.attempt = request.record.attempt;
  record.head = request.head;
  record.curlCode = curlCode;
  record.queuedUs = timing.queuedUs;
  record.bytesSent = request.bytesSent;
  if (EasyOf(request) != nullptr && request.admittedAt != PostedRequest::TimePoint{}) {
    FillFromLibcurl(EasyOf(request), &record);
  }
  return record;
}

}  // namespace http
}  // namespace iotcloud
