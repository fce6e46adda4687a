#include "net/notice.h"

#include <algorithm>

#include "net/encoding.h"
#include "net/http_request.h"
#include "net/http_text.h"
#include "platform/platform.h"

// The scheme and host of the maker's notice server; CMake passes the cache
// variable of the same name.
#ifndef LANFENG_NOTICE_BASE_URL
#error "LANFENG_NOTICE_BASE_URL must be defined by the build"
#endif

namespace lanfeng {
namespace {

constexpr char kNoticePath[] = "/2.php";

// Every "<br>" (any letter case, found as whole characters) turned into a
// line break.
std::string BreakLines(const std::string& text) {
  static const std::string kTag = "<br>";
  std::string lines;
  size_t begin = 0;
  for (size_t found; (found = FindText(text, kTag, begin, true)) != std::string::npos;) {
    lines.append(text, begin, found - begin).append("\r\n");
    begin = found + kTag.size();
  }
  return lines.append(text, begin, std::string::npos);
}

}  // namespace

std::string NoticeUrl() {
  const std::string setting = EnvironmentSetting(kNoticeUrlSetting);
  if (!setting.empty()) return setting;
  std::string base = LANFENG_NOTICE_BASE_URL;
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base + kNoticePath;
}

std::string FetchNotice() {
  std::string text = ConvertEncoding(HttpRequest(NoticeUrl()), "UTF-8", "GBK");
  text.resize(std::min(text.size(), text.find('\0')));
  return BreakLines(text);
}

}  // namespace lanfeng
