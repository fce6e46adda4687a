// GBK <-> UTF-8 for the emulator's console.
#pragma once

#include <string>

namespace hostsim {

// GBK from the plugin to UTF-8 for people; bytes that are not GBK as \xNN.
std::string FromGbk(const std::string& gbk);
// UTF-8 typed by people to GBK for the plugin; unconvertible text unchanged.
std::string ToGbk(const std::string& utf8);

// The platform's converters behind them: false when the input is not text
// in its character set.
bool GbkToUtf8(const std::string& gbk, std::string* utf8);
bool Utf8ToGbk(const std::string& utf8, std::string* gbk);

}  // namespace hostsim
