#include "core/support/UntrustedText.h"

#include <cstdint>

namespace iotcloud {
namespace {

// Decodes the UTF-8 sequence at bytes[i]. Returns its length (1 to 4) and
// sets *codePoint, or returns 0 when the byte at i does not start a
// well-formed sequence (RFC 3629: no overlong forms, no surrogates, nothing
// above U+10FFFF).
size_t DecodeUtf8(const std::string& bytes, size_t i, uint32_t* codePoint) {
  const auto at = [&bytes](size_t k) { return static_cast<unsigned char>(bytes[k]); };
  const unsigned char lead = at(i);
  if (lead < 0x80) {
    *codePoint = lead;
    return 1;
  }
  size_t length;
  uint32_t value;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0Fu;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07u;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (bytes.size() - i < length) return 0;
  for (size_t k = 1; k < length; ++k) {
    const unsigned char next = at(i + k);
    if (k == 1 ? (next < low || next > high) : (next & 0xC0u) != 0x80u) return 0;
    value = (value << 6) | (next & 0x3Fu);
  }
  *codePoint = value;
  return length;
}

// Characters above U+007F that a terminal acts on or that reorder a line.
bool IsEscapedAbove7F(uint32_t c) {
  return (c >= 0x80 && c <= 0x9F) || (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

void AppendHex(std::string* out, const char* prefix, uint32_t value, int digits) {
  static const char kHex[] = "0123456789abcdef";
  out->append(prefix);
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out->push_back(kHex[(value >> shift) & 0xFu]);
}

}  // namespace

std::string EscapeUntrusted(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    uint32_t c = 0;
    const size_t length = DecodeUtf8(bytes, i, &c);
    if (length == 0) {
      AppendHex(&out, "\\x", static_cast<unsigned char>(bytes[i]), 2);
      ++i;
      continue;
    }
    if (c == '\n') {
      out.append("\\n");
    } else if (c == '\r') {
      out.append("\\r");
    } else if (c == '\t') {
      out.append("\\t");
    } else if (c < 0x20 || c == 0x7F) {
      AppendHex(&out, "\\x", c, 2);
    } else if (IsEscapedAbove7F(c)) {
      AppendHex(&out, "\\u", c, 4);
    } else {
      out.append(bytes, i, length);
    }
    i += length;
  }
  return out;
}

std::string EscapeUntrustedExcerpt(const std::string& bytes, size_t limit) {
  if (bytes.size() <= limit) return EscapeUntrusted(bytes);
  return EscapeUntrusted(bytes.substr(0, limit)) + "... (" + std::to_string(bytes.size()) + " bytes)";
}

std::string MakeJsonTerminalSafe(const std::string& printedJson) {
  std::string out;
  out.reserve(printedJson.size());
  for (size_t i = 0; i < printedJson.size();) {
    uint32_t c = 0;
    const size_t length = DecodeUtf8(printedJson, i, &c);
    if (length == 0) {
      out.append("\\ufffd");
      ++i;
      continue;
    }
    if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F || IsEscapedAbove7F(c)) {
      AppendHex(&out, "\\u", c, 4);
    } else {
      out.append(printedJson, i, length);
    }
    i += length;
  }
  return out;
}

bool IsValidUtf8(const std::string& bytes) {
  for (size_t i = 0; i < bytes.size();) {
    uint32_t c = 0;
    const size_t length = DecodeUtf8(bytes, i, &c);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

bool JsonHasNulEscape(const std::string& json) {
  bool inString = false;
  for (size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (!inString) {
      inString = c == '"';
    } else if (c == '"') {
      inString = false;
    } else if (c == '\\') {
      if (json.compare(i + 1, 5, "u0000") == 0) return true;
      ++i;  // the escaped character, whatever it is
    }
  }
  return false;
}

}  // namespace iotcloud
