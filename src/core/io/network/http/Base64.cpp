#include "core/io/network/http/internal/Base64.h"

namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';

}  // namespace

namespace Base64 {

bool Encode(const char* data, size_t length, char* out, size_t outSize) {
  // Count groups rather than 4 * ((length + 2) / 3) so no size can overflow.
  const size_t groups = length / 3 + (length % 3 != 0 ? 1 : 0);
  if (groups > outSize / 4) {
    return false;
  }
  const auto* in = reinterpret_cast<const unsigned char*>(data);
  size_t i = 0;
  char* o = out;
  for (; i + 3 <= length; i += 3) {
    const unsigned b0 = in[i], b1 = in[i + 1], b2 = in[i + 2];
    *o++ = kBase64Alphabet[b0 >> 2];
    *o++ = kBase64Alphabet[((b0 & 3u) << 4) | (b1 >> 4)];
    *o++ = kBase64Alphabet[((b1 & 15u) << 2) | (b2 >> 6)];
    *o++ = kBase64Alphabet[b2 & 63u];
  }
  const size_t rest = length - i;
  if (rest > 0) {
    const unsigned b0 = in[i];
    const unsigned b1 = rest == 2 ? in[i + 1] : 0u;
    *o++ = kBase64Alphabet[b0 >> 2];
    *o++ = kBase64Alphabet[((b0 & 3u) << 4) | (b1 >> 4)];
    *o++ = rest == 2 ? kBase64Alphabet[(b1 & 15u) << 2] : kPad;
    *o++ = kPad;
  }
  return true;
}

}  // namespace Base64
