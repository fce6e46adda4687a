#include "net/http_request.h"

#include <cstdlib>
#include <optional>
#include <string>

#include "net/http_exchange.h"
#include "net/http_text.h"
#include "platform/platform.h"
#include "runtime/gbk_text.h"

namespace lanfeng {
namespace {

constexpr char kDefaultUserAgent[] = "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";
constexpr const char* kVerbs[] = {"GET",     "POST",   "HEAD",  "PUT",
                                  "OPTIONS", "DELETE", "TRACE", "CONNECT"};
constexpr int kPostMethod = 1;

constexpr int kDefaultConnectTimeoutMs = 10000;
constexpr int kDefaultTotalTimeoutMs = 30000;
constexpr long kMaxTimeoutSettingMs = 600000;

// The caller's user agent, or the default one. A line break never reaches it.
std::string UserAgent(const std::string& headers) {
  const std::optional<std::string> value = HeaderValue(headers, "User-Agent");
  if (!value) return kDefaultUserAgent;
  return value->substr(0, value->find_first_of("\r\n"));
}

// Completes the headers with the default lines they lack.
std::string AddDefaultHeaders(std::string headers, const std::string& url, bool post) {
  if (headers.empty()) headers = "Accept: */*";
  const auto add = [&headers](const char* name, const std::string& value) {
    if (!HeaderValue(headers, name)) headers += std::string("\r\n") + name + ": " + value;
  };
  add("Accept", "*/*");
  add("Referer", url);
  add("Accept-Language", "zh-cn");
  if (post) add("Content-Type", "application/x-www-form-urlencoded");
  return headers;
}

// The cookies as a header line, unless the caller wrote the line already.
std::string AddCookies(const std::string& headers, const std::string& cookies) {
  if (cookies.empty()) return headers;
  if (cookies.find("Cookie:") != std::string::npos) return headers + "\r\n" + cookies;
  return headers + "\r\nCookie: " + cookies;
}

// The connect and total limits: the setting for connecting and three times
// as much in all, or the defaults when it is unset or out of range.
void ReadTimeouts(HttpExchange* exchange) {
  exchange->connect_timeout_ms = kDefaultConnectTimeoutMs;
  exchange->total_timeout_ms = kDefaultTotalTimeoutMs;
  const std::string setting = EnvironmentSetting(kHttpTimeoutSetting);
  char* end = nullptr;
  const long value = std::strtol(setting.c_str(), &end, 10);
  if (setting.empty() || *end != '\0' || value < 1 || value > kMaxTimeoutSettingMs) return;
  exchange->connect_timeout_ms = static_cast<int>(value);
  exchange->total_timeout_ms = static_cast<int>(3 * value);
}

}  // namespace

HttpExchange PlanHttpExchange(const std::string& url, const HttpOptions& options) {
  HttpExchange exchange;
  const int method = options.method >= 0 && options.method <= 7 ? options.method : 0;
  exchange.verb = kVerbs[method];
  exchange.secure = LowerAscii(url.substr(0, 8)) == "https://";
  exchange.host = UrlHost(url);
  exchange.port = UrlPort(url);
  exchange.path = UrlPath(url);

  std::string headers = options.extra_headers;
  if (options.normalize_header_names) headers = NormalizeHeaderNames(headers);
  exchange.user_agent = UserAgent(headers);
  if (options.add_default_headers) {
    headers = AddDefaultHeaders(std::move(headers), url, method == kPostMethod);
  }
  exchange.headers = AddCookies(headers, options.request_cookies.value_or(""));

  exchange.send_body = method != 0;
  if (exchange.send_body) {
    exchange.body = options.body_bytes.empty() ? options.body_text : options.body_bytes;
  }
  if (!options.proxy.empty()) {
    exchange.proxy_kind = options.socks_proxy ? HttpProxyKind::kSocks : HttpProxyKind::kHttp;
    exchange.proxy = options.proxy;
  }
  exchange.keep_cookies = !options.request_cookies.has_value();
  exchange.follow_redirects = !options.no_redirect;
  ReadTimeouts(&exchange);
  return exchange;
}

std::string HttpRequest(const std::string& url, const HttpOptions& options,
                        HttpResponseDetails* details) {
  std::string body, raw_headers;
  if (!PerformHttpExchange(PlanHttpExchange(url, options), &body, &raw_headers)) return "";
  if (details != nullptr) {
    details->cookies = ExtractSetCookies(SplitText(raw_headers, "\r\n"));
    if (options.request_cookies && options.merge_cookies) {
      details->cookies = MergeCookies(*options.request_cookies, details->cookies);
    }
    details->headers = std::move(raw_headers);
  }
  return body;
}

}  // namespace lanfeng
