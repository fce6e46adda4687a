#include "support/http_test_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <rapidjson/document.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "runtime/gbk_text.h"
#include "support/child_process.h"
#include "support/smtp_test_server.h"

namespace lanfeng {
namespace {

constexpr char kPython[] = "/usr/bin/python3";
constexpr char kTinyProxy[] = "/usr/bin/tinyproxy";
constexpr char kMicroSocks[] = "/usr/bin/microsocks";
constexpr auto kStartLimit = std::chrono::seconds(30);
// A proxy is told its port; another process may take that port first, so a
// proxy that ends at once is started again on a new one.
constexpr int kProxyAttempts = 5;

std::string ScriptPath() {
  return (std::filesystem::path(__FILE__).parent_path().parent_path() / "servers" /
          "http_server.py")
      .string();
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path + ".tmp", std::ios::binary) << bytes;
  std::filesystem::rename(path + ".tmp", path);
}

::testing::AssertionResult RequireProgram(const char* path, const char* package) {
  if (::access(path, X_OK) == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << path << " is missing; install Debian's " << package << " (.ci/install-packages)";
}

// A port of 127.0.0.1 that was free a moment ago.
int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  if (fd >= 0) ::close(fd);
  return port;
}

bool Accepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool connected =
      fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (fd >= 0) ::close(fd);
  return connected;
}

enum class Readiness { kListening, kEnded, kTimedOut };

// Waits until something accepts connections on port, or the process ends.
Readiness AwaitListening(ChildProcess* process, int port) {
  const auto give_up = std::chrono::steady_clock::now() + kStartLimit;
  while (std::chrono::steady_clock::now() < give_up) {
    if (!process->Running()) return Readiness::kEnded;
    if (Accepts(port)) return Readiness::kListening;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return Readiness::kTimedOut;
}

// Starts a proxy made by `argv_for(port)` on a free port; *port gets it.
template <typename ArgvFor>
::testing::AssertionResult StartProxy(ChildProcess* process, const std::string& log,
                                      ArgvFor argv_for, int* port) {
  for (int attempt = 0; attempt < kProxyAttempts; ++attempt) {
    *port = FreePort();
    ::testing::AssertionResult started = process->Start(argv_for(*port), log);
    if (!started) return started;
    const Readiness readiness = AwaitListening(process, *port);
    if (readiness == Readiness::kListening) return ::testing::AssertionSuccess();
    process->Stop();
    if (readiness == Readiness::kTimedOut) break;
  }
  return ::testing::AssertionFailure() << "the proxy did not start:\n" << ReadWholeFile(log);
}

std::string StringMember(const rapidjson::Value& object, const char* name) {
  const auto found = object.FindMember(name);
  if (found == object.MemberEnd() || !found->value.IsString()) return "";
  return std::string(found->value.GetString(), found->value.GetStringLength());
}

// The body travels as one code point per byte; back to bytes.
std::string LatinToBytes(const std::string& utf8) {
  std::string bytes;
  for (size_t i = 0; i < utf8.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c >= 0xC0 && i + 1 < utf8.size()) {
      bytes += static_cast<char>(((c & 0x03) << 6) | (utf8[++i] & 0x3F));
    } else {
      bytes += static_cast<char>(c);
    }
  }
  return bytes;
}

}  // namespace

ScopedEnvironmentSetting::ScopedEnvironmentSetting(const char* name, const std::string& value)
    : name_(name) {
  ::setenv(name, value.c_str(), 1);
}

ScopedEnvironmentSetting::~ScopedEnvironmentSetting() { ::unsetenv(name_); }

std::vector<std::string> EchoedRequest::Values(const std::string& name) const {
  std::vector<std::string> values;
  for (const auto& [header, value] : headers) {
    if (EqualsIgnoreCase(header, name)) values.push_back(value);
  }
  return values;
}

std::string EchoedRequest::Value(const std::string& name) const {
  const std::vector<std::string> values = Values(name);
  if (values.empty()) return "<absent>";
  return values.size() == 1 ? values[0] : "<repeated>";
}

