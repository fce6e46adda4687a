// The OpenSSL backend of TlsStream: the connection, the handshake and the
// records, under the lines and limits of TlsStreamBase.
//
// Sockets are non-blocking; every OpenSSL call that wants to read or write
// waits in poll() until the deadline of the step, so no step can hang, in
// slices short enough to notice a stop request promptly. The
// socket is reached through a small BIO of our own that sends with
// MSG_NOSIGNAL: a server that closes the connection while we write must not
// raise SIGPIPE, whose default action would end the host process.
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <functional>

#include "net/tls_stream_base.h"

namespace lanfeng {
namespace {

constexpr size_t kReadChunkBytes = 4096;

// The reasons OpenSSL queued on this thread, oldest first; empties the queue.
std::string TakeOpenSslErrors() {
  std::string text;
  while (unsigned long code = ERR_get_error()) {
    const char* reason = ERR_reason_error_string(code);
    char fallback[256];
    if (reason == nullptr) {
      ERR_error_string_n(code, fallback, sizeof fallback);
      reason = fallback;
    }
    if (!text.empty()) text += "; ";
    text += reason;
  }
  return text;
}

bool IsIpLiteral(const std::string& host) {
  unsigned char address[sizeof(in6_addr)];
  return ::inet_pton(AF_INET, host.c_str(), address) == 1 ||
         ::inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// The state behind our socket BIO.
struct SocketBioState {
  int fd = -1;
  bool eof = false;
};

int SocketBioWrite(BIO* bio, const char* data, int size) {
  auto* state = static_cast<SocketBioState*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  ssize_t sent = ::send(state->fd, data, static_cast<size_t>(size), MSG_NOSIGNAL);
  if (sent >= 0) return static_cast<int>(sent);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) BIO_set_retry_write(bio);
  return -1;
}

int SocketBioRead(BIO* bio, char* data, int size) {
  auto* state = static_cast<SocketBioState*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  ssize_t got = ::recv(state->fd, data, static_cast<size_t>(size), 0);
  if (got > 0) return static_cast<int>(got);
  if (got == 0) {
    state->eof = true;
    return 0;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) BIO_set_retry_read(bio);
  return -1;
}

// OpenSSL asks a BIO to flush and whether the peer has closed; nothing else.
long SocketBioControl(BIO* bio, int command, long, void*) {
  if (command == BIO_CTRL_FLUSH) return 1;
  if (command == BIO_CTRL_EOF) return static_cast<SocketBioState*>(BIO_get_data(bio))->eof ? 1 : 0;
  return 0;
}

class OpenSslStream : public TlsStreamBase {
 public:
  explicit OpenSslStream(const TlsConnectOptions& options) : TlsStreamBase(options) {}
  ~OpenSslStream() override { Close(); }

  // Loads the trusted certificates, connects, shakes hands and checks the
  // certificate. False with *error naming the step.
  bool Open(std::string* error);

  void Close() override;
  std::string LocalAddressLiteral() const override;

 private:
  bool Connected() const override { return ssl_ != nullptr; }
  Io EncryptAndSend(const std::string& data, Clock::time_point deadline,
                    std::string* detail) override;
  Io ReceiveAndDecrypt(Clock::time_point deadline, std::string* plain,
                       std::string* detail) override;

  bool MakeContext(std::string* error);
  bool ConnectSocket(Clock::time_point deadline, std::string* error);
  bool Handshake(Clock::time_point deadline, std::string* error);
  Io WaitForSocket(int fd, short events, Clock::time_point deadline) const;
  Io Drive(const std::function<int()>& call, Clock::time_point deadline, std::string* detail);

