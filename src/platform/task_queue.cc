// Per-thread task queues and the clock-driven wait built on them.
#include <algorithm>
#include <deque>

#include "platform/platform.h"

namespace lanfeng {

class TaskQueue {
 public:
  std::mutex mu;
  std::condition_variable cv;
  std::deque<std::function<void()>> tasks;
  bool stopped = false;
};

#include "platform/task_queue_registry.inc"

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
  queue->cv.notify_all();
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
  queue->cv.notify_all();
}

bool StopRequested(const TaskQueueRef& queue) {
  if (!queue) return false;
  std::lock_guard<std::mutex> lock(queue->mu);
  return queue->stopped;
}

WaitResult WaitUntil(int64_t deadline_ms) {
  TaskQueue& queue = ThisQueue();
  Platform& platform = CurrentPlatform();
  std::unique_lock<std::mutex> lock(queue.mu);
  for (;;) {
    if (queue.stopped) return WaitResult::kStopped;
    if (!queue.tasks.empty()) {
      std::deque<std::function<void()>> tasks;
      tasks.swap(queue.tasks);
      lock.unlock();
      RunTasks(tasks);
      lock.lock();
      continue;
    }
    if (platform.NowMillis() >= deadline_ms) return WaitResult::kTimeUp;
    platform.BlockUntil(queue.cv, lock, deadline_ms);
  }
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
    queue->cv.notify_all();
  }
}

}  // namespace lanfeng
