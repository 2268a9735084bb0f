// Helpers shared by the settings tests. Log capture and temporary folders
// come from support/TestUtil.h.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "core/support/PlatformServices.h"
#include "platform/DefaultPlatform.h"
#include "support/TestUtil.h"

namespace settings_test {

// Installs `platform` as the process's platform services object until the end
// of the scope.
struct ScopedPlatform {
  explicit ScopedPlatform(std::shared_ptr<PlatformServices> platform) { setSharedPlatformImpl(std::move(platform)); }
  ~ScopedPlatform() { setSharedPlatformImpl(nullptr); }
};

// A default platform, or a subclass P of it, over the SQLite cache at `cachePath`.
template <typename P = iotcloud::DefaultPlatform>
std::shared_ptr<P> MakeDefaultPlatform(const std::string& cachePath, const std::string& systemLanguage = "zh") {
  iotcloud::DefaultPlatformOptions options;
  options.cachePath = cachePath;
  options.systemLanguage = systemLanguage;
  return std::make_shared<P>(options);
}

}  // namespace settings_test
