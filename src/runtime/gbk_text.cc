#include "runtime/gbk_text.h"

#include <cstdio>

#include "platform/platform.h"

namespace lanfeng {
namespace {

bool IsLeadByte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

size_t GbkCharLength(const std::string& text, size_t pos) {
  if (pos + 1 < text.size() && IsLeadByte(static_cast<unsigned char>(text[pos]))) return 2;
  return 1;
}

size_t FindGbkChar(const std::string& text, char c, size_t pos) {
  while (pos < text.size()) {
    size_t length = GbkCharLength(text, pos);
    if (length == 1 && text[pos] == c) return pos;
    pos += length;
  }
  return std::string::npos;
}

bool EqualsIgnoreCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  size_t pos = 0;
  while (pos < a.size()) {
    size_t length = GbkCharLength(a, pos);
    if (length == 2) {
      if (a[pos] != b[pos] || a[pos + 1] != b[pos + 1]) return false;
    } else if (FoldAscii(a[pos]) != FoldAscii(b[pos])) {
      return false;
    }
    pos += length;
  }
  return true;
}

std::string TrimLeadingBlanks(const std::string& text) {
  size_t begin = 0;
  while (begin < text.size() && static_cast<unsigned char>(text[begin]) <= 0x20) ++begin;
  return text.substr(begin);
}

std::string TrimBlanks(const std::string& text) {
  std::string trimmed = TrimLeadingBlanks(text);
  while (!trimmed.empty() && static_cast<unsigned char>(trimmed.back()) <= 0x20) trimmed.pop_back();
  return trimmed;
}

std::string CutAtCharBoundary(const std::string& text, size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  size_t pos = 0;
  while (pos < max_bytes) {
    size_t length = GbkCharLength(text, pos);
    if (pos + length > max_bytes) break;
    pos += length;
  }
  return text.substr(0, pos);
}

std::string ReplaceAll(const std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  std::string result;
  size_t pos = 0;
  while (pos < text.size()) {
    if (text.compare(pos, from.size(), from) == 0) {
      result += to;
      pos += from.size();
    } else {
      size_t length = GbkCharLength(text, pos);
      result.append(text, pos, length);
      pos += length;
    }
  }
  return result;
}

std::string GbkForDisplay(const std::string& gbk) {
  std::string shown;
  size_t pos = 0;
  while (pos < gbk.size()) {
    size_t length = GbkCharLength(gbk, pos);
    std::string piece = gbk.substr(pos, length);
    std::string utf8;
    if (static_cast<unsigned char>(piece[0]) < 0x80) {
      shown += piece;
    } else if (GbkToUtf8(piece, &utf8)) {
      shown += utf8;
    } else {
      for (unsigned char c : piece) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", c);
        shown += hex;
      }
    }
    pos += length;
  }
  return shown;
}

}  // namespace lanfeng
