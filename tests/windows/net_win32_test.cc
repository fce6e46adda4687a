// The network backends on a real Windows API (Wine or Windows): the
// Schannel TLS stream under the real mail sender, the WinINet HTTP
// transport under HttpRequest, and the text converter, each held to what
// the Linux backends give for the same input.
//
// run-net-test.py starts the servers (tests/servers/: the SMTP server with
// implicit TLS and AUTH LOGIN, once per behaviour; the HTTP server plain and
// with TLS; a tinyproxy) and passes their ports and files:
//
//   net_win32_test.exe --smtp-port P --smtp-store DIR --smtp-user U
//       --smtp-password W --ca FILE --other-name-port P --other-name-ca FILE
//       --stranger-ca FILE --missing-ca FILE --silent-port P
//       --no-handshake-port P --endless-line-port P --refused-port P
//       --http-port P --https-port P --proxy-port P
//
// Texts in this file are GBK at run time (-fexec-charset=GBK); u8"" texts
// are UTF-8.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <tlhelp32.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <atomic>
#include <cwctype>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "check.h"
#include "net/encoding.h"
#include "net/http_request.h"
#include "net/tls_stream.h"
#include "platform/platform.h"
#include "watch/mail_sender.h"

using namespace lanfeng;

namespace {

std::map<std::string, std::string> arguments;

std::string Argument(const std::string& name) { return arguments[name]; }
int Port(const std::string& name) { return std::atoi(arguments[name].c_str()); }

// A text for the failure report: UTF-8 when it is GBK, bytes in hex where
// it is not.
std::string Shown(const std::string& text) {
  std::string utf8;
  if (GbkToUtf8(text, &utf8)) {
    bool printable = true;
    for (unsigned char c : text) printable = printable && (c >= 0x20 || c == '\t');
    if (printable) return "\"" + utf8 + "\"";
  }
  std::string hex = "bytes";
  char byte[4];
  for (unsigned char c : text) {
    std::snprintf(byte, sizeof byte, " %02X", c);
    hex += byte;
  }
  return hex;
}

void CheckText(const std::string& expected, const std::string& actual, const char* what,
               const char* file, int line) {
  wintest::Check(expected == actual, what, file, line);
  if (expected != actual) {
    std::printf("  expected %s\n  actual   %s\n", Shown(expected).c_str(), Shown(actual).c_str());
  }
}

void CheckHas(const std::string& text, const std::string& part, bool at_start, const char* what,
              const char* file, int line) {
  const size_t found = text.find(part);
  const bool ok = at_start ? found == 0 : found != std::string::npos;
  wintest::Check(ok, what, file, line);
  if (!ok) {
    std::printf("  %s %s\n  in       %s\n", at_start ? "prefix  " : "part    ", Shown(part).c_str(),
                Shown(text).c_str());
  }
}

#define CHECK_TEXT(expected, actual) CheckText((expected), (actual), #actual, __FILE__, __LINE__)
#define CHECK_STARTS(text, prefix) CheckHas((text), (prefix), true, #text, __FILE__, __LINE__)
#define CHECK_HAS(text, part) CheckHas((text), (part), false, #text, __FILE__, __LINE__)

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string StringMember(const rapidjson::Value& object, const char* name) {
  const auto found = object.FindMember(name);
  if (found == object.MemberEnd() || !found->value.IsString()) return "";
  return std::string(found->value.GetString(), found->value.GetStringLength());
}

std::string Gbk(const std::string& utf8) {
  std::string gbk;
  return Utf8ToGbk(utf8, &gbk) ? gbk : "<not GBK: " + utf8 + ">";
}

// ---------------------------------------------------------------------------
// Text conversion: the cases of the Linux tests, then more character sets,
// each answered with the bytes the iconv backend gives.

void TestEncoding() {
  const std::string utf8_mark = "\xEF\xBB\xBF";
  const std::string unicode_text("\xFF\xFE\x41\0\x2D\x4E", 6);  // "A中" with its mark

  CHECK_TEXT("插件：岚风守望——ok 1.0", ConvertEncoding(u8"插件：岚风守望——ok 1.0"));
  CHECK_TEXT("中文", ConvertEncoding(u8"中文", "", ""));
  CHECK_TEXT("中文", ConvertEncoding(u8"中文", "utf-8", "gbk"));
  CHECK_TEXT("乗", ConvertEncoding(u8"乗", "UTF-8", "gb2312"));  // GBK, not GB2312

  CHECK_TEXT("", ConvertEncoding(""));
  CHECK_TEXT("", ConvertEncoding("", "GBK", "UTF-8"));
  CHECK_TEXT("", ConvertEncoding("text", "no-such-charset", "GBK"));
  CHECK_TEXT("", ConvertEncoding("text", "UTF-8", "no-such-charset"));

  CHECK_TEXT(utf8_mark + u8"中文", ConvertEncoding("中文", "GBK", "UTF-8"));
  CHECK_TEXT(u8"中文", ConvertEncoding("中文", "GBK", "UTF-8", 3));
  CHECK_TEXT("\x96\x87", ConvertEncoding("中文", "GBK", "UTF-8", 7));
  CHECK_TEXT("", ConvertEncoding("中文", "GBK", "UTF-8", 9));
  CHECK_TEXT("", ConvertEncoding("中文", "GBK", "UTF-8", 100));
  CHECK_TEXT(unicode_text, ConvertEncoding("A中", "GBK", "unicode"));
  CHECK_TEXT(std::string("\xFE\xFF\0A", 4), ConvertEncoding("A", "GBK", "unicodeFFFE"));

  CHECK_TEXT("公告", ConvertEncoding(utf8_mark + u8"公告"));
  CHECK_TEXT("A中", ConvertEncoding(unicode_text, "unicode"));
  CHECK_TEXT(utf8_mark + "A", ConvertEncoding(utf8_mark + "A", "GBK", "GBK"));

  // Characters GBK lacks: an emoji and a Hangul syllable. (CHECK quotes its
  // argument as GBK text, which cannot hold them.)
  const std::string emoji = u8"😀";
  const std::string mixed = u8"通知😀内容한";
  CHECK_TEXT("通知内容", ConvertEncoding(mixed));
  CHECK_TEXT("", ConvertEncoding(emoji));
  CHECK_TEXT(emoji, ConvertEncoding(emoji, "UTF-8", "UTF-8", 3));
  CHECK_TEXT("a(b", ConvertEncoding("a\xC3(\xFF\x62\xE4\xB8"));

  // Beyond the Linux tests: the same bytes as the iconv backend.
  const struct {
    std::string data;
    const char* source;
    const char* target;
    size_t start;
    std::string expected;
  } more[] = {
      {"中\xFF文", "GBK", "UTF-8", 3, u8"中文"},  // a byte that is not GBK
      {"a\x81", "GBK", "UTF-8", 3, "a"},          // a lead byte cut off
      {"a\x81 z", "GBK", "UTF-8", 3, "a z"},      // a lead byte without its trail
      {"\x80", "GBK", "UTF-8", 3, u8"€"},
      {u8"€", "UTF-8", "GBK", 0, "\x80"},
      {u8"é€x", "UTF-8", "ISO-8859-1", 0, "\xE9x"},
      {"\xE9", "iso-8859-1", "UTF-8", 3, u8"é"},
      {u8"中文", "UTF-8", "Big5", 0, "\xA4\xA4\xA4\xE5"},
      {"\xA4\xA4\xA4\xE5", "big5", "GBK", 0, "中文"},
      {std::string("\xFE\xFF\0A\xD8\x3D\xDE\x00", 8), "unicodeFFFE", "UTF-8", 3, u8"A😀"},
      {u8"A😀", "UTF-8", "unicode", 0, std::string("\xFF\xFE\x41\0\x3D\xD8\x00\xDE", 8)},
      {"中", "gbk", "unicodeFFFE", 0, "\xFE\xFF\x4E\x2D"},
      {"\x80", "windows-1252", "UTF-8", 3, u8"€"},
      {"\x80", "CP1252", "UTF-8", 3, u8"€"},
      {"A", "GBK", "UTF-16", 0, std::string("\xFF\xFE\x41\0", 4)},
      {std::string("A\0", 2), "UTF-16", "GBK", 0, "A"},
      {std::string("\xFE\xFF\0A", 4), "UTF-16", "GBK", 0, "A"},
      {"A", "GBK", "utf8", 0, "A"},
      {u8"a中b", "UTF-8", "ascii", 0, "ab"},
      {u8"日本", "UTF-8", "Shift_JIS", 0, "\x93\xFA\x96\x7B"},
      {u8"한", "UTF-8", "EUC-KR", 0, "\xC7\xD1"},
      {u8"Я", "UTF-8", "KOI8-R", 0, "\xF1"},
      {u8"a\uFEFFb", "UTF-8", "UTF-8", 3, u8"a\uFEFFb"},
  };
  for (const auto& c : more) {
    const std::string got = ConvertEncoding(c.data, c.source, c.target, c.start);
    if (got != c.expected) std::printf("  %s to %s:\n", c.source, c.target);
    CHECK_TEXT(c.expected, got);
  }
  // GB18030 is code page 54936 of Windows, which Wine lacks.
  if (IsValidCodePage(54936)) {
    CHECK_TEXT("\xC2\x80", ConvertEncoding("\x81\x30\x81\x30", "GB18030", "UTF-8", 3));
    CHECK_TEXT("\x94\x39\xFC\x36", ConvertEncoding(emoji, "UTF-8", "GB18030"));
  } else {
    std::printf("note: this system has no GB18030 (code page 54936); its cases were skipped\n");
  }
}

// ---------------------------------------------------------------------------
// Mail over Schannel.

constexpr char kReceiver[] = "owner@qq.com";

TlsConnectOptions Trusting(const std::string& ca_file, int io_timeout_ms = 10000) {
  TlsConnectOptions options;
  options.ca_file = ca_file;
  options.connect_timeout_ms = 10000;
  options.io_timeout_ms = io_timeout_ms;
  options.total_timeout_ms = 30000;
  return options;
}

MailSender OnlineMail(const TlsConnectOptions& connection, int port,
                      const std::string& password = Argument("smtp-password")) {
  MailSender sender(connection);
  sender.Init(true, "localhost", port, Argument("smtp-user"), password);
  sender.SetSender(Argument("smtp-user"), "上线通知！");
  sender.AddReceiver(kReceiver);
  sender.SetSubject("账号在线中，可正常使用！");
  sender.SetContent("账号：123456<br>时间：2024年3月5日14时7分");
  return sender;
}

std::string SendFailure(MailSender& sender) {
  std::string error;
  CHECK(!sender.Send(&error));
  return error;
}

std::string Endpoint(const std::string& host, int port) {
  return host + ":" + std::to_string(port);
}

// A whole mail, longer than many TLS records, through the real mail
// sender: the server receives it whole and readable.
void TestMailArrives() {
  MailSender sender(Trusting(Argument("ca")));
  sender.Init(true, "localhost", Port("smtp-port"), Argument("smtp-user"),
              Argument("smtp-password"));
  sender.SetSender("", "上线通知！");
  sender.AddReceiver(kReceiver);
  sender.AddReceiver("friend@qq.com", "朋友");
  sender.SetSubject("账号在线中，可正常使用！");
  std::string content =
      "账号：123456<br>时间：2024年3月5日14时7分\r\n"
      ".以点开头的一行 \r\n" +
      std::string(100, '=');
  for (int i = 0; i < 2000; ++i) content += "岚风守望";
  sender.SetContent(content);
  std::string error = "untouched";
  CHECK(sender.Send(&error));
  CHECK_TEXT("untouched", error);

  rapidjson::Document mail;
  const std::string json = ReadWholeFile(Argument("smtp-store") + "\\1.json");
  mail.Parse(json.c_str(), json.size());
  CHECK(!mail.HasParseError() && mail.IsObject());
  if (mail.HasParseError() || !mail.IsObject()) return;
  CHECK_TEXT(Argument("smtp-user"), StringMember(mail, "auth_login"));
  CHECK_TEXT(Argument("smtp-user"), StringMember(mail, "mail_from"));
  CHECK_TEXT("上线通知！", Gbk(StringMember(mail, "from_name")));
  CHECK_TEXT("账号在线中，可正常使用！", Gbk(StringMember(mail, "subject")));
  CHECK_TEXT(content, Gbk(StringMember(mail, "body")));
  CHECK(mail["rcpt_tos"].IsArray() && mail["rcpt_tos"].Size() == 2);
  CHECK(mail["defects"].IsArray() && mail["defects"].Empty());
}

void TestRefusedLogin() {
  MailSender sender = OnlineMail(Trusting(Argument("ca")), Port("smtp-port"), "wrong-code");
  CHECK_TEXT("SMTP登录（发送密码）失败：服务器回复：535 5.7.8 Authentication credentials invalid",
             SendFailure(sender));
}

// The stream on its own: lines both ways, the local address, and nothing
// after Close.
void TestStreamBasics() {
  std::string error;
  TlsConnectOptions options = Trusting(Argument("ca"));
  options.host = "localhost";
  options.port = Port("smtp-port");
  std::unique_ptr<TlsStream> stream = ConnectTls(options, &error);
  CHECK(stream != nullptr);
  if (stream == nullptr) {
    std::printf("  %s\n", Shown(error).c_str());
    return;
  }
  CHECK_TEXT("[127.0.0.1]", stream->LocalAddressLiteral());
  std::string line;
  CHECK(stream->ReadLine(&line));
  CHECK_STARTS(line, "220 ");
  CHECK(stream->Write("EHLO [127.0.0.1]\r\n"));
  std::vector<std::string> lines;
  while (stream->ReadLine(&line)) {
    lines.push_back(line);
    if (line.compare(0, 4, "250 ") == 0) break;
  }
  CHECK(lines.size() >= 2 && lines.back().compare(0, 4, "250 ") == 0);
  CHECK(lines.front().find('\r') == std::string::npos);
  CHECK(stream->Write("QUIT\r\n"));
  CHECK(stream->ReadLine(&line));
  CHECK_STARTS(line, "221");
  stream->Close();
  CHECK(!stream->Write("NOOP\r\n"));
  CHECK_TEXT(kStreamClosedText, stream->error());
  CHECK(!stream->ReadLine(&line));
}

void TestCertificateChecks() {
  const int port = Port("smtp-port");
  const std::string failed = "TLS握手失败（" + Endpoint("localhost", port) + "）：";
  const std::string check = failed + "证书验证失败（服务器证书：";

  // The CA file holds another certificate for the same name.
  MailSender stranger = OnlineMail(Trusting(Argument("stranger-ca")), port);
  const std::string unknown = SendFailure(stranger);
  CHECK_STARTS(unknown, check);
  CHECK_HAS(unknown, "CA证书文件");

  // No CA file: the system's roots, which never issued the test's certificate.
  MailSender system = OnlineMail(Trusting(""), port);
  CHECK_STARTS(SendFailure(system), check);

  // The certificate is trusted but names another host.
  const int other = Port("other-name-port");
  MailSender mismatched = OnlineMail(Trusting(Argument("other-name-ca")), other);
  const std::string mismatch = SendFailure(mismatched);
  CHECK_STARTS(mismatch,
               "TLS握手失败（" + Endpoint("localhost", other) + "）：证书验证失败（服务器证书：");
  CHECK_HAS(mismatch, "0x800B010F");  // CERT_E_CN_NO_MATCH

  MailSender missing = OnlineMail(Trusting(Argument("missing-ca")), port);
  CHECK_STARTS(SendFailure(missing), "读取CA证书文件失败（" + Argument("missing-ca") + "）：");
}

void TestConnectFailures() {
  const int refused = Port("refused-port");
  MailSender nobody = OnlineMail(Trusting(Argument("ca")), refused);
  nobody.Init(true, "127.0.0.1", refused, Argument("smtp-user"), Argument("smtp-password"));
  const std::string error = SendFailure(nobody);
  CHECK_STARTS(error, "连接服务器失败（" + Endpoint("127.0.0.1", refused) + "）：");
  CHECK(error.size() >
        std::string("连接服务器失败（" + Endpoint("127.0.0.1", refused) + "）：").size());

  MailSender unknown = OnlineMail(Trusting(Argument("ca")), 465);
  unknown.Init(true, "no-such-host.invalid", 465, Argument("smtp-user"), Argument("smtp-password"));
  CHECK_STARTS(SendFailure(unknown), "解析服务器地址失败（no-such-host.invalid）：");

  std::string text;
  TlsConnectOptions options;
  options.port = 465;
  CHECK(ConnectTls(options, &text) == nullptr);
  CHECK_TEXT("服务器地址为空", text);
  options.host = "localhost";
  options.port = 70000;
  CHECK(ConnectTls(options, &text) == nullptr);
  CHECK_TEXT("服务器端口无效（70000）", text);
}

// Silent and endless servers end in the limits; a stop request ends any
// wait. (Durations are never asserted: only which limit ended the step.)
void TestLimitsAndStop() {
  const int silent = Port("silent-port");
  MailSender quiet = OnlineMail(Trusting(Argument("ca"), 300), silent);
  CHECK_TEXT("SMTP等待服务器问候失败：等待服务器超时", SendFailure(quiet));

  TlsConnectOptions total = Trusting(Argument("ca"), 30000);
  total.total_timeout_ms = 1500;
  MailSender bounded = OnlineMail(total, silent);
  CHECK_TEXT("SMTP等待服务器问候失败：等待服务器超时", SendFailure(bounded));

  const int no_handshake = Port("no-handshake-port");
  TlsConnectOptions short_connect = Trusting(Argument("ca"));
  short_connect.connect_timeout_ms = 300;
  MailSender mute = OnlineMail(short_connect, no_handshake);
  CHECK_TEXT("TLS握手超时（" + Endpoint("localhost", no_handshake) + "）", SendFailure(mute));

  MailSender endless = OnlineMail(Trusting(Argument("ca")), Port("endless-line-port"));
  CHECK_TEXT("SMTP等待服务器问候失败：服务器发来的一行过长", SendFailure(endless));

  // Asked to stop while waiting for the greeting, and before connecting.
  std::atomic<bool> stop{false};
  TlsConnectOptions options = Trusting(Argument("ca"));
  options.host = "localhost";
  options.port = silent;
  options.stop_requested = [&stop] { return stop.load(); };
  std::string error;
  std::unique_ptr<TlsStream> stream = ConnectTls(options, &error);
  CHECK(stream != nullptr);
  if (stream != nullptr) {
    std::thread stopper([&stop] {
      Sleep(200);
      stop = true;
    });
    std::string line;
    CHECK(!stream->ReadLine(&line));
    CHECK_TEXT(kStreamStoppedText, stream->error());
    stopper.join();
  }
  options.port = no_handshake;
  CHECK(ConnectTls(options, &error) == nullptr);
  const std::string stopped = kStreamStoppedText;
  CHECK(error.size() > stopped.size() &&
        error.compare(error.size() - stopped.size(), stopped.size(), stopped) == 0);
}

// ---------------------------------------------------------------------------
// HTTP over WinINet.

constexpr char kDefaultAgent[] = "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";

struct Echoed {
  bool parsed = false;
  std::string method, path, body, client;
  std::vector<std::pair<std::string, std::string>> headers;

