// Registration: a host introduces itself and receives the plugin's identity
// in its own format. Which registration entry is called tells the plugin
// which host it is in.
#pragma once

#include <cstdint>
#include <string>

#include "host/host_call.h"
#include "shell/identity.h"

namespace lanfeng {

class PluginState;

// Sets PluginDirectory under the host program's directory and creates it
// when it is missing.
void PreparePluginDirectory(PluginState& state);

// The DR host: fills the DR identity, logs two lines and answers the
// tagged description text.
std::string RegisterDr(PluginState& state);

// The XiaoLiZi host: binds to the host's API list, logs two lines and
// answers the registration JSON with the callbacks' addresses and a request
// for every permission.
std::string RegisterXlz(PluginState& state, const std::string& api_list, const std::string& key,
                        const XlzCallbacks& callbacks);

// The dulu host: fills the dulu identity, loads the host's API table from
// the supplier function, logs two lines and answers the hex text of the
// serialized identity map.
std::string RegisterDulu(PluginState& state, HostAddress supplier);

// Shows an internal fault of the plugin to the owner: a message box under
// the XiaoLiZi host, nothing under the others.
void ReportFault(PluginState& state, int32_t code, const std::string& message);

}  // namespace lanfeng
