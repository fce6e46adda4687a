// Events and hooks through the built plugin, in each host's own format.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "bot_sim.h"
#include "dulu_host.h"
#include "host/packet_codec.h"
#include "host_calls.h"
#include "shell/event_intake.h"
#include "support/gbk_text_testing.h"
#include "support/test_platforms.h"
#include "xlz_host.h"

namespace lanfeng {
namespace {

void RecordDrCall(const char* api, const char* arguments) { hostsim::RecordCall(api, {arguments}); }

class EventsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("LANFENG_PROGRAM_DIR", program_dir_.native().c_str(), 1);
    BotSim_SetSink(RecordDrCall);
    handle_ = dlopen(LANFENG_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, handle_) << dlerror();
  }
  void TearDown() override {
    dlclose(handle_);
    BotSim_SetSink(nullptr);
    hostsim::TakeCalls();
  }
  template <typename F>
  F Entry(const char* name) {
    auto entry = reinterpret_cast<F>(dlsym(handle_, name));
    EXPECT_NE(nullptr, entry) << name;
    return entry;
  }
  void RegisterXlz() {
    const std::string list = hostsim::XlzApiList();
    Entry<const char* (*)(const char*, const char*)>(u8"初始化")(list.c_str(), hostsim::kXlzPluginKey);
    hostsim::TakeCalls();
  }
  void RegisterDulu() {
    Entry<const char* (*)(intptr_t)>("Init_DuLu")(hostsim::DuluApiSupplier());
    hostsim::TakeCalls();
  }
  // The log lines written since the last call, prefix and key removed.
  std::vector<std::string> Logged() {
    std::vector<std::string> lines;
    for (const std::string& call : hostsim::TakeCalls()) {
      size_t prefix = call.find("插件：岚风守望——");
      if (call.rfind("输出日志|", 0) != 0 && call.rfind("Api_OutPutLog|", 0) != 0) continue;
      std::string line = prefix == std::string::npos ? call.substr(call.find('|') + 1)
                                                     : call.substr(prefix + std::string("插件：岚风守望——").size());
      if (call.rfind("输出日志|", 0) == 0) line = line.substr(0, line.find('|'));
      lines.push_back(line);
    }
    return lines;
  }

  TempDir program_dir_;
  void* handle_ = nullptr;
};

// A dulu friend event: robot, kind, then the fields up to group and other.
std::string DuluFriendEvent(int16_t kind, int64_t group, int64_t other) {
  PacketWriter writer;
  writer.Reset();
  writer.WriteInt64(10001);
  writer.WriteInt16(kind);
  writer.WriteInt16(0);
  for (int i = 0; i < 3; ++i) writer.WriteInt32(0);
  writer.WriteInt64(0);
  writer.WriteInt64(group);
  writer.WriteInt64(other);
  writer.WriteInt64(0);
  writer.WriteInt32(0);
  return HexEncode(writer.GetBytes());
}

std::string DuluGroupEvent(int16_t kind) {
  PacketWriter writer;
  writer.Reset();
  writer.WriteInt64(10001);
  writer.WriteInt16(kind);
  writer.WriteInt16(0);
  writer.WriteInt64(300);
  for (int i = 0; i < 3; ++i) writer.WriteInt32(0);
  writer.WriteInt64(0);
  writer.WriteInt64(10005);
  return HexEncode(writer.GetBytes());
}

TEST_F(EventsTest, XiaoLiZiPrivateMessagesPassRobotThenSender) {
  RegisterXlz();
  auto on_private = Entry<int32_t (*)(const XlzPrivateMessage*)>("_OnPrivate");
  XlzPrivateMessage message{};
  message.sender = 10002;
  message.robot = 10002;
  message.message = "邮件菜单";
  EXPECT_EQ(0, on_private(&message));
  std::vector<std::string> calls = hostsim::TakeCalls();
  ASSERT_EQ(1u, calls.size());
  EXPECT_EQ(0u, calls[0].find("发送好友消息|hostsim-xlz-key|10002|10002|——邮件菜单——"));

  message.sender = 10001;  // from another account: ignored
  EXPECT_EQ(0, on_private(&message));
  message.message = nullptr;
  message.sender = 10002;
  EXPECT_EQ(0, on_private(&message));
  EXPECT_EQ(0, on_private(nullptr));
  EXPECT_TRUE(hostsim::TakeCalls().empty());
}

