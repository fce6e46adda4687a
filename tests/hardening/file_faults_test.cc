// Every file operation of a poll pass, a dispatch pass, a chat command and a
// settings save is failed in turn (the n-th read, write, rename, removal,
// directory creation or listing, for every n the clean run makes). Whatever
// fails: nothing crashes, every key of every INI file holds the value it had
// before or the value a clean run gives it (a torn write would show as
// neither), no sibling file is left behind, and a clean run afterwards
// reaches the clean result with every due mail attempted exactly once.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "bot_sim.h"
#include "host_calls.h"
#include "owner/private_commands.h"
#include "owner/settings_windows.h"
#include "owner/window.h"
#include "runtime/gbk_text.h"
#include "runtime/ini_file.h"
#include "support/gbk_text_testing.h"
#include "support/watch_fixture.h"
#include "watch/dispatcher.h"
#include "watch/poller.h"
#include "xlz_host.h"

namespace lanfeng {
namespace {

namespace fs = std::filesystem;

std::string Readable(const std::string& gbk) {
  std::string utf8;
  return GbkToUtf8(gbk, &utf8) ? utf8 : HexBytes(gbk);
}

// Relative native path -> contents of every file under a directory.
using Files = std::map<std::string, std::string>;
// "file|section|key" -> value of every key of every INI file.
using Keys = std::map<std::string, std::string>;

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Reads the INI files line by line the way a person would check them: any
// line that is neither blank, a section header nor key=value is a torn file.
bool ParseIni(const std::string& name, const std::string& text, Keys* keys) {
  std::string section;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (line.front() == '[') {
      if (line.back() != ']') return false;
      section = line.substr(1, line.size() - 2);
      continue;
    }
    const size_t equals = line.find('=');
    if (equals == std::string::npos) return false;
    (*keys)[name + "|" + section + "|" + line.substr(0, equals)] = line.substr(equals + 1);
  }
  return text.empty() || text.back() == '\n';  // every write ends its last line
}

class FileFaultsTest : public WatchFixture {
 protected:
  Files TakeFiles() {
    Files files;
    for (const auto& entry : fs::recursive_directory_iterator(dir_.native())) {
      if (entry.is_regular_file()) {
        files[fs::relative(entry.path(), dir_.native()).string()] = Slurp(entry.path());
      }
    }
    return files;
  }

  void Restore(const Files& files) {
    for (const auto& entry : fs::directory_iterator(dir_.native())) fs::remove_all(entry.path());
    for (const auto& [name, contents] : files) {
      const fs::path path = fs::path(dir_.native()) / name;
      fs::create_directories(path.parent_path());
      std::ofstream(path, std::ios::binary) << contents;
    }
  }

  static Keys KeysOf(const Files& files) {
    Keys keys;
    for (const auto& [name, contents] : files) {
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".ini") == 0) {
        EXPECT_TRUE(ParseIni(name, contents, &keys)) << name << " is torn:\n" << contents;
      }
    }
    return keys;
  }

  // Runs step once cleanly, then once per file operation of that clean run
  // with that operation failing. after_fault(n) checks what the faulted run
  // left and recovers; the files must then equal the clean run's.
  void Sweep(const std::function<void()>& step, const std::function<void(int)>& after_fault) {
    const Files before = TakeFiles();
    const int start = platform_.Count(kAllFileOps);
    step();
    const int operations = platform_.Count(kAllFileOps) - start;
    const Files after = TakeFiles();
    const Keys keys_before = KeysOf(before), keys_after = KeysOf(after);
    ASSERT_GT(operations, 3);
    for (int n = 1; n <= operations; ++n) {
      SCOPED_TRACE("failing file operation " + std::to_string(n) + " of " + std::to_string(operations));
      Restore(before);
      LogLines();
      platform_.TakeMessageBoxes();
      platform_.FailNth(kAllFileOps, n);
      step();
      platform_.FailNth(0, 0);
      const Files faulted = TakeFiles();
      for (const auto& [name, contents] : faulted) {
        EXPECT_EQ(std::string::npos, name.find(".tmp")) << "left behind: " << name;
      }
      Keys keys = KeysOf(faulted);
      Keys all = keys_before;
      all.insert(keys_after.begin(), keys_after.end());
      all.insert(keys.begin(), keys.end());
      for (const auto& [key, ignored] : all) {
        auto value_in = [&key](const Keys& of) { return of.count(key) ? "=" + of.at(key) : "(none)"; };
        const std::string now = value_in(keys);
        EXPECT_TRUE(now == value_in(keys_before) || now == value_in(keys_after))
            << Readable(key) << " holds " << Readable(now) << ", before " << Readable(value_in(keys_before))
            << ", after a clean run " << Readable(value_in(keys_after));
      }
      after_fault(n);
      EXPECT_EQ(KeysOf(after), KeysOf(TakeFiles())) << "a clean run afterwards reaches the clean result";
      if (HasFailure()) return;  // one failing n tells the story
    }
  }

  // How many log lines begin with each of the texts.
  static int CountLines(const std::vector<std::string>& lines, const std::string& head) {
    int count = 0;
    for (const std::string& line : lines) count += line.rfind(head, 0) == 0;
    return count;
  }
};

