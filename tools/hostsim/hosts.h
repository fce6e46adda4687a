// The three hosts as the emulator plays them: which entry points each one
// calls for each step of the plugin's life, and how it shows what the
// plugin tells it.
#pragma once

#include <string>

#include "plugin_library.h"

namespace hostsim {

enum class HostKind { kDr, kXlz, kDulu };

bool ParseHostKind(const std::string& name, HostKind* kind);
const char* HostName(HostKind kind);

// The entry point names (UTF-8, as exported) a host calls for each step.
struct LifecycleEntries {
  const char* enable;
  const char* disable;
  const char* unload_notice;
};
const LifecycleEntries& EntriesOf(HostKind kind);

// Calls a lifecycle entry point and describes its answer ("answered 0", or
// "no answer" for entry points without one), or says it is missing.
std::string CallEnable(const PluginLibrary& plugin, HostKind kind);
std::string CallDisable(const PluginLibrary& plugin, HostKind kind);
std::string CallUnloadNotice(const PluginLibrary& plugin, HostKind kind);

// Calls the host's registration entry point as that host does and
// describes the answer for people (UTF-8); *answer (when given) gets the
// answer's own bytes.
std::string CallRegister(const PluginLibrary& plugin, HostKind kind, std::string* answer = nullptr);

// Calls the host's settings entry point.
std::string CallSettingsEntry(const PluginLibrary& plugin, HostKind kind);
// Drives a control of an open window: "type" puts text into it ("\n"
// standing for a line break), "tick" sets a check box from "0" or "1",
// "click" clicks it, "close" closes the window.
std::string DriveWindow(const PluginLibrary& plugin, const std::string& action,
                        const std::string& window, const std::string& control,
                        const std::string& text);

// Starts showing the host's log and API calls on standard output.
void ShowHostCalls(HostKind kind);

// True once a line shown since the last line this found (or since the
// start) contains `text` (UTF-8); the search then goes on after that line.
// Only the latest few thousand lines are kept.
bool TakeShownLine(const std::string& text);

}  // namespace hostsim
