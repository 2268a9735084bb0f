// Random identifiers of the support library.
#pragma once

#include <string>

#include "Export.h"

class IOTCLOUD_API QZRandom {
 public:
  // A fresh identifier of `length` lower-case hexadecimal characters
  // (4 bits each) from the operating system's cryptographic generator; the
  // empty string for a length of 0 or less. Thread-safe.
  static std::string getRandomGUID(int length);
};
