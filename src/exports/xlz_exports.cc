// Entry points of the XiaoLiZi host.
#include <cstdint>

#include "exports/entry.h"
#include "shell/plugin_state.h"

using lanfeng::Guarded;
using lanfeng::Plugin;

LANFENG_EXPORT int32_t HOST_CALL _AppStart() {
  return Guarded(0, [] {
    Plugin().Enable();
    return 0;
  });
}

LANFENG_EXPORT int32_t HOST_CALL _AppEnd() {
  return Guarded(0, [] {
    Plugin().Disable();
    return 0;
  });
}

// An unload notice: nothing is torn down until the library itself goes.
LANFENG_EXPORT int32_t HOST_CALL _AppUnload() { return 0; }
