// STAND-IN for the Windows HTTP transport (WinINet, still to be written):
// every exchange fails, which callers already take as "no response" (an
// empty notice text, an empty downloaded file).
#include "net/http_exchange.h"
#include "platform/platform.h"

namespace lanfeng {

bool PerformHttpExchange(const HttpExchange& exchange, std::string*, std::string*) {
  DebugTrace("HTTP is not available in this build yet: " + exchange.verb + " " + exchange.host +
             exchange.path);
  return false;
}

}  // namespace lanfeng
