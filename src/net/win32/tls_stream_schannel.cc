// The Windows backend of TlsStream: Winsock and Schannel (SSPI), under the
// lines and limits of TlsStreamBase.
//
// The socket is non-blocking; every wait for it goes through select() until
// the deadline of the step, in slices short enough to notice a stop request
// promptly. Schannel only encrypts and decrypts: it is told to leave the
// server's certificate alone (manual validation), and after the handshake
// the certificate chain is built and checked here with the SSL policy and
// the host name, against the system's roots or, with a CA file, against
// exactly that file's certificates.
//
// Winsock is started by each connection and cleaned up when it closes;
// Winsock counts its users itself, so a library that is unloaded leaves
// no start behind and never calls WSACleanup from its teardown.
//
// Nothing sent (the mailbox password goes over this stream) ever reaches an
// error text or a log.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wincrypt.h>
#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS
#include <subauth.h>
#include <security.h>
#include <schannel.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "net/tls_stream_base.h"
#include "platform/win32/wide_text.h"

namespace lanfeng {
namespace {

constexpr size_t kReadChunkBytes = 16 * 1024 + 512;  // one TLS record and its overhead
// The longest single select(); a longer wait is made of several.
constexpr int kLongestSelectMs = 24 * 3600 * 1000;
constexpr DWORD kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                  ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                  ISC_REQ_STREAM;
constexpr DWORD kAcceptedProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
// The SSL policy's flag that forgives an untrusted root
// (SECURITY_FLAG_IGNORE_UNKNOWN_CA, which <wininet.h> defines).
constexpr DWORD kIgnoreUnknownCa = 0x00000100;

// Our own wording of the certificate errors an owner meets most, for
// systems that have none (Wine); null for any other code.
const char* CertificateErrorText(DWORD code) {
  switch (code) {
    case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
      return "根证书不受信任";
    case static_cast<DWORD>(CERT_E_CHAINING):
      return "无法建立到受信任根证书的证书链";
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
      return "证书不是颁发给这个主机名的";
    case static_cast<DWORD>(CERT_E_EXPIRED):
      return "证书已过期或尚未生效";
    case static_cast<DWORD>(CERT_E_WRONG_USAGE):
      return "证书不能用于验证服务器";
    case static_cast<DWORD>(CRYPT_E_REVOKED):
      return "证书已被吊销";
    default:
      return nullptr;
  }
}

// The system's wording of an error code (GBK, without the line break); for
// the codes of security and certificates (HRESULTs) the code follows in hex,
// since that is what an owner can look up.
std::string SystemErrorText(DWORD code) {
  std::wstring wide = SystemMessage(code);
  while (!wide.empty() && (wide.back() == L'.' || wide.back() == L'\x3002')) wide.pop_back();
  std::string text = GbkText(wide);
  if (code <= 0xFFFF) return text.empty() ? "错误 " + std::to_string(code) : text;
  if (text.empty() && CertificateErrorText(code) != nullptr) text = CertificateErrorText(code);
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(code));
  return text.empty() ? std::string("错误 ") + hex : text + "（" + hex + "）";
}

// A certificate store, closed when it goes.
class Store {
 public:
  Store() = default;
  ~Store() { Reset(nullptr); }
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;
  HCERTSTORE get() const { return store_; }
  void Reset(HCERTSTORE store) {
    if (store_ != nullptr) ::CertCloseStore(store_, 0);
    store_ = store;
  }

