#include "watch/config.h"

#include "platform/platform.h"
#include "runtime/directories.h"
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

std::optional<std::string> PluginPaths::WritableDataDirectory() const {
  std::string directory = DataDirectory();
  if (directory.empty() || directory == "\\") return std::nullopt;
  return directory;
}

std::string PluginPaths::DataConfigPath() const { return DataDirectory() + kDataConfigFile; }

std::string PluginPaths::RecordsDirectory() const { return DataDirectory() + kRecordsSubdirectory; }

std::string PluginPaths::RecordPath(const std::string& account) const {
  return RecordsDirectory() + account + ".ini";
}

bool PluginPaths::EnsureRecordsDirectory() const {
  auto data = WritableDataDirectory();
  if (!data) return false;
  std::string records = *data + kRecordsSubdirectory;
  return DirectoryExists(records) || EnsureDirectory(records);
}

}  // namespace lanfeng
