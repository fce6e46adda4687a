#include "watch/config.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "runtime/directories.h"
#include "runtime/ini_file.h"
#include "support/gbk_text_testing.h"
#include "support/test_platforms.h"

namespace lanfeng {
namespace {

// The host program lives in a temporary directory.
class ProgramInTempDir : public FaultyFilesPlatform {
 public:
  explicit ProgramInTempDir(std::string program) : program_(std::move(program)) {}
  std::string ProgramDirectory() override { return program_; }

 private:
  std::string program_;
};

class PluginPathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    paths_.SetPluginDirectory(dir_.path());
    ASSERT_TRUE(EnsureDirectory(paths_.PluginDirectory()));
  }
  void SetDataPath(const std::string& value) {
    ASSERT_TRUE(WriteIniKey(paths_.BaseConfigPath(), kPathSection, kPathKey, value));
  }

  TempDir dir_;
  ProgramInTempDir platform_{dir_.path()};
  ScopedPlatform scope_{&platform_};
  PluginPaths paths_;
};

TEST_F(PluginPathsTest, PluginDirectoryIsUnderTheProgram) {
  EXPECT_GBK_EQ(dir_.path() + "\\岚风守望\\", paths_.PluginDirectory());
  EXPECT_GBK_EQ(dir_.path() + "\\岚风守望\\基础配置.ini", paths_.BaseConfigPath());
}

TEST_F(PluginPathsTest, NothingConfiguredMeansTheRootAndNoWrites) {
  const size_t made_before = platform_.created_directories().size();
  paths_.RefreshDataDirectory();
  EXPECT_EQ("\\", paths_.DataDirectory());
  EXPECT_EQ(std::nullopt, paths_.WritableDataDirectory());
  EXPECT_FALSE(SwitchIsOn(ReadIniKey(paths_.DataConfigPath(), kDataSection, kWatchSwitchKey)));
  EXPECT_FALSE(paths_.EnsureRecordsDirectory());
  EXPECT_EQ(made_before, platform_.created_directories().size()) << "no folder is made at the root";

  SetDataPath("");
  paths_.RefreshDataDirectory();
  EXPECT_EQ(std::nullopt, paths_.WritableDataDirectory());
}

TEST_F(PluginPathsTest, AbsoluteAndRelativeDataDirectories) {
  SetDataPath(dir_.path() + "\\数据");
  paths_.RefreshDataDirectory();
  EXPECT_GBK_EQ(dir_.path() + "\\数据\\", paths_.DataDirectory());
  EXPECT_GBK_EQ(dir_.path() + "\\数据\\账号记录\\123456.ini", paths_.RecordPath("123456"));
  ASSERT_TRUE(paths_.EnsureRecordsDirectory());
  EXPECT_TRUE(DirectoryExists(dir_.path() + "\\数据\\账号记录"));

  SetDataPath("relative\\data");
  paths_.RefreshDataDirectory();
  EXPECT_GBK_EQ(dir_.path() + "\\relative\\data\\", paths_.DataDirectory())
      << "relative to the host program's directory";
}

TEST_F(PluginPathsTest, SwitchesAreOnOnlyForExactlyOne) {
  EXPECT_TRUE(SwitchIsOn("1"));
  for (const char* off : {"", "0", "true", "真", " 1", "1 ", "01"}) EXPECT_FALSE(SwitchIsOn(off)) << off;
}

TEST_F(PluginPathsTest, ConcurrentRefreshesAndReadsAreSafe) {
  SetDataPath(dir_.path() + "\\d");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this] {
      for (int i = 0; i < 200; ++i) {
        paths_.RefreshDataDirectory();
        ASSERT_EQ(dir_.path() + "\\d\\", paths_.DataDirectory());
      }
    });
  }
  for (auto& thread : threads) thread.join();
}

}  // namespace
}  // namespace lanfeng
