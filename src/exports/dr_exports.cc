// Entry points of the DR host.
#include <cstdint>

#include "exports/entry.h"
#include "owner/login_hooks.h"
#include "shell/event_intake.h"
#include "shell/plugin_state.h"
#include "shell/registration.h"

using lanfeng::Guarded;
using lanfeng::Plugin;

// Registration: the description text, kept until the next call.
LANFENG_EXPORT const char* HOST_CALL Dr_Create() {
  return Guarded<const char*>("", [] {
    return Plugin().texts.dr_create.Keep(lanfeng::RegisterDr(Plugin()));
  });
}

LANFENG_EXPORT int32_t HOST_CALL Dr_Enable() {
  return Guarded(0, [] {
    Plugin().Enable();
    return 0;
  });
}

LANFENG_EXPORT int32_t HOST_CALL Dr_Disable() {
  return Guarded(0, [] {
    Plugin().Disable();
    Plugin().dr.OutPutLog("禁用了插件哦");
    return 0;
  });
}

// The unload notice: the workers stop before the host frees the library.
LANFENG_EXPORT int32_t HOST_CALL Dr_DestroyPlugin() {
  return Guarded(0, [] {
    Plugin().StopWorkersForUnload();
    return 0;
  });
}

// Every DR event is answered 0; none has an effect.
LANFENG_EXPORT int32_t HOST_CALL Dr_Event(const char*, int32_t, int32_t, const char*, const char*,
                                          const char*, const char*, const char*, const char*,
                                          const char*, const char*, int32_t, const char*,
                                          const char*) {
  return 0;
}

// A login prompt: a lock prompt (kind 3) is noted in the DR log.
LANFENG_EXPORT const char* HOST_CALL Dr_Getticket(const char*, int32_t kind, const char* message) {
  return Guarded<const char*>("", [kind, message] {
    return Plugin().texts.dr_getticket.Keep(
        lanfeng::DrGetticket(Plugin().dr, kind, lanfeng::HostText(message)));
  });
}

// The settings entry: the notice window, then the settings window.
LANFENG_EXPORT void HOST_CALL Dr_SetUp() {
  Guarded([] { lanfeng::OpenNoticeWindow(Plugin().owner); });
}
