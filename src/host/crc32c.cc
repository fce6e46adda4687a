#include "host/crc32c.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#define LANFENG_CRC32C_X86 1
#include <nmmintrin.h>
#endif

namespace lanfeng {
namespace {

// The Castagnoli polynomial, bit-reflected as the instruction uses it.
constexpr uint32_t kCastagnoli = 0x82F63B78;

constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t byte = 0; byte < 256; ++byte) {
    uint32_t crc = byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1) ? kCastagnoli : 0);
    table[byte] = crc;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kTable = MakeTable();

#ifdef LANFENG_CRC32C_X86
// Compiled for SSE4.2 on its own, so the rest of the library runs on any x86;
// only called once ProcessorHasCrc32c() has said yes.
__attribute__((target("sse4.2"))) uint32_t Crc32cInstruction(const unsigned char* bytes,
                                                             size_t size, uint32_t crc) {
#if defined(__x86_64__)
  uint64_t wide = crc;
  for (; size >= 8; bytes += 8, size -= 8) {
    uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    wide = _mm_crc32_u64(wide, word);
  }
  crc = static_cast<uint32_t>(wide);
#endif
  for (; size >= 4; bytes += 4, size -= 4) {
    uint32_t word;
    std::memcpy(&word, bytes, sizeof word);
    crc = _mm_crc32_u32(crc, word);
  }
  for (; size > 0; ++bytes, --size) crc = _mm_crc32_u8(crc, *bytes);
  return crc;
}

// Whether the bytes of a word include a zero byte (exact: a borrow only runs
// on from a zero byte).
bool HasZeroByte(uint32_t word) { return ((word - 0x01010101u) & ~word & 0x80808080u) != 0; }
#if defined(__x86_64__)
bool HasZeroByte(uint64_t word) {
  return ((word - 0x0101010101010101ull) & ~word & 0x8080808080808080ull) != 0;
}
#endif

__attribute__((target("sse4.2"))) uint32_t Crc32cTextInstruction(const char* data, size_t size,
                                                                 size_t* length) {
  size_t at = 0;
  uint32_t crc = 0;
#if defined(__x86_64__)
  uint64_t wide = 0;
  for (; at + 8 <= size; at += 8) {
    uint64_t word;
    std::memcpy(&word, data + at, sizeof word);
    if (HasZeroByte(word)) break;
    wide = _mm_crc32_u64(wide, word);
  }
  crc = static_cast<uint32_t>(wide);
#endif
  for (; at + 4 <= size; at += 4) {
    uint32_t word;
    std::memcpy(&word, data + at, sizeof word);
    if (HasZeroByte(word)) break;
    crc = _mm_crc32_u32(crc, word);
  }
  for (; at < size && data[at] != '\0'; ++at) {
    crc = _mm_crc32_u8(crc, static_cast<unsigned char>(data[at]));
  }
  *length = at;
  return crc;
}
#endif

}  // namespace

bool ProcessorHasCrc32c() {
#ifdef LANFENG_CRC32C_X86
  // __builtin_cpu_init makes the check valid even inside static constructors.
  static const bool has_instruction = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse4.2") != 0;
  }();
  return has_instruction;
#else
  return false;
#endif
}

uint32_t Crc32c(const void* data, size_t size, uint32_t crc) {
#ifdef LANFENG_CRC32C_X86
  if (ProcessorHasCrc32c()) {
    return Crc32cInstruction(static_cast<const unsigned char*>(data), size, crc);
  }
#endif
  return Crc32cPortable(data, size, crc);
}

uint32_t Crc32cText(const char* data, size_t size, size_t* length) {
#ifdef LANFENG_CRC32C_X86
  if (ProcessorHasCrc32c()) return Crc32cTextInstruction(data, size, length);
#endif
  const void* nul = std::memchr(data, '\0', size);
  *length = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - data) : size;
  return Crc32cPortable(data, *length);
}

uint32_t Crc32cPortable(const void* data, size_t size, uint32_t crc) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) crc = (crc >> 8) ^ kTable[(crc ^ bytes[i]) & 0xFF];
  return crc;
}

}  // namespace lanfeng
