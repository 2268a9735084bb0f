// The default platform's operating-system calls on POSIX systems.
#include "platform/internal/Os.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace iotcloud {
namespace os {

std::string DefaultCachePath() {
  std::string base;
  if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') {
      const passwd* entry = getpwuid(getuid());
      home = entry ? entry->pw_dir : nullptr;
    }
    base = std::string(home ? home : "/tmp") + "/.cache";
  }
  return base + "/iotcloud/cache.db";
}

std::string UserLocaleName() { return std::string(); }

bool IsSpecialFile(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode);
}

bool LocalTime(std::time_t when, std::tm* out) { return localtime_r(&when, out) != nullptr; }

std::string UriPath(const std::string& path) { return path; }

}  // namespace os
}  // namespace iotcloud
