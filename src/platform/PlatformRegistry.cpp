// The process's PlatformServices object.
#include "core/support/PlatformServices.h"

#include "core/support/Mutex.h"
#include "platform/DefaultPlatform.h"

PlatformServices::~PlatformServices() = default;

namespace {
iotcloud::Mutex g_platformMutex;
std::shared_ptr<PlatformServices> g_platform IOTCLOUD_GUARDED_BY(g_platformMutex);  // installed or default
}  // namespace

std::shared_ptr<PlatformServices> getSharedPlatformImpl() {
  iotcloud::MutexLock lock(&g_platformMutex);
  if (!g_platform) {
    // Used before the host installed a platform: the cache file is made
    // only if something is cached, and its place is logged then.
    iotcloud::DefaultPlatformOptions options;
    options.openCacheOnFirstUse = true;
    g_platform = std::make_shared<iotcloud::DefaultPlatform>(std::move(options));
  }
  return g_platform;
}

void setSharedPlatformImpl(std::shared_ptr<PlatformServices> platform) {
  std::shared_ptr<PlatformServices> previous;
  {
    iotcloud::MutexLock lock(&g_platformMutex);
    previous = std::move(g_platform);
    g_platform = std::move(platform);
  }
  // `previous` is released here, outside the lock.
}
