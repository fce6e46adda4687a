#include "owner/settings_windows.h"

#include "runtime/directories.h"
#include "runtime/gbk_text.h"
#include "runtime/ini_file.h"
#include "watch/mail_sender.h"
#include "watch/mail_service.h"
#include "watch/mail_template.h"

namespace lanfeng {

using K = ControlKind;

const WindowLayout kNoticeWindowLayout{
    "NoticeWindow", "岚风守望公告", 50, 50, 614, 308,
    {
        {"编辑框_公告", K::kMultiLineEdit, "作者QQ：1651327064\r\n正在获取公告……", 0, 0, 609, 192, nullptr},
        {"按钮1", K::kButton, "点我进入插件配置界面", 160, 200, 256, 64, nullptr},
    }};

const WindowLayout kSettingsWindowLayout{
    "SettingsWindow", "岚风守望", 50, 50, 596, 528,
    {
        {"透明标签1", K::kLabel, "数据目录：", 6, 7, 64, 29, nullptr},
        {"编辑框_数据目录", K::kEdit, "", 63, 11, 393, 20, nullptr},
        {"按钮_保存数据目录", K::kButton, "保存数据目录", 461, 10, 126, 20, nullptr},
        {"透明标签2", K::kLabel, "QQ邮箱账号：", 6, 50, 71, 16, nullptr},
        {"编辑框_QQ邮箱账号", K::kEdit, "", 74, 49, 146, 20, nullptr},
        {"透明标签3", K::kLabel, "QQ邮箱授权码：", 229, 50, 77, 16, nullptr},
        {"编辑框_QQ邮箱授权码", K::kEdit, "", 308, 49, 146, 20, nullptr},
        {"按钮_保存配置", K::kButton, "保存", 461, 50, 60, 20, nullptr},
        {"按钮_刷新配置", K::kButton, "刷新", 527, 50, 60, 20, nullptr},
        {"透明标签8", K::kLabel, "通知QQ邮箱：", 6, 81, 88, 16, nullptr},
        {"编辑框_通知QQ邮箱", K::kEdit, "", 74, 80, 146, 20, nullptr},
        {"选择框_删除离线账号", K::kCheckBox, "删除离线账号", 229, 81, 99, 24, nullptr},
        {"选择框_开启账号监控", K::kCheckBox, "开启账号监控", 341, 81, 99, 24, nullptr},
        {"按钮2", K::kButton, "测试发送邮件", 461, 81, 126, 20, nullptr},
        {"分组框1", K::kGroupBox, "账号上线邮件内容", 8, 113, 576, 192, nullptr},
        {"编辑框_账号上线邮件内容", K::kMultiLineEdit, "", 3, 16, 565, 168, "分组框1"},
        {"分组框2", K::kGroupBox, "账号下线邮件内容", 8, 305, 576, 192, nullptr},
        {"编辑框_账号下线邮件内容", K::kMultiLineEdit, "", 3, 16, 565, 168, "分组框2"},
    }};

namespace {

// The controls bound to keys of the data configuration.
constexpr const char kDirectoryBox[] = "编辑框_数据目录";
constexpr const char kAccountBox[] = "编辑框_QQ邮箱账号";
constexpr const char kCodeBox[] = "编辑框_QQ邮箱授权码";
constexpr const char kNotifyBox[] = "编辑框_通知QQ邮箱";
constexpr const char kDeleteBox[] = "选择框_删除离线账号";
constexpr const char kWatchBox[] = "选择框_开启账号监控";
constexpr const char kOnlineBox[] = "编辑框_账号上线邮件内容";
constexpr const char kOfflineBox[] = "编辑框_账号下线邮件内容";

constexpr const char kSaved[] = "保存成功！";
constexpr const char kNoDirectory[] = "数据目录内容为空，无法保存配置！";
constexpr const char kNotSaved[] = "保存失败：配置文件无法写入，请检查数据目录！";

std::string ToBox(const std::string& stored) { return ReplaceAll(stored, kLineBreakMarker, "\r\n"); }
std::string FromBox(const std::string& shown) { return ReplaceAll(shown, "\r\n", kLineBreakMarker); }

// Fills the controls from the files, as the data directory stands now.
void LoadControls(OwnerContext& owner, Window& window) {
  PluginPaths& paths = owner.watch.paths;
  const DataPaths data = paths.Current();
  window.SetText(kDirectoryBox, ReadIniKey(paths.BaseConfigPath(), kPathSection, kPathKey));
  window.SetText(kAccountBox, data.ReadSetting(kMailAccountKey));
  window.SetText(kCodeBox, data.ReadSetting(kMailAuthCodeKey));
  window.SetText(kNotifyBox, data.ReadSetting(kNotifyMailboxKey));
  window.SetText(kOnlineBox, ToBox(data.ReadSetting(kOnlineTemplateKey)));
  window.SetText(kOfflineBox, ToBox(data.ReadSetting(kOfflineTemplateKey)));
  window.SetChecked(kDeleteBox, SwitchIsOn(data.ReadSetting(kDeleteOfflineKey)));
  window.SetChecked(kWatchBox, SwitchIsOn(data.ReadSetting(kWatchSwitchKey)));
  for (const char* box : {kOnlineBox, kOfflineBox}) {
    if (window.Text(box).empty()) window.SetText(box, kDefaultTemplate);
  }
}

// "保存数据目录": the box as it stands, read back, then the directory refreshed.
void SaveDataDirectory(OwnerContext& owner, Window& window) {
  PluginPaths& paths = owner.watch.paths;
  const bool saved = WriteIniKey(paths.BaseConfigPath(), kPathSection, kPathKey, window.Text(kDirectoryBox));
  window.SetText(kDirectoryBox, ReadIniKey(paths.BaseConfigPath(), kPathSection, kPathKey));
  paths.RefreshDataDirectory();
  ShowInfo(saved ? kSaved : kNotSaved);
}

// "保存": every setting into the data directory as last refreshed (not the
// box's text), which is created first when it does not exist yet.
void SaveDataConfiguration(OwnerContext& owner, Window& window) {
  if (window.Text(kDirectoryBox).empty()) {
    ShowInfo(kNoDirectory);
    return;
  }
  const DataPaths data = owner.watch.paths.Current();
  const std::string file = data.DataConfigPath();
  bool saved = data.configured() && (DirectoryExists(data.directory()) || EnsureDirectory(data.directory()));
  auto write = [&](const char* key, const std::string& value) {
    saved = WriteIniKey(file, kDataSection, key, value) && saved;
  };
  if (saved) {
    write(kMailAccountKey, window.Text(kAccountBox));
    write(kMailAuthCodeKey, window.Text(kCodeBox));
    write(kNotifyMailboxKey, window.Text(kNotifyBox));
    write(kDeleteOfflineKey, window.Checked(kDeleteBox) ? "1" : "0");
    write(kWatchSwitchKey, window.Checked(kWatchBox) ? "1" : "0");
    write(kOnlineTemplateKey, FromBox(window.Text(kOnlineBox)));
    write(kOfflineTemplateKey, FromBox(window.Text(kOfflineBox)));
  }
  ShowInfo(saved ? kSaved : kNotSaved);
}

}  // namespace

std::shared_ptr<Window> OpenNoticeWindow(OwnerContext& owner) {
  auto window = std::make_shared<Window>(kNoticeWindowLayout);
  owner.windows.Add(window);
  window->SetText("编辑框_公告", owner.fetch_notice ? owner.fetch_notice() : "");
  std::weak_ptr<Window> weak = window;
  window->OnClick("按钮1", [&owner, weak] {
    if (auto notice = weak.lock()) notice->Close();
    OpenSettingsWindow(owner);
  });
  return window;
}

std::shared_ptr<Window> OpenSettingsWindow(OwnerContext& owner) {
  auto window = std::make_shared<Window>(kSettingsWindowLayout);
  owner.windows.Add(window);
  owner.watch.paths.RefreshDataDirectory();
  LoadControls(owner, *window);
  Window* self = window.get();  // handlers live in the window, so it outlives them
  window->OnClick("按钮_刷新配置", [&owner, self] { LoadControls(owner, *self); });
  window->OnClick("按钮_保存数据目录", [&owner, self] { SaveDataDirectory(owner, *self); });
  window->OnClick("按钮_保存配置", [&owner, self] { SaveDataConfiguration(owner, *self); });
  window->OnClick("按钮2", [&owner] { SendTestMail(owner); });
  return window;
}

void SendTestMail(OwnerContext& owner) {
  MailSender sender(MailConnectionOptions());
  const DataPaths data = owner.watch.paths.Current();
  const std::string login = data.ReadSetting(kMailAccountKey);
  const std::string code = data.ReadSetting(kMailAuthCodeKey);
  sender.Init(true, QqMailSmtpHost(), QqMailSmtpPort(), login, code);
  sender.SetSender(login, "邮件发送测试成功");
  sender.AddReceiver(login);
  sender.SetSubject("岚风守望插件，欢迎老板使用！");
  sender.SetContent(ExpandTemplate(owner.fetch_notice ? owner.fetch_notice() : "", ""));
  std::string error;
  owner.watch.send_mail(sender, &error);
  HostApi& host = owner.watch.host;
  if (error.empty()) {
    host.Log("成功发送测试邮件——邮箱账号：" + login);
    host.Log("如果没有正常接收到邮件，去看看QQ邮箱的垃圾箱里，可能被拦截了");
  } else {
    host.Log("测试发送邮件错误信息：" + error);
  }
}

}  // namespace lanfeng
