#include "shell/text_slot.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace lanfeng {
namespace {

TEST(TextSlotTest, ATextStaysValidUntilTheSameSlotIsUsedAgain) {
  TextSlot slot, other;
  const char* first = slot.Keep("first");
  const char* unrelated = other.Keep("unrelated");
  EXPECT_STREQ("first", first);
  other.Keep("again");
  EXPECT_STREQ("first", first) << "another entry point's slot does not touch it";
  const char* second = slot.Keep("second");
  EXPECT_STREQ("second", second);
  (void)unrelated;
}

TEST(TextSlotTest, ThreadsCallingOneEntryPointNeverFreeEachOthersText) {
  TextSlot slot;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&slot, t] {
      for (int i = 0; i < 2000; ++i) {
        std::string expected = std::to_string(t) + ":" + std::string(i % 50, 'x');
        const char* kept = slot.Keep(expected);
        ASSERT_EQ(expected, kept);  // read after other threads' calls
      }
    });
  }
  for (auto& thread : threads) thread.join();
}

}  // namespace
}  // namespace lanfeng
