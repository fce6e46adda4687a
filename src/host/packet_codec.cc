#include "host/packet_codec.h"

#include <exception>
#include <limits>
#include <new>

#include "runtime/gbk_text.h"

namespace lanfeng {
namespace {

constexpr size_t kInitialCapacity = 2048;
constexpr char kFullWidthSpace[] = "\xA1\xA1";  // "　" in GBK

// The value of one hex digit of either case; any other character is 0.
int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

// The text without its blanks: ASCII spaces, full-width spaces and CR LF
// pairs. The walk goes by GBK character so that a trail byte 0xA1 is never
// taken for half of a full-width space.
std::string WithoutBlanks(const std::string& text) {
  std::string kept;
  size_t pos = 0;
  while (pos < text.size()) {
    if (text[pos] == ' ') {
      ++pos;
    } else if (text.compare(pos, 2, "\r\n") == 0 || text.compare(pos, 2, kFullWidthSpace) == 0) {
      pos += 2;
    } else {
      size_t length = GbkCharLength(text, pos);
      kept.append(text, pos, length);
      pos += length;
    }
  }
  return kept;
}

// Bytes read as a plugin text: everything before the first NUL.
std::string TextBeforeNul(const std::string& bytes) { return bytes.substr(0, bytes.find('\0')); }

}  // namespace

std::string HexEncode(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned char byte : bytes) {
    if (!text.empty()) text += ' ';
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

std::string HexDecode(const std::string& text) {
  std::string digits = WithoutBlanks(text);
  if (digits.size() % 2 != 0) return {};
  std::string bytes(digits.size() / 2, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    int high = HexDigitValue(digits[2 * i]);
    int low = HexDigitValue(digits[2 * i + 1]);
    bytes[i] = static_cast<char>(high << 4 | low);
  }
  return bytes;
}

void PacketWriter::Reset() {
  if (storage_.empty()) {
    try {
      storage_.assign(kInitialCapacity, '\0');
    } catch (const std::bad_alloc&) {
      // Still no storage: the writes of this record are dropped.
    }
  }
  position_ = 0;
}

// Makes sure n more bytes fit, growing the storage when they do not. False
// when the writer has no storage yet or no larger storage could be had.
bool PacketWriter::MakeRoom(size_t n) {
  if (storage_.empty()) return false;
  if (n <= storage_.size() - position_) return true;
  constexpr size_t kMax = std::numeric_limits<size_t>::max();
  if (n > kMax - position_ || position_ + n > kMax / 2) return false;
  try {
    std::string grown(2 * (position_ + n), '\0');
    grown.replace(0, position_, storage_, 0, position_);
    storage_.swap(grown);
  } catch (const std::exception&) {  // bad_alloc, or length_error past max_size
    return false;
  }
  return true;
}

void PacketWriter::Append(const char* bytes, size_t n) {
  if (n == 0 || !MakeRoom(n)) return;
  storage_.replace(position_, n, bytes, n);
  position_ += n;
}

void PacketWriter::AppendBigEndian(uint64_t value, size_t width) {
  char bytes[8];
  for (size_t i = 0; i < width; ++i) {
    bytes[i] = static_cast<char>(value >> (8 * (width - 1 - i)));
  }
  Append(bytes, width);
}

void PacketWriter::WriteByte(int32_t value) { AppendBigEndian(static_cast<uint32_t>(value), 1); }

void PacketWriter::WriteInt16(int32_t value) { AppendBigEndian(static_cast<uint32_t>(value), 2); }

void PacketWriter::WriteInt32(int32_t value) { AppendBigEndian(static_cast<uint32_t>(value), 4); }

void PacketWriter::WriteInt64(int64_t value) { AppendBigEndian(static_cast<uint64_t>(value), 8); }

void PacketWriter::WriteBytes(const std::string& bytes) { Append(bytes.data(), bytes.size()); }

void PacketWriter::WriteHex(const std::string& text) { WriteBytes(HexDecode(text)); }

void PacketWriter::WriteBytesWithLength16(const std::string& bytes) {
  WriteInt16(static_cast<int32_t>(bytes.size() & 0xFFFF));
  WriteBytes(bytes);
}

std::string PacketWriter::WriteBytesWithLength32(const std::string& bytes) {
  AppendBigEndian(bytes.size() + 4, 4);
  WriteBytes(bytes);
  return GetBytes();
}

std::string PacketWriter::GetBytes() const { return storage_.substr(0, position_); }

bool PacketReader::Load(const std::string& bytes) {
  data_.clear();
  data_.shrink_to_fit();
  position_ = 0;
  try {
    data_ = bytes;
  } catch (const std::bad_alloc&) {
    data_.clear();
    return false;
  }
  return true;
}

// The next width bytes as one big-endian number; the caller has checked that
// they are there.
uint64_t PacketReader::PeekBigEndian(size_t width) const {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) {
    value = value << 8 | static_cast<unsigned char>(data_[position_ + i]);
  }
  return value;
}

uint64_t PacketReader::ReadBigEndian(size_t width) {
  if (!CanRead(width)) return 0;
  uint64_t value = PeekBigEndian(width);
  position_ += width;
  return value;
}

int32_t PacketReader::ReadByte() { return static_cast<int32_t>(ReadBigEndian(1)); }

int16_t PacketReader::ReadInt16() { return static_cast<int16_t>(ReadBigEndian(2)); }

uint16_t PacketReader::ReadUint16() { return static_cast<uint16_t>(ReadBigEndian(2)); }

int32_t PacketReader::ReadInt32() { return static_cast<int32_t>(ReadBigEndian(4)); }

uint32_t PacketReader::ReadUint32() { return static_cast<uint32_t>(ReadBigEndian(4)); }

int64_t PacketReader::ReadInt64() { return static_cast<int64_t>(ReadBigEndian(8)); }

std::string PacketReader::ReadBytes(size_t n) {
  std::string bytes = PeekBytes(n);
  if (CanRead(n)) position_ += n;
  return bytes;
}

int32_t PacketReader::PeekByte() const {
  return CanRead(1) ? static_cast<int32_t>(PeekBigEndian(1)) : 0;
}

std::string PacketReader::PeekBytes(size_t n) const {
  return CanRead(n) ? data_.substr(position_, n) : std::string();
}

// Reads a length field of length_width bytes, known to be there, and the size
// bytes after it. A negative size or one that runs past the end reads
// nothing, the field neither.
std::string PacketReader::ReadAfterLength(size_t length_width, int64_t size) {
  if (size < 0 || static_cast<uint64_t>(size) > remaining() - length_width) return {};
  position_ += length_width;
  return ReadBytes(static_cast<size_t>(size));
}

std::string PacketReader::ReadBytesWithLength16() {
  if (!CanRead(2)) return {};
  return ReadAfterLength(2, static_cast<int64_t>(PeekBigEndian(2)));
}

std::string PacketReader::ReadTextWithLength16() { return TextBeforeNul(ReadBytesWithLength16()); }

std::string PacketReader::ReadBytesWithLength32() {
  if (!CanRead(4)) return {};
  int64_t counted = static_cast<int32_t>(PeekBigEndian(4));
  return ReadAfterLength(4, counted - 4);
}

std::string PacketReader::ReadTextWithLength32() { return TextBeforeNul(ReadBytesWithLength32()); }

std::string PacketReader::Rest() const { return data_.substr(position_); }

}  // namespace lanfeng
