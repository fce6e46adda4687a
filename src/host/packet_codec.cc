#include "host/packet_codec.h"

#include <array>
#include <cstring>
#include <exception>
#include <limits>
#include <new>

#include "runtime/gbk_text.h"

#if defined(__x86_64__) || defined(__i386__)
#define LANFENG_HEX_SSSE3 1
#include <tmmintrin.h>
#endif

namespace lanfeng {
namespace {

constexpr size_t kInitialCapacity = 2048;

constexpr unsigned char kFullWidthSpaceByte = 0xA1;  // "　" in GBK is A1 A1

// The value of each character as a hex digit of either case; 0 for any other.
constexpr std::array<unsigned char, 256> kDigitValues = [] {
  std::array<unsigned char, 256> values{};
  for (int i = 0; i < 10; ++i) values['0' + i] = static_cast<unsigned char>(i);
  for (int i = 0; i < 6; ++i) {
    values['A' + i] = static_cast<unsigned char>(10 + i);
    values['a' + i] = static_cast<unsigned char>(10 + i);
  }
  return values;
}();

// The two digits of each byte, high nibble first.
constexpr std::array<std::array<char, 2>, 256> kDigitPairs = [] {
  constexpr char kDigits[] = "0123456789ABCDEF";
  std::array<std::array<char, 2>, 256> pairs{};
  for (int i = 0; i < 256; ++i) pairs[i] = {kDigits[i >> 4], kDigits[i & 0x0F]};
  return pairs;
}();

#ifdef LANFENG_HEX_SSSE3
bool ProcessorHasSsse3() {
  // __builtin_cpu_init makes the check valid even inside static constructors.
  static const bool has_instructions = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("ssse3") != 0;
  }();
  return has_instructions;
}

// How 16 bytes become 48 characters. Their digit pairs lie in two vectors,
// pairs 0-7 and 8-15; the characters are made 16 at a time from the first
// vector (pairs 0-5), from its upper half joined to the second's lower half
// (pairs 4-11), and from the second (pairs 8-15). Character j is part j % 3
// of pair j / 3: high digit, low digit or space. A space takes index 0x80,
// which gives a zero, and is then filled in from `spaces`.
struct BlockLayout {
  std::array<char, 48> indexes{};
  std::array<char, 48> spaces{};
};

constexpr BlockLayout kBlockLayout = [] {
  BlockLayout layout;
  for (int j = 0; j < 48; ++j) {
    const int pair = j / 3;
    const int part = j % 3;
    const int first_pair = 4 * (j / 16);  // of the vector character j is made from
    layout.indexes[j] = static_cast<char>(part == 2 ? 0x80 : 2 * (pair - first_pair) + part);
    layout.spaces[j] = part == 2 ? ' ' : '\0';
  }
  return layout;
}();

__m128i Load16(const char* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); }

// Encodes `blocks` runs of 16 bytes into 48 characters each, every pair
// followed by a space. Compiled for SSSE3 on its own, so the rest of the
// library runs on any x86; only called once ProcessorHasSsse3() has said yes.
__attribute__((target("ssse3"))) void EncodeBlocks(const char* bytes, size_t blocks, char* out) {
  const __m128i digits = Load16("0123456789ABCDEF");
  const __m128i nibble = _mm_set1_epi8(0x0F);
  __m128i indexes[3];
  __m128i spaces[3];
  for (int i = 0; i < 3; ++i) {
    indexes[i] = Load16(&kBlockLayout.indexes[16 * i]);
    spaces[i] = Load16(&kBlockLayout.spaces[16 * i]);
  }
  for (size_t block = 0; block < blocks; ++block, bytes += 16, out += 48) {
    const __m128i in = Load16(bytes);
    const __m128i high = _mm_shuffle_epi8(digits, _mm_and_si128(_mm_srli_epi16(in, 4), nibble));
    const __m128i low = _mm_shuffle_epi8(digits, _mm_and_si128(in, nibble));
    const __m128i first = _mm_unpacklo_epi8(high, low);
    const __m128i second = _mm_unpackhi_epi8(high, low);
    const __m128i sources[3] = {first, _mm_alignr_epi8(second, first, 8), second};
    for (int i = 0; i < 3; ++i) {
      const __m128i chars = _mm_shuffle_epi8(sources[i], indexes[i]);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * i), _mm_or_si128(chars, spaces[i]));
    }
  }
}

