#include "core/support/QZRandom.h"

#include <openssl/rand.h>

#include <random>
#include <vector>

std::string QZRandom::getRandomGUID(int length) {
  if (length <= 0) return std::string();
  static const char kDigits[] = "0123456789abcdef";
  const size_t count = static_cast<size_t>(length);
  std::vector<unsigned char> bytes((count + 1) / 2);
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    // The CSPRNG is unavailable only on a broken system; fall back to the
    // kernel's generator through random_device rather than failing a request.
    std::random_device device;
    for (auto& b : bytes) b = static_cast<unsigned char>(device());
  }
  std::string out;
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    unsigned char b = bytes[i / 2];
    out.push_back(kDigits[(i % 2 == 0) ? (b >> 4) : (b & 0x0F)]);
  }
  return out;
}
