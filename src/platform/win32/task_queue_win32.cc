// Per-thread task queues and the clock-driven wait on Windows.
//
// The same queues as on Linux (platform/task_queue.cc), and one more thing:
// a thread that waits keeps its Windows message queue served, as a Windows
// thread must (windows it opened, and COM, live on it). The wait sleeps on a
// waitable timer due at the deadline, the queue's wake event (set by a
// posted task, a stop request or a moved clock) and the thread's messages,
// through MsgWaitForMultipleObjectsEx.
//
// With a test's platform current, whose clock the system's timer does not
// follow, the wait falls back to the platform's BlockUntil as on Linux.
#include <windows.h>
#undef CreateDirectory  // a method of Platform, not the Windows call

#include <algorithm>
#include <deque>
#include <limits>

#include "platform/platform.h"
#include "platform/win32/message_wait.h"

namespace lanfeng {

class TaskQueue {
 public:
  TaskQueue() : wake(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
  ~TaskQueue() {
    if (wake != nullptr) ::CloseHandle(wake);
  }
  TaskQueue(const TaskQueue&) = delete;
  TaskQueue& operator=(const TaskQueue&) = delete;

  // Wakes the owner from any wait (called with mu released or held).
  void Wake() {
    if (wake != nullptr) ::SetEvent(wake);
    cv.notify_all();
  }

  std::mutex mu;
  std::condition_variable cv;
  std::deque<std::function<void()>> tasks;
  bool stopped = false;
  HANDLE wake;  // auto-reset; null if the system could not make one
};

#include "platform/task_queue_registry.inc"

namespace {

// A waitable timer for one wait, closed when the wait ends.
class WaitTimer {
 public:
  WaitTimer() : timer_(::CreateWaitableTimerW(nullptr, TRUE, nullptr)) {}
  ~WaitTimer() {
    if (timer_ != nullptr) ::CloseHandle(timer_);
  }
  WaitTimer(const WaitTimer&) = delete;
  WaitTimer& operator=(const WaitTimer&) = delete;

  // Sets the timer due after real_ms; false when there is no timer.
  bool Arm(int64_t real_ms) {
    if (timer_ == nullptr) return false;
    LARGE_INTEGER due;
    constexpr int64_t kLongest = std::numeric_limits<int64_t>::max() / 10000;
    due.QuadPart = -std::min(real_ms, kLongest) * 10000;  // relative, in 100 ns
    return ::SetWaitableTimer(timer_, &due, 0, nullptr, nullptr, FALSE) != 0;
  }
  HANDLE handle() const { return timer_; }

 private:
  HANDLE timer_;
};

}  // namespace

void InitializePlatform() {
  SystemPlatform();
  Registry();
}

TaskQueueRef ThisThreadQueue() { return FindOrMakeThisThreadQueue(); }

void ReleaseThisThreadQueue() {
  if (this_thread_queue == nullptr) return;
  QueueRegistry& registry = Registry();
  std::lock_guard<std::mutex> lock(registry.mu);
  auto& queues = registry.queues;
  queues.erase(std::remove_if(queues.begin(), queues.end(),
                              [](const TaskQueueRef& q) { return q.get() == this_thread_queue; }),
               queues.end());
  this_thread_queue = nullptr;
}

bool PostTask(const TaskQueueRef& queue, std::function<void()> task) {
  if (!queue) return false;
  {
    std::lock_guard<std::mutex> lock(queue->mu);
    if (queue->stopped) return false;
    queue->tasks.push_back(std::move(task));
  }
  queue->Wake();
  return true;
}

void RunPendingTasks() {
  TaskQueue& queue = ThisQueue();
  std::deque<std::function<void()>> tasks;
  {
    std::lock_guard<std::mutex> lock(queue.mu);
    tasks.swap(queue.tasks);
  }
  RunTasks(tasks);
}

void RequestStop(const TaskQueueRef& queue) {
  if (!queue) return;
  {
    std::lock_guard<std::mutex> lock(queue->mu);
    queue->stopped = true;
    queue->tasks.clear();
  }
  queue->Wake();
}

bool StopRequested(const TaskQueueRef& queue) {
  if (!queue) return false;
  std::lock_guard<std::mutex> lock(queue->mu);
  return queue->stopped;
}

WaitResult WaitUntil(int64_t deadline_ms) {
  TaskQueue& queue = ThisQueue();
  Platform& platform = CurrentPlatform();
  const bool system_clock = &platform == &SystemPlatform() && queue.wake != nullptr;
  WaitTimer timer;
  WaitResult result = WaitResult::kTimeUp;
  for (;;) {
    std::unique_lock<std::mutex> lock(queue.mu);
    if (queue.stopped) {
      result = WaitResult::kStopped;
      break;
    }
    if (!queue.tasks.empty()) {
      std::deque<std::function<void()>> tasks;
      tasks.swap(queue.tasks);
      lock.unlock();
      RunTasks(tasks);
      continue;
    }
    if (platform.NowMillis() >= deadline_ms) break;
    if (!system_clock) {
      platform.BlockUntil(queue.cv, lock, deadline_ms);
      continue;
    }
    lock.unlock();
    // The timer is set anew on every round, from the clock: a task or a
    // message never moves the deadline.
    int64_t real_ms = RealMillisUntil(deadline_ms);
    if (real_ms <= 0) continue;
    HANDLE handles[2] = {queue.wake, timer.handle()};
    DWORD count = timer.Arm(real_ms) ? 2 : 1;
    DWORD timeout =
        count == 2 ? INFINITE : static_cast<DWORD>(std::min<int64_t>(real_ms, 0x7FFFFFFF));
    DWORD woken =
        ::MsgWaitForMultipleObjectsEx(count, handles, timeout, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (woken == WAIT_OBJECT_0 + count) DispatchThreadMessages();
    if (woken == WAIT_FAILED) ::Sleep(static_cast<DWORD>(std::min<int64_t>(real_ms, 10)));
  }
  RepostQuitMessage();
  return result;
}

void WakeAllWaiters() {
  std::vector<TaskQueueRef> queues;
  {
    QueueRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mu);
    queues = registry.queues;
  }
  for (const TaskQueueRef& queue : queues) {
    std::lock_guard<std::mutex> lock(queue->mu);
    queue->Wake();
  }
}

}  // namespace lanfeng
