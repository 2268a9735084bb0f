// General helpers for tests: waiting on a condition with a deadline, a
// temporary directory, and capturing log lines.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace iotcloud_test {

// Waits on `cv` (with `mutex` locked by the caller through `lock`) until
// `predicate` holds or `timeout` has passed. Returns the predicate's last
// value. The thread changing the state must change it under `mutex` and then
// notify `cv`.
template <typename Predicate>
bool WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, Predicate predicate,
             std::chrono::milliseconds timeout) {
  return cv.wait_for(lock, timeout, predicate);
}

// A piece of shared state with its own mutex and condition variable, for
// handing results from other threads to a waiting test:
//   Waitable<int> done(0);
//   ... on another thread: done.Update([](int& n) { ++n; });
//   EXPECT_TRUE(done.WaitFor([](const int& n) { return n == 3; }, 5s));
template <typename T>
class Waitable {
 public:
  explicit Waitable(T initial = T()) : value_(std::move(initial)) {}

  // Changes the state under the lock, then wakes every waiter.
  template <typename Change>
  void Update(Change change) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      change(value_);
    }
    cv_.notify_all();
  }

  // Waits until predicate(state) holds, at most `timeout`. Returns whether it
  // holds.
  template <typename Predicate>
  bool WaitFor(Predicate predicate, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return predicate(static_cast<const T&>(value_)); });
  }

  // A copy of the state.
  T Get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return value_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  T value_;
};

// A fresh directory under the system's temporary directory, removed with its
// contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name.
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct CapturedLine {
  int level = 0;
  std::string tag;
  std::string file;      // base name of the source file
  int line = 0;
  std::string function;
  std::string message;
};

// Collects every log line at `minLevel` and above while it lives (the
// library's sink and minimum level are process-wide, so one capture at a
// time). Restores the default sink and the previous minimum level on
// destruction; a line being logged on another thread at that moment still
// lands safely in the capture's shared state. Thread-safe.
class LogCapture {
 public:
  explicit LogCapture(int minLevel = 1);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<CapturedLine> Lines() const;
  // Number of lines whose message contains `text`.
  size_t Count(const std::string& text) const;
  bool Contains(const std::string& text) const { return Count(text) > 0; }
  // Waits until a line containing `text` has arrived.
  bool WaitForLine(const std::string& text, std::chrono::milliseconds timeout);
  void Clear();

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<CapturedLine> lines;
  };
  int previousMinLevel_;
  std::shared_ptr<State> state_;  // shared with the installed sink
};

}  // namespace iotcloud_test