// How 48 characters "XX XX ... XX " become 16 bytes: byte k takes its high
// digit from character 3k and its low digit from 3k + 1. The characters come
// in three vectors of 16; for each, the index of those characters in it, or
// 0x80 (a zero) for the bytes whose digits lie in another vector.
struct DecodeLayout {
  std::array<char, 48> high{};
  std::array<char, 48> low{};
  std::array<char, 48> spaces{};  // a space where every third character must be one
};

constexpr DecodeLayout kDecodeLayout = [] {
  DecodeLayout layout;
  for (int vector = 0; vector < 3; ++vector) {
    for (int k = 0; k < 16; ++k) {
      const int high = 3 * k - 16 * vector;
      const int low = high + 1;
      layout.high[16 * vector + k] = static_cast<char>(high >= 0 && high < 16 ? high : 0x80);
      layout.low[16 * vector + k] = static_cast<char>(low >= 0 && low < 16 ? low : 0x80);
    }
  }
  for (int j = 0; j < 48; ++j) layout.spaces[j] = j % 3 == 2 ? ' ' : '\0';
  return layout;
}();

// Decodes up to `blocks` runs of 48 characters at text into 16 bytes each,
// stopping at the first run that is not 16 times two digits and a space,
// where a digit is any one-byte character other than a space or a CR (so
// that no blank hides in the run). Answers the runs decoded. Compiled and
// called as EncodeBlocks is.
__attribute__((target("ssse3"))) size_t DecodeBlocks(const char* text, size_t blocks, char* out) {
  const __m128i space = _mm_set1_epi8(' ');
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i below_lead = _mm_set1_epi8(static_cast<char>(0x80));
  const __m128i above_lead = _mm_set1_epi8(static_cast<char>(0xFF));
  const __m128i zero = _mm_set1_epi8('0');
  const __m128i nine = _mm_set1_epi8(9);
  const __m128i lower_case = _mm_set1_epi8(0x20);
  const __m128i a = _mm_set1_epi8('a');
  const __m128i five = _mm_set1_epi8(5);
  const __m128i ten = _mm_set1_epi8(10);
  size_t done = 0;
  for (; done < blocks; ++done, text += 48, out += 16) {
    __m128i high = _mm_setzero_si128();
    __m128i low = _mm_setzero_si128();
    bool digits_and_spaces = true;
    for (int i = 0; i < 3; ++i) {
      const __m128i c = Load16(text + 16 * i);
      // Lead bytes 0x81-0xFE are the signed values between 0x80 and 0xFF.
      const __m128i lead =
          _mm_and_si128(_mm_cmpgt_epi8(c, below_lead), _mm_cmplt_epi8(c, above_lead));
      const __m128i spaces = _mm_cmpeq_epi8(c, space);
      const __m128i expected = _mm_cmpeq_epi8(Load16(&kDecodeLayout.spaces[16 * i]), space);
      const __m128i wrong =
          _mm_or_si128(_mm_xor_si128(spaces, expected), _mm_or_si128(lead, _mm_cmpeq_epi8(c, cr)));
      digits_and_spaces = digits_and_spaces && _mm_movemask_epi8(wrong) == 0;
      // Digit values, 0 for other characters: c - '0' up to 9, (c | 0x20) - 'a' up to 5.
      const __m128i decimal = _mm_sub_epi8(c, zero);
      const __m128i letter = _mm_sub_epi8(_mm_or_si128(c, lower_case), a);
      const __m128i value =
          _mm_or_si128(_mm_and_si128(decimal, _mm_cmpeq_epi8(_mm_min_epu8(decimal, nine), decimal)),
                       _mm_and_si128(_mm_add_epi8(letter, ten),
                                     _mm_cmpeq_epi8(_mm_min_epu8(letter, five), letter)));
      high = _mm_or_si128(high, _mm_shuffle_epi8(value, Load16(&kDecodeLayout.high[16 * i])));
      low = _mm_or_si128(low, _mm_shuffle_epi8(value, Load16(&kDecodeLayout.low[16 * i])));
    }
    if (!digits_and_spaces) break;
    // Digits are below 16, so shifting 16-bit lanes keeps each in its byte.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_or_si128(_mm_slli_epi16(high, 4), low));
  }
  return done;
}
#endif

