#include "core/api/smart/framework/internal/RegionStore.h"

#include <algorithm>
#include <utility>

#include "core/api/smart/framework/IotCacheManager.h"
#include "core/support/TovoLog.h"
#include "core/support/UntrustedText.h"
#include "core/support/internal/HostCode.h"

namespace iotcloud {
namespace lookup {

IotRegionInfo RegionStore::Get() const {
  MutexLock lock(&regionMutex_);
  return region_;
}

void RegionStore::Reset() {
  MutexLock lock(&regionMutex_);
  region_.resetToChina();
}

bool RegionStore::Restore(const std::string& text) {
  // Parsed into a copy, so the lock is not held while the parse logs; taken
  // over only if no lookup changed the region meanwhile (else parsed again).
  for (;;) {
    const IotRegionInfo before = Get();
    IotRegionInfo restored = before;
    if (!restored.parseFromJsonString(text)) return false;
    MutexLock lock(&regionMutex_);
    if (!(region_ != before)) {
      region_ = restored;
      return true;
    }
  }
}

IotGlobalActivation::LookupOutcome RegionStore::TakeOver(const IotRegionInfo& fresh) {
  {
    MutexLock lock(&regionMutex_);
    if (!(fresh != region_)) return IotGlobalActivation::LookupOutcome::kUnchanged;
    region_ = fresh;
  }
  Notify(fresh);
  return IotGlobalActivation::LookupOutcome::kChanged;
}

void RegionStore::Notify(const IotRegionInfo& region) {
  Observer* observer;
  {
    MutexLock lock(&observerMutex_);
    observer = observer_;
    if (observer == nullptr) return;
    calling_.push_back(std::this_thread::get_id());
  }
  CallHostCode("the region observer", [&] { observer->OnRegionInfoChanged(region); });
  {
    MutexLock lock(&observerMutex_);
    calling_.erase(std::find(calling_.begin(), calling_.end(), std::this_thread::get_id()));
  }
  observerIdle_.SignalAll();
}

void RegionStore::SetObserver(Observer* observer) {
  MutexLock lock(&observerMutex_);
  observer_ = observer;
  const std::thread::id self = std::this_thread::get_id();
  while (std::any_of(calling_.begin(), calling_.end(), [self](std::thread::id id) { return id != self; })) {
    observerIdle_.Wait();
  }
}

void RegionStore::Save() {
  MutexLock save(&saveMutex_);
  std::string json = Get().toJsonString();
  QZ_LOG(1, "saveRegionInfoToCache data=%s", ForLog(json).c_str());
  IotCacheManager::getInstance()->writeToPlatformCache(PLATFORM_REGION_INFO_KEY, std::move(json));
}

void RegionStore::Clear() {
  MutexLock save(&saveMutex_);
  QZ_LOG(1, "clear %s", PLATFORM_REGION_INFO_KEY);
  Reset();
  IotCacheManager::getInstance()->writeToPlatformCache(PLATFORM_REGION_INFO_KEY, std::string());
}

bool RegionStore::SaveIfCacheDiffers() {
  MutexLock save(&saveMutex_);
  const IotRegionInfo current = Get();
  if (lastChecked_ != current || lastCheckedJson_.empty()) {
    lastChecked_ = current;
    lastCheckedJson_ = current.toJsonString();
  }
  std::string json = lastCheckedJson_;
  IotCacheManager* cache = IotCacheManager::getInstance();
  // A read is cheap; a write of the same bytes would cost a durable commit
  // (an fsync with the default platform) on the HTTP manager thread.
  if (cache->readFormPlatformCache(PLATFORM_REGION_INFO_KEY) == json) {
    QZ_LOG(1, "the cache holds this region already");
    return true;
  }
  QZ_LOG(1, "saveRegionInfoToCache data=%s", ForLog(json).c_str());
  return cache->writeToPlatformCache(PLATFORM_REGION_INFO_KEY, std::move(json));
}

}  // namespace lookup
}  // namespace iotcloud
