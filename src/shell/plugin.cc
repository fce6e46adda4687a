// The one PluginState of the loaded library.
#include "shell/plugin_state.h"

namespace lanfeng {
namespace {

// The account poll pass of the StatusPoller.
void StatusPollerPass() {}

// The mail pass of the NotificationDispatcher.
void NotificationDispatcherPass() {}

// Made when the library is loaded, destroyed when it is unloaded.
PluginState the_plugin(WorkerPasses{StatusPollerPass, NotificationDispatcherPass});

}  // namespace

PluginState& Plugin() { return the_plugin; }

}  // namespace lanfeng
