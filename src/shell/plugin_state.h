// The state that lives as long as the library is loaded.
//
// Loading the library makes one PluginState and nothing else happens: no
// host call, no file, no thread. Registration fills the host's part, enable
// starts the workers, and unloading stops and joins them before anything
// else of the state goes away.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "host/dr_binding.h"
#include "host/dulu_binding.h"
#include "host/host_api.h"
#include "host/typed_hash_map.h"
#include "host/xlz_binding.h"
#include "owner/settings_windows.h"
#include "owner/window.h"
#include "shell/text_slot.h"
#include "shell/workers.h"
#include "watch/config.h"
#include "watch/watch_context.h"

namespace lanfeng {

// The plugin's identity as the DR host receives it.
struct DrPluginInfo {
  std::string name, version, author, description, skey, sdk;
};

// The plugin's identity as the dulu host receives it.
struct PluginIdentity {
  std::string name, author, version, latest, description, directory, signature;
};

// The texts the entry points hand to hosts, one slot per entry point.
struct ReturnedTexts {
  TextSlot dr_create, dr_getticket;
  TextSlot xlz_initialize, xlz_get_ticket, xlz_get_phone_code, xlz_plugin_message;
  TextSlot dulu_init, dulu_hijack_friend, dulu_hijack_group;
  TextSlot video_frame, file_download;
  TextSlot headless_windows;  // the emulator's view of the windows
};

// The two passes a worker runs; set by the library (and by tests).
struct WorkerPasses {
  std::function<bool()> poller;
  std::function<bool()> dispatcher;
};

class PluginState {
 public:
  // passes: the workers' passes; fetch_notice: the maker's notice text for
  // the windows (tests give their own or none).
  explicit PluginState(WorkerPasses passes, std::function<std::string()> fetch_notice = nullptr);
  PluginState(const PluginState&) = delete;
  PluginState& operator=(const PluginState&) = delete;
  ~PluginState();

  // Starts the two workers the first time; every call sets both running
  // flags to 1.
  void Enable();
  // Sets the running flags of the poller, then the dispatcher, to 0.
  void Disable();
  // Stops and joins the workers (unload).
  void StopWorkers();
  // The host's unload notice: the workers are stopped and joined now, on the
  // host's thread, before the host frees the library. Joining them later,
  // from the library's own teardown, would wait under the system loader's
  // lock for threads that may need that lock themselves (a first look-up of
  // a host function, a name lookup, thread exit on Windows), and the host
  // would hang. The running flags stay as they are, and a later Enable
  // starts new workers if the host keeps the library after all.
  void StopWorkersForUnload();

  // Host objects, in the order the library makes them. The host API refers
  // to members made after it and uses none of them before registration.
  HostApi host{host_kind, dr, xlz, dulu};
  DuluBinding dulu;  // holds the dulu host's API table, loaded at registration
  XlzBinding xlz;
  DrBinding dr;
  PluginIdentity identity;
  DrPluginInfo dr_info;

  std::atomic<int32_t> host_kind{kNoHost};
  WorkerControl poller;
  WorkerControl dispatcher;
  PluginPaths paths;
  WatchContext watch{host_kind, host, dr, xlz, dulu, paths};
  OpenWindows windows;
  OwnerContext owner;
  std::string application_name;  // for the fault report under XiaoLiZi
  int32_t code_page = 936;       // paths are converted with this code page
  ReturnedTexts texts;

 private:
  WorkerPasses passes_;
  std::mutex enable_mu_;
  bool workers_started_ = false;
  WorkerSet workers_;  // last: stopped and joined first when the state goes
};

// The state of the loaded library.
PluginState& Plugin();

}  // namespace lanfeng
