// Mail bodies from the owner's templates.
#pragma once

#include <string>

#include "platform/platform.h"

namespace lanfeng {

// The placeholders of a mail template.
inline constexpr char kAccountPlaceholder[] = "【账号号码】";
inline constexpr char kTimePlaceholder[] = "【现行时间】";

// A local date and time as the mails write it: 2024年3月5日14时7分9秒, with
// trailing zero parts left out (2024年3月5日14时7分, 2024年3月5日14时,
// 2024年3月5日).
std::string DateTimeText(const CivilTime& time);

// The HTML body of a template: "【换行】" and CR LF become "<br>", then
// "【现行时间】" the current local time and "【账号号码】" the account, in that
// order, each matched whole-character and without regard to letter case.
std::string ExpandTemplate(const std::string& mail_template, const std::string& account);

}  // namespace lanfeng
