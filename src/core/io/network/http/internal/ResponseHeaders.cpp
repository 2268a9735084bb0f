// The header fields of a finished transfer's last response, split from the
// header text libcurl delivered (see ParseResponseHeaders in AsyncHttpTypes.h).
#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include "core/io/network/http/AsyncHttpTypes.h"

std::vector<std::pair<std::string, std::string>> ParseResponseHeaders(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> fields;
  auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
  auto trimmed = [&isBlank](const std::string& line, size_t from, size_t to) {
    while (from < to && isBlank(line[from])) ++from;
    while (to > from && isBlank(line[to - 1])) --to;
    return line.substr(from, to - from);
  };
  bool dropping = false;  // past kMaxResponseHeaders: the rest of this response is skipped
  bool canFold = false;   // the line before was a kept field
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    if (line.compare(0, 5, "HTTP/") == 0) {
      // A new response's status line: only the last response counts.
      fields.clear();
      dropping = false;
      canFold = false;
      continue;
    }
    if (isBlank(line[0])) {
      // A folded line continues the field before it.
      const std::string more = trimmed(line, 0, line.size());
      if (canFold && !more.empty()) {
        std::string& value = fields.back().second;
        value += value.empty() ? more : " " + more;
      }
      continue;
    }
    canFold = false;
    const size_t colon = line.find(':');
    if (colon == std::string::npos || dropping) continue;
    if (fields.size() >= IotResponse::kMaxResponseHeaders) {
      dropping = true;
      continue;
    }
    std::string name = trimmed(line, 0, colon);
    if (name.empty()) continue;
    canFold = true;
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    fields.emplace_back(std::move(name), trimmed(line, colon + 1, line.size()));
  }
  return fields;
}
