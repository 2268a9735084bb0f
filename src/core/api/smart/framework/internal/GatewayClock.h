// The clocks a lookup reads: a steady clock for its deadline and waits, and
// the wall clock that dates its requests, corrected by what the gateway's
// answers taught about the local clock (the learnt offset).
//
// Owns the wall-clock seam (IotGlobalActivation::setWallClock) and the
// offset, which every lookup of the process shares. Any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "core/support/Mutex.h"

namespace iotcloud {
namespace lookup {

class GatewayClock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  GatewayClock() = default;
  virtual ~GatewayClock() = default;
  GatewayClock(const GatewayClock&) = delete;
  GatewayClock& operator=(const GatewayClock&) = delete;

  // The steady clock (tests replace it).
  virtual TimePoint Now() { return std::chrono::steady_clock::now(); }

  // The wall clock in milliseconds since 1970: the seam's, else the system's.
  int64_t WallMs();
  // Replaces the wall clock; null restores the system's.
  void SetWallClock(std::function<int64_t()> nowMs);

  // The gateway's clock minus the local one, as learnt; 0 while none is.
  int64_t OffsetMs() const { return offsetMs_.load(); }

  // Reads an answer's "Date" (status `status`) for a request that was
  // dated with the offset `sentOffsetMs`: a refusal whose Date is more than
  // 5 minutes from the date the request carried teaches the offset (or, when
  // the local clock agrees again, drops it); a Date that agrees with the
  // local clock within a minute drops a held offset. True when the answer
  // refused the request for its date. A Date that does not parse or is 30
  // days off or more is ignored.
  bool Learn(int status, const std::string& date, int64_t sentOffsetMs);

 private:
  Mutex mutex_;
  std::function<int64_t()> wallClock_ IOTCLOUD_GUARDED_BY(mutex_);  // null: the system clock
  std::atomic<bool> hasWallClock_{false};                           // wallClock_ is set: the lock is taken only then
  std::atomic<int64_t> offsetMs_{0};
};

}  // namespace lookup
}  // namespace iotcloud
