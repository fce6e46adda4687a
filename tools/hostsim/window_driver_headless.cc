// The emulator's window driver where windows are headless: the plugin's
// LanfengHeadless_ entry points read and drive them.
#include <chrono>
#include <cstdint>
#include <thread>

#include "window_driver.h"

namespace hostsim {

std::string DescribeWindows(const PluginLibrary& plugin) {
  auto describe = plugin.Entry<const char* (*)()>("LanfengHeadless_Describe");
  return describe ? describe() : "";
}

bool DriveWindowControl(const PluginLibrary& plugin, const std::string& action,
                        const std::string& window, const std::string& control,
                        const std::string& text) {
  int32_t done = 0;
  if (action == "type") {
    auto set = plugin.Entry<int32_t (*)(const char*, const char*, const char*)>("LanfengHeadless_SetText");
    done = set ? set(window.c_str(), control.c_str(), text.c_str()) : 0;
  } else if (action == "tick") {
    auto set = plugin.Entry<int32_t (*)(const char*, const char*, int32_t)>("LanfengHeadless_SetChecked");
    done = set ? set(window.c_str(), control.c_str(), text == "1" ? 1 : 0) : 0;
  } else if (action == "click") {
    auto click = plugin.Entry<int32_t (*)(const char*, const char*)>("LanfengHeadless_Click");
    done = click ? click(window.c_str(), control.c_str()) : 0;
  } else if (action == "close") {
    auto close = plugin.Entry<int32_t (*)(const char*)>("LanfengHeadless_Close");
    done = close ? close(window.c_str()) : 0;
  }
  return done != 0;
}

void WaitHandlingWindows(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

}  // namespace hostsim
