// What the transport says about proxies: which proxy URLs it takes, how a
// proxy URL may be shown, and what a failure text adds when a proxy took
// part. The public halves are declared in AsyncHttpRequest.h and
// AsyncHttpTypes.h; pure functions, any thread.
#pragma once

#include <string>

namespace iotcloud {
namespace http {

// The scheme of a URL, lower-cased, with its "://"; empty when there is none.
std::string LowerScheme(const std::string& url);

}  // namespace http
}  // namespace iotcloud