  std::vector<std::string> Values(const std::string& name) const {
    std::vector<std::string> values;
    for (const auto& [header, value] : headers) {
      if (_stricmp(header.c_str(), name.c_str()) == 0) values.push_back(value);
    }
    return values;
  }
  std::string Value(const std::string& name) const {
    const std::vector<std::string> values = Values(name);
    if (values.empty()) return "<absent>";
    return values.size() == 1 ? values[0] : "<repeated>";
  }
};

// The echoing server's JSON; the body comes one code point per byte.
Echoed ParseEcho(const std::string& json) {
  Echoed echoed;
  rapidjson::Document document;
  document.Parse(json.c_str(), json.size());
  if (document.HasParseError() || !document.IsObject() || !document.HasMember("headers")) {
    return echoed;
  }
  echoed.parsed = true;
  echoed.method = StringMember(document, "method");
  echoed.path = StringMember(document, "path");
  echoed.client = StringMember(document, "client");
  const std::string body = StringMember(document, "body");
  for (size_t i = 0; i < body.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(body[i]);
    if (c >= 0xC0 && i + 1 < body.size()) {
      echoed.body += static_cast<char>(((c & 0x03) << 6) | (body[++i] & 0x3F));
    } else {
      echoed.body += static_cast<char>(c);
    }
  }
  for (const auto& pair : document["headers"].GetArray()) {
    echoed.headers.emplace_back(pair[0].GetString(), pair[1].GetString());
  }
  return echoed;
}

std::string Url(const std::string& path) {
  return "http://127.0.0.1:" + Argument("http-port") + path;
}

Echoed Echo(const std::string& url, const HttpOptions& options = HttpOptions()) {
  return ParseEcho(HttpRequest(url, options));
}

HttpOptions WithMethod(int method) {
  HttpOptions options;
  options.method = method;
  return options;
}

// Sets an environment setting for the life of the scope.
class ScopedSetting {
 public:
  ScopedSetting(const char* name, const char* value) : name_(name) {
    SetEnvironmentVariableA(name, value);
  }
  ~ScopedSetting() { SetEnvironmentVariableA(name_, nullptr); }

