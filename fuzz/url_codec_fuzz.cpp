// UrlEncode/UrlDecode: encoding any bytes gives only the form alphabet and
// decodes back to the bytes; decoding any text agrees with a bounds-checked
// reference decoder (so a trailing "%" or "%X" never makes it read past the
// input) and never grows the text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/io/network/http/HttpUtil.h"

namespace {

bool IsUpperHex(char c) { return c != 0 && std::strchr("0123456789ABCDEF", c) != nullptr; }

int DigitValue(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  return c - '0';
}

std::string ReferenceDecode(const std::string& in) {
  std::string out;
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '%' && i + 2 >= in.size()) return out + in.substr(i);
    out.push_back(in[i] == '%'   ? static_cast<char>(DigitValue(in[i + 1]) * 16 + DigitValue(in[i + 2]))
                  : in[i] == '+' ? ' '
                                 : in[i]);
    if (in[i] == '%') i += 2;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string encoded = HttpUtil::UrlEncode(input);
  for (size_t i = 0; i < encoded.size(); ++i) {
    const char c = encoded[i];
    if (c == '%' && i + 2 < encoded.size() && IsUpperHex(encoded[i + 1]) && IsUpperHex(encoded[i + 2])) {
      i += 2;
    } else if (c == 0 || !std::strchr("-._~+0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", c)) {
      std::abort();
    }
  }
  const std::string decoded = UrlDecode(input);
  if (UrlDecode(encoded) != input || decoded.size() > input.size() || decoded != ReferenceDecode(input)) std::abort();
  return 0;
}
