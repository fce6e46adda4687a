// The one PluginState of the loaded library.
#include "net/notice.h"
#include "shell/plugin_state.h"
#include "watch/dispatcher.h"
#include "watch/poller.h"

namespace lanfeng {
namespace {

// The passes run on the plugin's own state.
bool StatusPollerPass();
bool NotificationDispatcherPass();

// Made when the library is loaded, destroyed when it is unloaded.
PluginState the_plugin(WorkerPasses{StatusPollerPass, NotificationDispatcherPass}, FetchNotice);

bool StatusPollerPass() { return PollPass(the_plugin.watch); }
bool NotificationDispatcherPass() { return DispatchPass(the_plugin.watch); }

}  // namespace

PluginState& Plugin() { return the_plugin; }

}  // namespace lanfeng
