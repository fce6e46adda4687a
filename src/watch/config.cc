#include "watch/config.h"

#include "platform/platform.h"
#include "runtime/directories.h"
#include "runtime/gbk_text.h"
#include "runtime/ini_file.h"

namespace lanfeng {

bool SwitchIsOn(const std::string& value) { return value == "1"; }

void PluginPaths::SetPluginDirectory(const std::string& program_directory) {
  std::lock_guard<std::mutex> lock(mu_);
  plugin_directory_ = program_directory + kPluginSubdirectory;
}

std::string PluginPaths::PluginDirectory() const {
  std::lock_guard<std::mutex> lock(mu_);
  return plugin_directory_;
}

std::string PluginPaths::BaseConfigPath() const { return PluginDirectory() + kBaseConfigFile; }

void PluginPaths::RefreshDataDirectory() {
  std::string value = ReadIniKey(BaseConfigPath(), kPathSection, kPathKey);
  if (!value.empty() && !IsAbsolutePath(value)) {
    value = CurrentPlatform().ProgramDirectory() + "\\" + value;
  }
  std::lock_guard<std::mutex> lock(mu_);
  data_directory_ = value + "\\";
}

std::string PluginPaths::DataDirectory() const {
  std::lock_guard<std::mutex> lock(mu_);
  return data_directory_;
}

DataPaths PluginPaths::Refresh() {
  RefreshDataDirectory();
  return Current();
}

std::string DataPaths::ReadSetting(const std::string& key) const {
  if (settings_) return IniValue(*settings_, kDataSection, key);
  return ReadIniKey(DataConfigPath(), kDataSection, key);
}

bool DataPaths::LoadSettings() {
  auto contents = std::make_shared<std::string>();
  if (!ReadIniFile(DataConfigPath(), contents.get())) return false;
  settings_ = std::move(contents);
  return true;
}

bool DataPaths::EnsureRecordsDirectory() const {
  if (!configured()) return false;
  const std::string records = RecordsDirectory();
  return DirectoryExists(records) || EnsureDirectory(records);
}

bool IsSafeAccountName(const std::string& account) {
  if (account.empty() || account == "." || account == "..") return false;
  size_t pos = 0;
  while (pos < account.size()) {
    size_t length = GbkCharLength(account, pos);
    if (length == 1) {
      unsigned char c = static_cast<unsigned char>(account[pos]);
      if (c < 0x20 || c == 0x7F || std::string("\\/:*?\"<>|").find(static_cast<char>(c)) != std::string::npos) {
        return false;
      }
    }
    pos += length;
  }
  return true;
}

}  // namespace lanfeng