// True for a one-byte GBK character that is always a digit where it starts a
// character: neither a lead byte, nor a space, nor a CR that may start CR LF.
bool IsPlainDigit(unsigned char c) { return c < 0x81 && c != ' ' && c != '\r'; }

// Bytes read as a plugin text: everything before the first NUL.
std::string TextBeforeNul(const std::string& bytes) { return bytes.substr(0, bytes.find('\0')); }

}  // namespace

std::string HexEncode(const std::string& bytes) {
  if (bytes.empty()) return {};
  std::string text(3 * bytes.size(), ' ');
  size_t done = 0;
#ifdef LANFENG_HEX_SSSE3
  if (ProcessorHasSsse3()) {
    done = bytes.size() / 16 * 16;
    EncodeBlocks(bytes.data(), done / 16, text.data());
  }
#endif
  for (size_t i = done; i < bytes.size(); ++i) {
    std::memcpy(&text[3 * i], kDigitPairs[static_cast<unsigned char>(bytes[i])].data(), 2);
  }
  text.pop_back();  // no space after the last pair
  return text;
}

// One pass over the text by GBK character: blanks (spaces, full-width spaces,
// CR LF pairs) are dropped and every other byte is a digit, the two bytes of
// a double-byte character included, so a trail byte 0xA1 never pairs with a
// following 0xA1 into a blank.
std::string HexDecode(const std::string& text) {
  const auto* const begin = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* const end = begin + text.size();
  const unsigned char* in = begin;
  std::string bytes((text.size() + 1) / 2, '\0');  // room for a last, unpaired digit
  char* out = bytes.data();
  bool half = false;  // a high digit is waiting in *out for its low digit
  auto keep = [&out, &half](unsigned char c) {
    if (half) {
      *out++ |= static_cast<char>(kDigitValues[c]);
    } else {
      *out = static_cast<char>(kDigitValues[c] << 4);
    }
    half = !half;
  };
#ifdef LANFENG_HEX_SSSE3
  const bool use_blocks = ProcessorHasSsse3();
  size_t blocks_from = 0;  // the offset from which runs of 48 are worth trying again
#endif
  while (in < end) {
#ifdef LANFENG_HEX_SSSE3
    if (use_blocks && !half && static_cast<size_t>(in - begin) >= blocks_from && end - in >= 48) {
      const size_t decoded =
          DecodeBlocks(reinterpret_cast<const char*>(in), static_cast<size_t>(end - in) / 48, out);
      in += 48 * decoded;
      out += 16 * decoded;
      // The run at `in`, if any, is not plain: go on one by one past it.
      blocks_from = static_cast<size_t>(in - begin) + 48;
      continue;
    }
#endif
    // The usual text: two digits and a space.
    if (!half && end - in >= 3 && in[2] == ' ' && IsPlainDigit(in[0]) && IsPlainDigit(in[1])) {
      *out++ = static_cast<char>(kDigitValues[in[0]] << 4 | kDigitValues[in[1]]);
      in += 3;
      continue;
    }
    const unsigned char c = *in;
    const bool pair_follows = end - in >= 2;
    if (c == ' ') {
      in += 1;
    } else if (pair_follows && ((c == '\r' && in[1] == '\n') ||
                                (c == kFullWidthSpaceByte && in[1] == kFullWidthSpaceByte))) {
      in += 2;
    } else {
      const size_t length = GbkCharLength(text, static_cast<size_t>(in - begin));
      for (size_t i = 0; i < length; ++i) keep(in[i]);
      in += length;
    }
  }
  if (half) return {};
  bytes.resize(static_cast<size_t>(out - bytes.data()));
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
