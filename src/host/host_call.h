// The calling convention of host functions and of our entry points: the
// Windows API convention on 32-bit Windows, the platform's own elsewhere.
#pragma once

#if defined(_WIN32) && !defined(_WIN64)
#define HOST_CALL __stdcall
#else
#define HOST_CALL
#endif
