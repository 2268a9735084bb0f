// Thread values on POSIX systems: the compilers used there keep thread_local
// objects in native TLS, where destructors run before the storage goes, so
// one thread_local table holds every slot's value.
#include <atomic>
#include <memory>
#include <vector>

#include "core/support/internal/ThreadValue.h"

namespace iotcloud {
namespace {

std::atomic<int> g_slots{0};
thread_local std::vector<std::unique_ptr<ThreadValue>> t_values;  // by slot

}  // namespace

int NewThreadSlot() { return g_slots.fetch_add(1); }

ThreadValue* GetThreadValue(int slot) {
  if (slot < 0 || static_cast<size_t>(slot) >= t_values.size()) return nullptr;
  return t_values[static_cast<size_t>(slot)].get();
}

bool SetThreadValue(int slot, std::unique_ptr<ThreadValue> value) {
  if (slot < 0 || slot >= g_slots.load()) return false;
  if (static_cast<size_t>(slot) >= t_values.size()) t_values.resize(static_cast<size_t>(slot) + 1);
  t_values[static_cast<size_t>(slot)] = std::move(value);
  return true;
}

}  // namespace iotcloud