  SocketBioState socket_;
  BIO_METHOD* bio_method_ = nullptr;
  SSL_CTX* context_ = nullptr;
  SSL* ssl_ = nullptr;
};

bool OpenSslStream::Open(std::string* error) {
  if (!CheckTarget(error)) return false;
  const Clock::time_point deadline = ConnectDeadline();
  return MakeContext(error) && ConnectSocket(deadline, error) && Handshake(deadline, error);
}

// The TLS settings: version 1.2 or later, the peer verified against the
// chosen CA certificates.
bool OpenSslStream::MakeContext(std::string* error) {
  ERR_clear_error();
  context_ = SSL_CTX_new(TLS_client_method());
  if (context_ == nullptr) {
    *error = "TLS初始化失败：" + TakeOpenSslErrors();
    return false;
  }
  SSL_CTX_set_min_proto_version(context_, TLS1_2_VERSION);
  SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_options(context_, SSL_OP_IGNORE_UNEXPECTED_EOF);
  if (options().ca_file.empty()) {
    if (SSL_CTX_set_default_verify_paths(context_) == 1) return true;
    *error = "读取系统CA证书失败：" + TakeOpenSslErrors();
    return false;
  }
  if (SSL_CTX_load_verify_locations(context_, options().ca_file.c_str(), nullptr) == 1) return true;
  *error = "读取CA证书文件失败（" + options().ca_file + "）：" + TakeOpenSslErrors();
  return false;
}

// Tries each address of the host in turn until one accepts, all refuse, or
// the deadline passes.
bool OpenSslStream::ConnectSocket(Clock::time_point deadline, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* addresses = nullptr;
  const std::string port = std::to_string(options().port);
  int resolved = ::getaddrinfo(options().host.c_str(), port.c_str(), &hints, &addresses);
  if (resolved != 0) {
    *error = "解析服务器地址失败（" + options().host + "）：" + ::gai_strerror(resolved);
    return false;
  }
  std::string reason = "没有可用的地址";
  Io waited = Io::kDone;  // how the last wait for a connect ended
  for (addrinfo* at = addresses;
       at != nullptr && socket_.fd < 0 && waited != Io::kTimedOut && waited != Io::kStopped;
       at = at->ai_next) {
    int fd =
        ::socket(at->ai_family, at->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, at->ai_protocol);
    if (fd < 0) {
      reason = std::strerror(errno);
      continue;
    }
    int result = ::connect(fd, at->ai_addr, at->ai_addrlen);
    if (result != 0 && errno == EINPROGRESS) {
      waited = WaitForSocket(fd, POLLOUT, deadline);
      int socket_error = 0;
      socklen_t length = sizeof socket_error;
      if (waited == Io::kDone &&
          ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &socket_error, &length) == 0) {
        errno = socket_error;
        result = socket_error == 0 ? 0 : -1;
      }
    }
    if (result == 0) {
      socket_.fd = fd;
    } else {
      reason = std::strerror(errno);
      ::close(fd);
    }
  }
  ::freeaddrinfo(addresses);
  if (socket_.fd >= 0) return true;
  *error = ConnectFailure(waited, reason);
  return false;
}

// The TLS handshake with SNI and the host-name check on the certificate.
bool OpenSslStream::Handshake(Clock::time_point deadline, std::string* error) {
  bio_method_ = BIO_meth_new(BIO_TYPE_SOURCE_SINK, "lanfeng socket");
  BIO* bio = bio_method_ == nullptr ? nullptr : BIO_new(bio_method_);
  ssl_ = SSL_new(context_);
  if (bio != nullptr) {
    BIO_meth_set_write(bio_method_, SocketBioWrite);
    BIO_meth_set_read(bio_method_, SocketBioRead);
    BIO_meth_set_ctrl(bio_method_, SocketBioControl);
    BIO_set_data(bio, &socket_);
    BIO_set_init(bio, 1);
  }
  if (ssl_ == nullptr || bio == nullptr) {
    BIO_free(bio);
    *error = "TLS初始化失败：" + TakeOpenSslErrors();
    return false;
  }
  SSL_set_bio(ssl_, bio, bio);
  bool named = (IsIpLiteral(options().host) ||
                SSL_set_tlsext_host_name(ssl_, options().host.c_str()) == 1) &&
               SSL_set1_host(ssl_, options().host.c_str()) == 1;
  if (!named) {
    *error = "TLS初始化失败（" + options().host + "）：" + TakeOpenSslErrors();
    return false;
  }
  std::string detail;
  Io outcome = Drive([this] { return SSL_connect(ssl_); }, deadline, &detail);
  if (outcome == Io::kDone && SSL_get_verify_result(ssl_) == X509_V_OK) return true;
  if (outcome != Io::kDone) MarkBroken();
  long verify = SSL_get_verify_result(ssl_);
  if (verify != X509_V_OK) {
    detail += "（服务器证书：";
    detail += X509_verify_cert_error_string(verify);
    detail += "）";
  }
  *error = HandshakeFailure(outcome, detail);
  return false;
}

// Waits until fd is ready for `events` (kDone), the deadline passes, or the
// caller is asked to stop.
OpenSslStream::Io OpenSslStream::WaitForSocket(int fd, short events,
                                               Clock::time_point deadline) const {
  return WaitInSlices(deadline, INT_MAX, [fd, events](int ms) {
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, ms);
    if (ready > 0) return Io::kDone;
    return ready < 0 && errno != EINTR ? Io::kFailed : Io::kTimedOut;
  });
}