 private:
  HCERTSTORE store_ = nullptr;
};

// The certificates of a PEM file, added to `store`; false with *reason
// when the file cannot be read or holds none.
bool LoadPemCertificates(const std::string& path, HCERTSTORE store, std::string* reason) {
  std::wstring wide;
  if (!WidePath(path, &wide)) wide.clear();
  HANDLE file = wide.empty() ? INVALID_HANDLE_VALUE
                             : ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *reason = SystemErrorText(wide.empty() ? ERROR_INVALID_NAME : ::GetLastError());
    return false;
  }
  std::string text;
  char chunk[4096];
  DWORD got = 0;
  bool read_ok = true;
  while ((read_ok = ::ReadFile(file, chunk, sizeof chunk, &got, nullptr) != 0) && got > 0) {
    text.append(chunk, got);
  }
  const DWORD read_error = ::GetLastError();
  ::CloseHandle(file);
  if (!read_ok) {
    *reason = SystemErrorText(read_error);
    return false;
  }
  static const char kBegin[] = "-----BEGIN CERTIFICATE-----";
  static const char kEnd[] = "-----END CERTIFICATE-----";
  int added = 0;
  for (size_t begin = text.find(kBegin); begin != std::string::npos;
       begin = text.find(kBegin, begin + 1)) {
    const size_t end = text.find(kEnd, begin);
    if (end == std::string::npos) break;
    const std::string block = text.substr(begin, end + sizeof kEnd - 1 - begin);
    DWORD size = 0;
    if (!::CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                                CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
      continue;
    }
    std::string der(size, '\0');
    if (::CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                               CRYPT_STRING_BASE64HEADER, reinterpret_cast<BYTE*>(&der[0]), &size,
                               nullptr, nullptr) &&
        ::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
                                           reinterpret_cast<const BYTE*>(der.data()), size,
                                           CERT_STORE_ADD_ALWAYS, nullptr)) {
      ++added;
    }
  }
  if (added > 0) return true;
  *reason = "文件中没有可用的证书";
  return false;
}

class SchannelStream : public TlsStreamBase {
 public:
  explicit SchannelStream(const TlsConnectOptions& options) : TlsStreamBase(options) {}
  ~SchannelStream() override { Close(); }

  // Loads the trusted certificates, connects, shakes hands and checks the
  // certificate. False with *error naming the step.
  bool Open(std::string* error);

  void Close() override;
  std::string LocalAddressLiteral() const override;

 private:
  bool Connected() const override { return have_context_ && socket_ != INVALID_SOCKET; }
  Io EncryptAndSend(const std::string& data, Clock::time_point deadline,
                    std::string* detail) override;
  Io ReceiveAndDecrypt(Clock::time_point deadline, std::string* plain,
                       std::string* detail) override;

  bool LoadTrust(std::string* error);
  bool AcquireCredentials(std::string* error);
  bool ConnectSocket(Clock::time_point deadline, std::string* error);
  bool Handshake(Clock::time_point deadline, std::string* error);
  Io Negotiate(bool first, Clock::time_point deadline, std::string* detail);
  bool CheckSession(std::string* detail);
  bool CheckCertificate(std::string* reason);
  Io WaitForSocket(SOCKET socket, bool for_write, Clock::time_point deadline) const;
  Io AwaitSocket(bool for_write, Clock::time_point deadline, std::string* detail) const;
  Io SendAll(const char* data, size_t size, Clock::time_point deadline, std::string* detail);
  Io Receive(Clock::time_point deadline, std::string* detail);

  std::wstring target_;  // the host name Schannel sends (SNI) and the check expects
  bool winsock_started_ = false;
  SOCKET socket_ = INVALID_SOCKET;
  Store trusted_;  // the CA file's certificates; empty for the system's roots
  CredHandle credentials_{};
  bool have_credentials_ = false;
  CtxtHandle context_{};
  bool have_context_ = false;
  SecPkgContext_StreamSizes sizes_{};
  std::string verified_certificate_;  // the encoded certificate last checked
  std::string incoming_;              // received bytes not yet decrypted
};

bool SchannelStream::Open(std::string* error) {
  if (!CheckTarget(error)) return false;
  WSADATA data;
  const int started = ::WSAStartup(MAKEWORD(2, 2), &data);
  if (started != 0) {
    *error = "网络初始化失败：" + SystemErrorText(static_cast<DWORD>(started));
    return false;
  }
  winsock_started_ = true;
  const Clock::time_point deadline = ConnectDeadline();
  return LoadTrust(error) && AcquireCredentials(error) && ConnectSocket(deadline, error) &&
         Handshake(deadline, error);
}

