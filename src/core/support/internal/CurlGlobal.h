// One reference on libcurl's global state (counted by QZCurl), given back
// when its owner ends, so no path can forget the matching release.
#pragma once

#include <utility>

#include "core/support/QZCurl.h"

namespace iotcloud {

class CurlGlobalRef {
 public:
  CurlGlobalRef() = default;
  ~CurlGlobalRef() { Release(); }
  CurlGlobalRef(CurlGlobalRef&& other) noexcept : held_(std::exchange(other.held_, false)) {}
  CurlGlobalRef(const CurlGlobalRef&) = delete;
  CurlGlobalRef& operator=(const CurlGlobalRef&) = delete;
  CurlGlobalRef& operator=(CurlGlobalRef&&) = delete;

  // Takes the reference unless this holds it already; false when libcurl
  // could not be set up (nothing is held then).
  bool Acquire() {
    if (!held_) held_ = QZCurl::global_init_curl() == 0;
    return held_;
  }
  void Release() {
    if (held_) {
      held_ = false;
      QZCurl::global_deinit_curl();
    }
  }

 private:
  bool held_ = false;
};

}  // namespace iotcloud
