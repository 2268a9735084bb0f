// General helpers for tests: state to wait on with a deadline, a temporary
// directory, reading a file, and capturing log lines (and, from System.h,
// what differs between operating systems: a closed port, child processes).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "core/support/TovoLog.h"
#include "platform/DefaultPlatform.h"
#include "support/System.h"
#include "tls/TlsMaterial.h"

namespace iotcloud_test {

// State handed from other threads to a waiting test: Update() changes it
// under the lock and wakes waiters; WaitFor() waits until predicate(state)
// holds, at most `timeout`, and returns whether it holds.
template <typename T>
class Waitable {
 public:
  template <typename Change>
  void Update(Change change) {
    // Notified under the lock: a waiter that sees the change may return and
    // destroy this object at once, which must not happen inside notify_all.
    std::lock_guard<std::mutex> lock(mutex_);
    change(value_);
    cv_.notify_all();
  }
  template <typename Predicate>
  bool WaitFor(Predicate predicate, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return predicate(static_cast<const T&>(value_)); });
  }
  T Get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return value_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  T value_{};
};

// A fresh directory under the system's temporary directory, removed with its
// contents on destruction.
class TempDir {
 public:
  TempDir() {
    std::string ignored;
    path_ = iotcloud::tls::MakeTemporaryFolder("iotcloud-test-", &ignored);
  }
  ~TempDir() {
    std::error_code ignored;  // an empty path_ fails harmlessly
    if (!path_.empty()) std::filesystem::remove_all(std::filesystem::u8path(path_), ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The default platform's options as the tests use them: the cache at
// `cachePath`, the application's key and secret, English as the system's
// language (whatever the machine's locale says).
inline iotcloud::DefaultPlatformOptions PlatformOptions(const std::string& cachePath, const std::string& appKey,
                                                        const std::string& appSecret) {
  iotcloud::DefaultPlatformOptions options;
  options.cachePath = cachePath;
  options.applicationKey = appKey;
  options.applicationSecret = appSecret;
  options.systemLanguage = "en";
  return options;
}

// The bytes of a file; empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct CapturedLine {
  int level = 0;
  std::string file;  // base name of the source file
  std::string function;
  std::string message;
};

// Collects every log line at `minLevel` and above while it lives (the sink is
// process-wide: one capture at a time), then restores the default sink and
// the previous minimum level. A line logged on another thread meanwhile lands
// safely in the shared state. Thread-safe.
class LogCapture {
 public:
  explicit LogCapture(int minLevel = 1) {
    iotcloud::SetLogSink([state = state_](int level, const char*, const char* file, int, const char* function,
                                          const std::string& message) {
      const char* base = file;
      for (const char* p = file; *p != '\0'; ++p) base = (*p == '/' || *p == '\\') ? p + 1 : base;
      CapturedLine captured{level, base, function, message};
      state->Update([&](std::vector<CapturedLine>& lines) { lines.push_back(std::move(captured)); });
    });
    iotcloud::SetLogMinLevel(minLevel);
  }
  ~LogCapture() {
    iotcloud::SetLogSink({});
    iotcloud::SetLogMinLevel(previousMinLevel_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<CapturedLine> Lines() const { return state_->Get(); }
  // Number of lines whose message contains `text`.
  size_t Count(const std::string& text) const { return CountIn(Lines(), text); }
  bool Contains(const std::string& text) const { return Count(text) > 0; }
  // Waits until a line whose message contains `text` was logged, at most
  // `timeout`; whether one was.
  bool WaitForLine(const std::string& text, std::chrono::milliseconds timeout) {
    return state_->WaitFor([&text](const auto& lines) { return CountIn(lines, text) > 0; }, timeout);
  }

 private:
  static size_t CountIn(const std::vector<CapturedLine>& lines, const std::string& text) {
    size_t count = 0;
    for (const auto& line : lines) count += line.message.find(text) != std::string::npos;
    return count;
  }
  const int previousMinLevel_ = iotcloud::GetLogMinLevel();
  const std::shared_ptr<Waitable<std::vector<CapturedLine>>> state_ =
      std::make_shared<Waitable<std::vector<CapturedLine>>>();
};

}  // namespace iotcloud_test
