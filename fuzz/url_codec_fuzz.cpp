// UrlEncode/UrlDecode: encoding any bytes gives only the form alphabet and
// decodes back to the bytes; decoding any text agrees with a bounds-checked
// reference decoder (so a trailing "%" or "%X" never makes it read past the
// input) and never grows the text.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/io/network/http/HttpUtil.h"

namespace {

bool IsUpperHex(char c) { return c != 0 && std::strchr("0123456789ABCDEF", c) != nullptr; }

bool IsUnreserved(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || (c != 0 && std::strchr("-._~", c) != nullptr);
}

int DigitValue(uint8_t c) {
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  return c - '0';
}

std::string ReferenceDecode(const uint8_t* p, size_t n) {
  std::string out;
  while (n > 0) {
    if (*p == '%' && n >= 3) {
      out.push_back(static_cast<char>((DigitValue(p[1]) * 16 + DigitValue(p[2])) & 0xFF));
      p += 3;
      n -= 3;
    } else if (*p == '%') {
      out.append(reinterpret_cast<const char*>(p), n);
      break;
    } else {
      out.push_back(*p == '+' ? ' ' : static_cast<char>(*p));
      ++p;
      --n;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  const std::string encoded = HttpUtil::UrlEncode(input);
  for (size_t i = 0; i < encoded.size(); ++i) {
    const bool escape =
        encoded[i] == '%' && i + 2 < encoded.size() && IsUpperHex(encoded[i + 1]) && IsUpperHex(encoded[i + 2]);
    if (!escape && encoded[i] != '+' && !IsUnreserved(encoded[i])) std::abort();
    if (escape) i += 2;
  }
  if (UrlDecode(encoded) != input) std::abort();

  const std::string decoded = UrlDecode(input);
  if (decoded.size() > input.size()) std::abort();
  if (decoded != ReferenceDecode(data, size)) std::abort();
  return 0;
}
