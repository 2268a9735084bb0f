// Setting up one request's libcurl easy handle: its header list when it is
// posted, and every option (URL, TLS verification against the shared store,
// time limits and deadline, body, proxy, response callbacks) when the
// manager admits it.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "core/io/network/http/internal/PostedRequest.h"

namespace iotcloud {
namespace http {

// Builds request.transfer with the header list of `headers` ("key: value",
// in the map's key order). False (logged) when a key or value holds CR, LF
// or NUL, or memory runs out. The poster's thread.
bool BuildHeaderList(PostedRequest& request, const std::map<std::string, std::string>& headers);

// Sets up request.transfer's easy handle for admission: the one of `reused`
// (an ended transfer's, reset by the manager; taken over) or a new one when
// null. `trust` goes to the TLS set-up of every connection it opens.
// Returns libcurl's result code: CURLE_OPERATION_TIMEDOUT for a request
// admitted at or within a few milliseconds of its deadline,
// CURLE_UNSUPPORTED_PROTOCOL for a proxy URL the transport does not take.
// The HTTP manager thread.
int SetUpTransfer(PostedRequest& request, const TrustStore* trust, std::unique_ptr<CurlTransfer> reused);

}  // namespace http
}  // namespace iotcloud
