#include "net/http_request.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/http_exchange.h"
#include "support/http_test_servers.h"
#include "support/smtp_test_server.h"

namespace lanfeng {
namespace {

constexpr char kDefaultAgent[] = "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";

HttpOptions WithMethod(int method) {
  HttpOptions options;
  options.method = method;
  return options;
}

TEST(HttpExchangePlanTest, DefaultHeadersCompleteWhatTheCallerLeftOut) {
  const std::string url = "http://h/p";
  const std::string defaults = "Accept: */*\r\nReferer: " + url + "\r\nAccept-Language: zh-cn";
  EXPECT_EQ(defaults, PlanHttpExchange(url, HttpOptions()).headers);
  EXPECT_EQ(defaults + "\r\nContent-Type: application/x-www-form-urlencoded",
            PlanHttpExchange(url, WithMethod(1)).headers);

  HttpOptions options;
  options.extra_headers = "accept: text/html\r\naccept-language: en\r\ncontent-type: a/b";
  const std::string completed = "Accept: text/html\r\nAccept-Language: en\r\nContent-Type: a/b";
  EXPECT_EQ(completed + "\r\nReferer: " + url, PlanHttpExchange(url, options).headers);

  options.extra_headers = "X-Only: 1";
  options.add_default_headers = false;
  EXPECT_EQ("X-Only: 1", PlanHttpExchange(url, options).headers);
  options.normalize_header_names = false;
  options.extra_headers = "x-only: 1\r\nno colon";
  EXPECT_EQ("x-only: 1\r\nno colon", PlanHttpExchange(url, options).headers);
}

TEST(HttpExchangePlanTest, CookiesBecomeACookieLineUnlessTheCallerWroteOne) {
  HttpOptions options;
  options.add_default_headers = false;
  options.request_cookies = "a=1; b=2";
  EXPECT_EQ("\r\nCookie: a=1; b=2", PlanHttpExchange("h", options).headers);
  options.request_cookies = "Cookie: z=9";
  EXPECT_EQ("\r\nCookie: z=9", PlanHttpExchange("h", options).headers);
  EXPECT_FALSE(PlanHttpExchange("h", options).keep_cookies);
  options.request_cookies = "";
  EXPECT_EQ("", PlanHttpExchange("h", options).headers);
  EXPECT_FALSE(PlanHttpExchange("h", options).keep_cookies);
  options.request_cookies.reset();
  EXPECT_TRUE(PlanHttpExchange("h", options).keep_cookies);
}

TEST(HttpExchangePlanTest, MethodsBodiesAndUserAgent) {
  const struct {
    int method;
    const char* verb;
  } verbs[] = {{0, "GET"},   {1, "POST"},    {2, "HEAD"}, {3, "PUT"}, {4, "OPTIONS"}, {5, "DELETE"},
               {6, "TRACE"}, {7, "CONNECT"}, {8, "GET"},  {9, "GET"}, {-1, "GET"}};
  for (const auto& v : verbs) {
    HttpOptions options = WithMethod(v.method);
    options.body_text = "text";
    const HttpExchange exchange = PlanHttpExchange("h", options);
    EXPECT_EQ(v.verb, exchange.verb) << v.method;
    EXPECT_EQ(std::string(v.verb) != "GET", exchange.send_body) << v.method;
  }
  HttpOptions options = WithMethod(3);
  options.body_text = "text";
  options.body_bytes = std::string("by\0tes", 6);
  EXPECT_EQ(std::string("by\0tes", 6), PlanHttpExchange("h", options).body);

  EXPECT_EQ(kDefaultAgent, PlanHttpExchange("h", HttpOptions()).user_agent);
  options.extra_headers = "X-A: 1\r\nuser-agent:  Robot/2 \r\nB: 2";
  EXPECT_EQ("Robot/2", PlanHttpExchange("h", options).user_agent);
  options.normalize_header_names = false;
  EXPECT_EQ("Robot/2", PlanHttpExchange("h", options).user_agent);
}

TEST(HttpExchangePlanTest, TimeLimitsComeFromTheSettingOrTheDefaults) {
  HttpExchange exchange = PlanHttpExchange("h", HttpOptions());
  EXPECT_EQ(10000, exchange.connect_timeout_ms);
  EXPECT_EQ(30000, exchange.total_timeout_ms);
  {
    ScopedEnvironmentSetting setting(kHttpTimeoutSetting, "250");
    exchange = PlanHttpExchange("h", HttpOptions());
    EXPECT_EQ(250, exchange.connect_timeout_ms);
    EXPECT_EQ(750, exchange.total_timeout_ms);
  }
  for (const char* bad : {"0", "-5", "12x", "99999999999"}) {
    ScopedEnvironmentSetting setting(kHttpTimeoutSetting, bad);
    EXPECT_EQ(30000, PlanHttpExchange("h", HttpOptions()).total_timeout_ms) << bad;
  }
}

// Against the real echoing server.
class HttpRequestTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.Start()); }

  EchoedRequest Echo(const std::string& url, const HttpOptions& options = HttpOptions()) {
    return ParseEcho(HttpRequest(url, options));
  }

  HttpTestServer server_;
};

