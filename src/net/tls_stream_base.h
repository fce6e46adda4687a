// What every TLS stream backend has in common: the connection's options and
// time limits, the decrypted bytes not yet read, the broken state and the
// failure texts, and the reading of lines.
//
// A backend (OpenSSL on Linux, Schannel on Windows) derives from
// TlsStreamBase and supplies only its own work: opening the connection,
// encrypting and sending, receiving and decrypting, closing. Lines are split
// here, on top of the backend's one step "decrypt some more", so every
// backend reads the same lines, with the same 8 KiB limit and the same
// failure texts. No operating-system or TLS library header appears here.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "net/tls_stream.h"

namespace lanfeng {

class TlsStreamBase : public TlsStream {
 public:
  using Clock = std::chrono::steady_clock;

  // The longest line ReadLine accepts, without its LF.
  static constexpr size_t kMaxLineBytes = 8192;
  // The longest wait for the server between two looks at the stop request.
  static constexpr int kStopCheckMs = 100;

  TlsStreamBase(const TlsStreamBase&) = delete;
  TlsStreamBase& operator=(const TlsStreamBase&) = delete;

  bool Write(const std::string& data) final;
  bool ReadLine(std::string* line) final;
  const std::string& error() const final { return error_; }

 protected:
  // How a step that waits for the server ended.
  enum class Io { kDone, kTimedOut, kStopped, kClosed, kFailed };

  // The whole life of the connection starts now.
  explicit TlsStreamBase(const TlsConnectOptions& options);

  // Whether the backend holds an established session over an open socket.
  virtual bool Connected() const = 0;

  // Encrypts all of data and sends it, waiting no later than deadline.
  // kFailed comes with *detail saying why.
  virtual Io EncryptAndSend(const std::string& data, Clock::time_point deadline,
                            std::string* detail) = 0;

  // Appends at least one more decrypted byte to *plain, receiving and
  // waiting for the server no later than deadline. kFailed comes with
  // *detail saying why.
  virtual Io ReceiveAndDecrypt(Clock::time_point deadline, std::string* plain,
                               std::string* detail) = 0;

  // ms milliseconds from now (none when negative).
  static Clock::time_point After(int ms);

  // An address (numeric text) as an SMTP address literal: "[192.0.2.7]" or,
  // for IPv6, "[IPv6:2001:db8::7]". Null, for an address that could not be
  // learned, gives the loopback address.
  static std::string AddressLiteral(const char* address, bool ipv6);

  const TlsConnectOptions& options() const { return options_; }
  bool broken() const { return broken_; }
  // Makes the stream unusable (a failed handshake); Close then skips the
  // polite goodbye.
  void MarkBroken() { broken_ = true; }

  // "host:port", for failure texts.
  std::string Endpoint() const;

  // Checks the host and port before any connecting. False with *error.
  bool CheckTarget(std::string* error) const;

  // When connecting and the handshake must be done, and when one read or
  // write call must be; neither later than the end of the whole life.
  Clock::time_point ConnectDeadline() const;
  Clock::time_point CallDeadline() const;

  // Waits for the socket in slices until it is ready (kDone), the wait
  // fails (kFailed), the deadline passes (kTimedOut) or the caller is asked
  // to stop (kStopped). wait_once(ms) waits for the socket at most ms
  // milliseconds (1 to max_ms) and answers kDone when it is ready, kFailed
  // when the wait failed, anything else when the slice ran out. A caller
  // that may be asked to stop is asked before every slice, and no slice is
  // then longer than kStopCheckMs.
  Io WaitInSlices(Clock::time_point deadline, int max_ms,
                  const std::function<Io(int ms)>& wait_once) const;

  // The failure text of connecting: `waited` is how the last wait for a
  // connect ended, reason why the last address was refused.
  std::string ConnectFailure(Io waited, const std::string& reason) const;

  // The failure text of a handshake that ended with `outcome`; detail says
  // why when it failed otherwise than by time, stop or close.
  std::string HandshakeFailure(Io outcome, const std::string& detail) const;

 private:
  // Records why a read or write failed; the stream is unusable afterwards.
  bool Fail(Io outcome, const std::string& detail);

  TlsConnectOptions options_;
  Clock::time_point total_deadline_;
  std::string buffer_;  // decrypted bytes not yet read as lines
  bool broken_ = false;
  std::string error_;
};

}  // namespace lanfeng
