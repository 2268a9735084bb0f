// Threads of the support library on top of std::thread.
#include "core/support/COSThread.h"

#include <chrono>
#include <functional>
#include <system_error>
#include <thread>

#include "core/support/Mutex.h"

// Shared between the handle and its running thread, so a detached thread
// never touches a destroyed handle.
struct COSThread::State {
  iotcloud::Mutex mutex;
  iotcloud::CondVar ended{&mutex};
  bool done IOTCLOUD_GUARDED_BY(mutex) = false;
  std::thread thread;  // touched only by the handle's owner
};

COSThread::COSThread() = default;

COSThread::~COSThread() {
  if (state_ && state_->thread.joinable()) {
    iotcloud::MutexLock lock(&state_->mutex);
    if (state_->done) {
      state_->thread.join();
    } else {
      state_->thread.detach();
    }
  }
}

int CreateThreadEx(COSThread* thread, size_t /*stackSize*/, COSThreadRoutine routine, void* argument, unsigned flags,
                   unsigned long* threadIdOut) {
  if (thread == nullptr || routine == nullptr || flags != 0 || thread->started_.load()) return -1;
  auto state = std::make_shared<COSThread::State>();
  try {
    state->thread = std::thread([state, routine, argument] {
      routine(argument);
      iotcloud::MutexLock lock(&state->mutex);
      state->done = true;
      state->ended.SignalAll();
    });
  } catch (const std::system_error&) {
    return -1;
  }
  if (threadIdOut != nullptr) {
    *threadIdOut = static_cast<unsigned long>(std::hash<std::thread::id>()(state->thread.get_id()));
  }
  thread->state_ = std::move(state);
  thread->started_.store(true);
  return 0;
}

int WaitForSingleObjectEx(COSThread* thread, uint32_t timeoutMs) {
  if (thread == nullptr || !thread->state_) return COS_WAIT_FAILED;
  COSThread::State& state = *thread->state_;
  if (state.thread.joinable() && state.thread.get_id() == std::this_thread::get_id()) {
    return COS_WAIT_FAILED;  // a thread cannot wait for its own end
  }
  {
    iotcloud::MutexLock lock(&state.mutex);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!state.done) {
      if (timeoutMs == COS_WAIT_INFINITE) {
        state.ended.Wait();
      } else if (!state.ended.WaitUntil(deadline) && !state.done) {
        return COS_WAIT_TIMEOUT;
      }
    }
  }
  if (state.thread.joinable()) state.thread.join();
  return COS_WAIT_OBJECT_0;
}

int CloseThreadEx(COSThread* thread) {
  if (thread == nullptr || !thread->state_) return -1;
  std::shared_ptr<COSThread::State> state = std::move(thread->state_);
  if (state->thread.joinable()) {
    bool done;
    {
      iotcloud::MutexLock lock(&state->mutex);
      done = state->done;
    }
    if (done) {
      state->thread.join();
    } else {
      state->thread.detach();
    }
  }
  thread->started_.store(false);
  return 0;
}
