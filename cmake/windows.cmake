# The Windows build: one 32-bit DLL that imports only the system's own
# libraries (toolchain: cmake/mingw-i686.cmake, preset "mingw").
#
# The same sources as on Linux, with the Linux-only backends swapped for the
# Windows ones that sit in win32/ folders beside them.

# RapidJSON is header-only and comes from the build machine's Debian package.
# Only its own folder is put on the include path: /usr/include as a whole
# would hide the mingw-w64 headers behind glibc's.
find_path(LANFENG_HOST_RAPIDJSON_DIR rapidjson/document.h
  PATHS /usr/include /usr/local/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(RAPIDJSON_INCLUDE_DIR ${CMAKE_BINARY_DIR}/rapidjson-include)
file(MAKE_DIRECTORY ${RAPIDJSON_INCLUDE_DIR})
file(CREATE_LINK ${LANFENG_HOST_RAPIDJSON_DIR}/rapidjson ${RAPIDJSON_INCLUDE_DIR}/rapidjson SYMBOLIC)

# The Windows checks are CTest tests whatever LANFENG_TESTS says (that
# option is about the GoogleTest suites, which are not cross-built).
enable_testing()

# Windows 7 is the oldest system the DLL targets; <windows.h> comes without
# its rarely used parts and without the min and max macros.
add_compile_definitions(_WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)

# Sources of the Linux build that have a Windows counterpart (or stand-in)
# under a win32/ folder: the POSIX platform (platform/win32/), the task queue
# (its Windows twin waits on the thread's messages too), libcurl, OpenSSL's
# TLS stream, glibc's iconv and the headless windows (owner/win32/ draws real ones).
set(LANFENG_LINUX_ONLY_SOURCES
  "/platform/posix/|/platform/task_queue\\.cc$|/net/http_transport_curl\\.cc$|/net/tls_stream_openssl\\.cc$|/net/encoding\\.cc$|/owner/window_headless\\.cc$")

# System libraries the Windows backends call.
set(LANFENG_WINDOWS_SYSTEM_LIBRARIES user32 gdi32 bcrypt ws2_32 secur32 crypt32 wininet)

set(LANFENG_WINDOWS_EXPORTS ${PROJECT_SOURCE_DIR}/src/exports/exports.list)

# Makes `target` the plugin DLL the hosts load: lanfeng.dll, exporting the
# names of src/exports/exports.list (GBK) through a module-definition file made at build
# time, and nothing else.
function(lanfeng_windows_dll target)
  set(def ${CMAKE_CURRENT_BINARY_DIR}/lanfeng.def)
  add_custom_command(
    OUTPUT ${def}
    COMMAND sh ${PROJECT_SOURCE_DIR}/cmake/make-exports-def.sh ${LANFENG_WINDOWS_EXPORTS} ${def}
    DEPENDS ${LANFENG_WINDOWS_EXPORTS} ${PROJECT_SOURCE_DIR}/cmake/make-exports-def.sh
    COMMENT "Writing the module-definition file with the GBK export names"
    VERBATIM)
  target_sources(${target} PRIVATE ${def})
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME lanfeng)
  # Shipped stripped: the symbols are a third of the file and no user needs them.
  target_link_options(${target} PRIVATE -Wl,--no-undefined -s)
endfunction()

# What the Windows build checks: the DLL's imports and exports, and (with
# Wine) the Windows test programs.
function(lanfeng_windows_checks)
  add_test(NAME dll_imports_and_exports
           COMMAND ${PROJECT_SOURCE_DIR}/tools/check-dll-imports $<TARGET_FILE:lanfeng>
                   ${LANFENG_WINDOWS_EXPORTS})
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/windows ${CMAKE_BINARY_DIR}/tests/windows)
endfunction()