// The CA file's certificates, when one is named.
bool SchannelStream::LoadTrust(std::string* error) {
  if (options().ca_file.empty()) return true;
  trusted_.Reset(
      ::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
  std::string reason;
  if (trusted_.get() == nullptr) {
    reason = SystemErrorText(::GetLastError());
  } else if (LoadPemCertificates(options().ca_file, trusted_.get(), &reason)) {
    return true;
  }
  *error = "读取CA证书文件失败（" + options().ca_file + "）：" + reason;
  return false;
}

// Schannel's credentials: TLS 1.2 or later, no client certificate, and the
// server's certificate left to CheckCertificate. Systems that know the
// newer structure get TLS 1.3 as well; older ones only TLS 1.2.
bool SchannelStream::AcquireCredentials(std::string* error) {
  const DWORD flags =
      SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
  TLS_PARAMETERS parameters{};
  parameters.grbitDisabledProtocols = ~kAcceptedProtocols;
  SCH_CREDENTIALS current{};
  current.dwVersion = SCH_CREDENTIALS_VERSION;
  current.dwFlags = flags;
  current.cTlsParameters = 1;
  current.pTlsParameters = &parameters;
  wchar_t package[] = UNISP_NAME_W;
  TimeStamp expiry;
  SECURITY_STATUS status =
      ::AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &current,
                                  nullptr, nullptr, &credentials_, &expiry);
  if (status != SEC_E_OK) {
    SCHANNEL_CRED older{};
    older.dwVersion = SCHANNEL_CRED_VERSION;
    older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    older.dwFlags = flags;
    status = ::AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &older,
                                         nullptr, nullptr, &credentials_, &expiry);
  }
  if (status != SEC_E_OK) {
    *error = "TLS初始化失败：" + SystemErrorText(static_cast<DWORD>(status));
    return false;
  }
  have_credentials_ = true;
  return true;
}

// Tries each address of the host in turn until one accepts, all refuse, or
// the deadline passes.
bool SchannelStream::ConnectSocket(Clock::time_point deadline, std::string* error) {
  if (!WidePath(options().host, &target_)) target_.clear();
  ADDRINFOW hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  ADDRINFOW* addresses = nullptr;
  const std::wstring port = std::to_wstring(options().port);
  const int resolved = target_.empty()
                           ? WSAHOST_NOT_FOUND
                           : ::GetAddrInfoW(target_.c_str(), port.c_str(), &hints, &addresses);
  if (resolved != 0) {
    *error = "解析服务器地址失败（" + options().host + "）：" +
             SystemErrorText(static_cast<DWORD>(resolved));
    return false;
  }
  std::string reason = "没有可用的地址";
  Io waited = Io::kDone;  // how the last wait for a connect ended
  for (ADDRINFOW* at = addresses; at != nullptr && socket_ == INVALID_SOCKET &&
                                  waited != Io::kTimedOut && waited != Io::kStopped;
       at = at->ai_next) {
    SOCKET candidate = ::WSASocketW(at->ai_family, at->ai_socktype, at->ai_protocol, nullptr, 0,
                                    WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (candidate == INVALID_SOCKET) {
      // Systems before Windows 7 SP1 lack the no-inherit flag.
      candidate = ::WSASocketW(at->ai_family, at->ai_socktype, at->ai_protocol, nullptr, 0,
                               WSA_FLAG_OVERLAPPED);
    }
    if (candidate == INVALID_SOCKET) {
      reason = SystemErrorText(static_cast<DWORD>(::WSAGetLastError()));
      continue;
    }
    u_long non_blocking = 1;
    int result = ::ioctlsocket(candidate, FIONBIO, &non_blocking);
    if (result == 0) result = ::connect(candidate, at->ai_addr, static_cast<int>(at->ai_addrlen));
    int socket_error = result == 0 ? 0 : ::WSAGetLastError();
    if (result != 0 && socket_error == WSAEWOULDBLOCK) {
      waited = WaitForSocket(candidate, true, deadline);
      int length = sizeof socket_error;
      if (waited == Io::kDone &&
          ::getsockopt(candidate, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&socket_error),
                       &length) == 0) {
        result = socket_error == 0 ? 0 : SOCKET_ERROR;
      } else if (waited == Io::kFailed) {
        socket_error = ::WSAGetLastError();
      }
    }
    if (result == 0) {
      socket_ = candidate;
    } else {
      reason = SystemErrorText(static_cast<DWORD>(socket_error));
      ::closesocket(candidate);
    }
  }
  ::FreeAddrInfoW(addresses);
  if (socket_ != INVALID_SOCKET) return true;
  *error = ConnectFailure(waited, reason);
  return false;
}

