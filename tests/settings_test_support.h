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

inline iotcloud::DefaultPlatformOptions CacheOptions(const std::string& cachePath,
                                                     const std::string& systemLanguage = "zh") {
  iotcloud::DefaultPlatformOptions options;
  options.cachePath = cachePath;
  options.systemLanguage = systemLanguage;
  return options;
}

inline std::shared_ptr<iotcloud::DefaultPlatform> MakeDefaultPlatform(const std::string& cachePath,
                                                                      const std::string& systemLanguage = "zh") {
  return std::make_shared<iotcloud::DefaultPlatform>(CacheOptions(cachePath, systemLanguage));
}

}  // namespace settings_test
