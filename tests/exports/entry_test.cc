#include "exports/entry.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "support/gbk_text_testing.h"
#include "support/test_platforms.h"

namespace lanfeng {
namespace {

// Keeps the message boxes shown instead of showing them.
class MessageBoxes : public PlatformWrapper {
 public:
  MessageBoxes() : PlatformWrapper(&SystemPlatform()) {}
  void ShowMessageBox(const std::string& text, const std::string& title, uint32_t style) override {
    shown.push_back(title + "|" + text + "|" + std::to_string(style));
  }
  std::vector<std::string> shown;
};

class GuardedTest : public ::testing::Test {
 protected:
  void TearDown() override { Plugin().host_kind = kNoHost; }
  MessageBoxes boxes_;
  ScopedPlatform scope_{&boxes_};
};

TEST_F(GuardedTest, FaultsNeverLeaveAnEntryPoint) {
  EXPECT_EQ(7, Guarded(7, []() -> int { throw std::runtime_error("boom"); }));
  EXPECT_EQ(7, Guarded(7, []() -> int { throw 42; }));
  Guarded([] { throw std::bad_alloc(); });
  EXPECT_EQ(3, Guarded(7, [] { return 3; }));
  EXPECT_TRUE(boxes_.shown.empty()) << "no host yet: nothing is shown";
}

TEST_F(GuardedTest, OnlyTheXiaoLiZiHostShowsTheFaultReport) {
  Plugin().host_kind = kDrHost;
  Guarded(0, []() -> int { throw std::runtime_error("boom"); });
  EXPECT_TRUE(boxes_.shown.empty());

  Plugin().host_kind = kXlzHost;
  Plugin().application_name = "岚风守望";
  Guarded(0, []() -> int { throw std::out_of_range("index 9 of 3"); });
  ASSERT_EQ(1u, boxes_.shown.size());
  EXPECT_GBK_EQ("插件运行出错：岚风守望|插件[岚风守望]\r\n运行时发生了类型错误。\r\n\r\n错误代码：1\r\n错误信息：\r\n"
                "index 9 of 3|48",
                boxes_.shown[0]);
}

}  // namespace
}  // namespace lanfeng
