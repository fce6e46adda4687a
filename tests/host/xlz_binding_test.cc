#include "host/xlz_binding.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "host/host_call.h"
#include "platform/platform.h"
#include "runtime/directories.h"
#include "support/gbk_text_testing.h"
#include "support/test_platforms.h"

namespace lanfeng {
namespace {

// A fake XiaoLiZi host. Each function records its host name, the key and
// its arguments; a text function answers `answer`. The host fills output
// variables with 77 and 88.
using Text = const char*;
std::vector<std::string> calls;
Text answer = nullptr;

std::string Field(Text text) { return text ? text : "(null)"; }
std::string Field(int64_t value) { return std::to_string(value); }
std::string Field(int32_t value) { return std::to_string(value); }
std::string Field(int64_t* out) { return std::to_string(std::exchange(*out, 77)); }
std::string Field(int32_t* out) { return std::to_string(std::exchange(*out, 88)); }

template <typename R>
R Answer() {
  return R();
}
template <>
Text Answer<Text>() {
  return answer;
}

const char* const kHostNames[] = {
    "输出日志",     "发送好友消息",   "发送群消息",       "发送群临时消息", "取群Id_从缓存",
    "上传好友图片", "上传群图片",     "上传好友语音",     "上传群语音",     "上传小视频",
    "上传头像",     "修改昵称",       "修改个性签名",     "修改群名称",     "设置群名片",
    "QQ点赞",       "处理群验证事件", "处理好友验证事件", "全员禁言",       "禁言群成员",
    "删除群成员",   "撤回消息_群聊",  "QQ列表_删除QQ",    "取框架QQ"};

template <int kId, typename R, typename... Args>
R HOST_CALL Fake(Text key, Args... args) {
  std::string line = std::string(kHostNames[kId]) + " " + key;
  ((line += " " + Field(args)), ...);
  calls.push_back(line);
  return Answer<R>();
}

#define FAKE(id, ...) reinterpret_cast<void*>(&Fake<id, __VA_ARGS__>)
using I64 = int64_t;
using I32 = int32_t;
using Buf = intptr_t;
void* const kFakes[] = {FAKE(0, Text, Text, I32, I32),
                        FAKE(1, Text, I64, I64, Text, I64*, I32*),
                        FAKE(2, Text, I64, I64, Text, I32),
                        FAKE(3, Text, I64, I64, I64, Text, I64*, I32*),
                        FAKE(4, I64, I64),
                        FAKE(5, Text, I64, I64, I32, Buf, I32),
                        FAKE(6, Text, I64, I64, I32, Buf, I32),
                        FAKE(7, Text, I64, I64, I32, Text, Buf, I32),
                        FAKE(8, Text, I64, I64, I32, Text, Buf, I32),
                        FAKE(9, Text, I64, I64, Text, Buf, I32),
                        FAKE(10, Text, I64, Buf, I32),
                        FAKE(11, I32, I64, Text),
                        FAKE(12, I32, I64, Text, Text),
                        FAKE(13, I32, I64, I64, Text),
                        FAKE(14, Text, I64, I64, I64, Text),
                        FAKE(15, Text, I64, I64),
                        FAKE(16, void, I64, I64, I64, I64, I32, I32, Text),
                        FAKE(17, void, I64, I64, I64, I32),
                        FAKE(18, I32, I64, I64, I32),
                        FAKE(19, I32, I64, I64, I64, I32),
                        FAKE(20, I32, I64, I64, I64, I32),
                        FAKE(21, I32, I64, I64, I64, I32),
                        FAKE(22, Text, I64, I32),
                        FAKE(23, Text)};
static_assert(std::size(kFakes) == std::size(kHostNames), "one fake per host function");

// An API list in the host's layout, {"name":address,...}, of the first
// `count` fakes.
std::string ApiList(size_t count = std::size(kFakes)) {
  std::string list;
  for (size_t i = 0; i < count; ++i) {
    list += (i == 0 ? "{\"" : ",\"") + std::string(kHostNames[i]) +
            "\":" + std::to_string(reinterpret_cast<uintptr_t>(kFakes[i]));
  }
  return list + "}";
}

class XlzBindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    calls.clear();
    answer = nullptr;
  }
  XlzBinding binding_;
};

