// The current region, its observer and its save in the platform cache.
//
// Threads and locks (state below each lock is protected by it):
//  - regionMutex_ guards the region alone and is held only to copy or
//    replace it, never across a cache access or an observer call: Get()
//    never waits for a disk.
//  - saveMutex_ serialises the cache writes of the region. Each save takes
//    the region current when it starts, so saves land in the order the
//    region changed and the last one writes the latest region. Lock order:
//    saveMutex_, then regionMutex_ or IotCacheManager's lock.
//  - observerMutex_ guards the observer and the threads calling it; it is
//    not held while the observer runs. SetObserver waits for calls of the
//    previous observer on other threads to return, so once it returns that
//    observer is never called again; from inside the observer it does not
//    wait (an observer may replace itself).
#pragma once

#include <string>
#include <thread>
#include <vector>

#include "core/api/smart/framework/IotGlobalActivation.h"
#include "core/support/Mutex.h"

namespace iotcloud {
namespace lookup {

class RegionStore {
 public:
  using Observer = IotGlobalActivation::IIotGlobalActivationCallback;

  RegionStore() = default;
  RegionStore(const RegionStore&) = delete;
  RegionStore& operator=(const RegionStore&) = delete;

  // A copy of the current region. Any thread; waits for no save.
  IotRegionInfo Get() const;
  // The region back to the China defaults, in memory only.
  void Reset();
  // Sets each field that the region JSON `text` holds; false when it is not
  // JSON (nothing changes then).
  bool Restore(const std::string& text);

  // Takes `fresh` over when it differs from the current region and tells
  // the observer (outside every lock); kChanged or kUnchanged.
  IotGlobalActivation::LookupOutcome TakeOver(const IotRegionInfo& fresh);

  // Writes the current region as region JSON under "region" (the write's
  // result is logged by the cache manager).
  void Save();
  // Resets the region to the China defaults and writes the empty string
  // under "region".
  void Clear();
  // Saves the current region unless the cache holds exactly its bytes
  // already (a write of the same bytes would cost a durable commit for
  // nothing). False when the write was needed and failed.
  bool SaveIfCacheDiffers();

  // Sets the observer (null removes it); see the thread notes above.
  void SetObserver(Observer* observer);

 private:
  void Notify(const IotRegionInfo& region);

  mutable Mutex regionMutex_;
  IotRegionInfo region_ IOTCLOUD_GUARDED_BY(regionMutex_);

  Mutex saveMutex_;
  // The region last compared with the cache and its JSON text, so an
  // unchanged answer does not print the region again.
  IotRegionInfo lastChecked_ IOTCLOUD_GUARDED_BY(saveMutex_);
  std::string lastCheckedJson_ IOTCLOUD_GUARDED_BY(saveMutex_);

  Mutex observerMutex_;
  CondVar observerIdle_{&observerMutex_};
  Observer* observer_ IOTCLOUD_GUARDED_BY(observerMutex_) = nullptr;
  std::vector<std::thread::id> calling_ IOTCLOUD_GUARDED_BY(observerMutex_);  // threads inside an observer call
};

}  // namespace lookup
}  // namespace iotcloud
