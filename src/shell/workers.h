// The plugin's background workers and the cycle each of them follows.
//
// A worker repeats: a short wait; the work it does before looking at its
// flag; if its running flag is 1, one pass and then (unless the pass says
// otherwise) a long wait. Disable
// only clears the flag, so a pass that has begun runs to its end. The
// workers belong to the loaded library: they are started once per load and
// are stopped and joined before the library's state goes away, their waits
// cut short at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/platform.h"

namespace lanfeng {

// A worker's thread identifier and running flag (1: do passes, 0: idle).
struct WorkerControl {
  std::atomic<uint32_t> thread_id{0};
  std::atomic<int32_t> running{0};
};

struct WorkerSpec {
  const char* name;
  int64_t short_wait_seconds;
  int64_t long_wait_seconds;
  std::function<void()> before_flag_check;  // may be empty
  // One pass; false sends the worker straight back to its short wait.
  std::function<bool()> pass;
};

// Runs the worker cycle on the calling thread until the thread is asked to
// stop (see RequestStop).
void RunWorkerCycle(const WorkerSpec& plan, const WorkerControl& control);

// Owns the worker threads of one library load.
class WorkerSet {
 public:
  WorkerSet() = default;
  WorkerSet(const WorkerSet&) = delete;
  WorkerSet& operator=(const WorkerSet&) = delete;
  ~WorkerSet() { StopAndJoin(); }

  // Starts a thread running the cycle of plan and records its identifier in
  // control. A thread that cannot be made is not reported; the plugin then
  // runs without that worker.
  void Start(WorkerSpec plan, WorkerControl* control);

  // Cuts every worker's wait short, lets a running pass finish, and joins
  // the threads. Later Starts do nothing.
  void StopAndJoin();
  // After StopAndJoin: lets Start make workers again.
  void AllowRestart();

 private:
  void Run(const WorkerSpec& plan, const WorkerControl& control);

  std::mutex mu_;
  bool stopping_ = false;
  std::vector<std::unique_ptr<Thread>> threads_;
  std::vector<TaskQueueRef> queues_;
};

}  // namespace lanfeng