TEST_F(EventsTest, XiaoLiZiEventsByKind) {
  RegisterXlz();
  auto on_event = Entry<int32_t (*)(const XlzEvent*)>("_OnEvent");
  XlzEvent event{};
  event.robot = 10001;
  event.group = 300;
  event.operator_account = 10002;
  event.target = 10003;
  event.value_32 = 999;
  event.kind = 6;
  EXPECT_EQ(0, on_event(&event));
  EXPECT_EQ(std::vector<std::string>{"--机器人账号：10001--某人被踢出群聊！\r\n操作账号：10002\r\n踢出账号：10003\r\n群聊号码：300"},
            Logged());
  event.kind = 105;
  on_event(&event);
  EXPECT_EQ(std::vector<std::string>{"--机器人账号：10001--有人加我好友！\r\n触发账号：10003"}, Logged());
  for (int32_t kind : {31, 100, 204, 0, -1}) {
    event.kind = kind;
    EXPECT_EQ(0, on_event(&event));
  }
  EXPECT_TRUE(Logged().empty());
}

TEST_F(EventsTest, DuluEventRecordsAreReadFieldByField) {
  RegisterDulu();
  auto friend_event = Entry<void (*)(const char*)>(u8"_推送好友事件");
  auto group_event = Entry<void (*)(const char*)>(u8"_推送群聊事件");
  friend_event(DuluFriendEvent(2002, 300, 10002).c_str());
  EXPECT_EQ(std::vector<std::string>{"--机器人账号：10001--被邀请进群了！\r\n邀请账号：10002\r\n邀请群号：300"},
            Logged());
  friend_event(DuluFriendEvent(104, 300, 10002).c_str());
  EXPECT_TRUE(Logged().empty());
  group_event(DuluGroupEvent(3002).c_str());
  EXPECT_EQ(std::vector<std::string>{"--机器人账号：10001--有人申请进群！\r\n申请账号：10005\r\n申请群号：300"},
            Logged());
  group_event(DuluGroupEvent(3000).c_str());
  group_event(DuluGroupEvent(3003).c_str());
  EXPECT_TRUE(Logged().empty());
}

TEST_F(EventsTest, EmptyTruncatedAndDamagedDuluRecordsDoNoHarm) {
  RegisterDulu();
  auto friend_message = Entry<void (*)(const char*)>(u8"_推送好友消息");
  auto friend_event = Entry<void (*)(const char*)>(u8"_推送好友事件");
  const std::string whole = DuluFriendEvent(2000, 300, 10002);
  for (const std::string& record : {std::string(), whole.substr(0, 11), std::string("zz zz"),
                                    std::string("FF FF FF FF FF FF FF FF")}) {
    friend_message(record.c_str());
    friend_event(record.c_str());
  }
  friend_message(nullptr);
  friend_event(nullptr);
  EXPECT_TRUE(Logged().empty()) << "zeros and empty texts lead to nothing";

  // Cut after the kind: the fields that are missing read as 0.
  friend_event(whole.substr(0, 3 * 12 - 1).c_str());
  EXPECT_EQ(std::vector<std::string>{"--机器人账号：10001--有人加我好友！\r\n触发账号：0"}, Logged());

  // A friend message whose length field lies: negative, then past the end.
  PacketWriter writer;
  writer.Reset();
  writer.WriteInt64(10001);
  writer.WriteInt16(0);
  for (int i = 0; i < 3; ++i) writer.WriteInt32(0);
  writer.WriteInt64(0);
  writer.WriteInt64(10001);
  writer.WriteInt64(0);
  for (int32_t length : {-5, 1000000}) {
    PacketWriter lying = writer;
    lying.WriteInt32(length);
    lying.WriteBytes("邮件菜单");
    friend_message(HexEncode(lying.GetBytes()).c_str());
  }
  EXPECT_TRUE(hostsim::TakeCalls().empty()) << "the message reads as empty: no command, no reply";
}