// The TLS handshake with SNI, then the certificate check.
bool SchannelStream::Handshake(Clock::time_point deadline, std::string* error) {
  std::string detail;
  const Io outcome = Negotiate(true, deadline, &detail);
  if (outcome == Io::kDone) {
    SecPkgContext_ConnectionInfo connection{};
    const bool modern = ::QueryContextAttributesW(&context_, SECPKG_ATTR_CONNECTION_INFO,
                                                  &connection) == SEC_E_OK &&
                        (connection.dwProtocol & kAcceptedProtocols) != 0;
    if (!modern) {
      detail = "服务器不支持TLS 1.2或更新的版本";
    } else if (CheckSession(&detail)) {
      return true;
    }
  }
  MarkBroken();
  *error = HandshakeFailure(outcome, detail);
  return false;
}

// After a negotiation: the server's certificate checked and the sizes of
// the records read; false with *detail.
bool SchannelStream::CheckSession(std::string* detail) {
  std::string reason;
  if (!CheckCertificate(&reason)) {
    *detail = "证书验证失败（服务器证书：" + reason + "）";
    return false;
  }
  if (::QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_) != SEC_E_OK) {
    *detail = "无法取得TLS记录的大小";
    return false;
  }
  return true;
}

// Runs InitializeSecurityContext until the handshake is complete: the first
// one from nothing, a later one (the server renegotiating, or a TLS 1.3
// message after the handshake) from the bytes already received.
SchannelStream::Io SchannelStream::Negotiate(bool first, Clock::time_point deadline,
                                             std::string* detail) {
  bool need_input = false;
  bool asked_for_credentials = false;
  for (;;) {
    if (need_input) {
      const Io received = Receive(deadline, detail);
      if (received != Io::kDone) return received;
    }
    SecBuffer in[2] = {{static_cast<unsigned long>(incoming_.size()), SECBUFFER_TOKEN,
                        incoming_.empty() ? nullptr : &incoming_[0]},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc in_description{SECBUFFER_VERSION, 2, in};
    SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc out_description{SECBUFFER_VERSION, 1, out};
    unsigned long attributes = 0;
    const bool starting = first && !have_context_;
    SECURITY_STATUS status = ::InitializeSecurityContextW(
        &credentials_, starting ? nullptr : &context_, target_.empty() ? nullptr : &target_[0],
        kContextRequest, 0, 0, starting ? nullptr : &in_description, 0,
        starting ? &context_ : nullptr, &out_description, &attributes, nullptr);
    if (starting && (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK)) have_context_ = true;
    Io sent = Io::kDone;
    if (out[0].pvBuffer != nullptr) {
      if (out[0].cbBuffer > 0) {
        sent =
            SendAll(static_cast<const char*>(out[0].pvBuffer), out[0].cbBuffer, deadline, detail);
      }
      ::FreeContextBuffer(out[0].pvBuffer);
    }
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      need_input = true;
      continue;
    }
    if (sent != Io::kDone) return sent;
    if (status == SEC_I_INCOMPLETE_CREDENTIALS && !asked_for_credentials) {
      // The server asked for a client certificate: go on without one.
      asked_for_credentials = true;
      need_input = false;
      continue;
    }
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
      *detail = SystemErrorText(static_cast<DWORD>(status));
      return Io::kFailed;
    }
    if (!starting) {
      if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer <= incoming_.size()) {
        incoming_.erase(0, incoming_.size() - in[1].cbBuffer);
      } else {
        incoming_.clear();
      }
    }
    if (status == SEC_E_OK) return Io::kDone;
    need_input = incoming_.empty();
  }
}

