// The two media services of the built plugin, called as other programs in
// the host call them, against Debian's real ffmpeg and a real local HTTP
// server. A missing ffmpeg or server fails the tests: they are never
// skipped.
//
// Exported names are UTF-8 here while our narrow literals are GBK, hence the
// u8 literals for the entry point names and native paths.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
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

using GrabFrame = const char* (*)(const char*);
using Download = const char* (*)(const char*, int32_t);

constexpr char kFfmpeg[] = "/usr/bin/ffmpeg";
// How long a test waits for something that happens in well under a second;
// it only keeps a broken run from hanging and is never measured.
constexpr auto kPatience = std::chrono::seconds(60);

std::string ReadWholeFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteWholeFile(const fs::path& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

// Polls until path exists; false when it did not appear within kPatience.
bool AwaitFile(const fs::path& path) {
  const auto give_up = std::chrono::steady_clock::now() + kPatience;
  while (!fs::exists(path)) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Runs a program to its end; its exit code, or -1.
int RunToEnd(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// An output name: a number from 1 to 1000 and the extension.
::testing::AssertionResult IsOutputName(const std::string& name, const std::string& extension) {
  const size_t digits = name.size() - std::min(name.size(), extension.size());
  const std::string number = name.substr(0, digits);
  if (name.compare(digits, std::string::npos, extension) != 0 || number.empty() ||
      number.size() > 4 || number.find_first_not_of("0123456789") != std::string::npos ||
      number[0] == '0' || std::stoi(number) > 1000) {
    return ::testing::AssertionFailure() << "not a number from 1 to 1000 + " << extension << ": "
                                         << name;
  }
  return ::testing::AssertionSuccess();
}

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

class PluginMediaExportsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, ::access(kFfmpeg, X_OK)) << kFfmpeg << " is missing (apt-get install ffmpeg)";
    setenv("LANFENG_PROGRAM_DIR", program_dir_.native().c_str(), 1);
    handle_ = dlopen(LANFENG_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, handle_) << dlerror();
    grab_frame_ = reinterpret_cast<GrabFrame>(dlsym(handle_, u8"截取视频图片"));
    download_ = reinterpret_cast<Download>(dlsym(handle_, u8"网络文件下载"));
    ASSERT_NE(nullptr, grab_frame_);
    ASSERT_NE(nullptr, download_);
  }
  void TearDown() override {
    if (handle_) dlclose(handle_);
    unsetenv("LANFENG_PROGRAM_DIR");
  }

  fs::path Native(const std::string& name) const { return fs::path(work_dir_.native()) / name; }

  TempDir program_dir_;
  TempDir work_dir_;  // the host process's working directory
  ScopedWorkingDirectory cwd_{work_dir_.native()};
  void* handle_ = nullptr;
  GrabFrame grab_frame_ = nullptr;
  Download download_ = nullptr;
};

// The host's main\corn\ffmpeg.exe stands for Debian's ffmpeg, behind a gate:
// it runs ffmpeg only once the file `release` exists (or after 30 seconds,
// noting that nobody released it), then records ffmpeg's exit code in `done`.
void InstallGatedFfmpeg(const fs::path& program_dir, const fs::path& flags) {
  const fs::path tool = program_dir / "main" / "corn" / "ffmpeg.exe";
  fs::create_directories(tool.parent_path());
  WriteWholeFile(tool, "#!/bin/sh\n"
                       "flags='" + flags.string() + "'\n"
                       "n=0\n"
                       "while [ ! -e \"$flags/release\" ] && [ $n -lt 600 ]; do\n"
                       "  sleep 0.05; n=$((n + 1))\n"
                       "done\n"
                       "[ -e \"$flags/release\" ] && echo released > \"$flags/gate\" ||\n"
                       "  echo 'ran before the test released it' > \"$flags/gate\"\n"
                       "" + std::string(kFfmpeg) + " \"$@\" 2> \"$flags/ffmpeg.log\"\n"
                       "echo $? > \"$flags/done.tmp\" && mv \"$flags/done.tmp\" \"$flags/done\"\n");
  fs::permissions(tool, fs::perms::owner_all);
}

