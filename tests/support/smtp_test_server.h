// A real SMTP server for the mail sender's integration tests:
// tests/servers/smtp_server.py under /usr/bin/python3 (Debian's
// python3-aiosmtpd), with implicit TLS and AUTH LOGIN, using a self-signed
// certificate made with the openssl command when it starts.
//
// A missing interpreter, aiosmtpd or openssl fails the test loudly: these
// tests are never skipped.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "support/test_platforms.h"

namespace lanfeng {

struct SmtpServerOptions {
  // One of the script's modes: normal, reject-sender, reject-recipient,
  // close-in-data, silent-in-data, silent, trickle, endless-line,
  // no-handshake.
  std::string mode = "normal";
  // The pause between the bytes of a trickling reply.
  int trickle_delay_ms = 200;
  // Only the first this many connections misbehave, the later ones are
  // served normally; 0 misbehaves on all (no-handshake always does).
  int faulty_connections = 0;
  std::string user = "robot@qq.com";
  std::string password = "authcode";
  // The DNS name the server's certificate is issued to.
  std::string certificate_name = "localhost";
};

// One message as the server received it, decoded by Python's email package.
// Texts are UTF-8.
struct ReceivedMail {
  std::string auth_login;
  std::string mail_from;
  std::vector<std::string> rcpt_tos;
  std::string from_name;
  std::string from_address;
  std::vector<std::pair<std::string, std::string>> to;  // name, address
  std::string subject;
  bool date_valid = false;
  std::string message_id;
  std::string mime_version;
  std::string content_type;
  std::string charset;
  std::string transfer_encoding;
  std::string body;
  std::vector<std::string> defects;
  int longest_line = 0;
  int stray_line_ends = 0;  // CR or LF bytes not in a CR LF pair
};

class SmtpTestServer {
 public:
  SmtpTestServer() = default;
  ~SmtpTestServer();
  SmtpTestServer(const SmtpTestServer&) = delete;
  SmtpTestServer& operator=(const SmtpTestServer&) = delete;

  // Makes the certificate, starts the server and waits until it listens.
  ::testing::AssertionResult Start(const SmtpServerOptions& options = SmtpServerOptions());

  int port() const { return port_; }
  // The server's certificate (a native path), to be trusted as a CA.
  const std::string& certificate() const { return certificate_; }

  // Every message received so far, in order.
  std::vector<ReceivedMail> ReceivedMails() const;

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  int port_ = 0;
  std::string certificate_;
};

// Makes a self-signed certificate and its key for dns_name in directory
// `dir` (native), named after dns_name.
::testing::AssertionResult MakeCertificate(const std::string& dir, const std::string& dns_name,
                                           std::string* certificate, std::string* key);

// A port on 127.0.0.1 that refuses connections while the object lives: it is
// bound, so nobody else gets it, but nothing listens.
class RefusingPort {
 public:
  RefusingPort();
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace lanfeng