TEST_F(EventsTest, LoginHooksAnswerEmptyTexts) {
  auto getticket = Entry<const char* (*)(const char*, int32_t, const char*)>("Dr_Getticket");
  ASSERT_NE(nullptr, getticket);
  EXPECT_STREQ("", getticket("x", 3, ""));
  EXPECT_EQ(std::vector<std::string>{"Api_OutPutLog|收到假锁提示 :"}, hostsim::TakeCalls());
  EXPECT_STREQ("", getticket("x", 3, nullptr));
  EXPECT_EQ(std::vector<std::string>{"Api_OutPutLog|收到假锁提示 :"}, hostsim::TakeCalls());
  for (int32_t kind : {1, 2, 4}) EXPECT_STREQ("", getticket("x", kind, "y"));
  EXPECT_TRUE(hostsim::TakeCalls().empty());
  EXPECT_STREQ("", Entry<const char* (*)(int32_t, int32_t, const char*)>("_GetTicket")(1, 2, "x"));
  EXPECT_STREQ("", Entry<const char* (*)(int32_t, int32_t, const char*)>("_GetPhoneVefCode")(1, 2, nullptr));
  using Hijack = const char* (*)(const char*, int32_t, int32_t, int32_t, int32_t, const char*);
  EXPECT_STREQ("", Entry<Hijack>(u8"_劫持好友消息")("x", 1, 2, 3, 4, "y"));
  EXPECT_STREQ("", Entry<Hijack>(u8"_劫持群聊消息")(nullptr, 0, 0, 0, 0, nullptr));
  using DrEvent = int32_t (*)(const char*, int32_t, int32_t, const char*, const char*, const char*,
                              const char*, const char*, const char*, const char*, const char*, int32_t,
                              const char*, const char*);
  EXPECT_EQ(0, Entry<DrEvent>("Dr_Event")(nullptr, 1, 2, nullptr, nullptr, nullptr, nullptr, nullptr,
                                          nullptr, nullptr, nullptr, 3, nullptr, nullptr));
  EXPECT_TRUE(hostsim::TakeCalls().empty());
}

TEST_F(EventsTest, APluginMessagesTextStaysValidUntilTheSameExportIsCalledAgain) {
  auto plugin_message = Entry<const char* (*)(const XlzPluginMessage*)>("_OnPluginMessage");
  XlzPluginMessage record{{"a", "b", "c", "abc"}};
  const char* first = plugin_message(&record);
  EXPECT_STREQ("abc", first);
  Entry<const char* (*)(int32_t, int32_t, const char*)>("_GetTicket")(0, 0, "");
  Entry<const char* (*)()>("Dr_Create")();
  EXPECT_STREQ("abc", first) << "other exports leave the text alone";
  XlzPluginMessage empty{};
  EXPECT_STREQ("", plugin_message(&empty));
  EXPECT_STREQ("", plugin_message(nullptr));
}

TEST_F(EventsTest, EverySettingsEntryOpensTheNoticeWindow) {
  setenv("LANFENG_NOTICE_URL", "http://127.0.0.1:1/2.php", 1);
  auto describe = Entry<const char* (*)()>("LanfengHeadless_Describe");
  auto click = Entry<int32_t (*)(const char*, const char*)>("LanfengHeadless_Click");
  auto close = Entry<int32_t (*)(const char*)>("LanfengHeadless_Close");
  Entry<void (*)()>("Dr_SetUp")();
  EXPECT_EQ(0, Entry<int32_t (*)()>("_ControlPanel")());
  Entry<void (*)()>(u8"_菜单")();
  const std::string windows = describe();
  size_t notices = 0;
  for (size_t pos = windows.find("NoticeWindow"); pos != std::string::npos;
       pos = windows.find("NoticeWindow", pos + 1)) {
    ++notices;
  }
  EXPECT_EQ(3u, notices);
  EXPECT_EQ(1, click("NoticeWindow", "按钮1"));
  EXPECT_NE(std::string::npos, std::string(describe()).find("SettingsWindow \"岚风守望\""));
  EXPECT_EQ(1, close("SettingsWindow"));
  EXPECT_EQ(0, click("SettingsWindow", "按钮2")) << "a closed window takes no clicks";
  EXPECT_EQ(0, click("NoSuchWindow", "按钮1"));
  unsetenv("LANFENG_NOTICE_URL");
}

// Host threads call text-returning exports and deliver private messages
// while both workers run (meaningful under ThreadSanitizer).
TEST_F(EventsTest, HostThreadsAndWorkersTogether) {
  RegisterXlz();
  ASSERT_EQ(0, Entry<int32_t (*)()>("_AppStart")());
  auto plugin_message = Entry<const char* (*)(const XlzPluginMessage*)>("_OnPluginMessage");
  auto ticket = Entry<const char* (*)(int32_t, int32_t, const char*)>("_GetTicket");
  auto on_private = Entry<int32_t (*)(const XlzPrivateMessage*)>("_OnPrivate");
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const std::string mine = "thread " + std::to_string(t);
      XlzPluginMessage record{{nullptr, nullptr, nullptr, mine.c_str()}};
      XlzPrivateMessage message{};
      message.robot = message.sender = 10001;
      message.message = t % 2 ? "开启邮件转移通知" : "邮件菜单";
      for (int i = 0; i < 200; ++i) {
        const char* text = plugin_message(&record);
        ticket(0, 0, "");
        if (i % 20 == 0) on_private(&message);
        if (mine != text) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(0, wrong.load()) << "each thread reads back its own text";
  Entry<int32_t (*)()>("_AppEnd")();
}

}  // namespace
}  // namespace lanfeng
