#include "core/api/smart/framework/ThreadPool.h"

#include <system_error>

#include "core/support/TovoLog.h"

namespace ctpl {

namespace detail {

void LogJobException(int workerIndex, const char* what) {
  QZ_LOG(4, "thread_pool worker %d: job threw: %s", workerIndex, what != nullptr ? what : "");
}

}  // namespace detail

thread_pool::thread_pool(int nThreads) { resize(nThreads); }

thread_pool::~thread_pool() { stop(true); }

void thread_pool::resize(int nThreads) {
  if (isStopping || isFinishing || nThreads < 0) return;
  joinEndedRetired();
  const int oldThreads = size();
  if (oldThreads <= nThreads) {
    threads.resize(nThreads);
    stopFlags.resize(nThreads);
    endedFlags.resize(nThreads);
    for (int i = oldThreads; i < nThreads; ++i) {
      stopFlags[i] = std::make_shared<std::atomic<bool>>(false);
      endedFlags[i] = std::make_shared<std::atomic<bool>>(false);
      set_thread(i);
    }
    return;
  }
  for (int i = oldThreads - 1; i >= nThreads; --i) {
    *stopFlags[i] = true;
    retiredThreads.push_back(Retired{std::move(threads[i]), endedFlags[i]});
  }
  {
    // Under poolMutex, so a worker between its check and its wait cannot
    // miss the notification.
    iotcloud::MutexLock lock(&poolMutex);
    wakeCondition.SignalAll();
  }
  threads.resize(nThreads);
  stopFlags.resize(nThreads);
  endedFlags.resize(nThreads);
}

void thread_pool::joinEndedRetired() {
  for (auto it = retiredThreads.begin(); it != retiredThreads.end();) {
    if (!it->ended->load()) {
      ++it;
      continue;
    }
    if (it->thread && it->thread->joinable()) it->thread->join();  // returns at once: it has ended
    it = retiredThreads.erase(it);
  }
}

void thread_pool::clear_queue() {
  Job* job = nullptr;
  while (jobQueue.pop(job)) delete job;
}

void thread_pool::stop(bool isWait) {
  if (isWait) {
    if (isStopping || isFinishing) return;
    isFinishing = true;
  } else {
    if (isStopping) return;
    isStopping = true;
    for (auto& flag : stopFlags) *flag = true;
    clear_queue();
  }
  {
    iotcloud::MutexLock lock(&poolMutex);
    wakeCondition.SignalAll();
  }
  for (auto& thread : threads) {
    if (thread && thread->joinable()) thread->join();
  }
  for (auto& retired : retiredThreads) {
    if (retired.thread && retired.thread->joinable()) retired.thread->join();
  }
  {
    // From here on enqueue() deletes what it is given; what was queued
    // before (also while the pool had no threads) is deleted now.
    iotcloud::MutexLock lock(&poolMutex);
    stopped = true;
  }
  clear_queue();
  retiredThreads.clear();
  while (!threads.empty()) threads.pop_back();
  stopFlags.clear();
  endedFlags.clear();
}

void thread_pool::enqueue(std::unique_ptr<Job> job) {
  iotcloud::MutexLock lock(&poolMutex);
  if (stopped) return;           // `job` is deleted on return: its future reports broken_promise
  jobQueue.push(job.release());  // owned by the queue now
  wakeCondition.Signal();
}

void thread_pool::runJob(Job* job, int index) {
  std::unique_ptr<Job> owned(job);
  try {
    (*owned)(index);
  } catch (const std::exception& e) {
    detail::LogJobException(index, e.what());
  } catch (...) {
    detail::LogJobException(index, "an exception of unknown type");
  }
}

void thread_pool::set_thread(int i) {
  std::shared_ptr<std::atomic<bool>> flag(stopFlags[i]);
  std::shared_ptr<std::atomic<bool>> ended(endedFlags[i]);
  auto loop = [this, i, flag]() {
    std::atomic<bool>& stopFlag = *flag;
    Job* job = nullptr;
    bool popped = jobQueue.pop(job);
    while (true) {
      while (popped) {
        runJob(job, i);
        if (stopFlag) return;  // even when the queue is not empty
        popped = jobQueue.pop(job);
      }
      iotcloud::MutexLock lock(&poolMutex);
      ++waitingCount;
      while (!(popped = jobQueue.pop(job)) && !isFinishing && !stopFlag) wakeCondition.Wait();
      --waitingCount;
      if (!popped) return;
    }
  };
  try {
    threads[i] = std::make_unique<std::thread>([loop, ended]() {
      loop();
      *ended = true;
    });
  } catch (const std::system_error& e) {
    // The slot stays empty; queued jobs wait for another worker or stop().
    QZ_LOG(4, "thread_pool: worker %d could not be started: %s", i, e.what());
  }
}

}  // namespace ctpl
