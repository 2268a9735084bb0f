// Records and the completion interface shared by the asynchronous HTTP
// transport and the code that posts requests through it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/support/Export.h"

// The kind of an asynchronous request. The transport only stores it and hands
// it back to the callback, so one callback object can serve several kinds.
// Values other than those named here are free for the host application.
enum _AsyncHttpReqType : int32_t {
  ASYNC_HTTP_REQ_REGION_GET = 14,  // region lookup through the API gateway
};

// What to post to. Plain value record; owns its strings.
struct IotRequest {
  int32_t protocol = 0;    // 0: "https://", anything else: "http://"
  int32_t spareInt = 0;    // carried and copied only
  std::string host;        // host part of the URL (with ":port" if any), used unchanged
  std::string path;        // path part of the URL, beginning with "/", used unchanged
  std::string spareText1;  // carried and copied only
  std::string spareText2;  // carried and copied only
  std::string id;          // unique among requests in flight; comes back as IotResponse::id
  int32_t attempt = 0;     // which attempt of a region lookup this is (1, 2, ...); 0 for other requests
};

// Where a request's time went, in microseconds: waiting in the transport's
// queue (from Post until libcurl took the transfer over; the time limits
// count from then on), and inside libcurl until it ended.
struct IotTransferTiming {
  int64_t queuedUs = 0;
  int64_t transferUs = 0;
};

// A transfer that libcurl completed, whatever its HTTP status. Redirects are
// never followed: a 3xx arrives here with its "location" header.
struct IotResponse {
  std::string id;         // the request's id
  int32_t code = 0;       // always 0
  std::string message;    // always empty
  std::string spareText;  // always empty
  std::string data;       // the body; the response header text when the body is empty
  IotTransferTiming timing;
  // The HTTP status of the last response (an interim 1xx such as
  // "100 Continue" is skipped); 0 when libcurl reported none.
  int32_t httpStatus = 0;
  // The header fields of that last response, in arrival order: names
  // lower-cased, values as received without the blanks around them, a folded
  // continuation line joined to its field with one space. Lines without a
  // colon are skipped, and so is every field past kMaxResponseHeaders. Their
  // text counts against AsyncHttpOptions::maxResponseBytes.
  std::vector<std::pair<std::string, std::string>> headers;
  static constexpr size_t kMaxResponseHeaders = 1000;

  // The value of the first field named `lowerName` (lower case); empty when
  // there is none.
  std::string header(const std::string& lowerName) const {
    for (const auto& field : headers) {
      if (field.first == lowerName) return field.second;
    }
    return std::string();
  }
};

// Splits the header text libcurl delivered for a transfer (every response's
// status line and fields, interim responses included) into the fields of the
// last response, as IotResponse::headers describes. Any bytes are accepted:
// LF, CRLF and a lone CR all end a line.
IOTCLOUD_API std::vector<std::pair<std::string, std::string>> ParseResponseHeaders(const std::string& text);

// A transfer that ended with a transport error.
struct IotException {
  int32_t code = -1;         // always -1
  std::string message;       // "curl error " followed by libcurl's result code in decimal
  std::string spareText;     // always empty
  IotTransferTiming timing;  // transferUs is 0 for a request that never entered libcurl
  // The proxy set for the request (AsyncHttpOptions::proxy), without any
  // user-info; empty when none was set or it was "". A proxy libcurl took
  // from the environment is not named here. A host listed in noProxy went
  // direct although this names the proxy.
  std::string proxy;
  // The status of a proxy's refusal of CONNECT (407: it wants credentials or
  // refused them); 0 when no proxy answered one or it opened the tunnel.
  int32_t proxyStatus = 0;
  // libcurl's result code as a number (the one `message` names).
  int32_t curlCode = 0;
};

// What a failure text can append to say a proxy took part: " via proxy
// URL" when the request had one set (" via a proxy" for one from the
// environment that answered CONNECT), then ", which answered N" when the
// proxy answered CONNECT with status N. Empty when neither holds.
IOTCLOUD_API std::string ProxyFailureNote(const IotException& exception);

// The one place that turns libcurl's result code into the failure text of an
// IotException ("curl error N") and back. ParseCurlFailure gives false, and
// leaves *code alone, for any other text.
IOTCLOUD_API std::string CurlFailureText(int code);
IOTCLOUD_API bool ParseCurlFailure(const std::string& text, int* code);
// libcurl's own words for its result code ("Couldn't connect to server").
IOTCLOUD_API std::string CurlCodeDescription(int code);

