// The process's PlatformServices object.
#include <mutex>

#include "core/support/PlatformServices.h"
#include "platform/DefaultPlatform.h"

PlatformServices::~PlatformServices() = default;

namespace {
std::mutex g_platformMutex;                    // guards g_platform
std::shared_ptr<PlatformServices> g_platform;  // the installed or default object
}  // namespace

std::shared_ptr<PlatformServices> getSharedPlatformImpl() {
  std::lock_guard<std::mutex> lock(g_platformMutex);
  if (!g_platform) g_platform = std::make_shared<iotcloud::DefaultPlatform>();
  return g_platform;
}

void setSharedPlatformImpl(std::shared_ptr<PlatformServices> platform) {
  std::shared_ptr<PlatformServices> previous;
  {
    std::lock_guard<std::mutex> lock(g_platformMutex);
    previous = std::move(g_platform);
    g_platform = std::move(platform);
  }
  // `previous` is released here, outside the lock.
}
