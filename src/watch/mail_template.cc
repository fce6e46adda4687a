#include "watch/mail_template.h"

#include "runtime/gbk_text.h"
#include "watch/config.h"

namespace lanfeng {
namespace {

// Replaces every occurrence of `from` that starts on a character boundary,
// comparing ASCII letters without regard to case.
std::string ReplaceIgnoringCase(const std::string& text, const std::string& from,
                                const std::string& to) {
  std::string result;
  size_t pos = 0;
  while (pos < text.size()) {
    if (pos + from.size() <= text.size() && EqualsIgnoreCase(text.substr(pos, from.size()), from)) {
      result += to;
      pos += from.size();
    } else {
      size_t length = GbkCharLength(text, pos);
      result.append(text, pos, length);
      pos += length;
    }
  }
  return result;
}

}  // namespace

std::string DateTimeText(const CivilTime& time) {
  std::string text = std::to_string(time.year) + "年" + std::to_string(time.month) + "月" +
                     std::to_string(time.day) + "日";
  if (time.second != 0) {
    return text + std::to_string(time.hour) + "时" + std::to_string(time.minute) + "分" +
           std::to_string(time.second) + "秒";
  }
  if (time.minute != 0) return text + std::to_string(time.hour) + "时" + std::to_string(time.minute) + "分";
  if (time.hour != 0) return text + std::to_string(time.hour) + "时";
  return text;
}

std::string ExpandTemplate(const std::string& mail_template, const std::string& account) {
  if (mail_template.empty()) return "";
  std::string body = ReplaceIgnoringCase(mail_template, kLineBreakMarker, "<br>");
  body = ReplaceIgnoringCase(body, "\r\n", "<br>");
  body = ReplaceIgnoringCase(body, kTimePlaceholder, DateTimeText(CurrentPlatform().LocalNow()));
  return ReplaceIgnoringCase(body, kAccountPlaceholder, account);
}

}  // namespace lanfeng
