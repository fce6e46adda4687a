#include "net/http_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/gbk_text.h"
#include "support/gbk_text_testing.h"

namespace lanfeng {
namespace {

// Trail bytes that look like ASCII: 乗 is 81 5C ("\\"), 乕 81 5B ("["), 乚 81
// 5D
// ("]"), 廇 8F 41 ("A"), 梜 97 6B ("k").
TEST(HttpHeaderTextTest, NormalizeHeaderNamesCapitalizesEachPartOfTheName) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"user-agent: x\r\naccept-language: y", "User-Agent: x\r\nAccept-Language: y"},
      {"CONTENT-type: a-b: c-d", "CONTENT-Type: a-b: c-d"},
      {"accept:text/html", "Accept:text/html"},
      {"no colon here\r\nx: 1\r\n\r\n", "X: 1"},
      {"-lead--double-: v", "-Lead--Double-: v"},
      {"", ""},
      {"\r\n\r\n", ""},
      {": empty name", ": empty name"},
      {"乗-x: v", "乗-X: v"},
  };
  for (const auto& c : cases) EXPECT_GBK_EQ(c.out, NormalizeHeaderNames(c.in)) << c.in;
}

TEST(HttpHeaderTextTest, HeaderValueFindsTheFirstLineOfTheNameInAnyCase) {
  const std::string headers = "X-Accept: no\r\naccept:  text/html \r\nAccept: second";
  EXPECT_EQ("text/html", HeaderValue(headers, "Accept").value_or("<none>"));
  EXPECT_EQ("no", HeaderValue(headers, "x-accept").value_or("<none>"));
  EXPECT_FALSE(HeaderValue(headers, "Accept-Language"));
  EXPECT_FALSE(HeaderValue("", "Accept"));
}

TEST(HttpHeaderTextTest, TextBetweenFindsMarkersAsWholeCharacters) {
  const struct {
    std::string text, left, right;
    size_t start;
    bool ignore_case;
    std::string out;
  } cases[] = {
      {"a[b]c", "[", "]", 0, false, "b"},
      {"a[b]c[d]", "[", "]", 4, false, "d"},
      {"a[b]c", "[", "]", 9, false, ""},
      {"a[b", "[", "]", 0, false, ""},
      {"ab]", "[", "]", 0, false, ""},
      {"User-Agent: X\r\n", "user-agent:", "\r\n", 0, true, " X"},
      {"User-Agent: X\r\n", "user-agent:", "\r\n", 0, false, ""},
      {"name=\"v\"", "=#引号", "#引号", 0, false, "v"},
      {"乕x乚y[z]", "[", "]", 0, false, "z"},
      // A folded "a" never matches the trail byte 41 of 廇.
      {"廇=1;a=2;", "a=", ";", 0, true, "2"},
      {"", "", "", 0, false, ""},
  };
  for (const auto& c : cases) {
    EXPECT_GBK_EQ(c.out, TextBetween(c.text, c.left, c.right, c.start, c.ignore_case))
        << GbkForDisplay(c.text);
  }
}

TEST(HttpHeaderTextTest, FindTextStepsOverDoubleByteCharacters) {
  EXPECT_EQ(std::string::npos, FindText("梜", "k"));
  EXPECT_EQ(std::string::npos, FindText("乗", "\\"));
  EXPECT_EQ(2u, FindText("乗<BR>", "<br>", 0, true));
  EXPECT_EQ(3u, FindText("abc", "", 3));
  EXPECT_EQ(std::string::npos, FindText("abc", "", 4));
  EXPECT_EQ(std::vector<std::string>({"a", "", "b"}), SplitText("a; ; b", "; "));
  EXPECT_TRUE(SplitText("", "; ").empty());
}

TEST(HttpUrlTest, HostPortAndPath) {
  const struct {
    std::string url, host, host_with_port;
    int port;
    std::string path;
  } cases[] = {
      {"http://Example.COM/A/b?Q=1", "example.com", "example.com", 80, "/A/b?Q=1"},
      {"HTTPS://Example.com", "example.com", "example.com", 443, "/"},
      {"https://h:8443/x", "h", "h:8443", 8443, "/x"},
      {"hTTp://h:81", "h", "h:81", 81, "/"},
      {"example.com:8080/p", "example.com", "example.com:8080", 8080, "/p"},
      {"h.com?q=1", "h.com", "h.com", 80, "/?q=1"},
      {"http://h.com?q=/x", "h.com", "h.com", 80, "/?q=/x"},
      {"http://[::1]:8080/v6", "[::1]", "[::1]:8080", 8080, "/v6"},
      {"http://[::1]/v6", "[::1]", "[::1]", 80, "/v6"},
      // The host "h" is also in the scheme; the path still starts after it.
      {"http://h/x", "h", "h", 80, "/x"},
      {"http://h:/x", "h", "h:", 0, "/x"},
      {"http://h:99999999/", "h", "h:99999999", 1000000, "/"},
      {"http://h:abc/", "h", "h:abc", 0, "/"},
      {"http:///p", "", "", 80, "/p"},
      {"", "", "", 80, "/"},
      {"httpsite.com/x", "httpsite.com", "httpsite.com", 80, "/x"},
      {"http://例子.中国/路径", "例子.中国", "例子.中国", 80, "/路径"},
      // Only single-byte letters are lower-cased: 廇 keeps its trail byte "A".
      {"http://廇.CN/", "廇.cn", "廇.cn", 80, "/"},
      {"x?y=http://evil/", "x", "x", 80, "/?y=http://evil/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(GbkForDisplay(c.url));
    EXPECT_GBK_EQ(c.host, UrlHost(c.url));
    EXPECT_GBK_EQ(c.host_with_port, UrlHost(c.url, true));
    EXPECT_EQ(c.port, UrlPort(c.url));
    EXPECT_GBK_EQ(c.path, UrlPath(c.url));
  }
}

TEST(HttpCookieTest, ExtractSetCookiesTakesTheValuesOfLinesWithAttributes) {
  const std::vector<std::string> lines = {
      "HTTP/1.1 200 OK",
      "Set-Cookie: b=3; path=/",
      "set-cookie:c=4;",
      "SET-COOKIE:   d=5  ; HttpOnly",
      "Set-Cookie: plain=1",
      "X-Set-Cookie: x=1; path=/",
      "Set-Cookie:",
      "Set-Cookie: ;",
      "",
  };
  EXPECT_EQ("b=3; c=4; d=5", ExtractSetCookies(lines));
  EXPECT_EQ("", ExtractSetCookies({}));
}

TEST(HttpCookieTest, MergeCookiesLetsResponseCookiesWinAndDropsDeletedOnes) {
  const struct {
    std::string old_cookies, new_cookies, out;
  } cases[] = {
      {"a=1; b=2", "b=3; c=4; a=deleted", "b=3; c=4"},
      {"a=1; b=2", "", "a=1; b=2"},
      {"", "b=3", "b=3"},
      {" a=1; b=2; ", "c=3;", "c=3; a=1; b=2"},
      {"a=1; a=2", "", "a=1"},
      {"x=1; flag", "flag; y=2; y=2", "flag; y=2; x=1"},
      {"a =1", "a=2", "a=2"},
      {"a=deleted", "", ""},
      {"", "", ""},
      {";;; ; ", " ; ", ";;"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.out, MergeCookies(c.old_cookies, c.new_cookies))
        << "old: " << c.old_cookies << " new: " << c.new_cookies;
  }
}

}  // namespace
}  // namespace lanfeng
