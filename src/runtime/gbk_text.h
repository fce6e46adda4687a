// GBK text: the plugin's texts are std::string holding GBK bytes.
//
// A GBK character is one byte below 0x81, or a lead byte 0x81..0xFE followed
// by a trail byte 0x40..0xFE. Trail bytes can look like ASCII ("\", "[",
// letters), so every walk over a text that looks for ASCII characters goes
// character by character, never byte by byte.
#pragma once

#include <cstddef>
#include <string>

namespace lanfeng {

// The length in bytes (1 or 2) of the character starting at text[pos]. A lead
// byte at the very end counts as one byte.
size_t GbkCharLength(const std::string& text, size_t pos);

// Finds the ASCII character c as a whole character at or after pos.
size_t FindGbkChar(const std::string& text, char c, size_t pos = 0);

// Compares two texts with ASCII letters folded; the bytes of double-byte
// characters compare exactly.
bool EqualsIgnoreCase(const std::string& a, const std::string& b);

// Removes bytes up to 0x20 (blanks and control characters) from both ends,
// or only from the front. No GBK trail byte is that small, so this is safe.
std::string TrimBlanks(const std::string& text);
std::string TrimLeadingBlanks(const std::string& text);

// The longest prefix of text that has at most max_bytes bytes and does not
// end in the middle of a double-byte character.
std::string CutAtCharBoundary(const std::string& text, size_t max_bytes);

// Replaces every occurrence of `from` (found as whole characters) by `to`.
std::string ReplaceAll(const std::string& text, const std::string& from, const std::string& to);

// UTF-8 for people: GBK converted, with bytes that are not GBK shown as \xNN.
std::string GbkForDisplay(const std::string& gbk);

}  // namespace lanfeng
