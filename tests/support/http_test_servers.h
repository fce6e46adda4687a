// Real servers for the HTTP client's and the notice's tests, each started per
// test on a free port of 127.0.0.1 and killed when the object goes:
//
// - HttpTestServer: tests/servers/http_server.py under /usr/bin/python3,
//   plain or HTTPS with a self-signed certificate for another name; it
//   echoes requests as JSON and serves the notice (see the script).
// - TinyProxy: Debian's tinyproxy, an HTTP proxy that adds a Via header.
// - MicroSocks: Debian's microsocks, a SOCKS5 proxy whose outgoing
//   connections leave from an address of the test's choice.
//
// A missing program fails the test loudly: these tests are never skipped.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "support/test_platforms.h"

namespace lanfeng {

// Sets an environment setting for the life of the object, then unsets it.
class ScopedEnvironmentSetting {
 public:
  ScopedEnvironmentSetting(const char* name, const std::string& value);
  ~ScopedEnvironmentSetting();
  ScopedEnvironmentSetting(const ScopedEnvironmentSetting&) = delete;
  ScopedEnvironmentSetting& operator=(const ScopedEnvironmentSetting&) = delete;

 private:
  const char* name_;
};

// A request as the echoing server received it.
struct EchoedRequest {
  bool parsed = false;
  std::string method;
  std::string path;
  std::vector<std::pair<std::string, std::string>> headers;  // in order, names as sent
  std::string body;
  std::string client;  // the address the connection came from

  // The values of every header named `name` (any letter case).
  std::vector<std::string> Values(const std::string& name) const;
  // The one value of header `name`, or "<absent>" / "<repeated>".
  std::string Value(const std::string& name) const;
};

// Reads the echo server's JSON answer.
EchoedRequest ParseEcho(const std::string& json);

// A child process, killed and reaped when the object goes.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() { Stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv (argv[0] an absolute path) with its output going to log.
  ::testing::AssertionResult Start(const std::vector<std::string>& argv, const std::string& log);
  // True while the process has not ended.
  bool Running();
  void Stop();

 private:
  pid_t pid_ = -1;
};

class HttpTestServer {
 public:
  // Starts the server (HTTPS when tls) and waits until it listens.
  ::testing::AssertionResult Start(bool tls = false);

  int port() const { return port_; }
  // "http://127.0.0.1:PORT" + path (https:// when started with tls).
  std::string Url(const std::string& path) const;
  // Sets the bytes that /2.php answers from now on.
  void SetNotice(const std::string& bytes);

 private:
  TempDir dir_;
  ChildProcess process_;
  bool tls_ = false;
  int port_ = 0;
};

class TinyProxy {
 public:
  ::testing::AssertionResult Start();
  // "127.0.0.1:PORT", as a caller hands a proxy over.
  std::string Address() const;

 private:
  TempDir dir_;
  ChildProcess process_;
  int port_ = 0;
};

class MicroSocks {
 public:
  // outgoing: the local address the proxy's connections leave from.
  ::testing::AssertionResult Start(const std::string& outgoing);
  std::string Address() const;

 private:
  TempDir dir_;
  ChildProcess process_;
  int port_ = 0;
};

}  // namespace lanfeng
