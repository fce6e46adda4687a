#include "shell/workers.h"

#include "shell/timed_wait.h"

namespace lanfeng {

void RunWorkerCycle(const WorkerSpec& plan, const WorkerControl& control) {
  for (;;) {
    if (!TimedWait(plan.short_wait_seconds, kSeconds)) return;
    if (plan.before_flag_check) plan.before_flag_check();
    if (control.running.load(std::memory_order_acquire) != 1) {
      DebugTrace(std::string(plan.name) + ": idle");
      continue;
    }
    DebugTrace(std::string(plan.name) + ": pass");
    bool long_wait = true;
    try {
      long_wait = plan.pass();
    } catch (...) {
      DebugTrace(std::string(plan.name) + ": pass ended by a fault");
    }
    if (long_wait && !TimedWait(plan.long_wait_seconds, kSeconds)) return;
  }
}

void WorkerSet::Start(WorkerSpec plan, WorkerControl* control) {
  std::lock_guard<std::mutex> lock(mu_);
  if (stopping_) return;
  auto thread = CurrentPlatform().StartThread(
      [this, plan = std::move(plan), control]() { Run(plan, *control); });
  if (!thread) return;
  control->thread_id.store(thread->id(), std::memory_order_release);
  threads_.push_back(std::move(thread));
}

void WorkerSet::Run(const WorkerSpec& plan, const WorkerControl& control) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_) return;
    queues_.push_back(ThisThreadQueue());
  }
  DebugTrace(std::string(plan.name) + ": started");
  RunWorkerCycle(plan, control);
  DebugTrace(std::string(plan.name) + ": stopped");
}

void WorkerSet::StopAndJoin() {
  std::vector<std::unique_ptr<Thread>> threads;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    for (const TaskQueueRef& queue : queues_) RequestStop(queue);
    queues_.clear();
    threads.swap(threads_);
  }
  for (auto& thread : threads) thread->Join();
}

void WorkerSet::AllowRestart() {
  std::lock_guard<std::mutex> lock(mu_);
  stopping_ = false;
}


}  // namespace lanfeng
