// GBK <-> UTF-8 for the emulator's console.
#pragma once

#include <string>

namespace hostsim {

// GBK from the plugin to UTF-8 for people; bytes that are not GBK as \xNN.
std::string FromGbk(const std::string& gbk);
// UTF-8 typed by people to GBK for the plugin; unconvertible text unchanged.
std::string ToGbk(const std::string& utf8);

}  // namespace hostsim
