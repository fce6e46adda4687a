// The login prompts some hosts pass to their plugins. The plugin supplies
// nothing through them; a DR lock prompt is noted in the DR log.
#pragma once

#include <cstdint>
#include <string>

#include "host/dr_binding.h"

namespace lanfeng {

// The DR host's prompt of `kind` with the host's message: kind 3 (a lock
// prompt) writes "收到假锁提示 :" + message to the DR log, unprefixed.
// Answers the empty text.
std::string DrGetticket(DrBinding& dr, int32_t kind, const std::string& message);

}  // namespace lanfeng
