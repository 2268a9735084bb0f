#include "support/TestUtil.h"

#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "core/support/TovoLog.h"

namespace iotcloud_test {

TempDir::TempDir() {
  std::error_code ec;
  std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) base = "/tmp";
  std::string pattern = (base / "iotcloud-test-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

LogCapture::LogCapture(int minLevel)
    : previousMinLevel_(iotcloud::GetLogMinLevel()), state_(std::make_shared<State>()) {
  std::shared_ptr<State> state = state_;
  iotcloud::SetLogSink([state](int level, const char* tag, const char* file, int line,
                              const char* function, const std::string& message) {
    CapturedLine captured;
    captured.level = level;
    captured.tag = tag != nullptr ? tag : "";
    const char* base = file != nullptr ? std::strrchr(file, '/') : nullptr;
    captured.file = base != nullptr ? base + 1 : (file != nullptr ? file : "");
    captured.line = line;
    captured.function = function != nullptr ? function : "";
    captured.message = message;
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      state->lines.push_back(std::move(captured));
    }
    state->cv.notify_all();
  });
  iotcloud::SetLogMinLevel(minLevel);
}

LogCapture::~LogCapture() {
  iotcloud::SetLogSink({});
  iotcloud::SetLogMinLevel(previousMinLevel_);
}

std::vector<CapturedLine> LogCapture::Lines() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->lines;
}

size_t LogCapture::Count(const std::string& text) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  size_t count = 0;
  for (const auto& line : state_->lines) {
    if (line.message.find(text) != std::string::npos) ++count;
  }
  return count;
}

bool LogCapture::WaitForLine(const std::string& text, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->cv.wait_for(lock, timeout, [&] {
    for (const auto& line : state_->lines) {
      if (line.message.find(text) != std::string::npos) return true;
    }
    return false;
  });
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->lines.clear();
}

}  // namespace iotcloud_test
