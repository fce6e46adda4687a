#include "text.h"

#include <cstdio>

#include "platform/platform.h"

namespace hostsim {

std::string FromGbk(const std::string& gbk) {
  std::string utf8;
  if (lanfeng::GbkToUtf8(gbk, &utf8)) return utf8;
  std::string shown;
  for (unsigned char c : gbk) {
    if (c < 0x80) {
      shown += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      shown += hex;
    }
  }
  return shown;
}

std::string ToGbk(const std::string& utf8) {
  std::string gbk;
  return lanfeng::Utf8ToGbk(utf8, &gbk) ? gbk : utf8;
}

}  // namespace hostsim
