// Helpers shared by the settings tests: log line filters, an installed
// platform for the life of a test, and a forwarding platform that counts,
// records and can refuse calls. Log capture and temporary folders come from
// support/TestUtil.h.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/support/PlatformServices.h"
#include "platform/DefaultPlatform.h"
#include "support/TestUtil.h"

namespace settings_test {

using LogLine = iotcloud_test::CapturedLine;

// The captured lines at `level`.
inline std::vector<LogLine> LinesAtLevel(const iotcloud_test::LogCapture& log, int level) {
  std::vector<LogLine> found;
  for (const LogLine& line : log.Lines())
    if (line.level == level) found.push_back(line);
  return found;
}

// The captured lines whose message is exactly `message`.
inline std::vector<LogLine> LinesWithMessage(const iotcloud_test::LogCapture& log, const std::string& message) {
  std::vector<LogLine> found;
  for (const LogLine& line : log.Lines())
    if (line.message == message) found.push_back(line);
  return found;
}

// Installs `platform` as the process's platform services object until the end
// of the scope, then drops it.
class ScopedPlatform {
 public:
  explicit ScopedPlatform(std::shared_ptr<PlatformServices> platform) { setSharedPlatformImpl(std::move(platform)); }
  ~ScopedPlatform() { setSharedPlatformImpl(nullptr); }
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;
};

inline std::shared_ptr<iotcloud::DefaultPlatform> MakeDefaultPlatform(const std::string& cachePath,
                                                                       const std::string& systemLanguage = "zh") {
  iotcloud::DefaultPlatformOptions options;
  options.cachePath = cachePath;
  options.systemLanguage = systemLanguage;
  return std::make_shared<iotcloud::DefaultPlatform>(options);
}

// Forwards every call to a real platform, counting calls and recording the
// order of cache calls with the calling thread. Writes can be refused, and
// values can be given a visible stored form ("enc:" prefix).
class RecordingPlatform : public PlatformServices {
 public:
  enum class Call { Encode, Write, Read, Decode };
  struct Event {
    Call call;
    std::thread::id thread;
  };

  explicit RecordingPlatform(std::shared_ptr<PlatformServices> inner) : inner_(std::move(inner)) {}

  std::string getSystemLanguage() override {
    systemLanguageCalls++;
    return inner_->getSystemLanguage();
  }
  std::string getApplicationKey() override { return inner_->getApplicationKey(); }
  std::string signString(std::string text, int method) override { return inner_->signString(std::move(text), method); }
  bool writeCache(std::string key, std::string storedText) override {
    record(Call::Write);
    writeCalls++;
    if (refuseWrites) return false;
    lastStoredText(storedText);
    return inner_->writeCache(std::move(key), std::move(storedText));
  }
  std::string readCache(std::string key) override {
    record(Call::Read);
    readCalls++;
    return inner_->readCache(std::move(key));
  }
  std::string encodeCacheValue(std::string value) override {
    record(Call::Encode);
    return prefixValues ? "enc:" + value : value;
  }
  std::string decodeCacheValue(std::string storedText) override {
    record(Call::Decode);
    if (prefixValues) return storedText.rfind("enc:", 0) == 0 ? storedText.substr(4) : "<not encoded>";
    return storedText;
  }

  std::vector<Event> events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  std::string lastStoredText() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastStoredText_;
  }

  std::atomic<bool> refuseWrites{false};
  std::atomic<bool> prefixValues{false};
  std::atomic<int> writeCalls{0};
  std::atomic<int> readCalls{0};
  std::atomic<int> systemLanguageCalls{0};

 private:
  void record(Call call) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back({call, std::this_thread::get_id()});
    }
    // Widens the window in which an unserialised caller would interleave.
    std::this_thread::yield();
  }
  void lastStoredText(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    lastStoredText_ = text;
  }

  const std::shared_ptr<PlatformServices> inner_;
  mutable std::mutex mutex_;
  std::vector<Event> events_;   // guarded by mutex_
  std::string lastStoredText_;  // guarded by mutex_
};

}  // namespace settings_test
