// GBK and UTF-8 through glibc's iconv.
#include <iconv.h>

#include "text.h"

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

bool GbkToUtf8(const std::string& gbk, std::string* utf8) { return Convert("UTF-8", "GBK", gbk, utf8); }
bool Utf8ToGbk(const std::string& utf8, std::string* gbk) { return Convert("GBK", "UTF-8", utf8, gbk); }

}  // namespace hostsim
