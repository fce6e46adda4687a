// The HTTP transport on Windows: WinINet carries out the exchange that
// PlanHttpExchange prepared, with the outcome libcurl gives on Linux
// (http_transport_curl.cc).
//
// WinINet's own cookie store and its automatic redirects are both left
// off: the store is shared by the whole process (and, for lasting cookies,
// by the user's browser), while an exchange must keep nothing between
// calls. Redirects are therefore followed here, with libcurl's rules: any
// 3xx with a Location, at most 20 of them, a POST turning into a GET on 301,
// 302 and 303 (any other verb keeps its name and loses its body there),
// the caller's Cookie and Authorization lines kept from other hosts, and,
// when the plan keeps cookies, the cookies set during the exchange sent
// along on its later requests.
//
// Texts go to the ANSI entry points as their bytes, as libcurl sends them.
// Certificate problems are ignored, as the hosts' client did.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "net/http_exchange.h"
#include "net/http_text.h"
#include "runtime/gbk_text.h"

namespace lanfeng {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxRedirects = 20;
constexpr DWORD kRequestFlags = INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_COOKIES |
                                INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_AUTH | INTERNET_FLAG_RELOAD |
                                INTERNET_FLAG_NO_CACHE_WRITE;
constexpr DWORD kSecureFlags = INTERNET_FLAG_SECURE | INTERNET_FLAG_IGNORE_CERT_CN_INVALID |
                               INTERNET_FLAG_IGNORE_CERT_DATE_INVALID;
constexpr DWORD kIgnoredCertificateProblems =
    SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
    SECURITY_FLAG_IGNORE_CERT_DATE_INVALID | SECURITY_FLAG_IGNORE_REVOCATION |
    SECURITY_FLAG_IGNORE_WRONG_USAGE;

// Closes a WinINet handle when it goes out of scope.
class Handle {
 public:
  explicit Handle(HINTERNET handle = nullptr) : handle_(handle) {}
  ~Handle() { Reset(nullptr); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HINTERNET get() const { return handle_; }
  void Reset(HINTERNET handle) {
    if (handle_ != nullptr) ::InternetCloseHandle(handle_);
    handle_ = handle;
  }
  HINTERNET Release() {
    HINTERNET handle = handle_;
    handle_ = nullptr;
    return handle;
  }

 private:
  HINTERNET handle_;
};

// The whole exchange's time limit: when it passes, the request under way is
// closed from the timer's thread, which ends any call blocked on it. The
// timer has a queue of its own and runs its callback on the queue's thread,
// which ends with the queue: the process's default queue, and the thread
// pool, keep their threads after the exchange, and a host counts them
// against a library it has freed.
class TotalLimit {
 public:
  explicit TotalLimit(int total_ms) {
    if (total_ms <= 0) return;
    queue_ = ::CreateTimerQueue();
    if (queue_ != nullptr) {
      ::CreateTimerQueueTimer(&timer_, queue_, Expire, this, static_cast<DWORD>(total_ms), 0,
                              WT_EXECUTEONLYONCE | WT_EXECUTEINTIMERTHREAD);
    }
  }
  // Waits for a timer callback under way, so nothing outlives the exchange.
  ~TotalLimit() {
    if (queue_ != nullptr) ::DeleteTimerQueueEx(queue_, INVALID_HANDLE_VALUE);
  }
  TotalLimit(const TotalLimit&) = delete;
  TotalLimit& operator=(const TotalLimit&) = delete;

  // Hands the request to the limit; false when the time is already up.
  bool Watch(HINTERNET request) {
    std::lock_guard<std::mutex> lock(mu_);
    if (expired_) return false;
    request_ = request;
    return true;
  }
  // Takes the request back: the caller closes it, unless the limit did
  // (then the result is null and the exchange has failed).
  HINTERNET Unwatch() {
    std::lock_guard<std::mutex> lock(mu_);
    HINTERNET request = request_;
    request_ = nullptr;
    return expired_ ? nullptr : request;
  }

 private:
  static void CALLBACK Expire(void* self, BOOLEAN) {
    auto* limit = static_cast<TotalLimit*>(self);
    std::lock_guard<std::mutex> lock(limit->mu_);
    limit->expired_ = true;
    if (limit->request_ != nullptr) ::InternetCloseHandle(limit->request_);
    limit->request_ = nullptr;
  }

