// Default logger of the support library.
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "core/support/Mutex.h"
#include "core/support/TovoLog.h"
#include "platform/internal/Os.h"

namespace {

std::atomic<int> g_minLevel{TOVO_LOG_WARN};

// The installed sink; null means the default stderr sink. A copy of the
// pointer is taken under g_sinkMutex and the sink is called without it.
iotcloud::Mutex g_sinkMutex;
std::shared_ptr<const iotcloud::LogSink> g_sink IOTCLOUD_GUARDED_BY(g_sinkMutex);

const char* LevelName(int level) {
  switch (level) {
    case TOVO_LOG_TRACE: return "TRACE";
    case TOVO_LOG_INFO: return "INFO";
    case TOVO_LOG_WARN: return "WARN";
    case TOVO_LOG_ERROR: return "ERROR";
    default: return "?";
  }
}

// The compiler's path of the source file may use either slash.
const char* BaseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  return base;
}

void WriteToStderr(int level, const char* tag, const char* file, int line, const char* function,
                   const std::string& message) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm parts{};
  char stamp[32] = "?";
  if (iotcloud::os::LocalTime(seconds, &parts)) std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &parts);
  // One fprintf per line keeps lines of different threads whole.
  std::fprintf(stderr, "%s.%03ld %-5s [%s] %s:%d %s: %s%s", stamp,
               static_cast<long>(millis < 0 ? millis + 1000 : millis), LevelName(level), tag ? tag : "",
               BaseName(file ? file : "?"), line, function ? function : "?", message.c_str(),
               (!message.empty() && message.back() == '\n') ? "" : "\n");
}

}  // namespace

void TovoLog(int level, const char* tag, const char* file, int line, const char* function, const char* format, ...) {
  if (level < g_minLevel.load(std::memory_order_relaxed) || format == nullptr) return;

  char stackBuffer[512];
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int needed = std::vsnprintf(stackBuffer, sizeof stackBuffer, format, args);
  va_end(args);
  std::string message;
  if (needed < 0) {
    message = format;
  } else if (static_cast<size_t>(needed) < sizeof stackBuffer) {
    message.assign(stackBuffer, static_cast<size_t>(needed));
  } else {
    std::vector<char> heap(static_cast<size_t>(needed) + 1);
    std::vsnprintf(heap.data(), heap.size(), format, copy);
    message.assign(heap.data(), static_cast<size_t>(needed));
  }
  va_end(copy);

  std::shared_ptr<const iotcloud::LogSink> sink;
  {
    iotcloud::MutexLock lock(&g_sinkMutex);
    sink = g_sink;
  }
  if (sink) {
    (*sink)(level, tag, file, line, function, message);
  } else {
    WriteToStderr(level, tag, file, line, function, message);
  }
}

namespace iotcloud {

void SetLogSink(LogSink sink) {
  std::shared_ptr<const LogSink> next;
  if (sink) next = std::make_shared<const LogSink>(std::move(sink));
  iotcloud::MutexLock lock(&g_sinkMutex);
  g_sink = std::move(next);
}

void SetLogMinLevel(int level) { g_minLevel.store(level); }

int GetLogMinLevel() { return g_minLevel.load(); }

}  // namespace iotcloud