 private:
  const char* name_;
};

void TestHttpHeadersAndMethods() {
  const std::string url = Url("/echo/Path?Q=1");
  Echoed request = Echo(url);
  CHECK(request.parsed);
  CHECK_TEXT("GET", request.method);
  CHECK_TEXT("/echo/Path?Q=1", request.path);
  CHECK_TEXT(kDefaultAgent, request.Value("User-Agent"));
  CHECK_TEXT("*/*", request.Value("Accept"));
  CHECK_TEXT(url, request.Value("Referer"));
  CHECK_TEXT("zh-cn", request.Value("Accept-Language"));
  CHECK_TEXT("127.0.0.1:" + Argument("http-port"), request.Value("Host"));
  for (const char* absent : {"Content-Type", "Content-Length", "Cookie", "Expect"}) {
    CHECK_TEXT("<absent>", request.Value(absent));
  }

  HttpOptions extra;
  extra.extra_headers = "accept: text/html\r\nuser-agent: Robot/2\r\nx-trace-ID: 7";
  request = Echo(Url("/"), extra);
  CHECK_TEXT("text/html", request.Value("Accept"));
  CHECK_TEXT("Robot/2", request.Value("User-Agent"));
  CHECK(request.Values("x-trace-id").size() == 1);
  bool named_as_normalized = false;
  for (const auto& header : request.headers) named_as_normalized |= header.first == "X-Trace-ID";
  CHECK(named_as_normalized);

  HttpOptions bare_post = WithMethod(1);
  bare_post.add_default_headers = false;
  request = Echo(Url("/"), bare_post);
  for (const char* absent : {"Accept", "Referer", "Accept-Language", "Content-Type"}) {
    CHECK_TEXT("<absent>", request.Value(absent));
  }

  HttpOptions post = WithMethod(1);
  post.body_text = "a=1&b=2";
  request = Echo(Url("/"), post);
  CHECK_TEXT("POST", request.method);
  CHECK_TEXT("a=1&b=2", request.body);
  CHECK_TEXT("application/x-www-form-urlencoded", request.Value("Content-Type"));

  HttpOptions put = WithMethod(3);
  put.body_text = "text";
  put.body_bytes = std::string("\0\xFF raw", 6);
  request = Echo(Url("/"), put);
  CHECK_TEXT("PUT", request.method);
  CHECK_TEXT(std::string("\0\xFF raw", 6), request.body);

  for (int method : {9, -1}) {
    HttpOptions options = WithMethod(method);
    options.body_text = "ignored";
    request = Echo(Url("/"), options);
    CHECK_TEXT("GET", request.method);
    CHECK_TEXT("", request.body);
  }
  const std::pair<int, const char*> verbs[] = {{4, "OPTIONS"}, {5, "DELETE"}, {6, "TRACE"}};
  for (const auto& [method, verb] : verbs)
    CHECK_TEXT(verb, Echo(Url("/"), WithMethod(method)).method);
  HttpResponseDetails details;
  CHECK_TEXT("", HttpRequest(Url("/"), WithMethod(2), &details));
  CHECK_STARTS(details.headers, "HTTP/1.1 200");

  request = Echo("HTTP://LOCALHOST:" + Argument("http-port") + "/Mixed/Case");
  CHECK_TEXT("localhost:" + Argument("http-port"), request.Value("Host"));
  CHECK_TEXT("/Mixed/Case", request.path);
}

void TestHttpRedirectsCookiesAndStatuses() {
  HttpResponseDetails details;
  CHECK_TEXT("/echo/redirected",
             ParseEcho(HttpRequest(Url("/redirect"), HttpOptions(), &details)).path);
  CHECK_STARTS(details.headers, "HTTP/1.1 200");
  // Two hops, and Location values relative to the request they answer.
  CHECK_TEXT("/echo/final", Echo(Url("/redirect?to=/redirect%3Fto%3D/echo/final")).path);
  CHECK_TEXT("/echo/relative", Echo(Url("/redirect?to=echo/relative")).path);
  CHECK_TEXT("/up/x?q=1", Echo(Url("/redirect?to=../up/./x%3Fq%3D1")).path);
  // A POST becomes a GET without its body; a PUT keeps its verb, not its body.
  HttpOptions post = WithMethod(1);
  post.body_text = "a=1";
  Echoed after = Echo(Url("/redirect?to=/echo/after"), post);
  CHECK_TEXT("GET", after.method);
  CHECK_TEXT("", after.body);
  HttpOptions put = WithMethod(3);
  put.body_text = "b=2";
  after = Echo(Url("/redirect?to=/echo/after"), put);
  CHECK_TEXT("PUT", after.method);
  CHECK_TEXT("", after.body);

  HttpOptions no_redirect;
  no_redirect.no_redirect = true;
  CHECK_TEXT("moved", HttpRequest(Url("/redirect"), no_redirect, &details));
  CHECK_STARTS(details.headers, "HTTP/1.1 302");
  CHECK_HAS(details.headers, "\r\nLocation: /echo/redirected\r\n");

  HttpOptions cookies;
  cookies.request_cookies = "a=1; b=2";
  const std::string body = HttpRequest(Url("/cookies"), cookies, &details);
  CHECK_TEXT("a=1; b=2", ParseEcho(body).Value("Cookie"));
  CHECK_TEXT("b=3; c=4", details.cookies);
  CHECK_HAS(details.headers, "\r\nSet-Cookie: c=4; Path=/\r\n");
  CHECK_TEXT("\r\n\r\n", details.headers.substr(details.headers.size() - 4));
  cookies.merge_cookies = false;
  HttpRequest(Url("/cookies"), cookies, &details);
  CHECK_TEXT("b=3; c=4; a=deleted", details.cookies);
  cookies.request_cookies.reset();
  HttpRequest(Url("/cookies"), cookies, &details);
  CHECK_TEXT("b=3; c=4; a=deleted", details.cookies);
  // Nothing is kept between exchanges: the cookies just set stay behind.
  CHECK_TEXT("<absent>", Echo(Url("/echo/later")).Value("Cookie"));

  CHECK_TEXT("status 404", HttpRequest(Url("/status/404")));
  CHECK_TEXT("status 500", HttpRequest(Url("/status/500")));
}

void TestHttpFailuresAndTls() {
  ScopedSetting limit("LANFENG_HTTP_TIMEOUT_MS", "200");
  const std::string port = Argument("http-port");
  const std::vector<std::string> urls = {
      Url("/silent"),
      "http://127.0.0.1:" + Argument("refused-port") + "/",
      "http://127.0.0.1:0/",
      "http://127.0.0.1:70000/",
      "",
      "http://bad host/",
      "http://user@127.0.0.1:" + port + "/",
      std::string("http://127.0.0.1\0.x/", 20),
  };
  for (const std::string& url : urls) {
    HttpResponseDetails details{"untouched headers", "untouched cookies"};
    const std::string body = HttpRequest(url, HttpOptions(), &details);
    if (!body.empty()) std::printf("  answered: %s\n", Shown(url).c_str());
    CHECK_TEXT("", body);
    CHECK_TEXT("untouched headers", details.headers);
    CHECK_TEXT("untouched cookies", details.cookies);
  }
}

void TestHttps() {
  // The server's certificate is its own and names another host: HTTPS
  // still goes through, as the hosts' client ignored such problems.
  const std::string port = Argument("https-port");
  const Echoed request = Echo("HTTPS://127.0.0.1:" + port + "/secure");
  CHECK_TEXT("/secure", request.path);
  CHECK_TEXT("127.0.0.1:" + port, request.Value("Host"));
  // Plain HTTP to the TLS port gets no echo.
  CHECK(!Echo("http://127.0.0.1:" + port + "/secure").parsed);
}

void TestHttpProxy() {
  HttpOptions options;
  options.proxy = "127.0.0.1:" + Argument("proxy-port");
  const Echoed forwarded = Echo(Url("/via"), options);
  CHECK_TEXT("/via", forwarded.path);
  CHECK_HAS(forwarded.Value("Via"), "tinyproxy");
  CHECK_TEXT("<absent>", Echo(Url("/direct")).Value("Via"));

  // HTTPS goes through the proxy's CONNECT tunnel.
  HttpResponseDetails details;
  CHECK_TEXT("/tunnel",
             ParseEcho(HttpRequest("https://127.0.0.1:" + Argument("https-port") + "/tunnel",
                                   options, &details))
                 .path);
  CHECK_STARTS(details.headers, "HTTP/1.");
  CHECK(details.headers.find("Connection established") == std::string::npos);
}

// A server of this program that answers each request from a script and
// closes the connection: redirects that set cookies, and an answer that
// trickles, which the echoing server does not make.
class ScriptedServer {
 public:
  // The answer to a path, and the pause before each of its bytes (0: none).
  using Script = std::function<std::pair<std::string, int>(const std::string& path)>;

