#include "core/api/smart/framework/internal/GatewayClock.h"

#include <cstdlib>
#include <utility>

#include "core/api/smart/framework/internal/LookupRetry.h"
#include "core/support/TovoLog.h"

namespace iotcloud {
namespace lookup {

int64_t GatewayClock::WallMs() {
  if (hasWallClock_.load(std::memory_order_acquire)) {
    MutexLock lock(&mutex_);
    if (wallClock_) return wallClock_();
  }
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void GatewayClock::SetWallClock(std::function<int64_t()> nowMs) {
  MutexLock lock(&mutex_);
  hasWallClock_.store(static_cast<bool>(nowMs), std::memory_order_release);
  wallClock_ = std::move(nowMs);
}

bool GatewayClock::Learn(int status, const std::string& date, int64_t sentOffsetMs) {
  // A success with no offset held has nothing to teach: the Date is read
  // only when it could refuse, or give a held offset back.
  if (status < 400 && sentOffsetMs == 0 && offsetMs_.load() == 0) return false;
  const ClockReading reading = ReadAnswerDate(status, date, WallMs(), sentOffsetMs);
  if (!reading.valid) return false;
  if (reading.refusal) {
    // A request dated by a stale offset, refused now that the local clock is
    // right again, goes back to the local clock.
    offsetMs_.store(reading.agrees ? 0 : reading.skewMs);
    QZ_LOG(3, "the gateway's clock is %lld ms %s this computer's: requests are dated by %s",
           static_cast<long long>(std::llabs(reading.skewMs)), reading.skewMs > 0 ? "ahead of" : "behind",
           reading.agrees ? "the local clock" : "the gateway's");
    return true;
  }
  if (reading.agrees && offsetMs_.exchange(0) != 0) {
    QZ_LOG(3, "the local clock agrees with the gateway's again: requests are dated by it");
  }
  return false;
}

}  // namespace lookup
}  // namespace iotcloud
