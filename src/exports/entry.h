// What every exported entry point shares: its linkage and calling
// convention, and the guard that keeps every fault inside the plugin.
#pragma once

#include <exception>
#include <string>

#include "host/host_call.h"
#include "shell/plugin_state.h"
#include "shell/registration.h"

#if defined(_WIN32)
#define LANFENG_EXPORT extern "C"
#else
#define LANFENG_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace lanfeng {

// Fault codes of the fault report.
inline constexpr int32_t kFaultException = 1;
inline constexpr int32_t kFaultUnknown = 2;

// Reports a fault caught at an entry point's edge; never throws.
inline void ReportCaughtFault(int32_t code, const char* message) noexcept {
  try {
    ReportFault(Plugin(), code, message);
  } catch (...) {
  }
}

// Runs body and returns its result; a fault inside it is reported (under
// the XiaoLiZi host, in a message box) and gives fallback. Nothing
// propagates into the host.
template <typename Result, typename Body>
Result Guarded(Result fallback, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& fault) {
    ReportCaughtFault(kFaultException, fault.what());
  } catch (...) {
    ReportCaughtFault(kFaultUnknown, "unknown fault");
  }
  return fallback;
}

template <typename Body>
void Guarded(Body&& body) noexcept {
  Guarded(0, [&body] {
    body();
    return 0;
  });
}

}  // namespace lanfeng
