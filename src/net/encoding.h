// ConvertEncoding: re-encodes bytes from one character set to another.
//
// Character sets are named as the Windows stream object names them, in any
// letter case: "UTF-8", "GBK", "gb2312" (which, as on Windows, is GBK),
// "unicode" (UTF-16 little-endian), "unicodeFFFE" (big-endian), and any
// other name glibc's iconv knows ("Big5", "ISO-8859-1", ...).
//
// Byte-order marks: a leading mark of the source character set is dropped
// from the input; the output of "UTF-8", "unicode" and "unicodeFFFE" begins
// with its mark (EF BB BF, FF FE, FE FF), which a start position skips.
//
// Characters the target cannot hold are dropped one by one, and so are input
// bytes that are not text in the source character set; the rest of the text
// always comes through. Nothing throws; any thread may call it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace lanfeng {

// The bytes of `data` re-encoded from `source` to `target` (an empty name
// means "UTF-8" for the source, "GBK" for the target), from byte
// start_position of the output on when one is given. Empty for empty input,
// an unknown character set or a start position past the end.
std::string ConvertEncoding(const std::string& data, const std::string& source = "UTF-8",
                            const std::string& target = "GBK",
                            std::optional<size_t> start_position = std::nullopt);

}  // namespace lanfeng
