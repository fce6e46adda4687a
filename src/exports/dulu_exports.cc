// Entry points of the dulu host.
#include <cstdint>

#include "exports/entry.h"
#include "shell/plugin_state.h"

using lanfeng::Guarded;
using lanfeng::Plugin;

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
