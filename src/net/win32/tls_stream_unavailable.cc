// STAND-IN for the Windows TLS stream (Schannel, still to be written): every
// connection fails at once with a text saying so, so the mail sender reports
// the failure in the owner's log instead of the build lacking ConnectTls.
#include "net/tls_stream.h"

namespace lanfeng {

std::unique_ptr<TlsStream> ConnectTls(const TlsConnectOptions&, std::string* error) {
  if (error != nullptr) *error = "TLS is not available in this build yet";
  return nullptr;
}

}  // namespace lanfeng
