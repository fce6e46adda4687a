// The emulator's window driver on Windows (first slice: waits pump this
// thread's messages; finding and driving the windows comes next).
#include <windows.h>

#include "window_driver.h"

namespace hostsim {

std::string DescribeWindows(const PluginLibrary&) { return ""; }

bool DriveWindowControl(const PluginLibrary&, const std::string&, const std::string&, const std::string&,
                        const std::string&) {
  return false;
}

void WaitHandlingWindows(double seconds) {
  ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(seconds * 1000);
  for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64()) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
}

}  // namespace hostsim