// Values above 32 bits, so a narrowed number shows.
constexpr int64_t kRobot = 4000000000001;
constexpr int64_t kGroup = 5000000000002;
constexpr int64_t kPeer = 6000000000003;
constexpr int64_t kSequence = 7000000000004;

TEST_F(XlzBindingTest, EveryHostFunctionGetsTheKeyThenItsArgumentsInOrder) {
  binding_.AttachHost("key", ApiList());
  const std::string data("P\0Q", 3);
  binding_.OutputLog("行");
  binding_.OutputLog("x", 255, 65535);
  int64_t out_64 = 5;
  int32_t out_32 = 6;
  binding_.SendFriendMessage(kRobot, kPeer, "hi");
  binding_.SendFriendMessage(kRobot, kPeer, "hi", &out_64, &out_32);
  binding_.SendFriendMessage(kRobot, kPeer, "hi");
  binding_.SendGroupMessage(kRobot, kGroup, "m");
  binding_.SendGroupTempMessage(kRobot, kGroup, kPeer, "t");
  binding_.UploadFriendPicture(kRobot, kPeer, true, data);
  binding_.UploadGroupPicture(kRobot, kGroup, false, data);
  binding_.UploadFriendVoice(kRobot, kPeer, 2, "v", data);
  binding_.UploadGroupVoice(kRobot, kGroup, 0, "", data);
  binding_.UploadShortVideo(kRobot, kGroup, "\\v.mp4", data);
  binding_.UploadAvatar(kRobot, data);
  binding_.ChangeNickname(kRobot, "n");
  binding_.ChangeSignature(kRobot, "s");
  binding_.ChangeGroupName(kRobot, kGroup, "g");
  binding_.SetGroupCard(kRobot, kGroup, kPeer, "c");
  binding_.LikeQq(kRobot, kPeer);
  binding_.HandleGroupVerification(kRobot, kGroup, kPeer, kSequence, 12, 3);
  binding_.HandleFriendVerification(kRobot, kPeer, kSequence, 1);
  binding_.MuteAllMembers(kRobot, kGroup, true);
  binding_.MuteGroupMember(kRobot, kGroup, kPeer, 300);
  binding_.RemoveGroupMember(kRobot, kGroup, kPeer);
  binding_.RecallGroupMessage(kRobot, kGroup, kSequence, -9);
  EXPECT_EQ(0, binding_.GetGroupIdFromCache(kGroup));
  EXPECT_EQ("", binding_.DeleteQqFromList(kRobot, true)) << "a null answer is an empty text";
  answer = "10001";
  EXPECT_EQ("10001", binding_.GetFrameworkQq());
  EXPECT_EQ(77, out_64) << "the host fills the caller's output variables";
  EXPECT_EQ(88, out_32);

  const std::string r = " key 4000000000001", g = " 5000000000002", p = " 6000000000003";
  const std::string s = " 7000000000004";
  const std::string buffer = " " + std::to_string(reinterpret_cast<intptr_t>(data.data())) + " 3";
  const std::vector<std::string> expected = {"输出日志 key 行 32768 16777215",
                                             "输出日志 key x 255 65535",
                                             "发送好友消息" + r + p + " hi 0 0",
                                             "发送好友消息" + r + p + " hi 5 6",
                                             "发送好友消息" + r + p + " hi 0 0",
                                             "发送群消息" + r + g + " m 0",
                                             "发送群临时消息" + r + g + p + " t 0 0",
                                             "上传好友图片" + r + p + " 1" + buffer,
                                             "上传群图片" + r + g + " 0" + buffer,
                                             "上传好友语音" + r + p + " 2 v" + buffer,
                                             "上传群语音" + r + g + " 0 " + buffer,
                                             "上传小视频" + r + g + " \\v.mp4" + buffer,
                                             "上传头像" + r + buffer,
                                             "修改昵称" + r + " n",
                                             "修改个性签名" + r + " s ",
                                             "修改群名称" + r + g + " g",
                                             "设置群名片" + r + g + p + " c",
                                             "QQ点赞" + r + p,
                                             "处理群验证事件" + r + g + p + s + " 12 3 ",
                                             "处理好友验证事件" + r + p + s + " 1",
                                             "全员禁言" + r + g + " 1",
                                             "禁言群成员" + r + g + p + " 300",
                                             "删除群成员" + r + g + p + " 0",
                                             "撤回消息_群聊" + r + g + s + " -9",
                                             "取群Id_从缓存 key" + g,
                                             "QQ列表_删除QQ" + r + " 1",
                                             "取框架QQ key"};
  ASSERT_EQ(expected.size(), calls.size());
  for (size_t i = 0; i < calls.size(); ++i) EXPECT_GBK_EQ(expected[i], calls[i]);
}

