// The plugin library as a host holds it: loaded, asked for entry points by
// name, unloaded.
#pragma once

#include <string>

namespace hostsim {

class PluginLibrary {
 public:
  ~PluginLibrary() { Unload(); }

  bool Load(const std::string& path, std::string* error);
  // Unloads the library; true when it really left the process.
  bool Unload();
  bool loaded() const { return handle_ != nullptr; }

  // The entry point named `name` (UTF-8), or null.
  void* Find(const char* name) const;
  template <typename F>
  F Entry(const char* name) const {
    return reinterpret_cast<F>(Find(name));
  }

 private:
  std::string path_;
  void* handle_ = nullptr;
};

// The number of threads of this process.
int ThreadCount();

}  // namespace hostsim
