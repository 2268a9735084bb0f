#include "core/support/Clock.h"

#include <chrono>

int64_t get_time() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
