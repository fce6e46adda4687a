#include "net/http_text.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "runtime/gbk_text.h"

namespace lanfeng {
namespace {

constexpr char kHttpScheme[] = "http://";
constexpr char kHttpsScheme[] = "https://";
constexpr int kPortCap = 1000000;

char LowerChar(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
char UpperChar(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Whether `needle` occurs at text[pos], compared character by character:
// single-byte characters with case folded when asked, double-byte ones exactly.
bool MatchesAt(const std::string& text, size_t pos, const std::string& needle, bool ignore_case) {
  if (text.size() - pos < needle.size()) return false;
  for (size_t i = 0; i < needle.size();) {
    const size_t length = GbkCharLength(needle, i);
    if (length == 1) {
      const char a = text[pos + i], b = needle[i];
      if (ignore_case ? LowerChar(a) != LowerChar(b) : a != b) return false;
    } else if (text.compare(pos + i, length, needle, i, length) != 0) {
      return false;
    }
    i += length;
  }
  return true;
}

bool StartsWithIgnoreCase(const std::string& text, const std::string& prefix) {
  return MatchesAt(text, 0, prefix, true);
}

// The length of the "http://" or "https://" in front of url, or 0.
size_t SchemeLength(const std::string& url) {
  if (StartsWithIgnoreCase(url, kHttpsScheme)) return sizeof kHttpsScheme - 1;
  if (StartsWithIgnoreCase(url, kHttpScheme)) return sizeof kHttpScheme - 1;
  return 0;
}

// The host with its port, lower-cased: from the scheme to the first "/" or "?".
std::string UrlAuthority(const std::string& url) {
  std::string text = LowerAscii(url);
  if (text.empty() || text.back() != '/') text += '/';
  std::string authority;
  if (StartsWithIgnoreCase(text, kHttpsScheme)) {
    authority = TextBetween(text, kHttpsScheme, "/");
  } else {
    if (!StartsWithIgnoreCase(text, kHttpScheme)) text = kHttpScheme + text;
    authority = TextBetween(text, kHttpScheme, "/");
  }
  const size_t query = FindGbkChar(authority, '?');
  if (query != std::string::npos) authority.resize(query);
  return authority;
}

// Where the port's ":" is in an authority ("host:port", "[v6]:port"), or npos.
size_t PortColon(const std::string& authority) {
  size_t after_host = 0;
  if (!authority.empty() && authority[0] == '[') {
    const size_t bracket = FindGbkChar(authority, ']');
    if (bracket == std::string::npos) return std::string::npos;
    after_host = bracket + 1;
  }
  return FindGbkChar(authority, ':', after_host);
}

// The leading decimal digits of text as a number, 0 when there are none.
int LeadingNumber(const std::string& text, size_t pos) {
  int value = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    value = std::min(kPortCap, value * 10 + (text[pos] - '0'));
  }
  return value;
}

// A header name with the first letter of each "-"-separated part capitalized.
std::string CapitalizeHeaderName(std::string name) {
  bool part_start = true;
  for (char& c : name) {
    if (part_start) c = UpperChar(c);
    part_start = c == '-';
  }
  return name;
}

// A cookie's name: the text before its first "=", trimmed.
std::string CookieName(const std::string& cookie) {
  return TrimBlanks(cookie.substr(0, cookie.find('=')));
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Trimmed cookie text split at "; ", without empty pieces.
std::vector<std::string> SplitCookies(const std::string& cookies) {
  std::string text = TrimBlanks(cookies);
  if (EndsWith(text, ";")) text += ' ';
  std::vector<std::string> pieces = SplitText(text, "; ");
  pieces.erase(std::remove_if(pieces.begin(), pieces.end(),
                              [](const std::string& piece) { return TrimBlanks(piece).empty(); }),
               pieces.end());
  return pieces;
}

std::string Join(const std::vector<std::string>& pieces, const std::string& separator) {
  std::string joined;
  for (const std::string& piece : pieces) {
    if (!joined.empty()) joined += separator;
    joined += piece;
  }
  return joined;
}

}  // namespace

size_t FindText(const std::string& text, const std::string& needle, size_t from, bool ignore_case) {
  for (size_t pos = from; pos <= text.size(); pos += GbkCharLength(text, pos)) {
    if (MatchesAt(text, pos, needle, ignore_case)) return pos;
    if (pos == text.size()) break;
  }
  return std::string::npos;
}

std::string LowerAscii(const std::string& text) {
  std::string lower = text;
  for (size_t pos = 0; pos < lower.size(); pos += GbkCharLength(lower, pos)) {
    if (GbkCharLength(lower, pos) == 1) lower[pos] = LowerChar(lower[pos]);
  }
  return lower;
}

std::vector<std::string> SplitText(const std::string& text, const std::string& separator) {
  std::vector<std::string> pieces;
  if (text.empty() || separator.empty()) {
    if (!text.empty()) pieces.push_back(text);
    return pieces;
  }
  size_t begin = 0;
  for (size_t found; (found = FindText(text, separator, begin)) != std::string::npos;) {
    pieces.push_back(text.substr(begin, found - begin));
    begin = found + separator.size();
  }
  pieces.push_back(text.substr(begin));
  return pieces;
}

std::optional<std::string> HeaderValue(const std::string& headers, const std::string& name) {
  for (const std::string& line : SplitText(headers, "\r\n")) {
    const size_t colon = line.find(':');
    if (colon != std::string::npos && EqualsIgnoreCase(TrimBlanks(line.substr(0, colon)), name)) {
      return TrimBlanks(line.substr(colon + 1));
    }
  }
  return std::nullopt;
}

std::string NormalizeHeaderNames(const std::string& headers) {
  std::vector<std::string> lines;
  for (const std::string& line : SplitText(headers, "\r\n")) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    lines.push_back(CapitalizeHeaderName(line.substr(0, colon)) + line.substr(colon));
  }
  return Join(lines, "\r\n");
}

std::string TextBetween(const std::string& text, const std::string& left, const std::string& right,
                        size_t start, bool ignore_case) {
  const std::string quote = "\"";
  const std::string left_marker = ReplaceAll(left, "#引号", quote);
  const std::string right_marker = ReplaceAll(right, "#引号", quote);
  if (start > text.size()) return "";
  const size_t found = FindText(text, left_marker, start, ignore_case);
  if (found == std::string::npos) return "";
  const size_t begin = found + left_marker.size();
  const size_t end = FindText(text, right_marker, begin, ignore_case);
  if (end == std::string::npos) return "";
  return text.substr(begin, end - begin);
}

std::string UrlHost(const std::string& url, bool keep_port) {
  std::string authority = UrlAuthority(url);
  if (!keep_port) {
    const size_t colon = PortColon(authority);
    if (colon != std::string::npos) authority.resize(colon);
  }
  return authority;
}

int UrlPort(const std::string& url) {
  const std::string authority = UrlAuthority(url);
  const size_t colon = PortColon(authority);
  if (colon != std::string::npos) return LeadingNumber(authority, colon + 1);
  return StartsWithIgnoreCase(url, kHttpsScheme) ? 443 : 80;
}

std::string UrlPath(const std::string& url) {
  const size_t scheme = SchemeLength(url);
  size_t host = FindText(url, UrlHost(url), scheme, true);
  if (host == std::string::npos) host = scheme;
  for (size_t pos = host; pos < url.size(); pos += GbkCharLength(url, pos)) {
    if (url[pos] == '/') return url.substr(pos);
    if (url[pos] == '?') return "/" + url.substr(pos);
  }
  return "/";
}

std::string ExtractSetCookies(const std::vector<std::string>& header_lines) {
  constexpr size_t kValueStart = sizeof "set-cookie:" - 1;
  std::vector<std::string> cookies;
  for (const std::string& line : header_lines) {
    if (!StartsWithIgnoreCase(line, "set-cookie:")) continue;
    const size_t semicolon = line.find(';', kValueStart);
    if (semicolon == std::string::npos) continue;
    std::string cookie = TrimBlanks(line.substr(kValueStart, semicolon - kValueStart));
    if (!cookie.empty()) cookies.push_back(std::move(cookie));
  }
  return Join(cookies, "; ");
}

std::string MergeCookies(const std::string& old_cookies, const std::string& new_cookies) {
  std::vector<std::string> merged = SplitCookies(new_cookies);
  for (const std::string& cookie : SplitCookies(old_cookies)) {
    const std::string name = CookieName(cookie);
    const auto same_name = [&name](const std::string& other) { return CookieName(other) == name; };
    if (std::none_of(merged.begin(), merged.end(), same_name)) merged.push_back(cookie);
  }
  std::vector<std::string> kept;
  for (const std::string& cookie : merged) {
    if (EndsWith(cookie, "=deleted")) continue;
    if (std::find(kept.begin(), kept.end(), cookie) == kept.end()) kept.push_back(cookie);
  }
  return Join(kept, "; ");
}

bool IsUsableUrlHost(const std::string& host) {
  if (host.empty()) return false;
  for (const char c : host) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F || std::strchr("/?#@\\", c) != nullptr) return false;
  }
  return true;
}

std::string PercentEncodePath(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (const char c : path) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte > 0x20 && byte < 0x7F) {
      encoded += c;
    } else {
      encoded += {'%', kHex[byte >> 4], kHex[byte & 0xF]};
    }
  }
  return encoded;
}

}  // namespace lanfeng
