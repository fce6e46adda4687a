// What the emulator's Windows window driver tells besides window_driver.h:
// the message boxes it pressed OK on.
#pragma once

#include <string>
#include <vector>

namespace hostsim {

// The texts (GBK) of the plugin's message boxes ("信息：") that the driver
// dismissed since the last call, oldest first. Each is also written to
// standard error as the Linux platform writes a message box.
std::vector<std::string> TakeDismissedMessageBoxes();

}  // namespace hostsim