TEST_F(XlzBindingTest, FunctionsMissingFromTheListAreSkipped) {
  binding_.OutputLog("never attached");
  binding_.AttachHost("key", "{\"发送群消息\":0,\"取群Id_从缓存\":x12}");
  binding_.OutputLog("x");
  binding_.SendFriendMessage(kRobot, kPeer, "m");
  binding_.SendGroupMessage(kRobot, kGroup, "m");
  binding_.HandleFriendVerification(kRobot, kPeer, 1, 1);
  EXPECT_EQ(0, binding_.GetGroupIdFromCache(kGroup));
  EXPECT_EQ("", binding_.UploadGroupPicture(kRobot, kGroup, false, "d"));
  EXPECT_EQ("", binding_.UploadShortVideo(kRobot, kGroup, "v", "d"));
  EXPECT_EQ("", binding_.DeleteQqFromList(kRobot, true));
  EXPECT_EQ("", binding_.GetFrameworkQq());
  EXPECT_TRUE(calls.empty());
}

TEST_F(XlzBindingTest, UploadCodesClosedByABracketAreCompleted) {
  binding_.AttachHost("key", ApiList());
  answer = "[pic=1]";
  EXPECT_EQ("[pic=1,wide=0,high=0,cartoon=false,str=]",
            binding_.UploadFriendPicture(kRobot, kPeer, false, ""));
  EXPECT_GBK_EQ("[pic=1,wide=640,high=480,cartoon=true,str=预览]",
                binding_.UploadGroupPicture(kRobot, kGroup, false, "", 640, 480, true, "预览"));
  answer = "[Voi=2]";
  EXPECT_EQ("[Voi=2,time=0]", binding_.UploadFriendVoice(kRobot, kPeer, 0, "", ""));
  EXPECT_EQ("[Voi=2,time=9]", binding_.UploadGroupVoice(kRobot, kGroup, 0, "", "", 9));
  answer = "[vid=3]";
  EXPECT_EQ("[vid=3,wide=0,high=0,time=0]", binding_.UploadShortVideo(kRobot, kGroup, "v", ""));
  EXPECT_EQ("[vid=3,wide=1,high=2,time=3]",
            binding_.UploadShortVideo(kRobot, kGroup, "v", "", 1, 2, 3));

  for (Text code : {"", "[pic=1", "[pic=1] ", "[pic=乚"}) {
    answer = code;
    EXPECT_GBK_EQ(code, binding_.UploadFriendPicture(kRobot, kPeer, false, ""))
        << "kept as it is; 乚 is 81 5D, its trail byte no bracket";
  }
}

TEST(XlzFindApiTest, ReadsTheDigitsAfterTheQuotedName) {
  XlzBinding xlz;
  xlz.AttachHost("k",
                 "{\"输出日志\":1234,\"取QQ点赞\":11,\"QQ点赞\":22,\"Abc\":33x,\"空\":,\"b\":7,"
                 "\"非数\":x9,\"大\":99999999999999999999,\"满\":18446744073709551615,"
                 "\"输出日志\":99,\"取框架QQ\":5678}");
  EXPECT_EQ(1234u, xlz.FindApi("输出日志")) << "the first entry wins";
  EXPECT_EQ(5678u, xlz.FindApi("取框架QQ")) << "the last entry, read up to the brace";
  EXPECT_EQ(22u, xlz.FindApi("QQ点赞")) << "not the tail of 取QQ点赞";
  EXPECT_EQ(33u, xlz.FindApi("Abc"));
  EXPECT_EQ(0u, xlz.FindApi("abc")) << "case-sensitive";
  EXPECT_EQ(0u, xlz.FindApi("空")) << "nothing before the comma: up to the brace, not a number";
  EXPECT_EQ(0u, xlz.FindApi("非数"));
  EXPECT_EQ(0u, xlz.FindApi("大")) << "too large for an address";
  EXPECT_EQ(UINTPTR_MAX, xlz.FindApi("满"));
  EXPECT_EQ(0u, xlz.FindApi("缺"));
  EXPECT_EQ(0u, xlz.FindApi(""));

  XlzBinding copy = xlz;
  xlz.AttachHost("k", "{\"尾\":42");
  EXPECT_EQ(0u, xlz.FindApi("尾")) << "no comma nor brace after it: nothing";
  EXPECT_EQ(0u, xlz.FindApi("输出日志")) << "looked up anew, never cached";
  EXPECT_EQ(1234u, copy.FindApi("输出日志")) << "a copy keeps its own texts";

  std::string huge = "{";
  for (int i = 0; i < 200000; ++i)
    huge += "\"f" + std::to_string(i) + "\":" + std::to_string(i) + ",";
  huge += "\"末\":" + std::string(100000, '9');
  xlz.AttachHost("k", huge + ",\"终\":8}");
  EXPECT_EQ(0u, xlz.FindApi("末"));
  EXPECT_EQ(8u, xlz.FindApi("终"));
  EXPECT_EQ(199999u, xlz.FindApi("f199999"));
}

