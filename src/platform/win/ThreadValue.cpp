// Thread values on Windows: fiber-local storage, whose callback the system
// calls with a thread's value when the thread ends, independently of the C++
// runtime's thread_local machinery (see ThreadValue.h for why that is
// avoided here). The slots are freed when the library is unloaded, which
// calls the callback for every thread that still holds a value, so no
// callback outlives the code it points to.
#include <windows.h>

#include <memory>
#include <mutex>
#include <vector>

#include "core/support/internal/ThreadValue.h"

namespace iotcloud {
namespace {

void NTAPI DeleteValue(void* value) { delete static_cast<ThreadValue*>(value); }

class Slots {
 public:
  ~Slots() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const DWORD index : indexes_) FlsFree(index);
  }
  int New() {
    const DWORD index = FlsAlloc(&DeleteValue);
    if (index == FLS_OUT_OF_INDEXES) return -1;
    std::lock_guard<std::mutex> lock(mutex_);
    indexes_.push_back(index);
    return static_cast<int>(indexes_.size() - 1);
  }
  // The system's index of `slot`, or FLS_OUT_OF_INDEXES.
  DWORD Index(int slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    return slot >= 0 && static_cast<size_t>(slot) < indexes_.size() ? indexes_[static_cast<size_t>(slot)]
                                                                    : FLS_OUT_OF_INDEXES;
  }

 private:
  std::mutex mutex_;            // guards indexes_
  std::vector<DWORD> indexes_;  // by slot
};

Slots& AllSlots() {
  static Slots slots;
  return slots;
}

}  // namespace

int NewThreadSlot() { return AllSlots().New(); }

ThreadValue* GetThreadValue(int slot) {
  const DWORD index = AllSlots().Index(slot);
  return index == FLS_OUT_OF_INDEXES ? nullptr : static_cast<ThreadValue*>(FlsGetValue(index));
}

bool SetThreadValue(int slot, std::unique_ptr<ThreadValue> value) {
  const DWORD index = AllSlots().Index(slot);
  if (index == FLS_OUT_OF_INDEXES) return false;
  ThreadValue* earlier = static_cast<ThreadValue*>(FlsGetValue(index));
  if (!FlsSetValue(index, value.get())) return false;
  value.release();
  delete earlier;
  return true;
}

}  // namespace iotcloud
