#include "plugin_library.h"

#include <dirent.h>
#include <dlfcn.h>

namespace hostsim {

bool PluginLibrary::Load(const std::string& path, std::string* error) {
  if (handle_) return true;
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    *error = dlerror();
    return false;
  }
  path_ = path;
  return true;
}

bool PluginLibrary::Unload() {
  if (!handle_) return true;
  dlclose(handle_);
  handle_ = nullptr;
  void* still = dlopen(path_.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (still) {
    dlclose(still);
    return false;
  }
  return true;
}

void* PluginLibrary::Find(const char* name) const { return handle_ ? dlsym(handle_, name) : nullptr; }

int ThreadCount() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
  }
  return count;
}

}  // namespace hostsim