TEST(XlzFindApiTest, DigitsAreReadWhereTheyStandHoweverFarTheEnd) {
  XlzBinding xlz;
  const std::string far(4 << 20, ' ');
  xlz.AttachHost("k", "{\"输出日志\":1234" + far + "}");
  EXPECT_EQ(1234u, xlz.FindApi("输出日志")) << "the brace ends the value, megabytes away";
  xlz.AttachHost("k", "{\"输出日志\":" + std::string(4 << 20, '0') + "42,");
  EXPECT_EQ(42u, xlz.FindApi("输出日志")) << "leading zeros, however many";
  xlz.AttachHost("k", "{\"输出日志\":1234" + far);
  EXPECT_EQ(0u, xlz.FindApi("输出日志")) << "still nothing without an end";
  xlz.AttachHost("k", "{\"输出日志\":,\"b\":5}");
  EXPECT_EQ(0u, xlz.FindApi("输出日志")) << "an empty value up to the brace is no number";
}

// The host's folder is a temporary directory; ffmpeg.exe and silkencoder.exe
// are shell scripts that note their arguments and write what the next step
// reads (PCM: the audio's bytes; silk: "SILK" and the PCM's bytes).
class HostFolderPlatform : public PlatformWrapper {
 public:
  explicit HostFolderPlatform(std::string dir)
      : PlatformWrapper(&SystemPlatform()), dir_(std::move(dir)) {}
  std::string ProgramDirectory() override { return dir_; }
  uint32_t Random() override { return random; }
  uint32_t random = 0;

 private:
  std::string dir_;
};

constexpr char kFfmpegScript[] =
    "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > \"$0.args\"\n"
    "eval \"last=\\${$#}\"\ncat \"$2\" > \"$last\"\n";
constexpr char kEncoderScript[] =
    "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > \"$0.args\"\n"
    "{ printf 'SILK'; cat \"$3\"; } > \"$5\"\n";
constexpr char kSilentEncoderScript[] = "#!/bin/sh\nexit 1\n";

class XlzConvertToSilkTest : public XlzBindingTest {
 protected:
  void SetUp() override {
    XlzBindingTest::SetUp();
    binding_.AttachHost("key", ApiList(1));
    ASSERT_TRUE(EnsureDirectory(host_ + "\\main\\corn"));
    ASSERT_TRUE(EnsureDirectory(temp_.path() + "\\in.d"));
  }
  // A Windows-style GBK path as the tools see it.
  static std::string Native(const std::string& gbk) {
    std::string utf8;
    EXPECT_TRUE(GbkToUtf8(gbk, &utf8));
    for (char& c : utf8) c = c == '\\' ? '/' : c;
    return utf8;
  }
  void Install(const std::string& tool, const char* script) {
    ASSERT_TRUE(SystemPlatform().WriteFile(host_ + "\\main\\corn\\" + tool, script).ok());
    std::filesystem::permissions(Native(host_ + "\\main\\corn\\" + tool),
                                 std::filesystem::perms::owner_all);
  }
  std::string WriteAudio(const std::string& name) {
    std::string path = temp_.path() + "\\in.d\\" + name;
    EXPECT_TRUE(SystemPlatform().WriteFile(path, std::string("RIFF\0\1", 6)).ok());
    return path;
  }
  // The arguments a tool was run with, its own path first; empty if it never ran.
  std::vector<std::string> ArgumentsOf(const std::string& tool) {
    std::string text;
    SystemPlatform().ReadFile(host_ + "\\main\\corn\\" + tool + ".args", &text);
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
      lines.push_back(text.substr(start, end - start));
    }
    return lines;
  }
  std::vector<std::string> VoiceFolderFiles() {
    std::vector<std::string> names;
    EXPECT_TRUE(SystemPlatform().ListFiles(voice_, &names).ok());
    return names;
  }

  TempDir temp_;
  const std::string host_ = temp_.path() + "\\宿主 v1.2";
  const std::string voice_ = host_ + "\\main\\data\\voice\\";
  HostFolderPlatform platform_{host_};
  ScopedPlatform scope_{&platform_};
};

