#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "platform/platform.h"
#include "support/gbk_text_testing.h"
#include "support/test_platforms.h"

namespace lanfeng {
namespace {

TEST(PosixPlatformTest, GbkPathsMapToUtf8Files) {
  TempDir dir;
  Platform& platform = SystemPlatform();
  const std::string file = dir.path() + "\\岚风守望.ini";
  ASSERT_TRUE(platform.WriteFile(file, "x").ok());
  EXPECT_TRUE(std::filesystem::exists(dir.native() + "/\xE5\xB2\x9A\xE9\xA3\x8E\xE5\xAE\x88\xE6\x9C\x9B.ini"));

  ASSERT_TRUE(platform.CreateDirectory(dir.path() + "\\sub").ok());
  std::vector<std::string> names;
  ASSERT_TRUE(platform.ListFiles(dir.path(), &names).ok());
  EXPECT_EQ(std::vector<std::string>{"岚风守望.ini"}, names) << "files only, named in GBK";

  std::string contents;
  EXPECT_TRUE(platform.ReadFile(dir.path() + "\\missing", &contents).IsNotFound());
  EXPECT_FALSE(platform.CreateDirectory(dir.path() + "\\sub").ok()) << "it exists";
  EXPECT_FALSE(platform.WriteFile(dir.path() + "\\\x81", "x").ok()) << "not GBK";
}

TEST(PosixPlatformTest, ProgramDirectoryComesFromTheEnvironmentOrTheExecutable) {
  Platform& platform = SystemPlatform();
  setenv("LANFENG_PROGRAM_DIR", "/opt/\xE5\xB2\x9A/host/", 1);
  EXPECT_GBK_EQ("\\opt\\岚\\host", platform.ProgramDirectory());
  unsetenv("LANFENG_PROGRAM_DIR");
  std::string own = platform.ProgramDirectory();
  EXPECT_FALSE(own.empty());
  EXPECT_NE('\\', own.back());
  EXPECT_EQ(std::string::npos, own.find('/'));
}

TEST(PosixPlatformTest, DrivesMapUnderOneRoot) {
  TempDir dir;
  setenv("LANFENG_DRIVES", dir.native().c_str(), 1);
  ASSERT_TRUE(SystemPlatform().CreateDirectory("E:\\").ok());
  ASSERT_TRUE(SystemPlatform().WriteFile("E:\\f.txt", "x").ok());
  unsetenv("LANFENG_DRIVES");
  EXPECT_TRUE(std::filesystem::exists(dir.native() + "/e/f.txt"));
}

TEST(PosixPlatformTest, ThreadsHaveIdsAndJoin) {
  int ran = 0;
  auto thread = SystemPlatform().StartThread([&ran] { ran = 1; });
  ASSERT_NE(nullptr, thread);
  EXPECT_NE(0u, thread->id());
  thread->Join();
  EXPECT_EQ(1, ran);
}

}  // namespace
}  // namespace lanfeng

namespace lanfeng {
namespace {

TEST(PosixPlatformTest, ProgramsGetEachArgumentWholeAndNoShell) {
  TempDir dir;
  const std::string script = dir.native() + "/echo args.sh";
  {
    std::ofstream out(script);
    out << "#!/bin/sh\nfor a in \"$@\"; do printf '<%s>\\n' \"$a\"; done > \"$(dirname \"$0\")/out.txt\"\nexit 3\n";
  }
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  int exit_code = 0;
  const std::string program = dir.path() + "\\echo args.sh";
  ASSERT_TRUE(SystemPlatform()
                  .RunProcess({program, "a b", "\"quoted\"", "$(touch pwned)", "; rm -rf x", "岚", dir.path()},
                              true, &exit_code)
                  .ok());
  EXPECT_EQ(3, exit_code);
  std::ifstream in(dir.native() + "/out.txt");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ("<a b>\n<\"quoted\">\n<$(touch pwned)>\n<; rm -rf x>\n<\xE5\xB2\x9A>\n<" + dir.native() + ">\n", all);
  EXPECT_FALSE(std::filesystem::exists("pwned"));
  EXPECT_FALSE(SystemPlatform().RunProcess({dir.path() + "\\missing"}, true, nullptr).ok());
}

}  // namespace
}  // namespace lanfeng
