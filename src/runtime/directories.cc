#include "runtime/directories.h"

#include <cctype>

#include "platform/platform.h"
#include "runtime/gbk_text.h"

namespace lanfeng {

bool DirectoryExists(const std::string& path) {
  return !path.empty() && CurrentPlatform().IsDirectory(path);
}

bool EnsureDirectory(const std::string& path) {
  Platform& platform = CurrentPlatform();
  int separators = 0;
  bool ends_with_separator = false;
  size_t pos = 0;
  while (pos < path.size()) {
    size_t length = GbkCharLength(path, pos);
    ends_with_separator = length == 1 && path[pos] == '\\';
    if (ends_with_separator) {
      if (separators > 0) platform.CreateDirectory(path.substr(0, pos));
      ++separators;
    }
    pos += length;
  }
  if (!path.empty() && !ends_with_separator) platform.CreateDirectory(path);
  return DirectoryExists(path);
}

bool IsAbsolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '\\') return true;
  return path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]));
}

}  // namespace lanfeng