// A PNG's width and height from its IHDR chunk; false when bytes are no PNG.
bool PngSize(const std::string& bytes, uint32_t* width, uint32_t* height) {
  static const std::string kSignature("\x89PNG\r\n\x1a\n", 8);
  if (bytes.size() < 33 || bytes.compare(0, 8, kSignature) != 0 || bytes.compare(12, 4, "IHDR")) {
    return false;
  }
  auto be32 = [&bytes](size_t at) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
  };
  *width = be32(16);
  *height = be32(20);
  return true;
}

TEST_F(PluginMediaExportsTest, GrabsAFrameAsPngAndReturnsBeforeFfmpegEnds) {
  TempDir flags;
  InstallGatedFfmpeg(program_dir_.native(), flags.native());
  // Blanks, quotes and a Chinese name in the video's path: one argument.
  const fs::path clips = fs::path(flags.native()) / "my clips";
  fs::create_directories(clips);
  const std::string video = u8"片 \"a\" 'b'.mp4";
  ASSERT_EQ(0, RunToEnd({kFfmpeg, "-f", "lavfi", "-i", "testsrc=duration=3:size=64x48:rate=5",
                         "-pix_fmt", "yuv420p", "-y", (clips / video).string()}));

  const std::string name = grab_frame_((flags.path() + "\\my clips\\片 \"a\" 'b'.mp4").c_str());

  ASSERT_TRUE(IsOutputName(name, ".png"));
  EXPECT_FALSE(fs::exists(fs::path(flags.native()) / "done")) << "returned after ffmpeg ended";
  WriteWholeFile(fs::path(flags.native()) / "release", "");
  ASSERT_TRUE(AwaitFile(fs::path(flags.native()) / "done")) << "ffmpeg never ran";
  EXPECT_EQ("released\n", ReadWholeFile(fs::path(flags.native()) / "gate"));
  EXPECT_EQ("0\n", ReadWholeFile(fs::path(flags.native()) / "done"))
      << ReadWholeFile(fs::path(flags.native()) / "ffmpeg.log");
  uint32_t width = 0, height = 0;
  ASSERT_TRUE(PngSize(ReadWholeFile(Native(name)), &width, &height)) << name << " is no PNG";
  EXPECT_EQ(64u, width);
  EXPECT_EQ(48u, height);
}

TEST_F(PluginMediaExportsTest, MissingToolStillNamesAPicture) {
  EXPECT_TRUE(IsOutputName(grab_frame_((work_dir_.path() + "\\none.mp4").c_str()), ".png"));
  EXPECT_TRUE(IsOutputName(grab_frame_(nullptr), ".png"));
  EXPECT_TRUE(fs::is_empty(work_dir_.native())) << "no tool, no process, no file";
}

// The server answers /2.php with whatever bytes the test sets.
TEST_F(PluginMediaExportsTest, DownloadsByKindAndLeavesAnEmptyFileWhenUnreachable) {
  std::string body;
  for (int i = 0; i < 70000; ++i) body += static_cast<char>(i * 7 % 256);  // NUL, CR, LF, 0xFF
  HttpTestServer server;
  ASSERT_TRUE(server.Start());
  server.SetNotice(body);

  const struct {
    int32_t kind;
    const char* extension;
  } kinds[] = {{1, ".png"}, {0, ".mp4"}, {2, ".mp4"}, {-1, ".mp4"}};
  for (const auto& kind : kinds) {
    const std::string name = download_(server.Url("/2.php").c_str(), kind.kind);
    ASSERT_TRUE(IsOutputName(name, kind.extension)) << "kind " << kind.kind;
    EXPECT_TRUE(ReadWholeFile(Native(name)) == body) << "kind " << kind.kind;
  }

  server.SetNotice("");
  std::string name = download_(server.Url("/2.php").c_str(), 1);
  ASSERT_TRUE(fs::is_regular_file(Native(name)));
  EXPECT_EQ(0u, fs::file_size(Native(name)));

  RefusingPort refusing;
  name = download_(("http://127.0.0.1:" + std::to_string(refusing.port()) + "/x").c_str(), 0);
  ASSERT_TRUE(IsOutputName(name, ".mp4"));
  ASSERT_TRUE(fs::is_regular_file(Native(name))) << "an unreachable URL leaves an empty file";
  EXPECT_EQ(0u, fs::file_size(Native(name)));

  name = download_(nullptr, 1);
  ASSERT_TRUE(IsOutputName(name, ".png"));
  EXPECT_EQ(0u, fs::file_size(Native(name)));
}

}  // namespace
}  // namespace lanfeng
