// How the emulator sees and drives the plugin's windows. Where windows have
// no screen (Linux) it goes through the plugin's headless entry points;
// on Windows it finds the real windows and controls and sends them the
// messages a person's clicks and keys would.
#pragma once

#include <string>

#include "plugin_library.h"

namespace hostsim {

// Every open window of the plugin with its controls and their contents,
// one per line (GBK).
std::string DescribeWindows(const PluginLibrary& plugin);

// Drives a control of the open window named `window` (its layout name:
// "NoticeWindow", "SettingsWindow"): "type" puts text (GBK) into an edit
// box, "tick" sets a check box ("1" ticks it), "click" clicks a button,
// "close" closes the window with its title-bar button. `control` is the
// control's layout name (GBK). True when the window and control exist.
bool DriveWindowControl(const PluginLibrary& plugin, const std::string& action,
                        const std::string& window, const std::string& control,
                        const std::string& text);

// Waits `seconds` of real time while the windows of this thread
// handle their messages (the emulator's waits go through it; where windows
// are headless it only sleeps).
void WaitHandlingWindows(double seconds);

}  // namespace hostsim