// Builds the server certificate's chain and checks it with the SSL policy
// for the dialled host name. With a CA file, the chain must end in one of
// its certificates, and an untrusted root is then the only error forgiven.
bool SchannelStream::CheckCertificate(std::string* reason) {
  PCCERT_CONTEXT server = nullptr;
  if (::QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &server) != SEC_E_OK ||
      server == nullptr) {
    *reason = "服务器没有出示证书";
    return false;
  }
  const std::string encoded(reinterpret_cast<const char*>(server->pbCertEncoded),
                            server->cbCertEncoded);
  // A renegotiation that shows the certificate already checked needs no
  // second check.
  if (encoded == verified_certificate_) {
    ::CertFreeCertificateContext(server);
    return true;
  }
  Store supporting;
  if (trusted_.get() != nullptr) {
    supporting.Reset(::CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr));
    if (supporting.get() != nullptr) {
      ::CertAddStoreToCollection(supporting.get(), trusted_.get(), 0, 0);
      ::CertAddStoreToCollection(supporting.get(), server->hCertStore, 0, 0);
    }
  }
  LPSTR usages[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH),
                    const_cast<LPSTR>(szOID_SERVER_GATED_CRYPTO),
                    const_cast<LPSTR>(szOID_SGC_NETSCAPE)};
  CERT_CHAIN_PARA chain_parameters{};
  chain_parameters.cbSize = sizeof chain_parameters;
  chain_parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
  chain_parameters.RequestedUsage.Usage.cUsageIdentifier = 3;
  chain_parameters.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  const bool built = ::CertGetCertificateChain(
      nullptr, server, nullptr, supporting.get() != nullptr ? supporting.get() : server->hCertStore,
      &chain_parameters, 0, nullptr, &chain);
  ::CertFreeCertificateContext(server);
  if (!built || chain == nullptr) {
    *reason = SystemErrorText(::GetLastError());
    return false;
  }
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
  ssl.cbSize = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.fdwChecks = trusted_.get() != nullptr ? kIgnoreUnknownCa : 0;
  ssl.pwszServerName = target_.empty() ? nullptr : &target_[0];
  CERT_CHAIN_POLICY_PARA policy{};
  policy.cbSize = sizeof policy;
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status{};
  status.cbSize = sizeof status;
  bool ok = ::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status) &&
            status.dwError == 0;
  if (!ok) {
    *reason = SystemErrorText(status.dwError != 0 ? status.dwError : ::GetLastError());
  } else if (trusted_.get() != nullptr) {
    const CERT_SIMPLE_CHAIN* simple =
        chain->cChain > 0 ? chain->rgpChain[chain->cChain - 1] : nullptr;
    PCCERT_CONTEXT root = simple != nullptr && simple->cElement > 0
                              ? simple->rgpElement[simple->cElement - 1]->pCertContext
                              : nullptr;
    PCCERT_CONTEXT found = root == nullptr
                               ? nullptr
                               : ::CertFindCertificateInStore(trusted_.get(), X509_ASN_ENCODING, 0,
                                                              CERT_FIND_EXISTING, root, nullptr);
    ok = found != nullptr;
    if (found != nullptr) ::CertFreeCertificateContext(found);
    if (!ok) *reason = "证书链不是由CA证书文件中的证书签发的";
  }
  ::CertFreeCertificateChain(chain);
  if (ok) verified_certificate_ = encoded;
  return ok;
}

// Waits until the socket can be written (for_write) or read (kDone), the
// deadline passes, or the caller is asked to stop. A socket error (a refused
// connect) also counts as ready.
SchannelStream::Io SchannelStream::WaitForSocket(SOCKET socket, bool for_write,
                                                 Clock::time_point deadline) const {
  return WaitInSlices(deadline, kLongestSelectMs, [socket, for_write](int ms) {
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(socket, &ready);
    FD_SET(socket, &failed);
    timeval timeout{ms / 1000, (ms % 1000) * 1000};
    const int count =
        ::select(0, for_write ? nullptr : &ready, for_write ? &ready : nullptr, &failed, &timeout);
    if (count > 0) return Io::kDone;
    return count == SOCKET_ERROR ? Io::kFailed : Io::kTimedOut;
  });
}

