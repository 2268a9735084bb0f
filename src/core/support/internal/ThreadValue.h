// Objects a thread owns until it ends, for state a thread keeps across calls
// (the calling thread's last blocking lookup). One source file per system
// under src/platform/ keeps the slots; CMake picks it. Internal to the
// library.
//
// Why not a thread_local object: with mingw-w64's GCC, thread_local objects
// live in emulated TLS blocks that the thread library may free at thread exit
// before their destructors run, so a destructor that touches the object
// reads freed memory and corrupts the heap. Trivially destructible
// thread_local values (pointers, counters, a random engine) are safe
// everywhere; an object with a destructor goes here.
//
// Thread safety: every function may be called from any thread; a thread sees
// only its own values.
#pragma once

#include <memory>

namespace iotcloud {

// A value a slot holds for one thread; deleted when the thread ends (or when
// the library is unloaded, for threads still running then).
class ThreadValue {
 public:
  virtual ~ThreadValue() = default;
};

// A new slot, or -1 when the system has none left. Slots are never released
// before the library is unloaded.
int NewThreadSlot();
// The calling thread's value of `slot`; null when it has none.
ThreadValue* GetThreadValue(int slot);
// Gives the calling thread's value of `slot` to `value` (deleting any earlier
// one). False, with `value` deleted, when the slot is not usable.
bool SetThreadValue(int slot, std::unique_ptr<ThreadValue> value);

// The calling thread's own T, made (value-initialised) on first use; null
// only when no slot could be had.
template <typename T>
T* ThisThreads() {
  struct Holder final : ThreadValue {
    T object{};
  };
  static const int slot = NewThreadSlot();
  if (slot < 0) return nullptr;
  if (ThreadValue* held = GetThreadValue(slot)) return &static_cast<Holder*>(held)->object;
  auto made = std::make_unique<Holder>();
  T* object = &made->object;
  return SetThreadValue(slot, std::move(made)) ? object : nullptr;
}

}  // namespace iotcloud