  HANDLE queue_ = nullptr;
  HANDLE timer_ = nullptr;
  std::mutex mu_;
  HINTERNET request_ = nullptr;
  bool expired_ = false;
};

// The proxy as WinINet names it: HTTP for every scheme, or SOCKS (which
// WinINet speaks in version 4).
std::string WinInetProxy(const HttpExchange& exchange) {
  std::string proxy = exchange.proxy;
  const size_t scheme_end = proxy.find("://");
  if (exchange.proxy_kind == HttpProxyKind::kSocks) {
    if (scheme_end != std::string::npos) proxy.erase(0, scheme_end + 3);
    return "socks=" + proxy;
  }
  const std::string scheme = LowerAscii(proxy.substr(0, scheme_end));
  if (scheme_end != std::string::npos && scheme.compare(0, 5, "socks") == 0) {
    return "socks=" + proxy.substr(scheme_end + 3);
  }
  return proxy;
}

// One request of the exchange: the plan's first one, or one a redirect made.
struct Target {
  std::string verb;
  bool secure = false;
  std::string host;
  int port = 80;
  std::string path;
  bool send_body = false;

  std::string Origin() const {
    return std::string(secure ? "https://" : "http://") + host + ":" + std::to_string(port);
  }
};

// A cookie set during the exchange.
struct Cookie {
  std::string name, value, domain, path;
  bool host_only = true;
  bool secure = false;
};

// The "directory" of a request path, a cookie's default path.
std::string DefaultCookiePath(const std::string& path) {
  const std::string bare = path.substr(0, path.find('?'));
  const size_t slash = bare.rfind('/');
  return slash == std::string::npos || slash == 0 ? "/" : bare.substr(0, slash);
}

// Whether a cookie's date (the Expires attribute, in any of the formats
// servers write) is past. A date that cannot be read is not.
bool DateIsPast(const std::string& date) {
  static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                        "jul", "aug", "sep", "oct", "nov", "dec"};
  SYSTEMTIME when{};
  bool have_time = false, have_day = false, have_month = false, have_year = false;
  std::string token;
  const std::string text = LowerAscii(date) + " ";
  for (const char c : text) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || c == ':') {
      token += c;
      continue;
    }
    if (token.empty()) continue;
    int hour = 0, minute = 0, second = 0;
    const bool digits = token.find_first_not_of("0123456789") == std::string::npos;
    if (!have_time && std::sscanf(token.c_str(), "%d:%d:%d", &hour, &minute, &second) == 3) {
      when.wHour = static_cast<WORD>(hour);
      when.wMinute = static_cast<WORD>(minute);
      when.wSecond = static_cast<WORD>(second);
      have_time = true;
    } else if (!have_day && digits && token.size() <= 2) {
      when.wDay = static_cast<WORD>(std::atoi(token.c_str()));
      have_day = true;
    } else if (!have_year && digits && (token.size() == 4 || token.size() == 2)) {
      int year = std::atoi(token.c_str());
      if (token.size() == 2) year += year < 70 ? 2000 : 1900;
      when.wYear = static_cast<WORD>(year);
      have_year = true;
    } else if (!have_month && token.size() >= 3) {
      for (int month = 0; month < 12; ++month) {
        if (token.compare(0, 3, kMonths[month]) == 0) {
          when.wMonth = static_cast<WORD>(month + 1);
          have_month = true;
        }
      }
    }
    token.clear();
  }
  FILETIME expiry, now;
  if (!have_day || !have_month || !have_year || !::SystemTimeToFileTime(&when, &expiry)) {
    return false;
  }
  ::GetSystemTimeAsFileTime(&now);
  return ::CompareFileTime(&expiry, &now) <= 0;
}

// The cookies the responses of one exchange set, for its later requests.
class CookieJar {
 public:
  // Takes the Set-Cookie lines of a response to `target`.
  void Take(const std::string& raw_headers, const Target& target) {
    for (const std::string& line : SplitText(raw_headers, "\r\n")) {
      if (LowerAscii(line.substr(0, 11)) == "set-cookie:") TakeOne(line.substr(11), target);
    }
  }

  // The Cookie header value for a request to `target`; empty when none.
  std::string For(const Target& target) const {
    std::string value;
    for (const Cookie& cookie : cookies_) {
      if (!DomainMatches(cookie, target.host) || !PathMatches(cookie.path, target.path) ||
          (cookie.secure && !target.secure)) {
        continue;
      }
      if (!value.empty()) value += "; ";
      value += cookie.name + "=" + cookie.value;
    }
    return value;
  }

