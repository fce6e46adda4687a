// The plugin library as a Windows host holds it: LoadLibrary, GetProcAddress
// by the GBK spelling of the entry point's name, FreeLibrary.
#include <windows.h>
#include <tlhelp32.h>

#include "plugin_library.h"
#include "text.h"

namespace hostsim {
namespace {

std::wstring Wide(const std::string& utf8) {
  int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], length);
  return wide;
}

// A relative path names a file beside the program, as a host finds its
// plugins in its own folder.
std::wstring BesideProgram(const std::string& path) {
  std::wstring wide = Wide(path);
  bool absolute = wide.size() > 1 && (wide[1] == L':' || (wide[0] == L'\\' && wide[1] == L'\\'));
  if (absolute) return wide;
  wchar_t program[MAX_PATH * 4];
  DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH * 4);
  std::wstring directory(program, length);
  return directory.substr(0, directory.find_last_of(L'\\') + 1) + wide;
}

}  // namespace

bool PluginLibrary::Load(const std::string& path, std::string* error) {
  if (handle_) return true;
  handle_ = LoadLibraryW(BesideProgram(path).c_str());
  if (!handle_) {
    *error = "LoadLibrary failed with error " + std::to_string(GetLastError());
    return false;
  }
  path_ = path;
  return true;
}

bool PluginLibrary::Unload() {
  if (!handle_) return true;
  HMODULE module = static_cast<HMODULE>(handle_);
  FreeLibrary(module);
  handle_ = nullptr;
  // Still mapped when some other reference keeps it (GetModuleHandleEx with
  // the old address would find it).
  HMODULE still = nullptr;
  return !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                             reinterpret_cast<LPCWSTR>(module), &still);
}

void* PluginLibrary::Find(const char* name) const {
  if (!handle_) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), ToGbk(name).c_str()));
}

int ThreadCount() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

}  // namespace hostsim