EchoedRequest ParseEcho(const std::string& json) {
  EchoedRequest request;
  rapidjson::Document document;
  document.Parse(json.c_str(), json.size());
  if (document.HasParseError() || !document.IsObject() || !document.HasMember("headers")) {
    return request;
  }
  request.parsed = true;
  request.method = StringMember(document, "method");
  request.path = StringMember(document, "path");
  request.body = LatinToBytes(StringMember(document, "body"));
  request.client = StringMember(document, "client");
  for (const auto& pair : document["headers"].GetArray()) {
    request.headers.emplace_back(pair[0].GetString(), pair[1].GetString());
  }
  return request;
}

::testing::AssertionResult ChildProcess::Start(const std::vector<std::string>& argv,
                                               const std::string& log) {
  pid_ = SpawnWithLog(argv, log);
  if (pid_ < 0) return ::testing::AssertionFailure() << "could not start " << argv[0];
  return ::testing::AssertionSuccess();
}

bool ChildProcess::Running() {
  if (pid_ <= 0) return false;
  if (::waitpid(pid_, nullptr, WNOHANG) != pid_) return true;
  pid_ = -1;
  return false;
}

void ChildProcess::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

::testing::AssertionResult HttpTestServer::Start(bool tls) {
  ::testing::AssertionResult present = RequireProgram(kPython, "python3");
  if (!present) return present;
  tls_ = tls;
  const std::string port_file = dir_.native() + "/port";
  const std::string log = dir_.native() + "/server.log";
  SetNotice("");
  std::vector<std::string> argv = {kPython,   ScriptPath(),    "--port-file",
                                   port_file, "--notice-file", dir_.native() + "/notice"};
  if (tls) {
    // Issued to a name the tests never use: a verifying client would refuse it.
    std::string certificate, key;
    ::testing::AssertionResult made =
        MakeCertificate(dir_.native(), "elsewhere.invalid", &certificate, &key);
    if (!made) return made;
    argv.insert(argv.end(), {"--cert", certificate, "--key", key});
  }
  ::testing::AssertionResult started = process_.Start(argv, log);
  if (!started) return started;
  const auto give_up = std::chrono::steady_clock::now() + kStartLimit;
  while (std::chrono::steady_clock::now() < give_up) {
    port_ = std::atoi(ReadWholeFile(port_file).c_str());
    if (port_ > 0) return ::testing::AssertionSuccess();
    if (!process_.Running()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return ::testing::AssertionFailure() << "the HTTP test server did not start:\n"
                                       << ReadWholeFile(log);
}

std::string HttpTestServer::Url(const std::string& path) const {
  return (tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_) + path;
}

void HttpTestServer::SetNotice(const std::string& bytes) {
  WriteWholeFile(dir_.native() + "/notice", bytes);
}

::testing::AssertionResult TinyProxy::Start() {
  ::testing::AssertionResult present = RequireProgram(kTinyProxy, "tinyproxy");
  if (!present) return present;
  const std::string config = dir_.native() + "/tinyproxy.conf";
  const auto argv_for = [&config](int port) {
    const std::string settings = "Listen 127.0.0.1\nAllow 127.0.0.1\nTimeout 30\nLogLevel Info\n";
    WriteWholeFile(config, "Port " + std::to_string(port) + "\n" + settings);
    return std::vector<std::string>{kTinyProxy, "-d", "-c", config};
  };
  return StartProxy(&process_, dir_.native() + "/tinyproxy.log", argv_for, &port_);
}

std::string TinyProxy::Address() const { return "127.0.0.1:" + std::to_string(port_); }

::testing::AssertionResult MicroSocks::Start(const std::string& outgoing) {
  ::testing::AssertionResult present = RequireProgram(kMicroSocks, "microsocks");
  if (!present) return present;
  const auto argv_for = [&outgoing](int port) {
    return std::vector<std::string>{kMicroSocks,          "-i", "127.0.0.1", "-p",
                                    std::to_string(port), "-b", outgoing};
  };
  return StartProxy(&process_, dir_.native() + "/microsocks.log", argv_for, &port_);
}

std::string MicroSocks::Address() const { return "127.0.0.1:" + std::to_string(port_); }

}  // namespace lanfeng
