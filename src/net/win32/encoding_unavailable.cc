// STAND-IN for the Windows ConvertEncoding (MultiByteToWideChar and
// WideCharToMultiByte, still to be written): every conversion gives the
// empty text, the documented answer for a character set that is not known.
#include "net/encoding.h"
#include "platform/platform.h"

namespace lanfeng {

std::string ConvertEncoding(const std::string& data, const std::string& source,
                            const std::string& target, std::optional<size_t>) {
  if (!data.empty()) {
    DebugTrace("text conversion is not available in this build yet: " + source + " to " + target);
  }
  return "";
}

}  // namespace lanfeng
