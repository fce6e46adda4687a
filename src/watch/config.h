// Where the plugin's files live, and the names inside them.
//
// The base configuration file in the plugin directory names the data
// directory; the data configuration file there holds the mail settings and
// switches; one record file per QQ account under "账号记录\" holds that
// account's state and forwarding settings. Nothing is cached: every reader
// reads the file when it needs a value.
#pragma once

#include <mutex>
#include <optional>
#include <string>

namespace lanfeng {

// File names.
inline constexpr const char kBaseConfigFile[] = "基础配置.ini";
inline constexpr const char kDataConfigFile[] = "数据配置.ini";
inline constexpr const char kRecordsSubdirectory[] = "账号记录\\";
inline constexpr const char kPluginSubdirectory[] = "\\岚风守望\\";

// Base configuration.
inline constexpr const char kPathSection[] = "路径配置";
inline constexpr const char kPathKey[] = "路径内容";

// Data configuration.
inline constexpr const char kDataSection[] = "数据配置";
inline constexpr const char kMailAccountKey[] = "QQ邮箱账号";
inline constexpr const char kMailAuthCodeKey[] = "QQ邮箱授权码";
inline constexpr const char kNotifyMailboxKey[] = "通知QQ邮箱";
inline constexpr const char kOnlineTemplateKey[] = "账号上线邮件内容";
inline constexpr const char kOfflineTemplateKey[] = "账号下线邮件内容";
inline constexpr const char kDeleteOfflineKey[] = "删除离线账号";
inline constexpr const char kWatchSwitchKey[] = "开启邮件监控";

// Account records.
inline constexpr const char kStateSection[] = "账号状态";
inline constexpr const char kStateKey[] = "状态";
inline constexpr const char kForwardSection[] = "邮件转移通知配置";
inline constexpr const char kForwardSwitchKey[] = "邮件转移通知";
inline constexpr const char kForwardMailboxKey[] = "邮件转移通知账号";

// The line-break marker of stored templates.
inline constexpr const char kLineBreakMarker[] = "【换行】";

// A switch is on only when its value is exactly "1".
bool SwitchIsOn(const std::string& value);

// The plugin's directories: PluginDirectory is set once at registration;
// DataDirectory is replaced by every RefreshDataDirectory, from any thread.
class PluginPaths {
 public:
  // Sets PluginDirectory to ProgramDirectory + "\岚风守望\".
  void SetPluginDirectory(const std::string& program_directory);
  std::string PluginDirectory() const;

  // Re-reads the data directory from the base configuration file: its value
  // followed by "\". A relative value is taken relative to the host
  // program's directory. An empty value gives "\", which counts as not
  // configured (see WritableDataDirectory).
  void RefreshDataDirectory();
  std::string DataDirectory() const;

  // The data directory, or nothing when none is configured: with nothing
  // configured no folder is made and no record written (reads of the
  // configuration still go to "\" and find nothing there).
  std::optional<std::string> WritableDataDirectory() const;

  std::string BaseConfigPath() const;
  std::string DataConfigPath() const;
  std::string RecordsDirectory() const;
  // The record file of an account: RecordsDirectory + account + ".ini".
  std::string RecordPath(const std::string& account) const;

  // Makes sure RecordsDirectory exists, creating every missing level. False
  // (and nothing created) when no data directory is configured.
  bool EnsureRecordsDirectory() const;

 private:
  mutable std::mutex mu_;
  std::string plugin_directory_;
  std::string data_directory_;
};

}  // namespace lanfeng
