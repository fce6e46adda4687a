// Fuzzes the HTTP client's text routines: URLs, header lines and cookies of
// any shape, as a server, a proxy or a caller might hand them over.
//
// Input: one byte of flags, then up to three NUL-separated texts a, b and c.
// a is taken as a URL, a header block, a response header block and a text to
// search; b and c as markers and as old and new cookies.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/http_text.h"

namespace lanfeng {
namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// The NUL-separated texts of the input (at most three; missing ones empty).
std::vector<std::string> Texts(const std::string& input) {
  std::vector<std::string> texts;
  size_t begin = 0;
  while (texts.size() < 2) {
    const size_t end = input.find('\0', begin);
    if (end == std::string::npos) break;
    texts.push_back(input.substr(begin, end - begin));
    begin = end + 1;
  }
  texts.push_back(input.substr(std::min(begin, input.size())));
  texts.resize(3);
  return texts;
}

void FuzzUrl(const std::string& url) {
  const std::string host = UrlHost(url);
  const std::string authority = UrlHost(url, true);
  Check(authority.compare(0, host.size(), host) == 0);
  const int port = UrlPort(url);
  Check(port >= 0 && port <= 1000000);
  const std::string path = UrlPath(url);
  Check(!path.empty() && path[0] == '/');
  Check(path.size() <= url.size() + 1);
}

void FuzzHeaders(const std::string& headers, const std::string& name) {
  const std::string normalized = NormalizeHeaderNames(headers);
  Check(normalized.size() <= headers.size());
  Check(NormalizeHeaderNames(normalized) == normalized);
  for (const std::string& line : SplitText(normalized, "\r\n")) {
    Check(line.find(':') != std::string::npos);
  }
  const auto value = HeaderValue(headers, name);
  Check(!value || value->size() <= headers.size());
  const std::string cookies = ExtractSetCookies(SplitText(headers, "\r\n"));
  Check(cookies.size() <= headers.size());
}

void FuzzTextBetween(const std::string& text, const std::string& left, const std::string& right,
                     uint8_t flags) {
  const size_t start = flags & 0x40 ? text.size() / 2 : 0;
  const std::string between = TextBetween(text, left, right, start, flags & 0x80);
  Check(between.size() <= text.size());
  Check(between.empty() || text.find(between) != std::string::npos);
  const size_t found = FindText(text, left, start, flags & 0x80);
  Check(found == std::string::npos || (found >= start && found + left.size() <= text.size()));
}

bool IsAscii(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; });
}

// None of the merged cookies was deleted, and they are distinct. (Split
// again, they are the pieces that were joined only in ASCII: a stray GBK lead
// byte before "; " joins the ";" to it.)
void FuzzCookies(const std::string& old_cookies, const std::string& new_cookies) {
  const std::string merged = MergeCookies(old_cookies, new_cookies);
  if (!IsAscii(merged)) return;
  std::vector<std::string> pieces = SplitText(merged, "; ");
  for (const std::string& piece : pieces) {
    Check(piece.size() < 8 || piece.compare(piece.size() - 8, 8, "=deleted") != 0);
  }
  std::sort(pieces.begin(), pieces.end());
  Check(std::adjacent_find(pieces.begin(), pieces.end()) == pieces.end());
}

}  // namespace
}  // namespace lanfeng

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace lanfeng;
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  const std::vector<std::string> texts =
      Texts(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
  const std::string& a = texts[0];
  const std::string& b = texts[1];
  const std::string& c = texts[2];

  FuzzUrl(a);
  FuzzUrl(b + a);
  FuzzHeaders(a, b);
  FuzzTextBetween(a, b, c, flags);
  FuzzCookies(b, c);
  FuzzCookies(a, ExtractSetCookies(SplitText(a, "\r\n")));
  return 0;
}
