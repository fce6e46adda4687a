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
#include <memory>
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

// An account name that can safely name a record file: not empty, and
// nothing that could leave the records directory or break the name (path
// separators, a drive, "." or "..", wildcards, control characters).
bool IsSafeAccountName(const std::string& account);

// The data directory as one pass, command or mail sees it: taken once and
// used throughout, so a path saved meanwhile never splits the work between
// two directories.
// Logged by a pass that skips its work because the data configuration file
// exists but cannot be read; the next cycle tries again.
inline constexpr const char kSettingsUnreadableLine[] = "数据配置文件无法读取，本次跳过处理！";

class DataPaths {
 public:
  explicit DataPaths(std::string data_directory) : directory_(std::move(data_directory)) {}

  // DataDirectory: the setting followed by a backslash.
  const std::string& directory() const { return directory_; }
  // False when no data directory is set (a lone backslash): reads find nothing there and
  // nothing may be created or written.
  bool configured() const { return !directory_.empty() && directory_ != "\\"; }

  std::string DataConfigPath() const { return directory_ + kDataConfigFile; }
  std::string RecordsDirectory() const { return directory_ + kRecordsSubdirectory; }
  // The record file of an account: RecordsDirectory + account + ".ini".
  std::string RecordPath(const std::string& account) const {
    return RecordsDirectory() + account + ".ini";
  }
  // A value of section "数据配置" of the data configuration file; from the
  // copy LoadSettings took, once it has taken one.
  std::string ReadSetting(const std::string& key) const;
  // Reads the data configuration file once, so that a whole pass works from
  // one reading of it. False when the file exists but could not be read.
  bool LoadSettings();

  // Makes sure RecordsDirectory exists, creating every missing level. False,
  // creating nothing, when no data directory is configured.
  bool EnsureRecordsDirectory() const;

 private:
  std::string directory_;
  std::shared_ptr<const std::string> settings_;  // the file's text, once loaded
};

// The plugin's directories: PluginDirectory is set once at registration;
// DataDirectory is replaced by every RefreshDataDirectory, from any thread.
class PluginPaths {
 public:
  // Sets PluginDirectory to ProgramDirectory + "\岚风守望\".
  void SetPluginDirectory(const std::string& program_directory);
  std::string PluginDirectory() const;
  std::string BaseConfigPath() const;

  // Re-reads the data directory from the base configuration file: its value
  // followed by "\". A relative value is taken relative to the host
  // program's directory. An empty value gives "\", which counts as not
  // configured.
  void RefreshDataDirectory();
  std::string DataDirectory() const;

  // RefreshDataDirectory, then the data directory as it now stands.
  DataPaths Refresh();
  // The data directory as it stands, without reading the file.
  DataPaths Current() const { return DataPaths(DataDirectory()); }

 private:
  mutable std::mutex mu_;
  std::string plugin_directory_;
  std::string data_directory_;
};

}  // namespace lanfeng
