// The HTTP transport on Linux: libcurl (built on OpenSSL) carries out the
// exchange that PlanHttpExchange prepared.
#include <curl/curl.h>

#include <cstring>
#include <memory>
#include <string>

#include "net/http_exchange.h"
#include "net/http_text.h"

namespace lanfeng {
namespace {

constexpr long kMaxRedirects = 20;
constexpr char kProtocols[] = "http,https";
// libcurl adds these lines by itself unless the request has them; an empty
// "Name:" line keeps them out, so the server sees only the planned headers.
constexpr const char* kHeadersLibcurlWouldAdd[] = {"Accept", "Content-Type", "Expect"};

struct CurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct HeaderListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;
using HeaderList = std::unique_ptr<curl_slist, HeaderListDeleter>;

// libcurl's process-wide setup, done once; thread-safe as a static.
bool CurlReady() {
  static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return ready;
}

// Appends received body bytes. No exception may cross libcurl's C frames:
// a failed append stops the transfer instead.
size_t AppendBody(char* data, size_t size, size_t count, void* body) {
  try {
    static_cast<std::string*>(body)->append(data, size * count);
    return size * count;
  } catch (...) {
    return 0;
  }
}

// Keeps the header block of the last response: a status line starts a new
// block, so a redirect's headers, a proxy's answer to CONNECT and an interim
// "100 Continue" give way to the final response's.
size_t CollectHeader(char* data, size_t size, size_t count, void* headers) {
  const size_t length = size * count;
  try {
    auto* block = static_cast<std::string*>(headers);
    if (length >= 5 && std::memcmp(data, "HTTP/", 5) == 0) block->clear();
    block->append(data, length);
    return length;
  } catch (...) {
    return 0;
  }
}

// The URL libcurl fetches, or empty when host or port cannot be used.
std::string CurlUrl(const HttpExchange& exchange) {
  if (!IsUsableUrlHost(exchange.host) || exchange.port < 1 || exchange.port > 65535) return "";
  return std::string(exchange.secure ? "https://" : "http://") + exchange.host + ":" +
         std::to_string(exchange.port) + PercentEncodePath(exchange.path);
}

// The proxy as libcurl names it: the scheme says HTTP or SOCKS5 (host names
// resolved by the proxy), unless the caller wrote one.
std::string CurlProxy(const HttpExchange& exchange) {
  if (exchange.proxy_kind == HttpProxyKind::kNone) return "";
  if (exchange.proxy.find("://") != std::string::npos) return exchange.proxy;
  return (exchange.proxy_kind == HttpProxyKind::kSocks ? "socks5h://" : "http://") + exchange.proxy;
}

// Appends one line to a header list; false when it could not.
bool AppendHeader(HeaderList* list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list->get(), line.c_str());
  if (grown == nullptr) return false;
  list->release();
  list->reset(grown);
  return true;
}

// The request's header lines, then the empty lines that keep out what
// libcurl would add. False when the list could not be made whole.
bool MakeHeaderList(const std::string& headers, HeaderList* list) {
  bool ok = true;
  for (const std::string& line : SplitText(headers, "\r\n")) {
    if (!line.empty()) ok = AppendHeader(list, line) && ok;
  }
  for (const char* name : kHeadersLibcurlWouldAdd) {
    if (!HeaderValue(headers, name)) ok = AppendHeader(list, std::string(name) + ":") && ok;
  }
  return ok;
}

// Sets the verb and, for every verb but GET and HEAD, the body.
void SetVerb(CURL* curl, const HttpExchange& exchange) {
  if (exchange.verb == "GET") {
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    return;
  }
  if (exchange.verb == "HEAD") {
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    return;
  }
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                   static_cast<curl_off_t>(exchange.body.size()));
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, exchange.body.data());
  if (exchange.verb != "POST") curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, exchange.verb.c_str());
}

// Proxy, certificates, redirects, cookies and time limits.
void SetConnection(CURL* curl, const HttpExchange& exchange, const std::string& proxy) {
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, kProtocols);
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, kProtocols);
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  // An empty proxy and no-proxy list: the environment's proxy settings
  // never redirect or bypass the caller's choice.
  curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
  curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(curl, CURLOPT_PROXY_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(curl, CURLOPT_PROXY_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, exchange.follow_redirects ? 1L : 0L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
  if (exchange.keep_cookies) curl_easy_setopt(curl, CURLOPT_COOKIEFILE, "");
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(exchange.connect_timeout_ms));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(exchange.total_timeout_ms));
}

}  // namespace

bool PerformHttpExchange(const HttpExchange& exchange, std::string* body,
                         std::string* raw_headers) {
  const std::string url = CurlUrl(exchange);
  if (url.empty() || !CurlReady()) return false;
  CurlHandle curl(curl_easy_init());
  HeaderList headers;
  if (!curl || !MakeHeaderList(exchange.headers, &headers)) return false;
  const std::string proxy = CurlProxy(exchange);

  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_USERAGENT, exchange.user_agent.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
  SetVerb(curl.get(), exchange);
  SetConnection(curl.get(), exchange, proxy);
  body->clear();
  raw_headers->clear();
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, AppendBody);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, body);
  curl_easy_setopt(curl.get(), CURLOPT_HEADERFUNCTION, CollectHeader);
  curl_easy_setopt(curl.get(), CURLOPT_HEADERDATA, raw_headers);
  return curl_easy_perform(curl.get()) == CURLE_OK;
}

}  // namespace lanfeng
