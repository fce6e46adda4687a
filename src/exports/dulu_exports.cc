// Entry points of the dulu host.
#include <cstdint>

#include "exports/entry.h"
#include "shell/plugin_state.h"

using lanfeng::Guarded;
using lanfeng::Plugin;

// Registration: the host hands over the address of the function that
// supplies its API table and gets the identity map's hex text.
LANFENG_EXPORT const char* HOST_CALL Init_DuLu(lanfeng::HostAddress supplier) {
  return Guarded<const char*>("", [supplier] {
    return Plugin().texts.dulu_init.Keep(lanfeng::RegisterDulu(Plugin(), supplier));
  });
}

LANFENG_EXPORT int32_t HOST_CALL _启用() {
  return Guarded(1, [] {
    Plugin().Enable();
    return 1;
  });
}

// The dulu host takes no answer from these two.
LANFENG_EXPORT void HOST_CALL _禁用() {
  Guarded([] { Plugin().Disable(); });
}

LANFENG_EXPORT void HOST_CALL _卸载() {}
