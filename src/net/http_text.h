// The text routines of the HTTP client: header names, URLs and cookies.
//
// Pure functions over GBK texts, shared by every transport (libcurl here,
// WinINet in the Windows build). Searches go character by character, so no
// match starts inside a double-byte character, and letter case is folded for
// ASCII letters only. Nothing throws; input of any shape gives some text.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace lanfeng {

// Where `needle` first occurs in `text` at or after `from` as whole
// characters, ASCII letter case folded when ignore_case is set; npos when
// absent. An empty needle is found at `from` (when from <= text.size()).
size_t FindText(const std::string& text, const std::string& needle, size_t from = 0,
                bool ignore_case = false);

// The text with its single-byte ASCII letters lower-cased.
std::string LowerAscii(const std::string& text);

// The pieces of `text` between occurrences of `separator` (non-empty), empty
// pieces included; an empty text gives no pieces.
std::vector<std::string> SplitText(const std::string& text, const std::string& separator);

// The value of the first header line ("\r\n"-separated) named `name` in any
// letter case, trimmed; null when there is no such line.
std::optional<std::string> HeaderValue(const std::string& headers, const std::string& name);

// Rewrites header lines ("\r\n"-separated) so that every "-"-separated part
// of each name begins with a capital: "user-agent: x" is "User-Agent: x",
// "CONTENT-type" is "CONTENT-Type". Lines without ":" are dropped.
std::string NormalizeHeaderNames(const std::string& headers);

// The text between the first `left` at or after byte offset `start` and the
// next `right` after it; empty when either is missing. In both markers every
// "#引号" stands for a double quote.
std::string TextBetween(const std::string& text, const std::string& left, const std::string& right,
                        size_t start = 0, bool ignore_case = false);

// Whether a transport can be handed host in a URL: printable ASCII
// without the characters that would end or re-read the host part.
bool IsUsableUrlHost(const std::string& host);

// The path with blanks, control characters and non-ASCII bytes (GBK)
// percent-encoded, as a browser sends them.
std::string PercentEncodePath(const std::string& path);

// The URL's host, lower-cased, with or without its ":port". The host ends at
// the first "/" or "?" after the scheme; a URL without "http://" or
// "https://" in front is taken as http. An IPv6 literal keeps its brackets.
std::string UrlHost(const std::string& url, bool keep_port = false);

// The URL's explicit port (the digits after the host's ":", 0 when there are
// none), else 443 for "https://" (any letter case) and 80 for anything else.
// Values above 65535 come back as they are, capped at 1000000.
int UrlPort(const std::string& url);

// The path and query after the host, in their own letter case; "/" when
// there is none. A query straight after the host gets a "/" in front.
std::string UrlPath(const std::string& url);

// The "name=value" of every "Set-Cookie:" line (any letter case) that has
// attributes after a ";", joined by "; ". A line without ";" (no attributes)
// or with nothing before it adds nothing.
std::string ExtractSetCookies(const std::vector<std::string>& header_lines);

// The cookies of `new_cookies` followed by those of `old_cookies` whose name
// `new_cookies` lacks, without the ones whose value is "deleted" and without
// exact duplicates, joined by "; ".
std::string MergeCookies(const std::string& old_cookies, const std::string& new_cookies);

}  // namespace lanfeng
