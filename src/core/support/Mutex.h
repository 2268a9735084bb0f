// A mutex, its scoped lock and a condition variable that clang's thread-safety
// analysis (-Wthread-safety) understands, so that "guarded by" is checked by
// the compiler rather than only written in a comment.
//
//   iotcloud::Mutex mutex_;
//   int count_ IOTCLOUD_GUARDED_BY(mutex_);
//   void Bump() { iotcloud::MutexLock lock(&mutex_); ++count_; }
//
// The macros expand to nothing for other compilers. std::mutex itself carries
// no annotations in libstdc++, hence the thin wrappers.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define IOTCLOUD_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define IOTCLOUD_THREAD_ANNOTATION(x)
#endif

#define IOTCLOUD_CAPABILITY(name) IOTCLOUD_THREAD_ANNOTATION(capability(name))
#define IOTCLOUD_SCOPED_CAPABILITY IOTCLOUD_THREAD_ANNOTATION(scoped_lockable)
#define IOTCLOUD_GUARDED_BY(x) IOTCLOUD_THREAD_ANNOTATION(guarded_by(x))
#define IOTCLOUD_PT_GUARDED_BY(x) IOTCLOUD_THREAD_ANNOTATION(pt_guarded_by(x))
#define IOTCLOUD_ACQUIRED_BEFORE(...) IOTCLOUD_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define IOTCLOUD_REQUIRES(...) IOTCLOUD_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define IOTCLOUD_EXCLUDES(...) IOTCLOUD_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define IOTCLOUD_ACQUIRE(...) IOTCLOUD_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define IOTCLOUD_RELEASE(...) IOTCLOUD_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define IOTCLOUD_ASSERT_HELD(x) IOTCLOUD_THREAD_ANNOTATION(assert_capability(x))
#define IOTCLOUD_NO_THREAD_SAFETY_ANALYSIS IOTCLOUD_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace iotcloud {

class IOTCLOUD_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() IOTCLOUD_ACQUIRE() { mutex_.lock(); }
  void Unlock() IOTCLOUD_RELEASE() { mutex_.unlock(); }
  // Tells the analysis that the caller holds this mutex (for code it cannot
  // follow, such as a callback run under the lock). Checks nothing at run time.
  void AssertHeld() IOTCLOUD_ASSERT_HELD(this) {}

 private:
  friend class CondVar;
  std::mutex mutex_;
};

// Holds a Mutex for its scope.
class IOTCLOUD_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mutex) IOTCLOUD_ACQUIRE(mutex) : mutex_(mutex) { mutex_->Lock(); }
  ~MutexLock() IOTCLOUD_RELEASE() { mutex_->Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mutex_;
};

// A condition variable bound to one Mutex, which the caller of every Wait
// holds (the analysis cannot tie the two together, so this is not checked).
// Waits may wake spuriously: wait in a loop on the condition.
class CondVar {
 public:
  // The longest single wait WaitUntil asks of the standard library.
  static constexpr std::chrono::milliseconds kMaxWaitSlice{100};

  explicit CondVar(Mutex* mutex) : mutex_(mutex) {}
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_->mutex_, std::adopt_lock);
    cond_.wait(lock);
    lock.release();  // still held: it belongs to the caller
  }
  // False when the steady clock has reached `deadline`, true when woken
  // before it (by a signal, or spuriously).
  //
  // Some standard libraries (mingw-w64's libstdc++, libc++ off glibc) turn a
  // steady-clock deadline into a wall-clock one, and their own "timed out"
  // then follows the wall clock. So the steady clock alone decides here: it
  // is read again after every wake-up, and each underlying wait asks for at
  // most kMaxWaitSlice, so the wall-clock deadline the library derives is
  // made afresh at least that often. A jump of the wall clock forward then
  // ends no wait early (a slice that ends early is followed by another), and
  // a jump back can stretch only the slice in progress, not the waits after
  // it.
  bool WaitUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_->mutex_, std::adopt_lock);
    bool woken = false;
    for (auto now = std::chrono::steady_clock::now(); now < deadline; now = std::chrono::steady_clock::now()) {
      const auto slice = std::min<std::chrono::steady_clock::duration>(deadline - now, kMaxWaitSlice);
      if (cond_.wait_for(lock, slice) == std::cv_status::no_timeout) {
        woken = std::chrono::steady_clock::now() < deadline;
        break;
      }
    }
    lock.release();
    return woken;
  }
  void Signal() { cond_.notify_one(); }
  void SignalAll() { cond_.notify_all(); }

 private:
  Mutex* const mutex_;
  std::condition_variable cond_;
};

}  // namespace iotcloud
