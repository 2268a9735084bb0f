// A small pool of worker threads that start queued jobs in arrival order.
//
// A job is a heap-allocated callable taking the index of the worker running
// it. The pool owns every job from the moment it is queued and deletes it
// after running it or when discarding it. A job that throws is logged and
// deleted like any other; the exception never ends a worker or the process
// (through push() it reaches the job's future).
//
// Threads and locks: push() may be called from any thread, also from a job.
// resize(), stop() and clear_queue() belong to the owner's thread, and stop()
// (and the destructor) must not run on a worker of the same pool, since it
// joins the workers. poolMutex is taken before the queue's mutex, never the
// other way round.
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <queue>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "../../../support/Export.h"
#include "../../../support/Mutex.h"

namespace ctpl {

namespace detail {

// First-in-first-out queue with its own mutex; every push and pop takes it.
template <typename T>
class Queue {
 public:
  bool push(const T& value) {
    iotcloud::MutexLock lock(&mutex_);
    queue_.push(value);
    return true;
  }
  // Moves the oldest element into `value`; false (and `value` untouched)
  // when the queue is empty.
  bool pop(T& value) {
    iotcloud::MutexLock lock(&mutex_);
    if (queue_.empty()) return false;
    value = std::move(queue_.front());
    queue_.pop();
    return true;
  }
  bool empty() {
    iotcloud::MutexLock lock(&mutex_);
    return queue_.empty();
  }

 private:
  iotcloud::Mutex mutex_;
  std::queue<T> queue_ IOTCLOUD_GUARDED_BY(mutex_);
};

// Logs a job's exception (level 4) with the worker index.
IOTCLOUD_API void LogJobException(int workerIndex, const char* what);

// Runs fn(index), logging an exception before passing it on to the future.
template <typename Fn>
auto CallLogged(Fn& fn, int index) -> decltype(fn(index)) {
  try {
    return fn(index);
  } catch (const std::exception& e) {
    LogJobException(index, e.what());
    throw;
  } catch (...) {
    LogJobException(index, "an exception of unknown type");
    throw;
  }
}

// A callable with the promise of its result. The queued job is its only
// owner, so deleting the job (run or discarded) releases the callable and
// everything it captured; a discarded job leaves a broken promise.
template <typename Result, typename Fn>
struct PromisedJob {
  explicit PromisedJob(Fn f) : fn(std::move(f)) {}
  void operator()(int index) {
    // Released on return, so the worker lets go of the result (or exception)
    // as soon as it is handed over, not only when the job is deleted.
    std::promise<Result> result = std::move(promise);
    try {
      if constexpr (std::is_void_v<Result>) {
        CallLogged(fn, index);
        result.set_value();
      } else {
        result.set_value(CallLogged(fn, index));
      }
    } catch (...) {
      result.set_exception(std::current_exception());
    }
  }
  std::promise<Result> promise;
  Fn fn;
};

}  // namespace detail

class IOTCLOUD_API thread_pool {
 public:
  using Job = std::function<void(int)>;

  thread_pool() : thread_pool(0) {}
  explicit thread_pool(int nThreads);
  // stop(true): runs every queued job, then joins the workers.
  ~thread_pool();
  thread_pool(const thread_pool&) = delete;
  thread_pool& operator=(const thread_pool&) = delete;

  // Number of worker slots. Owner's thread.
  int size() const { return static_cast<int>(threads.size()); }
  // Number of workers waiting for a job. Any thread.
  int n_idle() const { return waitingCount.load(); }

  // Grows the pool (new workers take the next indices) or shrinks it (the
  // removed workers finish the job in hand, then end). Workers removed by an
  // earlier shrink that have ended by now are joined here. Ignored once
  // stop() has been called. Owner's thread.
  void resize(int nThreads);

  // Deletes every queued job without running it; their futures report
  // std::future_errc::broken_promise.
  void clear_queue();

  // stop(true) lets the workers run the whole queue, then ends them;
  // stop(false) discards the queue and ends each worker after its current
  // job. Either way every worker has ended when it returns. A second stop
  // returns at once. Owner's thread.
  void stop(bool isWait = false);

  // Queues f(index, rest...) and returns the future of its result (or of its
  // exception). A job pushed after stop() is deleted at once, with what it
  // captured, and never run; its future reports broken_promise. Any thread.
  template <typename F, typename... Rest>
  auto push(F&& f, Rest&&... rest) -> std::future<decltype(f(0, rest...))> {
    using Result = decltype(f(0, rest...));
    auto bound = std::bind(std::forward<F>(f), std::placeholders::_1, std::forward<Rest>(rest)...);
    auto job = std::make_shared<detail::PromisedJob<Result, decltype(bound)>>(std::move(bound));
    std::future<Result> future = job->promise.get_future();
    enqueue(std::make_unique<Job>([job](int index) { (*job)(index); }));
    return future;
  }

 private:
  // A worker removed by resize(): it ends on its own after its current job
  // and sets `ended` last; the owner joins it at the next resize() or at
  // stop(), so none outlives the pool and finished ones do not pile up.
  struct Retired {
    std::unique_ptr<std::thread> thread;
    std::shared_ptr<std::atomic<bool>> ended;
  };

  void enqueue(std::unique_ptr<Job> job);
  void set_thread(int i);
  void runJob(Job* job, int index);
  void joinEndedRetired();

  // Owner's thread only.
  std::vector<std::unique_ptr<std::thread>> threads;
  std::vector<std::shared_ptr<std::atomic<bool>>> stopFlags;
  std::vector<std::shared_ptr<std::atomic<bool>>> endedFlags;  // set by each worker as it ends
  std::vector<Retired> retiredThreads;

  detail::Queue<Job*> jobQueue;  // owned job pointers
  std::atomic<bool> isFinishing{false};
  std::atomic<bool> isStopping{false};
  std::atomic<int> waitingCount{0};
  // Guards `stopped` and orders every enqueue against stop()'s last
  // clear_queue(); also serves wakeCondition.
  iotcloud::Mutex poolMutex;
  iotcloud::CondVar wakeCondition{&poolMutex};
  bool stopped IOTCLOUD_GUARDED_BY(poolMutex) = false;  // set once stop() has joined the workers
};

}  // namespace ctpl