TEST_F(HttpRequestTest, ServerReceivesTheDefaultHeaders) {
  const std::string url = server_.Url("/echo/Path?Q=1");
  const EchoedRequest request = Echo(url);
  ASSERT_TRUE(request.parsed);
  EXPECT_EQ("GET", request.method);
  EXPECT_EQ("/echo/Path?Q=1", request.path);
  EXPECT_EQ(kDefaultAgent, request.Value("User-Agent"));
  EXPECT_EQ("*/*", request.Value("Accept"));
  EXPECT_EQ(url, request.Value("Referer"));
  EXPECT_EQ("zh-cn", request.Value("Accept-Language"));
  EXPECT_EQ("127.0.0.1:" + std::to_string(server_.port()), request.Value("Host"));
  for (const char* absent : {"Content-Type", "Content-Length", "Cookie", "Expect"}) {
    EXPECT_EQ("<absent>", request.Value(absent)) << absent;
  }
}

TEST_F(HttpRequestTest, ServerReceivesTheNormalizedExtraHeaders) {
  HttpOptions options;
  options.extra_headers = "accept: text/html\r\nuser-agent: Robot/2\r\nx-trace-ID: 7";
  const EchoedRequest request = Echo(server_.Url("/"), options);
  EXPECT_EQ("text/html", request.Value("Accept"));
  EXPECT_EQ("Robot/2", request.Value("User-Agent"));
  EXPECT_EQ(1u, request.Values("x-trace-id").size());
  bool named_as_normalized = false;
  for (const auto& header : request.headers) named_as_normalized |= header.first == "X-Trace-ID";
  EXPECT_TRUE(named_as_normalized);

  HttpOptions bare_post = WithMethod(1);
  bare_post.add_default_headers = false;
  const EchoedRequest bare = Echo(server_.Url("/"), bare_post);
  for (const char* absent : {"Accept", "Referer", "Accept-Language", "Content-Type"}) {
    EXPECT_EQ("<absent>", bare.Value(absent)) << absent;
  }
}

TEST_F(HttpRequestTest, MethodsAndBodiesAsTheServerSeesThem) {
  for (int method : {9, -1, 0}) {
    HttpOptions options = WithMethod(method);
    options.body_text = "ignored";
    const EchoedRequest request = Echo(server_.Url("/"), options);
    EXPECT_EQ("GET", request.method) << method;
    EXPECT_EQ("", request.body) << method;
    EXPECT_EQ("<absent>", request.Value("Content-Length")) << method;
  }
  HttpOptions post = WithMethod(1);
  post.body_text = "a=1&b=2";
  EchoedRequest request = Echo(server_.Url("/"), post);
  EXPECT_EQ("POST", request.method);
  EXPECT_EQ("a=1&b=2", request.body);
  EXPECT_EQ("application/x-www-form-urlencoded", request.Value("Content-Type"));

  HttpOptions put = WithMethod(3);
  put.body_text = "text";
  put.body_bytes = std::string("\0\xFF raw", 6);
  request = Echo(server_.Url("/"), put);
  EXPECT_EQ("PUT", request.method);
  EXPECT_EQ(std::string("\0\xFF raw", 6), request.body);
  EXPECT_EQ("<absent>", request.Value("Content-Type"));

  for (int method : {4, 5, 6}) {
    EXPECT_EQ(PlanHttpExchange("h", WithMethod(method)).verb,
              Echo(server_.Url("/"), WithMethod(method)).method);
  }
  HttpResponseDetails details;
  EXPECT_EQ("", HttpRequest(server_.Url("/"), WithMethod(2), &details));
  EXPECT_EQ(0u, details.headers.find("HTTP/1.1 200")) << details.headers;
}

TEST_F(HttpRequestTest, HostIsLowerCasedAndAnExplicitPortIsUsed) {
  const EchoedRequest request =
      Echo("HTTP://LOCALHOST:" + std::to_string(server_.port()) + "/Mixed/Case");
  EXPECT_EQ("localhost:" + std::to_string(server_.port()), request.Value("Host"));
  EXPECT_EQ("/Mixed/Case", request.path);
}

TEST_F(HttpRequestTest, RedirectsAreFollowedUnlessForbidden) {
  HttpResponseDetails details;
  EXPECT_EQ("/echo/redirected",
            ParseEcho(HttpRequest(server_.Url("/redirect"), HttpOptions(), &details)).path);
  EXPECT_EQ(0u, details.headers.find("HTTP/1.1 200")) << details.headers;

  HttpOptions options;
  options.no_redirect = true;
  EXPECT_EQ("moved", HttpRequest(server_.Url("/redirect"), options, &details));
  EXPECT_EQ(0u, details.headers.find("HTTP/1.1 302")) << details.headers;
  EXPECT_NE(std::string::npos, details.headers.find("\r\nLocation: /echo/redirected\r\n"));
}

