// What every exported entry point shares: its linkage and calling
// convention, and the guard that keeps every fault inside the plugin.
#pragma once

#include "host/host_call.h"

#if defined(_WIN32)
#define LANFENG_EXPORT extern "C"
#else
#define LANFENG_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace lanfeng {

// Runs body and returns its result; a fault inside it gives fallback.
// Nothing propagates into the host.
template <typename Result, typename Body>
Result Guarded(Result fallback, Body&& body) {
  try {
    return body();
  } catch (...) {
    return fallback;
  }
}

template <typename Body>
void Guarded(Body&& body) {
  try {
    body();
  } catch (...) {
  }
}

}  // namespace lanfeng
