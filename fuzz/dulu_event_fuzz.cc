// Fuzzes the dulu host's event records: any hex text given to the friend
// message, friend event and group event pushes goes through the reader to
// the handlers, with a host that only records what it is asked.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "host/dr_binding.h"
#include "host/dulu_binding.h"
#include "host/host_api.h"
#include "host/xlz_binding.h"
#include "shell/event_intake.h"
#include "watch/config.h"
#include "watch/watch_context.h"

namespace {

size_t recorded = 0;

int32_t RecordLog(const char* line) {
  recorded += std::string(line).size();
  return 0;
}

const char* RecordSend(const char*, int32_t, const char*, const char* message) {
  recorded += std::string(message).size();
  return "";
}

const char* NoUid(const char*) { return "uid"; }

// A DR host whose log and chat record what they get. No data directory is
// configured, so the chat commands write nothing.
struct RecordingPlugin {
  std::atomic<int32_t> host_kind{lanfeng::kDrHost};
  lanfeng::DrBinding dr{[](const char* name) -> void* {
    const std::string api = name;
    if (api == "Api_OutPutLog") return reinterpret_cast<void*>(&RecordLog);
    if (api == "Api_SendMsg") return reinterpret_cast<void*>(&RecordSend);
    if (api == "Api_GetQQtoUid") return reinterpret_cast<void*>(&NoUid);
    return nullptr;
  }};
  lanfeng::XlzBinding xlz;
  lanfeng::DuluBinding dulu;
  lanfeng::HostApi host{host_kind, dr, xlz, dulu};
  lanfeng::PluginPaths paths;
  lanfeng::WatchContext watch{host_kind, host, dr, xlz, dulu, paths};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static RecordingPlugin plugin;
  const std::string hex(reinterpret_cast<const char*>(data), size);
  lanfeng::OnDuluFriendMessage(plugin.watch, hex);
  lanfeng::OnDuluFriendEvent(plugin.host, hex);
  lanfeng::OnDuluGroupEvent(plugin.host, hex);
  return 0;
}
