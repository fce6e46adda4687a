// Directory checks and creation over Windows-style GBK paths.
#pragma once

#include <string>

namespace lanfeng {

// True when path names an existing directory.
bool DirectoryExists(const std::string& path);

// Creates every missing level of path, walking it character by character: at
// each "\" after the first one, the prefix before it is created; at the end,
// the whole path. The first level (a drive such as "C:") is never created,
// and levels that exist already are left as they are. Returns DirectoryExists
// of the path afterwards.
bool EnsureDirectory(const std::string& path);

// True when path is absolute: it starts with "\" or a drive ("C:").
bool IsAbsolutePath(const std::string& path);

}  // namespace lanfeng
