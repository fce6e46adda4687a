// HttpRequest: one blocking HTTP or HTTPS exchange, answered by the response
// body.
//
// It completes the caller's headers with browser-like defaults, takes the
// user agent from them, goes through an HTTP or SOCKS proxy when given one,
// ignores certificate problems (an unknown issuer, another host name, an
// expired date), follows redirects unless told not to, and hands back the raw response headers and
// the cookies the server set, merged into the caller's when asked.
//
// Every exchange has a connect and a total time limit (10 s and 30 s, or the
// environment setting LANFENG_HTTP_TIMEOUT_MS for connecting and three times
// as much in all), so a dead or silent server ends in an empty result on the
// calling thread, never a hang. The call keeps nothing between calls and
// may run on any number of threads at once. Nothing throws.
#pragma once

#include <optional>
#include <string>

namespace lanfeng {

// The environment setting of the time limits (milliseconds, native text).
inline constexpr char kHttpTimeoutSetting[] = "LANFENG_HTTP_TIMEOUT_MS";

struct HttpOptions {
  // 0 GET, 1 POST, 2 HEAD, 3 PUT, 4 OPTIONS, 5 DELETE, 6 TRACE, 7 CONNECT;
  // any other value is GET. A GET never carries a body.
  int method = 0;
  // The body as text, sent when body_bytes is empty.
  std::string body_text;
  // Cookies to send ("a=1; b=2", or a whole "Cookie: ..." line). Given, even
  // empty, they replace the cookies the exchange would otherwise keep across
  // its redirects.
  std::optional<std::string> request_cookies;
  // Request header lines separated by "\r\n".
  std::string extra_headers;
  bool no_redirect = false;
  // The body as bytes; takes precedence over body_text.
  std::string body_bytes;
  // "host:port"; empty for a direct connection.
  std::string proxy;
  // The proxy is a SOCKS5 proxy (host names resolved by the proxy) rather
  // than an HTTP one.
  bool socks_proxy = false;
  // Merge the response's cookies into request_cookies (when given).
  bool merge_cookies = true;
  // Add Accept, Referer, Accept-Language and, for POST, Content-Type lines
  // that extra_headers lacks.
  bool add_default_headers = true;
  // Capitalize the extra headers' names first (see NormalizeHeaderNames).
  bool normalize_header_names = true;
};

// What the response said besides its body.
struct HttpResponseDetails {
  // The final response's status line and header lines, each ending in
  // "\r\n", followed by the empty line.
  std::string headers;
  // The cookies it set ("b=3; c=4"), merged as HttpOptions says.
  std::string cookies;
};

// Performs the exchange and returns the response body, also when the status
// is an error. When the exchange cannot be completed (a bad URL, no
// connection, a time limit, a broken transfer) the result is empty and
// *details is left as it was.
std::string HttpRequest(const std::string& url, const HttpOptions& options = HttpOptions(),
                        HttpResponseDetails* details = nullptr);

}  // namespace lanfeng