 private:
  static bool DomainMatches(const Cookie& cookie, const std::string& host) {
    if (host == cookie.domain) return true;
    return !cookie.host_only && host.size() > cookie.domain.size() &&
           host.compare(host.size() - cookie.domain.size(), std::string::npos, cookie.domain) ==
               0 &&
           host[host.size() - cookie.domain.size() - 1] == '.';
  }

  static bool PathMatches(const std::string& cookie_path, const std::string& request_path) {
    const std::string path = request_path.substr(0, request_path.find('?'));
    if (path.compare(0, cookie_path.size(), cookie_path) != 0) return false;
    return path.size() == cookie_path.size() || cookie_path.back() == '/' ||
           path[cookie_path.size()] == '/';
  }

  void TakeOne(const std::string& header, const Target& target) {
    const std::vector<std::string> parts = SplitText(header, ";");
    if (parts.empty()) return;
    const size_t equals = parts[0].find('=');
    if (equals == std::string::npos) return;
    Cookie cookie;
    cookie.name = TrimBlanks(parts[0].substr(0, equals));
    cookie.value = TrimBlanks(parts[0].substr(equals + 1));
    if (cookie.name.empty()) return;
    cookie.domain = target.host;
    cookie.path = DefaultCookiePath(target.path);
    bool expired = false;
    for (size_t i = 1; i < parts.size(); ++i) {
      const size_t sign = parts[i].find('=');
      const std::string name = LowerAscii(TrimBlanks(parts[i].substr(0, sign)));
      const std::string value =
          sign == std::string::npos ? "" : TrimBlanks(parts[i].substr(sign + 1));
      if (name == "domain" && !value.empty()) {
        std::string domain = LowerAscii(value);
        if (domain[0] == '.') domain.erase(0, 1);
        cookie.domain = domain;
        cookie.host_only = false;
        if (!DomainMatches(cookie, target.host)) return;  // not the server's to set
      } else if (name == "path" && !value.empty() && value[0] == '/') {
        cookie.path = value;
      } else if (name == "max-age") {
        expired = std::atol(value.c_str()) <= 0;
      } else if (name == "expires") {
        expired = expired || DateIsPast(value);
      } else if (name == "secure") {
        cookie.secure = true;
      }
    }
    cookies_.erase(std::remove_if(cookies_.begin(), cookies_.end(),
                                  [&cookie](const Cookie& old) {
                                    return old.name == cookie.name && old.domain == cookie.domain &&
                                           old.path == cookie.path;
                                  }),
                   cookies_.end());
    if (!expired) cookies_.push_back(std::move(cookie));
  }

  std::vector<Cookie> cookies_;
};

// Removes "." and ".." segments from a path (its query left alone).
std::string RemoveDotSegments(const std::string& path_and_query) {
  const size_t query = path_and_query.find('?');
  const std::string path = path_and_query.substr(0, query);
  std::vector<std::string> kept;
  const std::vector<std::string> segments = SplitText(path, "/");
  for (size_t i = 1; i < segments.size(); ++i) {
    const std::string& segment = segments[i];
    const bool last = i + 1 == segments.size();
    if (segment == ".") {
      if (last) kept.push_back("");
    } else if (segment == "..") {
      if (!kept.empty()) kept.pop_back();
      if (last) kept.push_back("");
    } else {
      kept.push_back(segment);
    }
  }
  std::string result;
  for (const std::string& segment : kept) result += "/" + segment;
  if (result.empty()) result = "/";
  return query == std::string::npos ? result : result + path_and_query.substr(query);
}

// The absolute URL a Location value names, resolved against the request it
// answered; empty for a scheme other than HTTP and HTTPS.
std::string ResolveLocation(const Target& from, std::string location) {
  location = TrimBlanks(location.substr(0, location.find('#')));
  const size_t colon = location.find(':');
  const size_t delimiter = location.find_first_of("/?");
  if (colon != std::string::npos && colon > 0 &&
      (delimiter == std::string::npos || colon < delimiter)) {
    const std::string scheme = LowerAscii(location.substr(0, colon));
    if (scheme != "http" && scheme != "https") return "";
    return scheme + "://" + UrlHost(location, true) + RemoveDotSegments(UrlPath(location));
  }
  if (location.compare(0, 2, "//") == 0) {
    return ResolveLocation(from, std::string(from.secure ? "https:" : "http:") + location);
  }
  const std::string bare_path = from.path.substr(0, from.path.find('?'));
  std::string path;
  if (location.empty()) {
    path = from.path;
  } else if (location[0] == '/') {
    path = location;
  } else if (location[0] == '?') {
    path = bare_path + location;
  } else {
    path = bare_path.substr(0, bare_path.rfind('/') + 1) + location;
  }
  return from.Origin() + RemoveDotSegments(path);
}

