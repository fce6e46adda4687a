// GBK and UTF-8 through the system's code page 936.
#include <windows.h>

#include "text.h"

namespace hostsim {
namespace {

// Re-encodes from one code page to another; false when the input is not
// text in `from` (nothing is dropped silently).
bool Convert(UINT from, UINT to, const std::string& in, std::string* out) {
  out->clear();
  if (in.empty()) return true;
  int wide_length = MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()),
                                        nullptr, 0);
  if (wide_length <= 0) return false;
  std::wstring wide(static_cast<size_t>(wide_length), L'\0');
  MultiByteToWideChar(from, 0, in.data(), static_cast<int>(in.size()), &wide[0], wide_length);
  int length = WideCharToMultiByte(to, 0, wide.data(), wide_length, nullptr, 0, nullptr, nullptr);
  out->assign(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(to, 0, wide.data(), wide_length, &(*out)[0], length, nullptr, nullptr);
  return true;
}

}  // namespace

bool GbkToUtf8(const std::string& gbk, std::string* utf8) { return Convert(936, CP_UTF8, gbk, utf8); }
bool Utf8ToGbk(const std::string& utf8, std::string* gbk) { return Convert(CP_UTF8, 936, utf8, gbk); }

}  // namespace hostsim