  explicit ScriptedServer(Script script) : script_(std::move(script)) {
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 8) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedServer() {
    closesocket(listener_);
    if (thread_.joinable()) thread_.join();
  }

  int port() const { return port_; }
  // The head of every request received, in order.
  std::vector<std::string> requests() {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
  }

 private:
  void Serve() {
    for (;;) {
      SOCKET client = accept(listener_, nullptr, nullptr);
      if (client == INVALID_SOCKET) return;
      std::string head;
      char chunk[1024];
      int got;
      while (head.find("\r\n\r\n") == std::string::npos &&
             (got = recv(client, chunk, sizeof chunk, 0)) > 0) {
        head.append(chunk, got);
      }
      const size_t start = head.find(' ') + 1;
      const std::string path = head.substr(start, head.find(' ', start) - start);
      {
        std::lock_guard<std::mutex> lock(mu_);
        requests_.push_back(head);
      }
      const auto [answer, pause_ms] = script_(path);
      if (pause_ms == 0) {
        send(client, answer.data(), static_cast<int>(answer.size()), 0);
      } else {
        for (const char byte : answer) {
          Sleep(pause_ms);
          if (send(client, &byte, 1, 0) != 1) break;
        }
      }
      shutdown(client, SD_SEND);
      while (recv(client, chunk, sizeof chunk, 0) > 0) {
      }
      closesocket(client);
    }
  }

