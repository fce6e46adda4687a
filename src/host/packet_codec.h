// The dulu host's packet records and their hexadecimal text.
//
// A record is a run of big-endian integers (two's complement when signed) and
// raw byte runs; between the host and the plugin it travels as text of hex
// digit pairs ("01 AB FF"). PacketWriter builds a record, PacketReader reads
// one, HexEncode and HexDecode turn a record into text and back. Records are
// byte strings held in std::string.
//
// Nothing here throws or reads outside a record: a read that does not fit
// answers 0 or an empty record and leaves the reader where it was. Writers
// and readers are made for one call or one event and never shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace lanfeng {

// The record as text: two upper-case hex digits per byte, high nibble first,
// one space between pairs ("01 AB FF"); an empty record gives empty text.
std::string HexEncode(const std::string& bytes);

// The record a hex text stands for. Blanks (the ASCII space, the full-width
// space "　" and CR LF pairs) are dropped first; then an empty text or one
// with an odd number of bytes left gives an empty record. Digits may be of
// either case, and any other character counts as the digit 0.
std::string HexDecode(const std::string& text);

// Builds one record.
//
// A new writer has no storage and ignores writes until its first Reset, which
// gives it 2048 zeroed bytes. A write that does not fit replaces the storage
// by a zeroed one of twice the size the record then needs, so 3000 bytes
// written after Reset leave a capacity of 6000. When that storage cannot be
// had, the write is dropped and the record stays as it was.
class PacketWriter {
 public:
  // Starts a new, empty record; storage already held is kept for it.
  void Reset();

  void WriteByte(int32_t value);   // the low 8 bits of value
  void WriteInt16(int32_t value);  // the low 16 bits of value
  void WriteInt32(int32_t value);
  void WriteInt64(int64_t value);
  // Appends bytes as they are, with no length in front.
  void WriteBytes(const std::string& bytes);
  // Appends the record that a hex text stands for (see HexDecode).
  void WriteHex(const std::string& text);
  // Appends the size of bytes as 16 bits (its low 16 bits), then the bytes.
  void WriteBytesWithLength16(const std::string& bytes);
  // Appends a 32-bit length that counts its own four bytes (size + 4), then
  // the bytes. Answers the whole record so far, as GetBytes does.
  std::string WriteBytesWithLength32(const std::string& bytes);

  // The bytes written since Reset.
  size_t length() const { return position_; }
  // The bytes the storage holds; the record grows into it without moving.
  size_t capacity() const { return storage_.size(); }
  // A copy of the record written so far.
  std::string GetBytes() const;

 private:
  bool MakeRoom(size_t n);
  void Append(const char* bytes, size_t n);
  void AppendBigEndian(uint64_t value, size_t width);

  std::string storage_;  // the record is its first position_ bytes
  size_t position_ = 0;
};

// Reads one record from the front.
//
// Every read checks first that enough bytes remain. One that does not fit
// answers 0 or an empty record and leaves the position where it was, so a
// status byte read from an empty or cut record is 0.
class PacketReader {
 public:
  // Replaces the record by a copy of bytes, to be read from its start. False,
  // leaving the reader empty, when no memory could be had for the copy.
  bool Load(const std::string& bytes);

  // True when at least n bytes remain unread.
  bool CanRead(size_t n) const { return n <= remaining(); }
  size_t position() const { return position_; }
  size_t remaining() const { return data_.size() - position_; }

  int32_t ReadByte();  // 0..255
  int16_t ReadInt16();
  uint16_t ReadUint16();
  int32_t ReadInt32();
  uint32_t ReadUint32();
  int64_t ReadInt64();
  std::string ReadBytes(size_t n);
  // The next byte or bytes without moving on.
  int32_t PeekByte() const;
  std::string PeekBytes(size_t n) const;

  // A 16-bit length (0..65535), then that many bytes. The text forms end at
  // the first NUL, as the plugin's texts do.
  std::string ReadBytesWithLength16();
  std::string ReadTextWithLength16();
  // A 32-bit length that counts its own four bytes, then the bytes. A length
  // below 4 (negative included) reads nothing.
  std::string ReadBytesWithLength32();
  std::string ReadTextWithLength32();

  // Everything from the position to the end; the position stays.
  std::string Rest() const;

 private:
  uint64_t PeekBigEndian(size_t width) const;
  uint64_t ReadBigEndian(size_t width);
  std::string ReadAfterLength(size_t length_width, int64_t size);

  std::string data_;
  size_t position_ = 0;  // never past the end of data_
};

}  // namespace lanfeng
