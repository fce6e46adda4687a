#include "text.h"

#include <iconv.h>

#include <cstdio>

namespace hostsim {
namespace {

bool Convert(const char* to, const char* from, const std::string& in, std::string* out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  out->assign(in.size() * 2 + 8, '\0');
  char* src = const_cast<char*>(in.data());
  size_t src_left = in.size();
  char* dst = &(*out)[0];
  size_t dst_left = out->size();
  bool ok = iconv(cd, &src, &src_left, &dst, &dst_left) != static_cast<size_t>(-1);
  iconv_close(cd);
  if (ok) out->resize(out->size() - dst_left);
  return ok;
}

}  // namespace

std::string FromGbk(const std::string& gbk) {
  std::string utf8;
  if (Convert("UTF-8", "GBK", gbk, &utf8)) return utf8;
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
  return Convert("GBK", "UTF-8", utf8, &gbk) ? gbk : utf8;
}

}  // namespace hostsim
