// The dulu host as the emulator plays it: its API functions, handed to the
// plugin as a serialized name-to-address table by a supplier function.
#pragma once

#include <cstdint>
#include <string>

namespace hostsim {

// The address of the supplier function Init_DuLu receives.
intptr_t DuluApiSupplier();

// The identity map of an Init_DuLu answer (hex text), as "key=value" lines
// (GBK); a note when it does not decode.
std::string DescribeDuluIdentity(const std::string& hex);

// The answer of "取框架QQ" (GBK JSON) and the status byte "账号_删除" answers.
void SetDuluAccountList(const std::string& json);
void SetDuluDeleteStatus(int status);

}  // namespace hostsim
