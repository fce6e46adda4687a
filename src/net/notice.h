// FetchNotice: the maker's notice text, fetched afresh on every call.
//
// The notice lives at "/2.php" on the maker's server, whose scheme and host
// are the build setting LANFENG_NOTICE_BASE_URL (a CMake cache variable); the
// environment setting LANFENG_NOTICE_URL, when set, replaces the whole URL
// (tests point it at their own server). The server answers UTF-8 text with
// lines separated by "<br>".
#pragma once

#include <string>

namespace lanfeng {

inline constexpr char kNoticeUrlSetting[] = "LANFENG_NOTICE_URL";

// The URL FetchNotice asks: the environment setting, else the built-in one.
std::string NoticeUrl();

// The notice as GBK text with "\r\n" line breaks ("<br>" in any letter case
// becomes "\r\n"; the text ends at a zero byte; characters GBK lacks are
// dropped). Empty when nothing could be fetched; an error page's body comes
// back like a notice. Blocks the calling thread for at most the HTTP time
// limits (see HttpRequest).
std::string FetchNotice();

}  // namespace lanfeng