// After a send or recv on the stream's socket that moved nothing: kDone once
// the socket is ready again, else how the step ends (the server closed, the
// socket failed, the wait ran out or was stopped).
SchannelStream::Io SchannelStream::AwaitSocket(bool for_write, Clock::time_point deadline,
                                               std::string* detail) const {
  const int code = ::WSAGetLastError();
  if (code == WSAECONNRESET || code == WSAECONNABORTED || code == WSAESHUTDOWN) return Io::kClosed;
  if (code != WSAEWOULDBLOCK) {
    *detail = SystemErrorText(static_cast<DWORD>(code));
    return Io::kFailed;
  }
  const Io wait = WaitForSocket(socket_, for_write, deadline);
  if (wait == Io::kFailed) *detail = SystemErrorText(static_cast<DWORD>(::WSAGetLastError()));
  return wait;
}

SchannelStream::Io SchannelStream::SendAll(const char* data, size_t size,
                                           Clock::time_point deadline, std::string* detail) {
  size_t done = 0;
  while (done < size) {
    const int chunk = static_cast<int>(std::min<size_t>(size - done, 64 * 1024));
    const int sent = ::send(socket_, data + done, chunk, 0);
    if (sent > 0) {
      done += static_cast<size_t>(sent);
      continue;
    }
    const Io waited = AwaitSocket(true, deadline, detail);
    if (waited != Io::kDone) return waited;
  }
  return Io::kDone;
}

// Appends what the server sent next to incoming_, waiting for it until the
// deadline.
SchannelStream::Io SchannelStream::Receive(Clock::time_point deadline, std::string* detail) {
  char chunk[kReadChunkBytes];
  for (;;) {
    const int got = ::recv(socket_, chunk, sizeof chunk, 0);
    if (got > 0) {
      incoming_.append(chunk, static_cast<size_t>(got));
      return Io::kDone;
    }
    if (got == 0) return Io::kClosed;
    const Io waited = AwaitSocket(false, deadline, detail);
    if (waited != Io::kDone) return waited;
  }
}

