// The state of one AsyncHttpRequest, kept out of the public header: what it
// was posted with, its libcurl handles and what the transfer received.
//
// Who touches what: the poster's thread fills the "posted" fields in Post
// and never touches the request again once AddRequest took it; from then on
// the HTTP manager thread (or the thread running CleanUp, after that thread
// has ended) owns every field except `cancelled`, which the request
// manager's lock guards.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/io/network/http/AsyncHttpRequest.h"
#include "core/io/network/http/internal/TrustStore.h"
#include "core/support/internal/CurlGlobal.h"
#include "core/support/internal/Owned.h"

namespace iotcloud {
namespace http {

// One request's libcurl state. The header list is made when the request is
// posted; the easy handle (with the global reference it holds, so it never
// outlives curl_global_cleanup) when it is admitted, taken over from an
// ended transfer when one is idle. Members end in reverse order: the easy
// handle before the header list it points to, the global reference last.
struct CurlTransfer {
  TlsSetup tls;  // CURLOPT_SSL_CTX_DATA points here
  CurlGlobalRef global;
  Owned<curl_slist, curl_slist_free_all> headers;
  Owned<CURL, curl_easy_cleanup> easy;
};

struct PostedRequest {
  using TimePoint = std::chrono::steady_clock::time_point;

  PostedRequest(_AsyncHttpReqType kind, AsyncHttpRequestManage* manager, IAsyncHttpReqCallback* callbackObject)
      : type(kind), manage(manager), callback(callbackObject) {}

  // From the constructor.
  const _AsyncHttpReqType type;
  AsyncHttpRequestManage* const manage;   // borrowed
  IAsyncHttpReqCallback* const callback;  // borrowed; may be null

  // Posted: set by Post or Connect.
  IotRequest record;  // the request's own copy
  std::string id;     // its key in the manager
  std::string url;
  size_t originLength = 0;                            // url's scheme and host (with any port)
  std::string body;                                   // libcurl reads it in place
  bool head = false;                                  // a Connect: HEAD, no body
  std::shared_ptr<const AsyncHttpOptions> options;    // as current at Post
  TimePoint deadline{};                               // SetDeadline; the epoch: none
  std::chrono::milliseconds budgetAfterAdmission{0};  // SetDeadlineAfterAdmission; 0: none
  bool submitted = false;                             // ready to be handed over
  std::unique_ptr<CurlTransfer> transfer;             // header list now, easy handle at admission

  // Set by the manager.
  TimePoint postedAt{};    // handed over
  TimePoint admittedAt{};  // entered libcurl (or was refused there)
  bool inMulti = false;    // its easy handle is in the multi handle
  bool counted = false;    // counted among its origin's transfers in libcurl
  bool cancelled = false;  // RemoveRequests took it; guarded by the manager's lock

  // Written by libcurl's callbacks on the HTTP manager thread.
  std::string responseHeader;
  std::string responseBody;
  int64_t bytesSent = 0;  // with a transfer observer: header and body bytes as sent
};

}  // namespace http
}  // namespace iotcloud