// Repeats an OpenSSL call until it succeeds, fails, or must wait past the
// deadline for the socket.
OpenSslStream::Io OpenSslStream::Drive(const std::function<int()>& call, Clock::time_point deadline,
                                       std::string* detail) {
  for (;;) {
    ERR_clear_error();
    errno = 0;
    int result = call();
    if (result > 0) return Io::kDone;
    int system_error = errno;
    int code = SSL_get_error(ssl_, result);
    short events = 0;
    if (code == SSL_ERROR_WANT_READ) {
      events = POLLIN;
    } else if (code == SSL_ERROR_WANT_WRITE) {
      events = POLLOUT;
    } else if (code == SSL_ERROR_ZERO_RETURN) {
      return Io::kClosed;
    } else {
      *detail = TakeOpenSslErrors();
      if (detail->empty() &&
          (system_error == 0 || system_error == ECONNRESET || system_error == EPIPE)) {
        return Io::kClosed;
      }
      if (detail->empty()) *detail = std::strerror(system_error);
      return Io::kFailed;
    }
    const Io wait = WaitForSocket(socket_.fd, events, deadline);
    if (wait == Io::kFailed) *detail = std::strerror(errno);
    if (wait != Io::kDone) return wait;
  }
}

OpenSslStream::Io OpenSslStream::EncryptAndSend(const std::string& data, Clock::time_point deadline,
                                                std::string* detail) {
  size_t done = 0;
  while (done < data.size()) {
    size_t written = 0;
    Io outcome =
        Drive([&] { return SSL_write_ex(ssl_, data.data() + done, data.size() - done, &written); },
              deadline, detail);
    if (outcome != Io::kDone) return outcome;
    done += written;
  }
  return Io::kDone;
}

OpenSslStream::Io OpenSslStream::ReceiveAndDecrypt(Clock::time_point deadline, std::string* plain,
                                                   std::string* detail) {
  char chunk[kReadChunkBytes];
  size_t got = 0;
  Io outcome =
      Drive([&] { return SSL_read_ex(ssl_, chunk, sizeof chunk, &got); }, deadline, detail);
  if (outcome == Io::kDone) plain->append(chunk, got);
  return outcome;
}

void OpenSslStream::Close() {
  if (ssl_ != nullptr) {
    // One try at close_notify; the server's answer is not awaited.
    if (!broken()) SSL_shutdown(ssl_);
    SSL_free(ssl_);
    ssl_ = nullptr;
  }
  ERR_clear_error();
  SSL_CTX_free(context_);
  context_ = nullptr;
  BIO_meth_free(bio_method_);
  bio_method_ = nullptr;
  if (socket_.fd >= 0) ::close(socket_.fd);
  socket_.fd = -1;
}

std::string OpenSslStream::LocalAddressLiteral() const {
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (socket_.fd < 0 ||
      ::getsockname(socket_.fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return AddressLiteral(nullptr, false);
  }
  const bool ipv6 = local.ss_family == AF_INET6;
  const void* address =
      ipv6 ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(&local)->sin6_addr)
           : &reinterpret_cast<sockaddr_in*>(&local)->sin_addr;
  char text[INET6_ADDRSTRLEN] = "";
  ::inet_ntop(ipv6 ? AF_INET6 : AF_INET, address, text, sizeof text);
  return AddressLiteral(text, ipv6);
}

}  // namespace

std::unique_ptr<TlsStream> ConnectTls(const TlsConnectOptions& options, std::string* error) {
  auto stream = std::make_unique<OpenSslStream>(options);
  if (!stream->Open(error)) return nullptr;
  return stream;
}

}  // namespace lanfeng
