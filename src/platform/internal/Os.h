// What the default platform needs from the operating system, one source file
// per system (posix/Os.cpp, win/Os.cpp; CMake picks one). Internal to the
// library. Strings are UTF-8.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <ctime>
#include <string>

namespace iotcloud {
namespace os {

// The per-user default cache file: POSIX $XDG_CACHE_HOME/iotcloud/cache.db
// (when absolute), else ~/.cache/iotcloud/cache.db; Windows
// %LOCALAPPDATA%\iotcloud\cache.db.
std::string DefaultCachePath();

// The user's locale name as the operating system keeps it apart from the
// environment ("de-DE" from Windows' settings); empty where the environment
// variables are the only source (POSIX).
std::string UserLocaleName();

// True when `path` names something that exists but is no regular file: a
// folder, a FIFO, a device (Windows: NUL, CON, COM1 and the like too).
bool IsSpecialFile(const std::string& path);

// `when` broken down in the local time zone; false when it cannot be.
bool LocalTime(std::time_t when, std::tm* out);

// `path` as the path part of an SQLite "file:" URI, before percent-escaping
// (Windows: "/C:/Users/..." with forward slashes).
std::string UriPath(const std::string& path);

}  // namespace os
}  // namespace iotcloud