  Script script_;
  SOCKET listener_ = INVALID_SOCKET;
  int port_ = 0;
  std::thread thread_;
  std::mutex mu_;
  std::vector<std::string> requests_;
};

// The Cookie line of a request head, or "<absent>".
std::string CookieLine(const std::string& head) {
  const size_t at = head.find("\r\nCookie: ");
  if (at == std::string::npos) return "<absent>";
  const size_t begin = at + 10;
  return head.substr(begin, head.find("\r\n", begin) - begin);
}

// Cookies set during an exchange go along on its redirects when the plan
// keeps them, by their path and host; the caller's own cookies never go to
// another host.
void TestCookiesAcrossRedirects() {
  int port = 0;
  ScriptedServer server([&port](const std::string& path) -> std::pair<std::string, int> {
    const std::string close = "Content-Length: 0\r\nConnection: close\r\n\r\n";
    if (path == "/start") {
      return {
          "HTTP/1.1 302 Found\r\nLocation: /next\r\nSet-Cookie: s=1; Path=/\r\n"
          "Set-Cookie: t=2; Path=/elsewhere\r\nSet-Cookie: gone=1; Max-Age=0\r\n"
          "Set-Cookie: old=1; Expires=Thu, 01-Jan-1970 00:00:01 GMT\r\n" +
              close,
          0};
    }
    if (path == "/cross") {
      return {"HTTP/1.1 302 Found\r\nLocation: http://localhost:" + std::to_string(port) +
                  "/next\r\n" + close,
              0};
    }
    return {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok", 0};
  });
  port = server.port();
  CHECK(port > 0);
  const std::string base = "http://127.0.0.1:" + std::to_string(port);

  CHECK_TEXT("ok", HttpRequest(base + "/start"));
  HttpOptions given;
  given.request_cookies = "a=1";
  CHECK_TEXT("ok", HttpRequest(base + "/start", given));
  CHECK_TEXT("ok", HttpRequest(base + "/cross", given));
  const std::vector<std::string> heads = server.requests();
  CHECK(heads.size() == 6);
  if (heads.size() != 6) return;
  CHECK_TEXT("<absent>", CookieLine(heads[0]));
  CHECK_TEXT("s=1", CookieLine(heads[1]));
  CHECK_TEXT("a=1", CookieLine(heads[2]));
  CHECK_TEXT("a=1", CookieLine(heads[3]));  // the caller's cookies replace the kept ones
  CHECK_TEXT("a=1", CookieLine(heads[4]));
  CHECK_TEXT("<absent>", CookieLine(heads[5]));  // not to another host
  CHECK_STARTS(heads[5], "GET /next HTTP/1.1\r\n");
}

// A server that keeps sending, slowly, never trips the per-call limits:
// the whole exchange's limit ends it.
void TestHttpTotalLimit() {
  ScriptedServer server([](const std::string&) -> std::pair<std::string, int> {
    return {"HTTP/1.1 200 OK\r\nContent-Length: 200\r\nConnection: close\r\n\r\n" +
                std::string(200, 'x'),
            20};
  });
  ScopedSetting limit("LANFENG_HTTP_TIMEOUT_MS", "200");
  HttpResponseDetails details{"untouched headers", ""};
  CHECK_TEXT("", HttpRequest("http://127.0.0.1:" + std::to_string(server.port()) + "/slow",
                             HttpOptions(), &details));
  CHECK_TEXT("untouched headers", details.headers);
}

// The threads of the process by identifier.
std::vector<DWORD> ThreadIds() {
  std::vector<DWORD> ids;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ids.push_back(entry.th32ThreadID);
  }
  CloseHandle(snapshot);
  return ids;
}

// The file name of the module a thread started in, lower case.
std::wstring StartModule(DWORD id) {
  using Query = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  constexpr int kStartAddress = 9;  // ThreadQuerySetWin32StartAddress
  const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread")));
  HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, id);
  void* start = nullptr;
  if (thread != nullptr && query != nullptr)
    query(thread, kStartAddress, &start, sizeof start, nullptr);
  if (thread != nullptr) CloseHandle(thread);
  HMODULE module = nullptr;
  wchar_t path[MAX_PATH] = L"?";
  if (GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCWSTR>(start), &module)) {
    GetModuleFileNameW(module, path, MAX_PATH);
  }
  std::wstring name = path;
  name.erase(0, name.find_last_of(L'\\') + 1);
  for (wchar_t& c : name) c = static_cast<wchar_t>(towlower(c));
  return name;
}