// The request a redirect asks for, with libcurl's changes of verb and body.
bool Redirected(const Target& from, int status, const std::string& location, Target* next) {
  const std::string url = ResolveLocation(from, location);
  if (url.empty()) return false;
  *next = from;
  next->secure = LowerAscii(url.substr(0, 8)) == "https://";
  next->host = UrlHost(url);
  next->port = UrlPort(url);
  next->path = UrlPath(url);
  if (status == 301 || status == 302 || status == 303) {
    if (from.verb == "POST") next->verb = "GET";
    next->send_body = false;
  }
  return true;
}

// The plan's header lines for one request, each added as the caller wrote
// it. An empty "Name:" line only keeps libcurl from adding a line of its
// own, which WinINet does not add either; the user agent went to
// InternetOpen. Lines libcurl keeps from other hosts are left out there.
bool AddHeaders(HINTERNET request, const std::string& headers, bool same_origin,
                const std::string& jar_cookies) {
  std::vector<std::string> lines = SplitText(headers, "\r\n");
  if (!jar_cookies.empty()) lines.push_back("Cookie: " + jar_cookies);
  for (const std::string& line : lines) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos || TrimBlanks(line.substr(colon + 1)).empty()) continue;
    const std::string name = LowerAscii(TrimBlanks(line.substr(0, colon)));
    if (name == "user-agent") continue;
    if (!same_origin && (name == "cookie" || name == "authorization")) continue;
    if (!::HttpAddRequestHeadersA(request, line.c_str(), static_cast<DWORD>(line.size()),
                                  HTTP_ADDREQ_FLAG_ADD)) {
      return false;
    }
  }
  return true;
}

// Time left until `deadline` in whole milliseconds, at least 1.
DWORD MillisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<DWORD>(
      std::max<decltype(left)>(1, std::min<decltype(left)>(left, 0x7FFFFFFF)));
}

void SetTimeouts(HINTERNET request, const HttpExchange& exchange, Clock::time_point deadline) {
  DWORD left = exchange.total_timeout_ms > 0 ? MillisecondsUntil(deadline) : 0x7FFFFFFF;
  DWORD connect = exchange.connect_timeout_ms > 0
                      ? std::min<DWORD>(left, static_cast<DWORD>(exchange.connect_timeout_ms))
                      : left;
  ::InternetSetOptionA(request, INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof connect);
  ::InternetSetOptionA(request, INTERNET_OPTION_SEND_TIMEOUT, &left, sizeof left);
  ::InternetSetOptionA(request, INTERNET_OPTION_RECEIVE_TIMEOUT, &left, sizeof left);
}

