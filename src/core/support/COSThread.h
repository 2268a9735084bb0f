// Threads of the support library: a handle with a started flag and three
// calls modelled on a classic thread API.
//
// A COSThread is used by one owner thread at a time (create, wait and close
// are not meant to race each other); isStarted() may be read from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "Export.h"

// The routine a thread runs: one untyped argument, an unsigned long result.
using COSThreadRoutine = unsigned long (*)(void* argument);

// Waits passed this time-out wait without a limit.
constexpr uint32_t COS_WAIT_INFINITE = 0xFFFFFFFFu;
// Results of WaitForSingleObjectEx.
constexpr int COS_WAIT_OBJECT_0 = 0;     // the thread has ended
constexpr int COS_WAIT_TIMEOUT = 0x102;  // the time-out passed first
constexpr int COS_WAIT_FAILED = -1;      // no thread, or a bad handle

class IOTCLOUD_API COSThread {
 public:
  COSThread();
  // A thread still running when its handle is destroyed is detached, never
  // terminated; its routine must not outlive what it uses.
  ~COSThread();
  COSThread(const COSThread&) = delete;
  COSThread& operator=(const COSThread&) = delete;

  // True while the handle holds a started thread: from CreateThreadEx until
  // CloseThreadEx.
  bool isStarted() const { return started_.load(); }

  struct State;  // shared with the running thread

 private:
  friend IOTCLOUD_API int CreateThreadEx(COSThread*, size_t, COSThreadRoutine, void*, unsigned, unsigned long*);
  friend IOTCLOUD_API int WaitForSingleObjectEx(COSThread*, uint32_t);
  friend IOTCLOUD_API int CloseThreadEx(COSThread*);

  std::atomic<bool> started_{false};
  std::shared_ptr<State> state_;
};

// Starts `routine(argument)` on a new thread held by `thread`. stackSize 0 is
// the default stack; flags must be 0. Writes a thread number to *threadIdOut
// when it is not null. Returns 0, or -1 when the handle already holds a
// thread or no thread could be started.
IOTCLOUD_API int CreateThreadEx(COSThread* thread, size_t stackSize, COSThreadRoutine routine, void* argument,
                                unsigned flags, unsigned long* threadIdOut);

// Waits until the thread has ended or `timeoutMs` has passed
// (COS_WAIT_INFINITE: no limit). Returns COS_WAIT_OBJECT_0, COS_WAIT_TIMEOUT
// or COS_WAIT_FAILED.
IOTCLOUD_API int WaitForSingleObjectEx(COSThread* thread, uint32_t timeoutMs);

// Releases the handle and clears its started flag, so the handle can start a
// new thread. An ended thread is joined; one still running is detached.
// Returns 0, or -1 for a handle without a thread.
IOTCLOUD_API int CloseThreadEx(COSThread* thread);
