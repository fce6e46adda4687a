#include "shell/workers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "shell/plugin_state.h"
#include "support/test_platforms.h"

namespace lanfeng {
namespace {

// A pass that counts, and can be held inside until released.
class TestPass {
 public:
  void Run() {
    std::unique_lock<std::mutex> lock(mu_);
    ++started_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !hold_; });
    ++finished_;
    changed_.notify_all();
  }
  void Hold() {
    std::lock_guard<std::mutex> lock(mu_);
    hold_ = true;
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mu_);
    hold_ = false;
    changed_.notify_all();
  }
  void AwaitStarted(int n) {
    std::unique_lock<std::mutex> lock(mu_);
    changed_.wait(lock, [&] { return started_ >= n; });
  }
  int started() {
    std::lock_guard<std::mutex> lock(mu_);
    return started_;
  }
  int finished() {
    std::lock_guard<std::mutex> lock(mu_);
    return finished_;
  }

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  bool hold_ = false;
  int started_ = 0, finished_ = 0;
};

class WorkerCycleTest : public ::testing::Test {
 protected:
  void Start() {
    workers_.Start({"test", 5, 60, [this] { ++before_checks_; }, [this] {
                      pass_.Run();
                      return true;
                    }},
                   &control_);
  }
  void TearDown() override { workers_.StopAndJoin(); }

  VirtualClockPlatform clock_;
  ScopedPlatform scope_{&clock_};
  TestPass pass_;
  std::atomic<int> before_checks_{0};
  WorkerControl control_;
  WorkerSet workers_;
};

TEST_F(WorkerCycleTest, IdlesWhileTheFlagIsZero) {
  Start();
  EXPECT_NE(0u, control_.thread_id.load());
  for (int64_t t = 5000; t <= 50000; t += 5000) {
    ASSERT_TRUE(clock_.AwaitSleeper(t));
    clock_.Advance(5000);
  }
  ASSERT_TRUE(clock_.AwaitSleeper(55000));
  EXPECT_EQ(0, pass_.started());
  EXPECT_EQ(10, before_checks_.load()) << "the work before the check runs every cycle";
}

TEST_F(WorkerCycleTest, RunsAPassAfterTheShortWaitThenSleepsLong) {
  control_.running = 1;
  Start();
  ASSERT_TRUE(clock_.AwaitSleeper(5000));
  clock_.Advance(5000);
  ASSERT_TRUE(clock_.AwaitSleeper(65000)) << "after the pass, the 60-second wait";
  EXPECT_EQ(1, pass_.finished());
  clock_.Advance(60000);
  ASSERT_TRUE(clock_.AwaitSleeper(70000));
  EXPECT_EQ(1, pass_.finished());
  clock_.Advance(5000);
  ASSERT_TRUE(clock_.AwaitSleeper(130000));
  EXPECT_EQ(2, pass_.finished());
}

TEST_F(WorkerCycleTest, DisableLetsTheRunningPassFinishAndStopsTheNext) {
  control_.running = 1;
  pass_.Hold();
  Start();
  ASSERT_TRUE(clock_.AwaitSleeper(5000));
  clock_.Advance(5000);
  pass_.AwaitStarted(1);
  control_.running = 0;
  pass_.Release();
  ASSERT_TRUE(clock_.AwaitSleeper(65000));
  EXPECT_EQ(1, pass_.finished()) << "the pass that had begun ran to its end";
  clock_.Advance(60000);
  for (int64_t t = 70000; t <= 90000; t += 5000) {
    ASSERT_TRUE(clock_.AwaitSleeper(t));
    clock_.Advance(5000);
  }
  ASSERT_TRUE(clock_.AwaitSleeper(95000));
  EXPECT_EQ(1, pass_.started());

  control_.running = 1;  // enabled again: a pass within one short wait
  clock_.Advance(5000);
  ASSERT_TRUE(clock_.AwaitSleeper(155000));
  EXPECT_EQ(2, pass_.finished());
}

