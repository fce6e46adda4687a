// The permission list of the XiaoLiZi registration answer.
#pragma once

#include <cstddef>

namespace lanfeng {

inline constexpr size_t kXlzPermissionCount = 372;
extern const char* const kXlzPermissionNames[kXlzPermissionCount];

}  // namespace lanfeng
