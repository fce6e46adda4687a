// Where windows have no screen, the host emulator and the tests read and
// drive the plugin's windows through these entry points. The Windows build
// draws real windows and has none of them.
#if !defined(_WIN32)

#include <cstdint>
#include <string>

#include "exports/entry.h"

using lanfeng::Guarded;
using lanfeng::Plugin;

namespace {

std::string Text(const char* text) { return text ? text : ""; }

// Runs action on the open window named window; 0 when there is none.
template <typename Action>
int32_t OnWindow(const char* window, Action action) {
  return Guarded(0, [window, &action] {
    auto found = Plugin().windows.Find(Text(window));
    return found && action(*found) ? 1 : 0;
  });
}

}  // namespace

// Every open window and its controls (GBK), kept until the next call.
LANFENG_EXPORT const char* LanfengHeadless_Describe() {
  return Guarded<const char*>("", [] {
    std::string all;
    for (const auto& window : Plugin().windows.List()) all += window->Describe();
    return Plugin().texts.headless_windows.Keep(all);
  });
}

LANFENG_EXPORT int32_t LanfengHeadless_SetText(const char* window, const char* control,
                                               const char* text) {
  return OnWindow(window, [&](lanfeng::Window& w) {
    if (!w.Has(Text(control))) return false;
    w.SetText(Text(control), Text(text));
    return true;
  });
}

LANFENG_EXPORT int32_t LanfengHeadless_SetChecked(const char* window, const char* control,
                                                  int32_t checked) {
  return OnWindow(window, [&](lanfeng::Window& w) {
    if (!w.Has(Text(control))) return false;
    w.SetChecked(Text(control), checked != 0);
    return true;
  });
}

LANFENG_EXPORT int32_t LanfengHeadless_Click(const char* window, const char* control) {
  return OnWindow(window, [&](lanfeng::Window& w) { return w.Click(Text(control)); });
}

// The window's own close button.
LANFENG_EXPORT int32_t LanfengHeadless_Close(const char* window) {
  return OnWindow(window, [](lanfeng::Window& w) {
    w.Close();
    return true;
  });
}

#endif  // !defined(_WIN32)
