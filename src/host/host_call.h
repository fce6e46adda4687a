// The calling convention of host functions and of our entry points: the
// Windows API convention on 32-bit Windows, the platform's own elsewhere.
#pragma once

#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define HOST_CALL __stdcall
#else
#define HOST_CALL
#endif

namespace lanfeng {

// The address of a host function as a host hands it over: pointer-sized, so
// 32 bits under the 32-bit Windows hosts and 64 bits here.
using HostAddress = uintptr_t;

}  // namespace lanfeng