TEST_F(XlzConvertToSilkTest, RunsTheCheckedToolsWithOneArgumentPerPath) {
  Install("ffmpeg.exe", kFfmpegScript);
  Install("silkencoder.exe", kEncoderScript);
  const std::string audio = WriteAudio("乗 clip.v1.mp3");

  EXPECT_EQ(std::string("SILKRIFF\0\1", 10), binding_.ConvertToSilk(audio));
  const std::string base = Native(voice_ + "1000乗 clip.v1");  // 乗 is 81 5C: no separator
  EXPECT_EQ((std::vector<std::string>{Native(host_ + "\\main\\corn\\ffmpeg.exe"), "-i",
                                      Native(audio), "-f", "s16le", "-ar", "24000", "-ac", "1",
                                      "-acodec", "pcm_s16le", base + ".pcm"}),
            ArgumentsOf("ffmpeg.exe"));
  EXPECT_EQ((std::vector<std::string>{Native(host_ + "\\main\\corn\\silkencoder.exe"), "pts", "-i",
                                      base + ".pcm", "-o", base + ".silk", "-s", "24000"}),
            ArgumentsOf("silkencoder.exe"));
  EXPECT_TRUE(VoiceFolderFiles().empty()) << "the scratch files are removed";
  EXPECT_EQ(std::vector<std::string>{"输出日志 key silk编码->编码完成 32768 16777215"}, calls);

  // A name without "." stays whole, though the host folder has one; the
  // random number spans 1000..999999.
  platform_.random = 998999;
  EXPECT_EQ(std::string("SILKRIFF\0\1", 10), binding_.ConvertToSilk(WriteAudio("clip")));
  EXPECT_EQ(Native(voice_ + "999999clip.pcm"), ArgumentsOf("ffmpeg.exe").back());
}

TEST_F(XlzConvertToSilkTest, MissingToolsOrAudioAreReportedAndNothingRuns) {
  Install("ffmpeg.exe", kFfmpegScript);
  const std::string audio = WriteAudio("a.mp3");
  EXPECT_EQ("", binding_.ConvertToSilk(audio));
  Install("silkencoder.exe", kEncoderScript);
  EXPECT_EQ("", binding_.ConvertToSilk(audio + ".gone"));
  EXPECT_TRUE(ArgumentsOf("ffmpeg.exe").empty());
  EXPECT_GBK_EQ(
      "输出日志 key silk解码->corn文件夹缺少语音转码库，请自行到官网或交流群下载 32768 16777215",
      calls.at(0));
  EXPECT_GBK_EQ("输出日志 key silk解码->音频文件不存在 32768 16777215", calls.at(1));
  EXPECT_EQ(2u, calls.size());
}

TEST_F(XlzConvertToSilkTest, AToolThatMakesNoSilkGivesAnEmptyBuffer) {
  Install("ffmpeg.exe", kFfmpegScript);
  Install("silkencoder.exe", kSilentEncoderScript);
  EXPECT_EQ("", binding_.ConvertToSilk(WriteAudio("a.mp3")));
  EXPECT_FALSE(ArgumentsOf("ffmpeg.exe").empty());
  EXPECT_TRUE(VoiceFolderFiles().empty()) << "the PCM file is removed all the same";
  EXPECT_EQ(std::vector<std::string>{"输出日志 key silk编码->编码完成 32768 16777215"}, calls);
}

}  // namespace
}  // namespace lanfeng
