// Chat events as each host delivers them: the XiaoLiZi records, the dulu
// hex records, the DR argument lists. Texts are typed in UTF-8 and reach the
// plugin in GBK.
#pragma once

#include <cstdint>
#include <string>

#include "hosts.h"
#include "plugin_library.h"

namespace hostsim {

// A private message from sender to robot; describes what was called.
std::string DeliverPrivateMessage(const PluginLibrary& plugin, HostKind kind, int64_t robot,
                                  int64_t sender, const std::string& text);
// A friend or group event of the host's own kind code.
std::string DeliverEvent(const PluginLibrary& plugin, HostKind kind, int32_t code, int64_t robot,
                         int64_t group, int64_t actor, int64_t target);
// A login prompt of kind with the host's text.
std::string DeliverLoginPrompt(const PluginLibrary& plugin, HostKind kind, int32_t prompt,
                               const std::string& text);

}  // namespace hostsim
