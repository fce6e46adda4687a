# Cross-building the plugin into a 32-bit Windows DLL with Debian's mingw-w64
# (g++-mingw-w64-i686). The posix-threads variant of the compiler is used:
# its libstdc++ has std::thread, std::mutex and std::condition_variable
# (the win32 variant of GCC 12 has none of them).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(LANFENG_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${LANFENG_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LANFENG_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${LANFENG_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${LANFENG_MINGW_TRIPLE}-objdump)

# SSE2 (every processor since the Pentium 4; Windows 8 requires it) with
# SSE arithmetic, so doubles round as in the 64-bit Linux build. A host may
# call in on a stack aligned to 4 bytes only: functions that need more
# realign it themselves.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse -mstackrealign")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse -mstackrealign")

# Headers and libraries come from the cross environment only; programs
# (iconv, objdump) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${LANFENG_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The hosts load one file: libgcc, libstdc++ and winpthread are linked into
# it (-static makes the linker take libwinpthread.a over its import library),
# so the DLL imports nothing but the system's own libraries, whose import
# libraries are archives too.
set(LANFENG_MINGW_STATIC_RUNTIME "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${LANFENG_MINGW_STATIC_RUNTIME}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${LANFENG_MINGW_STATIC_RUNTIME}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${LANFENG_MINGW_STATIC_RUNTIME}")
