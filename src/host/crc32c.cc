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
  for (; size >= 4; bytes += 4, size -= 4) {
    uint32_t word;
    std::memcpy(&word, bytes, sizeof word);
    crc = _mm_crc32_u32(crc, word);
  }
  for (; size > 0; ++bytes, --size) crc = _mm_crc32_u8(crc, *bytes);
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

uint32_t Crc32cPortable(const void* data, size_t size, uint32_t crc) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) crc = (crc >> 8) ^ kTable[(crc ^ bytes[i]) & 0xFF];
  return crc;
}

}  // namespace lanfeng