// A text query on the response; empty when the header is absent.
std::string QueryText(HINTERNET request, DWORD what) {
  DWORD size = 0;
  ::HttpQueryInfoA(request, what, nullptr, &size, nullptr);
  if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return "";
  std::string text(size, '\0');
  if (!::HttpQueryInfoA(request, what, &text[0], &size, nullptr)) return "";
  text.resize(std::min<size_t>(size, text.size()));
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

// The response's header block as libcurl hands it over: status line and
// header lines, each ending in CR LF, then the empty line.
std::string RawHeaders(HINTERNET request) {
  std::string raw = QueryText(request, HTTP_QUERY_RAW_HEADERS_CRLF);
  while (raw.size() >= 2 && raw.compare(raw.size() - 2, 2, "\r\n") == 0) raw.resize(raw.size() - 2);
  return raw + "\r\n\r\n";
}

// Reads the body to its end. False when the transfer broke, or ended short
// of the length the response announced.
bool ReadBody(HINTERNET request, const std::string& verb, int status, std::string* body) {
  body->clear();
  char chunk[16 * 1024];
  for (;;) {
    DWORD got = 0;
    if (!::InternetReadFile(request, chunk, sizeof chunk, &got)) return false;
    if (got == 0) break;
    body->append(chunk, got);
  }
  const std::string length = QueryText(request, HTTP_QUERY_CONTENT_LENGTH);
  if (length.empty() || verb == "HEAD" || status == 204 || status == 304) return true;
  return std::strtoull(length.c_str(), nullptr, 10) <= body->size();
}

// One request of the exchange, sent and answered; its body is left to
// read. The request's handle needs its connection's: both stay open for
// the caller. False when no response came.
bool SendRequest(HINTERNET session, const HttpExchange& exchange, const Target& target,
                 bool same_origin, const std::string& jar_cookies, Clock::time_point deadline,
                 TotalLimit* limit, Handle* connection, Handle* request, int* status,
                 std::string* raw_headers) {
  connection->Reset(::InternetConnectA(session, target.host.c_str(),
                                       static_cast<INTERNET_PORT>(target.port), nullptr, nullptr,
                                       INTERNET_SERVICE_HTTP, 0, 0));
  if (connection->get() == nullptr) return false;
  const std::string path = PercentEncodePath(target.path);
  request->Reset(::HttpOpenRequestA(connection->get(), target.verb.c_str(), path.c_str(),
                                    "HTTP/1.1", nullptr, nullptr,
                                    kRequestFlags | (target.secure ? kSecureFlags : 0), 0));
  if (request->get() == nullptr) return false;
  if (target.secure) {
    DWORD flags = 0;
    DWORD size = sizeof flags;
    ::InternetQueryOptionA(request->get(), INTERNET_OPTION_SECURITY_FLAGS, &flags, &size);
    flags |= kIgnoredCertificateProblems;
    ::InternetSetOptionA(request->get(), INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
  }
  SetTimeouts(request->get(), exchange, deadline);
  if (!AddHeaders(request->get(), exchange.headers, same_origin, jar_cookies)) return false;

  const bool with_body = target.send_body && target.verb != "GET" && target.verb != "HEAD";
  if (!limit->Watch(request->get())) return false;
  const BOOL sent = ::HttpSendRequestA(
      request->get(), nullptr, 0, with_body ? const_cast<char*>(exchange.body.data()) : nullptr,
      with_body ? static_cast<DWORD>(exchange.body.size()) : 0);
  request->Release();
  request->Reset(limit->Unwatch());
  if (!sent || request->get() == nullptr) return false;
  DWORD code = 0;
  DWORD size = sizeof code;
  if (!::HttpQueryInfoA(request->get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code,
                        &size, nullptr)) {
    return false;
  }
  *status = static_cast<int>(code);
  *raw_headers = RawHeaders(request->get());
  return true;
}

}  // namespace

bool PerformHttpExchange(const HttpExchange& exchange, std::string* body,
                         std::string* raw_headers) {
  if (!IsUsableUrlHost(exchange.host) || exchange.port < 1 || exchange.port > 65535) return false;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(std::max(exchange.total_timeout_ms, 0));
  TotalLimit limit(exchange.total_timeout_ms);
  const bool proxied = exchange.proxy_kind != HttpProxyKind::kNone;
  const std::string proxy = proxied ? WinInetProxy(exchange) : "";
  // "<-loopback>": a proxy carries requests to this machine too, as with
  // libcurl; no proxy setting of the system or the environment applies.
  Handle session(::InternetOpenA(
      exchange.user_agent.c_str(), proxied ? INTERNET_OPEN_TYPE_PROXY : INTERNET_OPEN_TYPE_DIRECT,
      proxied ? proxy.c_str() : nullptr, proxied ? "<-loopback>" : nullptr, 0));
  if (session.get() == nullptr) return false;

  Target target;
  target.verb = exchange.verb;
  target.secure = exchange.secure;
  target.host = exchange.host;
  target.port = exchange.port;
  target.path = exchange.path;
  target.send_body = exchange.send_body;
  const std::string first_origin = target.Origin();
  CookieJar jar;
  for (int redirects = 0;; ++redirects) {
    if (!IsUsableUrlHost(target.host) || target.port < 1 || target.port > 65535) return false;
    Handle connection;
    Handle request;
    int status = 0;
    std::string headers;
    const std::string cookies = exchange.keep_cookies ? jar.For(target) : "";
    if (!SendRequest(session.get(), exchange, target, target.Origin() == first_origin, cookies,
                     deadline, &limit, &connection, &request, &status, &headers)) {
      return false;
    }
    const std::string location = QueryText(request.get(), HTTP_QUERY_LOCATION);
    if (exchange.follow_redirects && status >= 300 && status < 400 && !location.empty()) {
      if (redirects >= kMaxRedirects) return false;
      if (exchange.keep_cookies) jar.Take(headers, target);
      Target next;
      if (!Redirected(target, status, location, &next)) return false;
      target = next;
      continue;
    }
    if (!limit.Watch(request.get())) return false;
    const bool whole = ReadBody(request.get(), target.verb, status, body);
    request.Release();
    request.Reset(limit.Unwatch());
    if (!whole || request.get() == nullptr) return false;
    *raw_headers = std::move(headers);
    return true;
  }
}

}  // namespace lanfeng
