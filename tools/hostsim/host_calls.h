// What the emulated hosts were asked to do: every host function the plugin
// calls is recorded as one line "function|argument|argument...", in GBK as
// the plugin passed it, and may be shown as it happens.
#pragma once

#include <string>
#include <vector>

namespace hostsim {

// Records one call.
void RecordCall(const std::string& function, const std::vector<std::string>& arguments);
// The calls recorded so far, which are then forgotten.
std::vector<std::string> TakeCalls();
// Called with each call as it is recorded (null: nothing).
using CallPrinter = void (*)(const std::string& function, const std::string& arguments);
void SetCallPrinter(CallPrinter printer);

// A text argument as recorded: "(null)" for a null pointer.
std::string TextArg(const char* text);

}  // namespace hostsim
