#include "runtime/directories.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "support/gbk_text_testing.h"
#include "support/test_platforms.h"

namespace lanfeng {
namespace {

// Drives map to folders of a temporary directory.
class DirectoriesTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("LANFENG_DRIVES", dir_.native().c_str(), 1); }
  void TearDown() override { unsetenv("LANFENG_DRIVES"); }
  TempDir dir_;
};

TEST_F(DirectoriesTest, EnsureDirectoryCreatesEveryLevelInOrder) {
  FaultyFilesPlatform recording;
  ScopedPlatform scope(&recording);
  ASSERT_TRUE(std::filesystem::create_directory(dir_.native() + "/d"));

  EXPECT_TRUE(EnsureDirectory("D:\\data\\watch\\records\\"));
  EXPECT_EQ((std::vector<std::string>{"D:\\data", "D:\\data\\watch", "D:\\data\\watch\\records"}),
            recording.created_directories())
      << "the drive itself is never created";
  EXPECT_TRUE(std::filesystem::is_directory(dir_.native() + "/d/data/watch/records"));

  EXPECT_TRUE(EnsureDirectory("D:\\data\\watch\\records\\")) << "an existing directory is fine";
  EXPECT_TRUE(EnsureDirectory("D:\\data\\watch\\new")) << "without a final separator too";
  EXPECT_TRUE(DirectoryExists("D:\\data\\watch\\new"));
}

TEST_F(DirectoriesTest, NamesWithBackslashTrailBytesStayWhole) {
  // 乗 (81 5C) and 表 (B1 ED) as folder names: 0x5C must not split a level.
  const std::string path = dir_.path() + "\\乗\\表\\";
  EXPECT_TRUE(EnsureDirectory(path));
  EXPECT_TRUE(std::filesystem::is_directory(dir_.native() + "/\xE4\xB9\x97/\xE8\xA1\xA8"));
  EXPECT_FALSE(std::filesystem::exists(dir_.native() + "/\xE4\xB9"));
}

TEST_F(DirectoriesTest, FailedCreationIsReportedByTheResult) {
  FaultyFilesPlatform faulty;
  ScopedPlatform scope(&faulty);
  faulty.FailNth(kOpCreateDirectory, 3);  // \tmp, \tmp\lanfeng-..., then a
  EXPECT_FALSE(EnsureDirectory(dir_.path() + "\\a\\b\\c"));
  EXPECT_FALSE(DirectoryExists(""));
  EXPECT_FALSE(DirectoryExists(dir_.path() + "\\a\\b\\c"));
}

TEST(PathTest, AbsolutePaths) {
  EXPECT_TRUE(IsAbsolutePath("C:\\x"));
  EXPECT_TRUE(IsAbsolutePath("\\x"));
  EXPECT_TRUE(IsAbsolutePath("d:"));
  EXPECT_FALSE(IsAbsolutePath("data"));
  EXPECT_FALSE(IsAbsolutePath(""));
  EXPECT_FALSE(IsAbsolutePath("岚:\\"));
}

}  // namespace
}  // namespace lanfeng
