// Logging of the support library. Every line of the framework goes through
// TovoLog with a level, the tag "QZ", the call site and a printf-style format.
//
// Levels: 1 lifecycle and trace, 2 notable events, 3 warnings, 4 failures.
// The default sink writes one line per call to stderr (time, level, tag,
// file:line, function, message) for lines at or above the minimum level
// (default 3). The host may install its own sink and minimum level; nothing is
// read from files or the environment.
//
// Thread safety: every function here may be called from any thread. A sink is
// called on the logging thread, never under a lock of the logger, and must not
// install another sink from inside the call.
#pragma once

#include <functional>
#include <string>

#include "core/support/Export.h"

enum TovoLogLevel {
  TOVO_LOG_TRACE = 1,
  TOVO_LOG_INFO = 2,
  TOVO_LOG_WARN = 3,
  TOVO_LOG_ERROR = 4,
};

IOTCLOUD_API void TovoLog(int level, const char* tag, const char* file, int line, const char* function,
                          const char* format, ...) IOTCLOUD_PRINTF_FORMAT(6, 7);

namespace iotcloud {

// Receives one formatted log line. `file` is the source path as the compiler
// gave it; `message` carries no trailing line feed of its own beyond what the
// format had.
using LogSink = std::function<void(int level, const char* tag, const char* file, int line, const char* function,
                                   const std::string& message)>;

// Installs `sink` for every later line; an empty function restores the
// default stderr sink.
IOTCLOUD_API void SetLogSink(LogSink sink);

// Lines below `level` are dropped before they are formatted. Default 3.
IOTCLOUD_API void SetLogMinLevel(int level);
IOTCLOUD_API int GetLogMinLevel();

}  // namespace iotcloud

// Logs with the tag "QZ" and the caller's file, line and function name. The
// arguments are evaluated only for a line at or above the minimum level, so a
// dropped line costs no formatting, escaping or masking of its values.
#define QZ_LOG(level, ...) QZ_LOG_AS(__func__, (level), __VA_ARGS__)
// The same under another function name, for code that logs on behalf of its
// caller.
#define QZ_LOG_AS(function, level, ...)                                                                        \
  ((level) >= iotcloud::GetLogMinLevel() ? TovoLog((level), "QZ", __FILE__, __LINE__, (function), __VA_ARGS__) \
                                         : (void)0)
