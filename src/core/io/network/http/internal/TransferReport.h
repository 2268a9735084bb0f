// What a finished transfer tells its callback and the transfer observer:
// the IotResponse or IotException of the callback, and the IotTransferRecord
// of the observer, read from the request and its easy handle (libcurl's
// figures). Called on the thread completing the request, before its easy
// handle is reset.
#pragma once

#include "core/io/network/http/internal/PostedRequest.h"

namespace iotcloud {
namespace http {

// Where the request's time went until `now`.
IotTransferTiming TimingOf(const PostedRequest& request, PostedRequest::TimePoint now);

// The failure of a transfer that ended with libcurl's `curlCode` (not 0).
IotException FailureOf(const PostedRequest& request, int curlCode, const IotTransferTiming& timing);

// The response of a transfer that completed; moves the body (or the header
// text, when the body is empty) out of the request.
IotResponse TakeResponse(PostedRequest& request, const IotTransferTiming& timing);

// The observer's record; libcurl's figures only when the request entered
// libcurl (a request refused before has no easy handle to ask).
IotTransferRecord RecordOf(const PostedRequest& request, int curlCode, const IotTransferTiming& timing);

}  // namespace http
}  // namespace iotcloud