// Decrypts at least one record into *plain, receiving as much as that
// takes. The server's close_notify ends the stream; a renegotiation (or a
// TLS 1.3 message after the handshake) is completed, and a certificate that
// changed on the way is checked again.
SchannelStream::Io SchannelStream::ReceiveAndDecrypt(Clock::time_point deadline, std::string* plain,
                                                     std::string* detail) {
  for (;;) {
    if (incoming_.empty()) {
      const Io received = Receive(deadline, detail);
      if (received != Io::kDone) return received;
    }
    SecBuffer buffers[4] = {
        {static_cast<unsigned long>(incoming_.size()), SECBUFFER_DATA, &incoming_[0]},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = ::DecryptMessage(&context_, &description, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      const Io received = Receive(deadline, detail);
      if (received != Io::kDone) return received;
      continue;
    }
    if (status == SEC_I_CONTEXT_EXPIRED) return Io::kClosed;
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) {
      *detail = SystemErrorText(static_cast<DWORD>(status));
      return Io::kFailed;
    }
    // The buffers point into incoming_: take the plain text and the bytes
    // after the record before incoming_ changes.
    bool decrypted = false;
    std::string extra;
    for (const SecBuffer& buffer : buffers) {
      if (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer > 0) {
        plain->append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
        decrypted = true;
      } else if (buffer.BufferType == SECBUFFER_EXTRA && buffer.cbBuffer > 0) {
        extra.assign(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
      }
    }
    incoming_ = std::move(extra);
    if (status == SEC_I_RENEGOTIATE) {
      const Io negotiated = Negotiate(false, deadline, detail);
      if (negotiated != Io::kDone) return negotiated;
      if (!CheckSession(detail)) return Io::kFailed;
    }
    if (decrypted) return Io::kDone;
  }
}

// Encrypts data record by record, each sent as soon as it is made.
SchannelStream::Io SchannelStream::EncryptAndSend(const std::string& data,
                                                  Clock::time_point deadline, std::string* detail) {
  const size_t largest = std::max<size_t>(1, sizes_.cbMaximumMessage);
  std::string record;
  for (size_t done = 0; done < data.size();) {
    const size_t size = std::min(largest, data.size() - done);
    record.assign(sizes_.cbHeader + size + sizes_.cbTrailer, '\0');
    std::memcpy(&record[sizes_.cbHeader], data.data() + done, size);
    SecBuffer buffers[4] = {
        {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, &record[0]},
        {static_cast<unsigned long>(size), SECBUFFER_DATA, &record[sizes_.cbHeader]},
        {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, &record[sizes_.cbHeader + size]},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
    // Encrypted in place: record holds no plain text afterwards.
    const SECURITY_STATUS status = ::EncryptMessage(&context_, 0, &description, 0);
    if (status != SEC_E_OK) {
      *detail = SystemErrorText(static_cast<DWORD>(status));
      return Io::kFailed;
    }
    const size_t length = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
    const Io sent = SendAll(record.data(), std::min(length, record.size()), deadline, detail);
    if (sent != Io::kDone) return sent;
    done += size;
  }
  return Io::kDone;
}

void SchannelStream::Close() {
  if (have_context_) {
    // One try at close_notify; the server's answer is not awaited.
    DWORD shutdown = SCHANNEL_SHUTDOWN;
    SecBuffer token = {sizeof shutdown, SECBUFFER_TOKEN, &shutdown};
    SecBufferDesc token_description{SECBUFFER_VERSION, 1, &token};
    if (!broken() && socket_ != INVALID_SOCKET &&
        ::ApplyControlToken(&context_, &token_description) == SEC_E_OK) {
      SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
      SecBufferDesc out_description{SECBUFFER_VERSION, 1, out};
      unsigned long attributes = 0;
      const SECURITY_STATUS status = ::InitializeSecurityContextW(
          &credentials_, &context_, target_.empty() ? nullptr : &target_[0], kContextRequest, 0, 0,
          nullptr, 0, nullptr, &out_description, &attributes, nullptr);
      if (out[0].pvBuffer != nullptr) {
        if ((status == SEC_E_OK || status == SEC_I_CONTEXT_EXPIRED) && out[0].cbBuffer > 0) {
          ::send(socket_, static_cast<const char*>(out[0].pvBuffer),
                 static_cast<int>(out[0].cbBuffer), 0);
        }
        ::FreeContextBuffer(out[0].pvBuffer);
      }
    }
    ::DeleteSecurityContext(&context_);
    have_context_ = false;
  }
  if (have_credentials_) {
    ::FreeCredentialsHandle(&credentials_);
    have_credentials_ = false;
  }
  if (socket_ != INVALID_SOCKET) ::closesocket(socket_);
  socket_ = INVALID_SOCKET;
  trusted_.Reset(nullptr);
  if (winsock_started_) ::WSACleanup();
  winsock_started_ = false;
}

std::string SchannelStream::LocalAddressLiteral() const {
  sockaddr_storage local{};
  int length = sizeof local;
  if (socket_ == INVALID_SOCKET ||
      ::getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return AddressLiteral(nullptr, false);
  }
  const bool ipv6 = local.ss_family == AF_INET6;
  void* address = ipv6 ? static_cast<void*>(&reinterpret_cast<sockaddr_in6*>(&local)->sin6_addr)
                       : &reinterpret_cast<sockaddr_in*>(&local)->sin_addr;
  char text[INET6_ADDRSTRLEN] = "";
  ::InetNtopA(ipv6 ? AF_INET6 : AF_INET, address, text, sizeof text);
  return AddressLiteral(text, ipv6);
}

}  // namespace

std::unique_ptr<TlsStream> ConnectTls(const TlsConnectOptions& options, std::string* error) {
  auto stream = std::make_unique<SchannelStream>(options);
  std::string unused;
  if (!stream->Open(error != nullptr ? error : &unused)) return nullptr;
  return stream;
}

}  // namespace lanfeng
