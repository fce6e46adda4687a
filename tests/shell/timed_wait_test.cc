#include "shell/timed_wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <limits>
#include <thread>

#include "platform/platform.h"
#include "support/test_platforms.h"

namespace lanfeng {
namespace {

TEST(TimedWaitDueTicksTest, UnitsAndSigns) {
  EXPECT_EQ(-10000, TimedWaitDueTicks(1, kMilliseconds));
  EXPECT_EQ(-10000000, TimedWaitDueTicks(1, kSeconds));
  EXPECT_EQ(-1200000000, TimedWaitDueTicks(2, kMinutes));
  EXPECT_EQ(-36000000000, TimedWaitDueTicks(1, kHours));
  EXPECT_EQ(0, TimedWaitDueTicks(0, kSeconds));
  EXPECT_EQ(50000000, TimedWaitDueTicks(-5, kSeconds)) << "negative intervals give a time already past";
  EXPECT_EQ(0, TimedWaitDueTicks(5, 4)) << "unknown unit";
  EXPECT_EQ(0, TimedWaitDueTicks(5, -1));
}

TEST(TimedWaitDueTicksTest, SaturatesInsteadOfOverflowing) {
  EXPECT_EQ(std::numeric_limits<int64_t>::min(),
            TimedWaitDueTicks(std::numeric_limits<int64_t>::max(), kHours));
  EXPECT_EQ(std::numeric_limits<int64_t>::max(),
            TimedWaitDueTicks(std::numeric_limits<int64_t>::min(), kHours));
}

class TimedWaitTest : public ::testing::Test {
 protected:
  VirtualClockPlatform clock_;
  ScopedPlatform scope_{&clock_};
};

TEST_F(TimedWaitTest, ZeroAndNegativeIntervalsReturnAtOnce) {
  EXPECT_TRUE(TimedWait(0, kSeconds));
  EXPECT_TRUE(TimedWait(-3, kHours));
  EXPECT_TRUE(TimedWait(5, 9));
  EXPECT_EQ(0, clock_.NowMillis());
}

TEST_F(TimedWaitTest, WaitsExactlyTheIntervalOnTheClock) {
  auto done = std::async(std::launch::async, [] { return TimedWait(2, kMinutes); });
  ASSERT_TRUE(clock_.AwaitSleeper(120000));
  clock_.Advance(119999);
  EXPECT_EQ(std::future_status::timeout, done.wait_for(std::chrono::milliseconds(20)));
  clock_.Advance(1);
  EXPECT_TRUE(done.get());
}

TEST_F(TimedWaitTest, PostedTasksRunDuringTheWaitWithoutMovingItsEnd) {
  std::promise<TaskQueueRef> queue;
  std::atomic<int> ran_on_waiter{0};
  auto done = std::async(std::launch::async, [&] {
    queue.set_value(ThisThreadQueue());
    bool result = TimedWait(10, kSeconds);
    ReleaseThisThreadQueue();
    return result;
  });
  TaskQueueRef waiter = queue.get_future().get();
  ASSERT_TRUE(clock_.AwaitSleeper(10000));
  clock_.Advance(4000);

  std::promise<std::thread::id> ran;
  ASSERT_TRUE(PostTask(waiter, [&] {
    ran_on_waiter = 1;
    ran.set_value(std::this_thread::get_id());
  }));
  std::thread::id task_thread = ran.get_future().get();
  EXPECT_NE(std::this_thread::get_id(), task_thread);

  ASSERT_TRUE(clock_.AwaitSleeper(10000)) << "the wait goes on until its first deadline";
  clock_.Advance(5999);
  EXPECT_EQ(std::future_status::timeout, done.wait_for(std::chrono::milliseconds(20)));
  clock_.Advance(1);
  EXPECT_TRUE(done.get());
  EXPECT_EQ(1, ran_on_waiter.load());
}

TEST_F(TimedWaitTest, AStopRequestEndsTheWaitAtOnce) {
  std::promise<TaskQueueRef> queue;
  auto done = std::async(std::launch::async, [&] {
    queue.set_value(ThisThreadQueue());
    bool first = TimedWait(70, kSeconds);
    bool later = TimedWait(70, kSeconds);
    ReleaseThisThreadQueue();
    return std::make_pair(first, later);
  });
  TaskQueueRef waiter = queue.get_future().get();
  ASSERT_TRUE(clock_.AwaitSleeper(70000));
  RequestStop(waiter);
  auto [first, later] = done.get();
  EXPECT_FALSE(first);
  EXPECT_FALSE(later) << "a stopped thread never sleeps again";
  EXPECT_FALSE(PostTask(waiter, [] {})) << "a stopped queue takes no tasks";
  EXPECT_EQ(0, clock_.NowMillis());
}

TEST(TimedWaitRealClockTest, AThrowingTaskDoesNotEndTheWait) {
  TaskQueueRef self = ThisThreadQueue();
  int after = 0;
  PostTask(self, [] { throw 1; });
  PostTask(self, [&after] { after = 1; });
  EXPECT_TRUE(TimedWait(1, kMilliseconds));
  EXPECT_EQ(1, after);
  ReleaseThisThreadQueue();
}

}  // namespace
}  // namespace lanfeng
