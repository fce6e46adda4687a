// CRC32C, the checksum behind the typed hash map's key hashing.
//
// The sum uses the Castagnoli polynomial and is accumulated exactly as the
// SSE4.2 CRC32 instruction accumulates it: it starts from the value passed
// in (0 for a fresh sum) and is inverted neither before nor after. Callers
// wanting the usual CRC-32C check value pass ~0 and invert the result.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lanfeng {

// True when the processor offers the CRC32 instruction (SSE4.2). Read once,
// on the first call; safe from any thread and before main.
bool ProcessorHasCrc32c();

// The sum of size bytes at data, continued from crc. Uses the instruction
// when the processor has it, a table otherwise; both give the same value.
uint32_t Crc32c(const void* data, size_t size, uint32_t crc = 0);

// The same sum, always from the table (processors without SSE4.2).
uint32_t Crc32cPortable(const void* data, size_t size, uint32_t crc = 0);

// The sum (from 0) of a text: the bytes at data up to its first NUL, or all
// size bytes when there is none. Sets *length to the number of bytes summed.
// One pass, for keys that are hashed and measured together.
uint32_t Crc32cText(const char* data, size_t size, size_t* length);

}  // namespace lanfeng
