#include "core/io/network/http/internal/ProxyText.h"

#include <cctype>

#include "core/io/network/http/AsyncHttpRequest.h"
#include "core/support/UntrustedText.h"

namespace iotcloud {
namespace http {

std::string LowerScheme(const std::string& url) {
  const size_t end = url.find("://");
  if (end == std::string::npos) return std::string();
  std::string scheme = url.substr(0, end + 3);
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return scheme;
}

}  // namespace http
}  // namespace iotcloud

bool IsSupportedProxyUrl(const std::string& url) {
  const std::string scheme = iotcloud::http::LowerScheme(url);
  if (scheme != "http://" && scheme != "https://" && scheme != "socks5h://") return false;
  if (url.size() == scheme.size()) return false;
  const char first = url[scheme.size()];
  if (first == '/' || first == '?' || first == '#' || first == ':') return false;  // no host
  for (char c : url) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7f) return false;
  }
  return true;
}

std::string ProxyUrlForLog(const std::string& url) {
  const size_t schemeEnd = url.find("://");
  const size_t authority = schemeEnd == std::string::npos ? 0 : schemeEnd + 3;
  // The last '@' anywhere: a proxy URL has no use for one in a path, and a
  // password with an unencoded '/' must not show either.
  const size_t at = url.rfind('@');
  if (at == std::string::npos || at < authority) return url;
  return url.substr(0, authority) + url.substr(at + 1);
}

std::string ProxyFailureNote(const IotException& exception) {
  std::string note;
  if (!exception.proxy.empty()) {
    note = " via proxy " + iotcloud::EscapeUntrusted(exception.proxy);
  } else if (exception.proxyStatus != 0) {
    note = " via a proxy";
  }
  if (exception.proxyStatus != 0) note += ", which answered " + std::to_string(exception.proxyStatus);
  return note;
}
