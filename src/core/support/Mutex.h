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
  explicit CondVar(Mutex* mutex) : mutex_(mutex) {}
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_->mutex_, std::adopt_lock);
    cond_.wait(lock);
    lock.release();  // still held: it belongs to the caller
  }
  // False when `deadline` passed without a signal.
  bool WaitUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_->mutex_, std::adopt_lock);
    const bool signalled = cond_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return signalled;
  }
  void Signal() { cond_.notify_one(); }
  void SignalAll() { cond_.notify_all(); }

 private:
  Mutex* const mutex_;
  std::condition_variable cond_;
};

}  // namespace iotcloud
