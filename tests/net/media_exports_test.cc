// The media services' naming, the frame tool's command and the download's
// two fetches, the latter against the echoing HTTP test server. The services
// run for real, with ffmpeg, in tests/plugin/media_exports_test.cc.
#include "net/media_exports.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/http_test_servers.h"
#include "support/smtp_test_server.h"
#include "support/test_platforms.h"

namespace lanfeng {
namespace {

namespace fs = std::filesystem;

std::string ReadWholeFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Polls until path exists; false when it did not appear within a minute (a
// guard against a hanging run, never a measurement).
bool AwaitFile(const fs::path& path) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!fs::exists(path)) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// The program directory is a temporary one; random numbers come from a
// script while it lasts; the first writes can be refused, creating nothing.
class MediaPlatform : public PlatformWrapper {
 public:
  explicit MediaPlatform(std::string program)
      : PlatformWrapper(&SystemPlatform()), program_(std::move(program)) {}

  std::string ProgramDirectory() override { return program_; }
  uint32_t Random() override {
    if (numbers.empty()) return target()->Random();
    const uint32_t number = numbers.front();
    numbers.pop_front();
    return number;
  }
  Status WriteFile(const std::string& path, const std::string& contents) override {
    writes.push_back(path);
    if (refused_writes > 0) {
      --refused_writes;
      return Status::Error("refused by the test");
    }
    return target()->WriteFile(path, contents);
  }

  std::deque<uint32_t> numbers;
  int refused_writes = 0;
  std::vector<std::string> writes;

 private:
  std::string program_;
};

// Makes dir the working directory for the life of the scope.
class ScopedWorkingDirectory {
 public:
  explicit ScopedWorkingDirectory(const fs::path& dir) : before_(fs::current_path()) {
    fs::current_path(dir);
  }
  ~ScopedWorkingDirectory() { fs::current_path(before_); }

 private:
  fs::path before_;
};

class MediaExportsTest : public ::testing::Test {
 protected:
  TempDir program_dir_;
  TempDir work_dir_;
  MediaPlatform platform_{program_dir_.path()};
  ScopedPlatform scope_{&platform_};
  ScopedWorkingDirectory cwd_{work_dir_.native()};
};

TEST_F(MediaExportsTest, NamesRunFromOneToAThousand) {
  platform_.numbers = {0, 999, 1000, 0xFFFFFFFF};
  EXPECT_EQ("1.png", RandomFileName(".png"));
  EXPECT_EQ("1000.png", RandomFileName(".png"));
  EXPECT_EQ("1.mp4", RandomFileName(".mp4"));
  EXPECT_EQ("296.mp4", RandomFileName(".mp4"));
}

// The tool records its own path and each argument on a line of its own.
TEST_F(MediaExportsTest, FrameToolGetsEachArgumentWholeFromTheProgramDirectory) {
  const fs::path tool = fs::path(program_dir_.native()) / "main" / "corn" / "ffmpeg.exe";
  fs::create_directories(tool.parent_path());
  const fs::path record = fs::path(work_dir_.native()) / "argv";
  std::ofstream(tool) << "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > argv.tmp && mv argv.tmp argv\n";
  fs::permissions(tool, fs::perms::owner_all);
  platform_.numbers = {41};

  const std::string video = work_dir_.path() + "\\视频 \"a\" 'b'\" -f null -y \"x.mp4";
  EXPECT_EQ("42.png", GrabVideoFrame(video));

  ASSERT_TRUE(AwaitFile(record)) << "the tool never ran";
  const std::string native_video = work_dir_.native() + u8"/视频 \"a\" 'b'\" -f null -y \"x.mp4";
  EXPECT_EQ(
      tool.string() + "\n-ss\n2\n-i\n" + native_video + "\n-vframes\n1\n-q:v\n2\n-y\n42.png\n",
      ReadWholeFile(record));
}

// The first fetch asks for any type and nothing more; the second, with the
// browser-like defaults, is made only when the first write left no file.
TEST_F(MediaExportsTest, DownloadFetchesAgainOnlyWhenTheFirstWriteLeftNoFile) {
  HttpTestServer server;
  ASSERT_TRUE(server.Start());
  const std::string url = server.Url("/media?n=1");

  std::string name = DownloadFile(url, kDownloadPicture);
  EchoedRequest echo = ParseEcho(ReadWholeFile(name));
  ASSERT_TRUE(echo.parsed) << ReadWholeFile(name);
  EXPECT_EQ("*/*", echo.Value("Accept"));
  EXPECT_EQ("<absent>", echo.Value("Referer"));
  EXPECT_EQ("<absent>", echo.Value("Accept-Language"));
  EXPECT_EQ(1u, platform_.writes.size());

  platform_.writes.clear();
  platform_.refused_writes = 1;
  name = DownloadFile(url, 0);
  echo = ParseEcho(ReadWholeFile(name));
  EXPECT_EQ(url, echo.Value("Referer")) << "the second fetch has the defaults";
  EXPECT_EQ((std::vector<std::string>{name, name}), platform_.writes);

  RefusingPort refusing;
  platform_.writes.clear();
  name = DownloadFile("http://127.0.0.1:" + std::to_string(refusing.port()) + "/", 2);
  EXPECT_TRUE(fs::is_regular_file(name));
  EXPECT_EQ(0u, fs::file_size(name));
  EXPECT_EQ(1u, platform_.writes.size()) << "the empty file ends the download";
}

}  // namespace
}  // namespace lanfeng
