#include "net/tls_stream_base.h"

#include <algorithm>

namespace lanfeng {

TlsStreamBase::TlsStreamBase(const TlsConnectOptions& options)
    : options_(options), total_deadline_(After(options.total_timeout_ms)) {}

TlsStreamBase::Clock::time_point TlsStreamBase::After(int ms) {
  return Clock::now() + std::chrono::milliseconds(std::max(ms, 0));
}

std::string TlsStreamBase::AddressLiteral(const char* address, bool ipv6) {
  if (address == nullptr) return "[127.0.0.1]";
  return std::string(ipv6 ? "[IPv6:" : "[") + address + "]";
}

std::string TlsStreamBase::Endpoint() const {
  return options_.host + ":" + std::to_string(options_.port);
}

bool TlsStreamBase::CheckTarget(std::string* error) const {
  if (options_.host.empty()) {
    *error = "服务器地址为空";
    return false;
  }
  if (options_.port <= 0 || options_.port > 65535) {
    *error = "服务器端口无效（" + std::to_string(options_.port) + "）";
    return false;
  }
  return true;
}

TlsStreamBase::Clock::time_point TlsStreamBase::ConnectDeadline() const {
  return std::min(After(options_.connect_timeout_ms), total_deadline_);
}

TlsStreamBase::Clock::time_point TlsStreamBase::CallDeadline() const {
  return std::min(After(options_.io_timeout_ms), total_deadline_);
}

TlsStreamBase::Io TlsStreamBase::WaitInSlices(Clock::time_point deadline, int max_ms,
                                              const std::function<Io(int ms)>& wait_once) const {
  for (;;) {
    if (options_.stop_requested && options_.stop_requested()) return Io::kStopped;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return Io::kTimedOut;
    if (options_.stop_requested) left = std::min<decltype(left)>(left, kStopCheckMs);
    const Io waited = wait_once(static_cast<int>(std::min<decltype(left)>(left, max_ms)));
    if (waited == Io::kDone || waited == Io::kFailed) return waited;
  }
}

std::string TlsStreamBase::ConnectFailure(Io waited, const std::string& reason) const {
  if (waited == Io::kTimedOut) return "连接服务器超时（" + Endpoint() + "）";
  return "连接服务器失败（" + Endpoint() + "）：" +
         (waited == Io::kStopped ? kStreamStoppedText : reason);
}

std::string TlsStreamBase::HandshakeFailure(Io outcome, const std::string& detail) const {
  if (outcome == Io::kTimedOut) return "TLS握手超时（" + Endpoint() + "）";
  const std::string failed = "TLS握手失败（" + Endpoint() + "）：";
  if (outcome == Io::kStopped) return failed + kStreamStoppedText;
  if (outcome == Io::kClosed) return failed + kStreamClosedText;
  return failed + detail;
}

bool TlsStreamBase::Fail(Io outcome, const std::string& detail) {
  broken_ = true;
  if (outcome == Io::kTimedOut) {
    error_ = kStreamTimedOutText;
  } else if (outcome == Io::kStopped) {
    error_ = kStreamStoppedText;
  } else if (outcome == Io::kClosed) {
    error_ = kStreamClosedText;
  } else {
    error_ = "连接出错：" + detail;
  }
  return false;
}

bool TlsStreamBase::Write(const std::string& data) {
  if (!Connected() || broken_) return Fail(Io::kClosed, "");
  std::string detail;
  const Io outcome = EncryptAndSend(data, CallDeadline(), &detail);
  return outcome == Io::kDone || Fail(outcome, detail);
}

// Lines end at LF; a CR before it goes too. Only the bytes that arrived
// since the last look are searched again.
bool TlsStreamBase::ReadLine(std::string* line) {
  if (!Connected() || broken_) return Fail(Io::kClosed, "");
  const Clock::time_point deadline = CallDeadline();
  size_t scanned = 0;
  for (;;) {
    const size_t end = buffer_.find('\n', scanned);
    if (end != std::string::npos) {
      line->assign(buffer_, 0, end);
      if (!line->empty() && line->back() == '\r') line->pop_back();
      buffer_.erase(0, end + 1);
      return true;
    }
    if (buffer_.size() > kMaxLineBytes) {
      broken_ = true;
      error_ = kStreamLineTooLongText;
      return false;
    }
    scanned = buffer_.size();
    std::string detail;
    const Io outcome = ReceiveAndDecrypt(deadline, &buffer_, &detail);
    if (outcome != Io::kDone) return Fail(outcome, detail);
  }
}

}  // namespace lanfeng