TEST_F(WorkerCycleTest, StoppingMidPassWaitsForThePassButNotForTheWait) {
  control_.running = 1;
  pass_.Hold();
  Start();
  ASSERT_TRUE(clock_.AwaitSleeper(5000));
  clock_.Advance(5000);
  pass_.AwaitStarted(1);
  std::thread releaser([this] { pass_.Release(); });
  workers_.StopAndJoin();
  releaser.join();
  EXPECT_EQ(1, pass_.finished());
  EXPECT_EQ(5000, clock_.NowMillis()) << "the long wait was cut short, not slept out";
}

TEST_F(WorkerCycleTest, AFaultInAPassDoesNotEndTheWorker) {
  control_.running = 1;
  int passes = 0;
  workers_.Start({"faulty", 1, 1, nullptr, [&passes] {
                    if (++passes == 1) throw 1;
                    return true;
                  }},
                 &control_);
  for (int64_t t = 1000; t <= 3000; t += 1000) {
    ASSERT_TRUE(clock_.AwaitSleeper(t));
    clock_.Advance(1000);
  }
  ASSERT_TRUE(clock_.AwaitSleeper(4000));
  workers_.StopAndJoin();
  EXPECT_EQ(2, passes);
}

TEST_F(WorkerCycleTest, APassThatDeclinesTheLongWaitGoesBackToTheShortOne) {
  control_.running = 1;
  int passes = 0;
  workers_.Start({"declining", 6, 70, nullptr, [&passes] { return ++passes > 1; }}, &control_);
  ASSERT_TRUE(clock_.AwaitSleeper(6000));
  clock_.Advance(6000);
  ASSERT_TRUE(clock_.AwaitSleeper(12000)) << "no 70-second wait after the first pass";
  clock_.Advance(6000);
  ASSERT_TRUE(clock_.AwaitSleeper(82000)) << "the second pass asks for it";
  workers_.StopAndJoin();
  EXPECT_EQ(2, passes);
}

// Counts threads and can refuse to make them.
class CountingThreadsPlatform : public VirtualClockPlatform {
 public:
  std::unique_ptr<Thread> StartThread(std::function<void()> body) override {
    ++started;
    if (refuse) return nullptr;
    return VirtualClockPlatform::StartThread(std::move(body));
  }
  std::atomic<int> started{0};
  bool refuse = false;
};

TEST(PluginStateTest, EnableStartsOnePairOfWorkersPerLoad) {
  CountingThreadsPlatform platform;
  ScopedPlatform scope(&platform);
  std::atomic<int> polls{0}, dispatches{0};
  {
    PluginState state({[&] { return ++polls > 0; }, [&] { return ++dispatches > 0; }});
    state.Disable();
    EXPECT_EQ(0, platform.started.load()) << "disable before enable starts nothing";
    EXPECT_EQ(0, state.poller.running.load());

    state.Enable();
    state.Enable();
    EXPECT_EQ(2, platform.started.load()) << "a second enable only sets the flags";
    EXPECT_EQ(1, state.poller.running.load());
    EXPECT_EQ(1, state.dispatcher.running.load());
    EXPECT_NE(state.poller.thread_id.load(), state.dispatcher.thread_id.load());

    ASSERT_TRUE(platform.AwaitSleeper(5000));
    ASSERT_TRUE(platform.AwaitSleeper(6000));
    platform.Advance(6000);
    ASSERT_TRUE(platform.AwaitSleeper(66000));
    ASSERT_TRUE(platform.AwaitSleeper(76000));
    EXPECT_EQ(1, polls.load());
    EXPECT_EQ(1, dispatches.load());

    state.Disable();
    EXPECT_EQ(0, state.poller.running.load());
    EXPECT_EQ(0, state.dispatcher.running.load());
  }  // the state goes: its workers are stopped and joined mid-wait
  EXPECT_EQ(0u, platform.sleepers());
}

TEST(PluginStateTest, WithoutThreadsEnableStillSetsTheFlags) {
  CountingThreadsPlatform platform;
  platform.refuse = true;
  ScopedPlatform scope(&platform);
  PluginState state({[] { return true; }, [] { return true; }});
  state.Enable();
  EXPECT_EQ(1, state.poller.running.load());
  EXPECT_EQ(1, state.dispatcher.running.load());
  EXPECT_EQ(0u, state.poller.thread_id.load());
}

}  // namespace
}  // namespace lanfeng
