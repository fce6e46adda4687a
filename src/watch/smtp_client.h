// Our SMTP client: the submission dialogue (RFC 5321, AUTH LOGIN) over an
// open TlsStream.
//
// A failure text names the step that failed and carries the server's own
// reply (say, the 535 line of a refused login), or the stream's reason (a
// timeout, a closed connection): that is what the owner needs to mend it.
#pragma once

#include <string>
#include <vector>

#include "net/tls_stream.h"

namespace lanfeng {

// What one submission sends. Addresses have passed IsValidMailAddress, so
// none can break a command line; login and password travel Base64-encoded.
struct SmtpSubmission {
  std::string login;
  std::string password;
  std::string sender;
  std::vector<std::string> recipients;
  std::string message;  // CR LF lines, not yet dot-stuffed
};

// Runs the whole dialogue: the greeting, "EHLO" with the local address
// literal, "AUTH LOGIN" with login and password, "MAIL FROM", one "RCPT TO"
// per recipient, "DATA", the dot-stuffed message with its end-of-data line,
// and "QUIT". True once the server has accepted the message (the answer to
// QUIT does not matter). On failure *error (GBK) names the step and carries
// the server's reply or the stream's reason; the server is sent QUIT.
bool SubmitMail(TlsStream& stream, const SmtpSubmission& submission, std::string* error);

// The message as it goes after DATA: every line that starts with "." gets
// another one, the last line ends in CR LF, and the end-of-data line follows.
std::string DotStuff(const std::string& message);

// Base64 (RFC 4648, with padding).
std::string Base64Encode(const std::string& bytes);

}  // namespace lanfeng
