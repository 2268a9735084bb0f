#include "core/io/network/http/internal/TaskScheduler.h"

#include "core/support/internal/HostCode.h"

namespace iotcloud {
namespace http {

uint64_t TaskScheduler::Schedule(TimePoint due, Task task, bool* first) {
  MutexLock lock(&mutex_);
  const uint64_t id = ++lastId_;
  if (first != nullptr) *first = tasks_.empty() || due < tasks_.begin()->first.first;
  tasks_.emplace(std::make_pair(due, id), std::move(task));
  due_.emplace(id, due);
  return id;
}

bool TaskScheduler::Cancel(uint64_t id) {
  Task task;  // released after the lock: it may hold the last reference to anything
  MutexLock lock(&mutex_);
  auto held = due_.find(id);
  if (held == due_.end()) return false;
  auto it = tasks_.find(std::make_pair(held->second, id));
  task = std::move(it->second);
  tasks_.erase(it);
  due_.erase(held);
  return true;
}

void TaskScheduler::RunDue() {
  const TimePoint now = Now();
  for (Task task; TakeFirst(now, &task); task = nullptr) {
    CallHostCode("a scheduled task", [&task] { task(true); });
  }
}

void TaskScheduler::StopAll() {
  for (Task task; TakeFirst(TimePoint::max(), &task); task = nullptr) {
    CallHostCode("a scheduled task", [&task] { task(false); });
  }
}

TaskScheduler::TimePoint TaskScheduler::NextDue() const {
  MutexLock lock(&mutex_);
  return tasks_.empty() ? TimePoint::max() : tasks_.begin()->first.first;
}

bool TaskScheduler::TakeFirst(TimePoint dueBy, Task* task) {
  MutexLock lock(&mutex_);
  if (tasks_.empty() || tasks_.begin()->first.first > dueBy) return false;
  auto first = tasks_.begin();
  *task = std::move(first->second);
  due_.erase(first->first.second);
  tasks_.erase(first);
  return true;
}

}  // namespace http
}  // namespace iotcloud
