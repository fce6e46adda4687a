#include "owner/settings_windows.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>

#include "runtime/ini_file.h"
#include "support/gbk_text_testing.h"
#include "support/smtp_test_server.h"
#include "support/watch_fixture.h"

namespace lanfeng {
namespace {

class SettingsWindowsTest : public WatchFixture {
 protected:
  void SetUp() override {
    UseHost(kDrHost);
    SetSetting(kOnlineTemplateKey, "");
    SetSetting(kOfflineTemplateKey, "");
  }
  void TearDown() override {
    windows_.CloseAll();
    for (const char* name : {"LANFENG_SMTP_HOST", "LANFENG_SMTP_PORT", "LANFENG_SMTP_CA_FILE"}) unsetenv(name);
  }
  std::shared_ptr<Window> Settings() {
    auto window = OpenSettingsWindow(owner_);
    platform_.TakeMessageBoxes();
    return window;
  }
  std::string Setting(const char* key) {
    return ReadIniKey(dir_.path() + "\\data\\数据配置.ini", kDataSection, key);
  }
  std::string Box(const std::string& text) { return std::string(kMessageBoxTitle) + "|" + text; }

  OpenWindows windows_;
  std::string notice_ = "公告一<br>公告二";
  OwnerContext owner_{watch_, windows_, [this] { return notice_; }};
};

TEST_F(SettingsWindowsTest, TheNoticeWindowLeadsToTheSettings) {
  auto notice = OpenNoticeWindow(owner_);
  EXPECT_GBK_EQ("公告一<br>公告二", notice->Text("编辑框_公告"));
  EXPECT_EQ(nullptr, windows_.Find("SettingsWindow"));
  ASSERT_TRUE(notice->Click("按钮1"));
  EXPECT_TRUE(notice->closed());
  auto settings = windows_.Find("SettingsWindow");
  ASSERT_NE(nullptr, settings);
  EXPECT_GBK_EQ(dir_.path() + "\\data", settings->Text("编辑框_数据目录"));
  EXPECT_EQ("10000@qq.com", settings->Text("编辑框_QQ邮箱账号"));
  EXPECT_TRUE(settings->Checked("选择框_开启账号监控"));
}

TEST_F(SettingsWindowsTest, MissingTemplatesShowTheDefaultAndSaveItWithMarkers) {
  auto window = Settings();
  EXPECT_GBK_EQ(kDefaultTemplate, window->Text("编辑框_账号上线邮件内容"));
  EXPECT_GBK_EQ(kDefaultTemplate, window->Text("编辑框_账号下线邮件内容"));
  EXPECT_EQ("", Setting(kOnlineTemplateKey)) << "shown only, until saved";
  window->Click("按钮_保存配置");
  EXPECT_EQ(std::vector<std::string>{Box("保存成功！")}, platform_.TakeMessageBoxes());
  EXPECT_GBK_EQ("账号：【账号号码】【换行】时间：【现行时间】", Setting(kOnlineTemplateKey));
}

TEST_F(SettingsWindowsTest, ATemplateOfThreeLinesRoundTrips) {
  auto window = Settings();
  window->SetText("编辑框_账号上线邮件内容", "一\r\n二\r\n三");
  window->Click("按钮_保存配置");
  EXPECT_GBK_EQ("一【换行】二【换行】三", Setting(kOnlineTemplateKey));
  window->SetText("编辑框_账号上线邮件内容", "changed");
  window->Click("按钮_刷新配置");
  EXPECT_GBK_EQ("一\r\n二\r\n三", window->Text("编辑框_账号上线邮件内容"));
}

TEST_F(SettingsWindowsTest, BoxesAreTickedOnlyForExactlyOne) {
  SetSetting(kDeleteOfflineKey, "01");
  SetSetting(kWatchSwitchKey, "true");
  auto window = Settings();
  EXPECT_FALSE(window->Checked("选择框_删除离线账号"));
  EXPECT_FALSE(window->Checked("选择框_开启账号监控"));
  window->SetChecked("选择框_删除离线账号", true);
  window->Click("按钮_保存配置");
  EXPECT_EQ("1", Setting(kDeleteOfflineKey));
  EXPECT_EQ("0", Setting(kWatchSwitchKey));
}

TEST_F(SettingsWindowsTest, SavingNeedsADataDirectoryAndUsesTheSavedOne) {
  auto window = Settings();
  window->SetText("编辑框_数据目录", "");
  window->SetText("编辑框_QQ邮箱账号", "changed@qq.com");
  window->Click("按钮_保存配置");
  EXPECT_EQ(std::vector<std::string>{Box("数据目录内容为空，无法保存配置！")}, platform_.TakeMessageBoxes());
  EXPECT_EQ("10000@qq.com", Setting(kMailAccountKey)) << "nothing written";

  window->SetText("编辑框_数据目录", dir_.path() + "\\elsewhere");
  window->Click("按钮_保存配置");
  EXPECT_EQ("changed@qq.com", Setting(kMailAccountKey)) << "written into the old directory";
  EXPECT_FALSE(std::filesystem::exists(dir_.native() + "/elsewhere"));
}

TEST_F(SettingsWindowsTest, SavingTheDirectoryThenTheSettingsCreatesTheNewDirectory) {
  auto window = Settings();
  window->SetText("编辑框_数据目录", dir_.path() + "\\新目录");
  window->Click("按钮_保存数据目录");
  EXPECT_EQ(std::vector<std::string>{Box("保存成功！")}, platform_.TakeMessageBoxes());
  EXPECT_GBK_EQ(dir_.path() + "\\新目录\\", paths_.DataDirectory());
  window->Click("按钮_保存配置");
  EXPECT_EQ(std::vector<std::string>{Box("保存成功！")}, platform_.TakeMessageBoxes());
  EXPECT_EQ("10000@qq.com",
            ReadIniKey(dir_.path() + "\\新目录\\数据配置.ini", kDataSection, kMailAccountKey));

  window->SetText("编辑框_数据目录", "");
  window->Click("按钮_保存数据目录");
  EXPECT_EQ(std::vector<std::string>{Box("保存成功！")}, platform_.TakeMessageBoxes())
      << "an empty directory may be saved";
  EXPECT_EQ("", ReadIniKey(paths_.BaseConfigPath(), kPathSection, kPathKey));
}

TEST_F(SettingsWindowsTest, AFailedWriteIsReportedNotCalledSaved) {
  auto window = Settings();
  platform_.FailNth(kOpRename, 3);
  window->Click("按钮_保存配置");
  EXPECT_EQ(std::vector<std::string>{Box("保存失败：配置文件无法写入，请检查数据目录！")},
            platform_.TakeMessageBoxes());
  platform_.FailNth(kOpRename, 1);
  window->Click("按钮_保存数据目录");
  EXPECT_EQ(std::vector<std::string>{Box("保存失败：配置文件无法写入，请检查数据目录！")},
            platform_.TakeMessageBoxes());
}

TEST_F(SettingsWindowsTest, TheTestMailUsesTheSavedAccountAndTheNotice) {
  SmtpTestServer server;
  SmtpServerOptions options;
  options.user = "10000@qq.com";
  options.password = "secret-code";
  ASSERT_TRUE(server.Start(options));
  setenv("LANFENG_SMTP_HOST", "localhost", 1);
  setenv("LANFENG_SMTP_PORT", std::to_string(server.port()).c_str(), 1);
  setenv("LANFENG_SMTP_CA_FILE", server.certificate().c_str(), 1);
  watch_.send_mail = SendOverSmtp;

  auto window = Settings();
  window->SetText("编辑框_QQ邮箱账号", "edited@qq.com");
  window->Click("按钮2");
  EXPECT_EQ((std::vector<std::string>{"成功发送测试邮件——邮箱账号：10000@qq.com",
                                      "如果没有正常接收到邮件，去看看QQ邮箱的垃圾箱里，可能被拦截了"}),
            LogLines());
  std::vector<ReceivedMail> mails = server.ReceivedMails();
  ASSERT_EQ(1u, mails.size());
  EXPECT_EQ(std::vector<std::string>{"10000@qq.com"}, mails[0].rcpt_tos);
  // Eight characters take two encoded words; Python's address parser puts a
  // blank between adjacent words of a display name, which mail readers drop.
  std::string name = mails[0].from_name;
  name.erase(std::remove(name.begin(), name.end(), ' '), name.end());
  EXPECT_EQ(u8"邮件发送测试成功", name);
  EXPECT_EQ(u8"岚风守望插件，欢迎老板使用！", mails[0].subject);
  EXPECT_EQ(u8"公告一<br>公告二", mails[0].body);
  EXPECT_TRUE(platform_.TakeMessageBoxes().empty()) << "the outcome goes to the log only";

  notice_ = "";
  window->Click("按钮2");
  EXPECT_EQ(std::vector<std::string>{"测试发送邮件错误信息：邮件内容不能为空"}, LogLines());
}

}  // namespace
}  // namespace lanfeng
