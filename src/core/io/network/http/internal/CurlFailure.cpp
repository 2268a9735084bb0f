// The one place that turns libcurl's result codes into text: the failure
// text of an IotException ("curl error N") and back, and libcurl's own words.
#include <curl/curl.h>

#include <string>

#include "core/io/network/http/AsyncHttpTypes.h"

std::string CurlFailureText(int code) { return "curl error " + std::to_string(code); }

std::string CurlCodeDescription(int code) { return curl_easy_strerror(static_cast<CURLcode>(code)); }

bool ParseCurlFailure(const std::string& text, int* code) {
  static const char kPrefix[] = "curl error ";
  constexpr size_t kPrefixLength = sizeof kPrefix - 1;
  if (text.size() <= kPrefixLength || text.compare(0, kPrefixLength, kPrefix) != 0) return false;
  int value = 0;
  for (size_t i = kPrefixLength; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9' || value > 99999) return false;
    value = value * 10 + (c - '0');
  }
  *code = value;
  return true;
}