// What one finished transfer cost, for an IAsyncHttpTransferObserver. Plain
// values only: it never holds a header value or a body.
struct IotTransferRecord {
  std::string id;  // the request's id
  _AsyncHttpReqType type = ASYNC_HTTP_REQ_REGION_GET;
  std::string host;     // as posted: host, with ":port" if any
  std::string path;     // as posted
  int32_t attempt = 0;  // IotRequest::attempt
  bool head = false;    // a Connect (HEAD) warm-up rather than a POST

  // libcurl's result code (0: the transfer completed) and the HTTP status of
  // the last response (0: none came).
  int32_t curlCode = 0;
  int32_t httpStatus = 0;
  // HTTP version spoken: 10, 11, 20 or 30 (HTTP/1.0, 1.1, 2, 3); 0 when no
  // response came.
  int32_t httpVersion = 0;
  // The request went out over a connection that an earlier transfer had
  // opened: libcurl opened none for it, yet sent a request.
  bool connectionReused = false;
  // Bytes on the HTTP level (inside TLS), headers included: the request
  // line, header lines and body as sent; the status lines and header lines
  // of every response (interim ones too) and the body as received.
  int64_t bytesSent = 0;
  int64_t bytesReceived = 0;

  // Time in the transport's queue, from Post until libcurl took the transfer
  // over (IotTransferTiming::queuedUs).
  int64_t queuedUs = 0;
  // Points in time within the transfer, in microseconds since libcurl took it
  // over, each counting from that start (not from the point before): name
  // resolved, TCP connected, TLS handshake done, request about to be sent,
  // first response byte received, transfer ended. So, for a fresh HTTPS
  // connection, resolvedAtUs <= connectedAtUs <= tlsDoneAtUs <= requestAtUs
  // <= firstByteAtUs <= totalUs. A point not reached is 0: connectedAtUs and
  // tlsDoneAtUs on a reused connection (resolvedAtUs then shows libcurl's
  // look-up in its own cache), tlsDoneAtUs over plain HTTP, and every point
  // after the one where a transfer failed. For a transfer cut short by
  // CleanUp, totalUs is where libcurl had got to.
  int64_t resolvedAtUs = 0;
  int64_t connectedAtUs = 0;
  int64_t tlsDoneAtUs = 0;
  int64_t requestAtUs = 0;
  int64_t firstByteAtUs = 0;
  int64_t totalUs = 0;
};

// Watches every finished transfer, installed by the host through
// AsyncHttpOptions::transferObserver. OnTransfer is called once for each
// request whose completion callback ran (whether or not the request has a
// callback object), right after that callback, on the same thread: the HTTP
// manager thread, or, for the requests that CleanUp fails with curl error 42
// at deInit, the thread stopping the transport. A request cancelled with
// RemoveRequests gets no callback and no record; neither does one that Post
// refused.
//
// OnTransfer runs inside the transport's step, like a completion callback,
// and the same rules hold: it must not block or throw, may post new
// requests and cancel others, must not stop the transport. The record is
// valid only during the call.
class IOTCLOUD_API IAsyncHttpTransferObserver {
 public:
  virtual ~IAsyncHttpTransferObserver() = default;
  virtual void OnTransfer(const IotTransferRecord& record) = 0;
};

// Receives the outcome of a posted request: exactly one call per request that
// Post handed over, never for a request cancelled with RemoveRequests.
//
// Thread: calls come from the HTTP manager thread, except the failures that
// AsyncHttpRequestManage::CleanUp() delivers for requests still queued or in flight,
// which come from the thread stopping the transport (IotAsyncManager::deInit).
// The pointers are valid only during the call. The transport never deletes a
// callback object; it must outlive every request that names it.
class IOTCLOUD_API IAsyncHttpReqCallback {
 public:
  virtual void OnFailure(const IotRequest* request, const IotException* exception, _AsyncHttpReqType type) = 0;
  virtual void OnResponse(const IotRequest* request, IotResponse* response, _AsyncHttpReqType type) = 0;

 protected:
  virtual ~IAsyncHttpReqCallback() = default;
};