// Exchanges and mails leave no thread behind (run last, with the threads
// taken before the first): a host frees the library afterwards. The one
// allowed is WinINet's keeper of idle connections, which holds WinINet
// loaded itself and ends when they expire.
void TestNothingLeftRunning(const std::vector<DWORD>& before) {
  std::vector<DWORD> left;
  for (int i = 0; i < 40; ++i) {  // a thread may be on its way out
    left.clear();
    for (DWORD id : ThreadIds()) {
      if (std::find(before.begin(), before.end(), id) == before.end() &&
          StartModule(id) != L"wininet.dll") {
        left.push_back(id);
      }
    }
    if (left.empty()) break;
    Sleep(50);
  }
  for (DWORD id : left)
    std::printf("  thread %lu, started in %ls, is left\n", id, StartModule(id).c_str());
  CHECK(left.empty());
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);  // every line out at once, even into a pipe
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::string(argv[i]).compare(0, 2, "--") == 0) arguments[argv[i] + 2] = argv[i + 1];
  }
  if (arguments.count("smtp-port") == 0) {
    std::printf("run me through run-net-test.py, which starts the servers\n");
    return 2;
  }
  InitializePlatform();
  WSADATA winsock;
  WSAStartup(MAKEWORD(2, 2), &winsock);
  const std::vector<DWORD> threads_at_start = ThreadIds();
  TestEncoding();
  TestMailArrives();
  TestRefusedLogin();
  TestStreamBasics();
  TestCertificateChecks();
  TestConnectFailures();
  TestLimitsAndStop();
  TestHttpHeadersAndMethods();
  TestHttpRedirectsCookiesAndStatuses();
  TestHttpFailuresAndTls();
  TestHttps();
  TestHttpProxy();
  TestCookiesAcrossRedirects();
  TestHttpTotalLimit();
  TestNothingLeftRunning(threads_at_start);
  WSACleanup();
  return wintest::Finish();
}
