#include "shell/registration.h"

#include "host/dulu_binding.h"
#include "host/packet_codec.h"
#include "host/typed_hash_map.h"
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
  state.dr.ResolveAll();
  state.host_kind.store(kDrHost, std::memory_order_release);
  PreparePluginDirectory(state);
  state.dr.OutPutLog("判断为DR框架");
  state.dr.OutPutLog("载入DR框架数据");
  return DrDescriptionText(state.dr_info);
}

std::string RegisterXlz(PluginState& state, const std::string& api_list, const std::string& key,
                        const XlzCallbacks& callbacks) {
  state.xlz.AttachHost(key, api_list);
  state.application_name = ApplicationName(kPluginName);
  XlzRegistration registration(state.application_name, callbacks);
  state.host_kind.store(kXlzHost, std::memory_order_release);
  PreparePluginDirectory(state);
  state.xlz.OutputLog("判断为小栗子框架", 255, 65535);
  state.xlz.OutputLog("载入小栗子框架数据", 255, 65535);
  registration.AddAllPermissions(kXlzPermissionReason);
  return registration.Json();
}

std::string RegisterDulu(PluginState& state, HostAddress supplier) {
  PluginIdentity& identity = state.identity;
  identity.name = kPluginName;
  identity.author = kPluginAuthor;
  identity.description = kPluginDescription;
  identity.version = kPluginVersion;
  identity.latest = kPluginVersion;
  state.host_kind.store(kDuluHost, std::memory_order_release);
  PreparePluginDirectory(state);
  identity.directory = CurrentPlatform().ProgramDirectory() + "\\data\\plugin\\" + identity.name;

  TypedHashMap answer;
  answer.Configure(kMapText, kMapText);
  answer.Put("名称", identity.name);
  answer.Put("作者", identity.author);
  answer.Put("版本", identity.version);
  answer.Put("最新", identity.latest);
  answer.Put("说明", identity.description);
  answer.Put("目录", identity.directory);
  identity.signature = DuluSignature(identity.name, identity.author);
  answer.Put("签名", identity.signature);

  // A table that does not load leaves the one an earlier registration gave.
  auto table = std::make_shared<TypedHashMap>();
  std::shared_ptr<const TypedHashMap> api_table = table;
  if (!LoadApiTable(supplier, table.get())) api_table = state.dulu.api_table();
  state.dulu.Attach(std::move(api_table), identity.signature);
  state.host.Log("判断为dulu框架");
  state.host.Log("载入dulu框架数据");
  return HexEncode(answer.Serialize());
}

void ReportFault(PluginState& state, int32_t code, const std::string& message) {
  if (state.host_kind.load(std::memory_order_acquire) != kXlzHost) return;
  const std::string name = state.application_name;
  CurrentPlatform().ShowMessageBox(FaultReportBody(name, code, message), FaultReportTitle(name),
                                   kMessageBoxWarning);
}

}  // namespace lanfeng
