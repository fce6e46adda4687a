// The plan of one HTTP exchange, made from HttpRequest's arguments by
// portable code, and the transport that carries it out (libcurl in
// http_transport_curl.cc; the Windows build puts WinINet under the same
// plan).
#pragma once

#include <string>

#include "net/http_request.h"

namespace lanfeng {

enum class HttpProxyKind { kNone, kHttp, kSocks };

struct HttpExchange {
  std::string verb;     // "GET", "POST", ...
  bool secure = false;  // HTTPS
  std::string host;     // lower-case, without port
  int port = 80;
  std::string path;  // path and query
  std::string user_agent;
  // The request's header lines joined by "\r\n" (empty lines may occur and
  // mean nothing).
  std::string headers;
  bool send_body = false;  // false for GET
  std::string body;
  HttpProxyKind proxy_kind = HttpProxyKind::kNone;
  std::string proxy;
  // Whether cookies set during the exchange go along on its redirects.
  bool keep_cookies = true;
  bool follow_redirects = true;
  int connect_timeout_ms = 0;
  int total_timeout_ms = 0;
};

// The plan for HttpRequest(url, options): verb, address, headers with their
// defaults, user agent, body, proxy and time limits.
HttpExchange PlanHttpExchange(const std::string& url, const HttpOptions& options);

// Carries out the exchange. True when a response was received whole: *body
// holds its body and *raw_headers the final response's header block. False
// (outputs unspecified) for an address the transport cannot reach, a failed
// connection, a time limit or a broken transfer.
bool PerformHttpExchange(const HttpExchange& exchange, std::string* body, std::string* raw_headers);

}  // namespace lanfeng