TEST_F(HttpRequestTest, ResponseCookiesMergeIntoTheRequestCookies) {
  HttpOptions options;
  options.request_cookies = "a=1; b=2";
  HttpResponseDetails details;
  const std::string body = HttpRequest(server_.Url("/cookies"), options, &details);
  EXPECT_EQ("a=1; b=2", ParseEcho(body).Value("Cookie"));
  EXPECT_EQ("b=3; c=4", details.cookies);
  EXPECT_NE(std::string::npos, details.headers.find("\r\nSet-Cookie: c=4; Path=/\r\n"));
  EXPECT_EQ("\r\n\r\n", details.headers.substr(details.headers.size() - 4));

  options.merge_cookies = false;
  HttpRequest(server_.Url("/cookies"), options, &details);
  EXPECT_EQ("b=3; c=4; a=deleted", details.cookies);

  options.request_cookies.reset();
  HttpRequest(server_.Url("/cookies"), options, &details);
  EXPECT_EQ("b=3; c=4; a=deleted", details.cookies);
}

TEST_F(HttpRequestTest, ErrorStatusesYieldTheirBody) {
  EXPECT_EQ("status 404", HttpRequest(server_.Url("/status/404")));
  EXPECT_EQ("status 500", HttpRequest(server_.Url("/status/500")));
}

TEST_F(HttpRequestTest, FailedExchangesGiveEmptyResultsAndLeaveDetailsAlone) {
  ScopedEnvironmentSetting limit(kHttpTimeoutSetting, "200");
  RefusingPort refusing;
  const std::vector<std::string> urls = {
      server_.Url("/silent"),
      "http://127.0.0.1:" + std::to_string(refusing.port()) + "/",
      "http://127.0.0.1:0/",
      "http://127.0.0.1:70000/",
      "",
      "http://bad host/",
      "http://user@127.0.0.1:" + std::to_string(server_.port()) + "/",
      std::string("http://127.0.0.1\0.x/", 20),
  };
  for (const std::string& url : urls) {
    HttpResponseDetails details{"untouched headers", "untouched cookies"};
    EXPECT_EQ("", HttpRequest(url, HttpOptions(), &details)) << url;
    EXPECT_EQ("untouched headers", details.headers) << url;
    EXPECT_EQ("untouched cookies", details.cookies) << url;
  }
}

TEST(HttpsRequestTest, UpperCaseSchemeSpeaksTlsAndIgnoresTheCertificate) {
  HttpTestServer server;
  ASSERT_TRUE(server.Start(/*tls=*/true));
  const std::string port = std::to_string(server.port());
  const EchoedRequest request = ParseEcho(HttpRequest("HTTPS://127.0.0.1:" + port + "/secure"));
  EXPECT_EQ("/secure", request.path);
  EXPECT_EQ("127.0.0.1:" + port, request.Value("Host"));
  // Plain HTTP to the TLS port gets no echo.
  EXPECT_FALSE(ParseEcho(HttpRequest("http://127.0.0.1:" + port + "/secure")).parsed);
}

TEST(HttpProxyTest, HttpProxyCarriesPlainAndTunnelledRequests) {
  HttpTestServer plain, secure;
  TinyProxy proxy;
  ASSERT_TRUE(plain.Start());
  ASSERT_TRUE(secure.Start(/*tls=*/true));
  ASSERT_TRUE(proxy.Start());
  HttpOptions options;
  options.proxy = proxy.Address();

  const EchoedRequest forwarded = ParseEcho(HttpRequest(plain.Url("/via"), options));
  EXPECT_EQ("/via", forwarded.path);
  EXPECT_NE(std::string::npos, forwarded.Value("Via").find("tinyproxy")) << forwarded.Value("Via");
  EXPECT_EQ("<absent>", ParseEcho(HttpRequest(plain.Url("/direct"))).Value("Via"));

  // An HTTPS request goes through the proxy's CONNECT tunnel.
  HttpResponseDetails details;
  EXPECT_EQ("/tunnel", ParseEcho(HttpRequest(secure.Url("/tunnel"), options, &details)).path);
  EXPECT_EQ(0u, details.headers.find("HTTP/1.")) << details.headers;
  EXPECT_EQ(std::string::npos, details.headers.find("Connection established"));
}

TEST(HttpProxyTest, SocksProxyCarriesTheRequest) {
  HttpTestServer server;
  MicroSocks proxy;
  ASSERT_TRUE(server.Start());
  ASSERT_TRUE(proxy.Start(/*outgoing=*/"127.0.0.2"));
  HttpOptions options;
  options.proxy = proxy.Address();
  options.socks_proxy = true;
  // The proxy's connections leave from 127.0.0.2, direct ones from 127.0.0.1.
  EXPECT_EQ("127.0.0.2", ParseEcho(HttpRequest(server.Url("/socks"), options)).client);
  EXPECT_EQ("127.0.0.1", ParseEcho(HttpRequest(server.Url("/direct"))).client);
}

}  // namespace
}  // namespace lanfeng