TEST_F(FileFaultsTest, PollPassNeverMovesAStateItCouldNotRead) {
  UseHost(kXlzHost);
  SetState("10001", "2");  // online, stays
  SetState("10002", "2");  // goes offline
  SetState("10003", "4");  // comes back
  SetState("10005", "5");  // unknown, left alone
  hostsim::SetXlzAccountList(
      "{\"QQlist\":{\"10001\":{\"登录信息\":\"登录成功\"},\"10002\":{\"登录信息\":\"登录失效\"},"
      "\"10003\":{\"登录信息\":\"登录成功\"},\"10004\":{\"登录信息\":\"登录成功\"},"
      "\"10005\":{\"登录信息\":\"下线成功\"}}}");
  Sweep([this] { PollPass(watch_); },
        [this](int) { PollPass(watch_); });
}

TEST_F(FileFaultsTest, DispatchPassMailsEveryChangeOnceWhateverFails) {
  UseHost(kDrHost);
  SetSetting(kDeleteOfflineKey, "1");
  SetState("10001", "1");
  SetState("10002", "3");
  SetState("10003", "2");
  SetState("10004", "1");
  WriteIniKey(RecordPath("10004"), kForwardSection, kForwardSwitchKey, "1");
  WriteIniKey(RecordPath("10004"), kForwardSection, kForwardMailboxKey, "123@qq.com");
  Sweep([this] { DispatchPass(watch_); },
        [this](int) {
          std::vector<std::string> lines = LogLines();
          DispatchPass(watch_);
          for (const std::string& line : LogLines()) lines.push_back(line);
          EXPECT_EQ(1, CountLines(lines, "QQ账号：10001——在线中")) << "mailed once, late or not";
          EXPECT_EQ(1, CountLines(lines, "QQ账号：10002——掉线了"));
          EXPECT_EQ(1, CountLines(lines, "QQ账号：10004——在线中"));
          EXPECT_EQ(0, CountLines(lines, "QQ账号：10003"));
          EXPECT_EQ(1, CountLines(lines, "删除离线账号：10002")) << "removed once";
        });
}

TEST_F(FileFaultsTest, ChatCommandsSaveOrSayTheyDidNot) {
  UseHost(kXlzHost);
  SetState("10001", "2");
  auto say = [this](const std::string& message) {
    HandlePrivateCommand(watch_, "10001", "10001", message);
    std::vector<std::string> replies;
    for (const std::string& call : hostsim::TakeCalls()) {
      if (call.rfind("发送好友消息|", 0) == 0) replies.push_back(call);
    }
    return replies;
  };
  struct Command {
    std::string text, key, value;
  };
  for (const Command& command : {Command{"开启邮件转移通知", kForwardSwitchKey, "1"},
                                 Command{"设置转移通知账号123456", kForwardMailboxKey, "123456@qq.com"}}) {
    SCOPED_TRACE(Readable(command.text));
    std::vector<std::string> told;
    Sweep([&] { told = say(command.text); },
          [&](int) {
            // What the owner was told matches what was kept.
            ASSERT_EQ(1u, told.size());
            const bool said_not_saved = told[0].find(kNotSavedReply) != std::string::npos;
            const std::string kept = ReadIniKey(RecordPath("10001"), kForwardSection, command.key);
            EXPECT_EQ(said_not_saved, kept != command.value) << Readable(told[0]);
            // Saying it again saves it.
            told = say(command.text);
            ASSERT_EQ(1u, told.size());
            EXPECT_EQ(std::string::npos, told[0].find(kNotSavedReply));
          });
  }
}

TEST_F(FileFaultsTest, SettingsSaveReportsWhatItCouldNotWrite) {
  UseHost(kDrHost);
  OpenWindows windows;
  OwnerContext owner{watch_, windows, [] { return std::string(); }};
  auto window = OpenSettingsWindow(owner);
  platform_.TakeMessageBoxes();
  window->SetText("编辑框_账号上线邮件内容", "上线了\r\n【账号号码】");
  window->SetText("编辑框_QQ邮箱账号", "20000@qq.com");
  Keys saved;
  Sweep([&] {
          window->Click("按钮_保存配置");
          if (saved.empty()) saved = KeysOf(TakeFiles());
        },
        [&](int) {
          const std::vector<std::string> boxes = platform_.TakeMessageBoxes();
          ASSERT_EQ(1u, boxes.size());
          if (boxes[0] == std::string(kMessageBoxTitle) + "|保存成功！") {
            EXPECT_EQ(saved, KeysOf(TakeFiles())) << "called saved, so all of it was";
          }
          window->Click("按钮_保存配置");
          EXPECT_EQ(std::vector<std::string>{std::string(kMessageBoxTitle) + "|保存成功！"},
                    platform_.TakeMessageBoxes());
        });
  windows.CloseAll();
}

}  // namespace
}  // namespace lanfeng
