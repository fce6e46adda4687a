// A TLS connection to a server, read line by line: what the mail sender
// talks SMTP over.
//
// The connection is encrypted from its first byte (implicit TLS, as on port
// 465), the server's certificate is verified against the system's CA store
// or a CA file the caller names, the certificate must be issued to the host
// name that was dialled, and nothing older than TLS 1.2 is accepted.
//
// Every step has a time limit in real time (not the plugin's host time): the
// connect phase (TCP and handshake), each read or write call, and the whole
// life of the connection. A silent or trickling server therefore ends in a
// timeout failure, never a hang. A caller that may be asked to stop sooner
// (a worker of a library being unloaded) says so, and every wait ends within
// a tenth of a second of the request.
//
// Failure texts are GBK, for the owner's log line. The backends (OpenSSL in
// tls_stream_openssl.cc, Schannel in win32/tls_stream_schannel.cc) derive
// from TlsStreamBase (tls_stream_base.h), which reads the lines and words
// the failures for both; no TLS library or operating-system header appears
// here.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace lanfeng {

// Where to connect and how long each step may take (real milliseconds). The
// defaults suit a mail submission: one dead server must not stall the
// dispatcher, whose cycle is 76 seconds, for long.
struct TlsConnectOptions {
  std::string host;
  int port = 0;
  // A PEM file of trusted certificates; empty trusts the system's CA store.
  std::string ca_file;
  int connect_timeout_ms = 15000;
  int io_timeout_ms = 30000;
  int total_timeout_ms = 90000;
  // Asked, on the connection's thread, before and during every wait for the
  // server; true ends the step at once with kStreamStoppedText. Empty: the
  // limits alone end a step.
  std::function<bool()> stop_requested;
};

// The reasons a read or write fails, worded once for every backend.
inline constexpr const char kStreamTimedOutText[] = "等待服务器超时";
inline constexpr const char kStreamClosedText[] = "服务器断开了连接";
inline constexpr const char kStreamLineTooLongText[] = "服务器发来的一行过长";
inline constexpr const char kStreamStoppedText[] = "插件正在卸载，发送已中止";

// One open connection. Not safe for use by two threads at once.
class TlsStream {
 public:
  virtual ~TlsStream() = default;

  // Sends all of data. False when the connection failed, closed or timed
  // out (see error()); the stream is then unusable.
  virtual bool Write(const std::string& data) = 0;

  // Reads the next line, which ends at LF; *line gets it without the LF and
  // without a CR before it. False (see error()) on a closed connection,
  // on a timeout before the whole line arrived, or on a line longer than
  // 8 KiB.
  virtual bool ReadLine(std::string* line) = 0;

  // Ends the session politely and closes the connection, without waiting
  // for the server. Later calls fail. The destructor closes too.
  virtual void Close() = 0;

  // Why the last Write or ReadLine failed (GBK).
  virtual const std::string& error() const = 0;

  // The local end's address as an SMTP address literal: "[192.0.2.7]" or
  // "[IPv6:2001:db8::7]".
  virtual std::string LocalAddressLiteral() const = 0;
};

// Opens a connection and completes the TLS handshake. Null on failure, with
// *error (GBK) naming the step (resolving the host, connecting, loading the
// CA file, the handshake or the certificate check) and the system's reason.
std::unique_ptr<TlsStream> ConnectTls(const TlsConnectOptions& options, std::string* error);

}  // namespace lanfeng
