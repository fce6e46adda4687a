#include "shell/registration.h"

#include "platform/platform.h"
#include "runtime/directories.h"
#include "shell/plugin_state.h"

namespace lanfeng {

void PreparePluginDirectory(PluginState& state) {
  state.paths.SetPluginDirectory(CurrentPlatform().ProgramDirectory());
  const std::string directory = state.paths.PluginDirectory();
  if (!DirectoryExists(directory)) EnsureDirectory(directory);
}

std::string RegisterDr(PluginState& state) {
  state.dr_info = {kPluginName, kPluginVersion, kPluginAuthor, kPluginDescription, kDrPluginKey,
                   kDrSdkCode};
  state.host_kind.store(kDrHost, std::memory_order_release);
  PreparePluginDirectory(state);
  state.dr.OutPutLog("判断为DR框架");
  state.dr.OutPutLog("载入DR框架数据");
  return DrDescriptionText(state.dr_info);
}

void ReportFault(PluginState& state, int32_t code, const std::string& message) {
  if (state.host_kind.load(std::memory_order_acquire) != kXlzHost) return;
  const std::string name = state.application_name;
  CurrentPlatform().ShowMessageBox(FaultReportBody(name, code, message), FaultReportTitle(name),
                                   kMessageBoxWarning);
}

}  // namespace lanfeng
