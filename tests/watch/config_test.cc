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
  DataPaths data = paths_.Refresh();
  EXPECT_EQ("\\", data.directory());
  EXPECT_FALSE(data.configured());
  EXPECT_FALSE(SwitchIsOn(data.ReadSetting(kWatchSwitchKey)));
  EXPECT_FALSE(data.EnsureRecordsDirectory());
  EXPECT_EQ(made_before, platform_.created_directories().size()) << "no folder is made at the root";

  SetDataPath("");
  EXPECT_FALSE(paths_.Refresh().configured());
}

TEST_F(PluginPathsTest, AbsoluteAndRelativeDataDirectories) {
  SetDataPath(dir_.path() + "\\数据");
  DataPaths data = paths_.Refresh();
  EXPECT_GBK_EQ(dir_.path() + "\\数据\\", paths_.DataDirectory());
  EXPECT_GBK_EQ(dir_.path() + "\\数据\\账号记录\\123456.ini", data.RecordPath("123456"));
  ASSERT_TRUE(data.EnsureRecordsDirectory());
  EXPECT_TRUE(DirectoryExists(dir_.path() + "\\数据\\账号记录"));

  SetDataPath("relative\\data");
  paths_.RefreshDataDirectory();
  EXPECT_GBK_EQ(dir_.path() + "\\relative\\data\\", paths_.DataDirectory())
      << "relative to the host program's directory";
}

TEST_F(PluginPathsTest, ASnapshotKeepsItsDirectoryWhileTheSettingChanges) {
  SetDataPath(dir_.path() + "\\one");
  DataPaths before = paths_.Refresh();
  SetDataPath(dir_.path() + "\\two");
  paths_.RefreshDataDirectory();
  EXPECT_GBK_EQ(dir_.path() + "\\one\\数据配置.ini", before.DataConfigPath());
  EXPECT_GBK_EQ(dir_.path() + "\\two\\数据配置.ini", paths_.Current().DataConfigPath());
}

TEST(AccountNameTest, OnlyNamesThatStayInTheRecordsDirectory) {
  for (const char* good : {"123456", "abc", "岚风", "\x81\x5C", "a.b"}) {
    EXPECT_TRUE(IsSafeAccountName(good)) << good;
  }
  for (const char* bad : {"", ".", "..", "..\\x", "a\\b", "a/b", "C:x", "a*", "a?", "a\"b", "a<b",
                          "a|b", "a\rb", "a\nb", "\t1"}) {
    EXPECT_FALSE(IsSafeAccountName(bad)) << bad;
  }
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
