// Timer tasks of the HTTP manager thread: tasks due at a point of a
// steady clock, run in due order, each exactly once unless cancelled
// first, with a clock the owner injects (tests drive a fake one).
//
// Owns the schedule and its lock. Tasks themselves always run outside that
// lock, so a task may schedule and cancel others. Any thread may schedule
// and cancel; the thread that drives the transport runs them.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <utility>

#include "core/support/Mutex.h"

namespace iotcloud {
namespace http {

class TaskScheduler {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  // `run` is true when the task runs because it is due, false when the
  // schedule is being stopped (see StopAll).
  using Task = std::function<void(bool run)>;
  using Clock = std::function<TimePoint()>;

  explicit TaskScheduler(Clock now = &std::chrono::steady_clock::now) : now_(std::move(now)) {}
  TaskScheduler(const TaskScheduler&) = delete;
  TaskScheduler& operator=(const TaskScheduler&) = delete;

  TimePoint Now() const { return now_(); }

  // Adds `task` due at `due`; returns its id (never 0). *first (when not
  // null) says whether it became the first task due, so a sleeping driver
  // must be woken to wait less.
  uint64_t Schedule(TimePoint due, Task task, bool* first = nullptr);
  // Removes a task without calling it. False when it is not held (it ran,
  // is running, or was never scheduled).
  bool Cancel(uint64_t id);
  // Runs every task due by now with true, in due order and one at a time, so
  // a task may cancel a later one. A task that a running task schedules for
  // now waits for the next call. A task that throws is logged and dropped.
  void RunDue();
  // Calls every task still held with false, in due order, one at a time,
  // including tasks that those calls schedule.
  void StopAll();
  // When the first task is due; TimePoint::max() when none is held.
  TimePoint NextDue() const;

 private:
  // Moves the first task due by `dueBy` out of the schedule into *task;
  // false when there is none.
  bool TakeFirst(TimePoint dueBy, Task* task);

  const Clock now_;
  mutable Mutex mutex_;
  std::map<std::pair<TimePoint, uint64_t>, Task> tasks_ IOTCLOUD_GUARDED_BY(mutex_);  // by due time, then id
  std::map<uint64_t, TimePoint> due_ IOTCLOUD_GUARDED_BY(mutex_);                     // the ids held
  uint64_t lastId_ IOTCLOUD_GUARDED_BY(mutex_) = 0;
};

}  // namespace http
}  // namespace iotcloud
