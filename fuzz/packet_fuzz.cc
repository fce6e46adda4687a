// Fuzzes the dulu packet codec: hex text decoded, the record read field by
// field in an order the input chooses, and the hex round trip.
//
// Input: one byte n, then n (at most 31) bytes choosing the reads, then the
// hex text of the record.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/packet_codec.h"

namespace lanfeng {
namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// A read of a fixed-width number: it moves on by its width when that fits,
// and otherwise answers 0 and stays.
template <typename Read>
void ReadNumber(PacketReader* reader, size_t width, Read read) {
  const size_t before = reader->position();
  const bool fits = reader->CanRead(width);
  const int64_t value = read();
  Check(fits ? reader->position() == before + width : value == 0 && reader->position() == before);
}

// One read of the kind `op` chooses; `size` sizes the byte reads. A read
// never moves the reader back.
void ReadField(PacketReader* reader, uint8_t op, size_t size) {
  const size_t before = reader->position();
  const bool fits = reader->CanRead(size);
  switch (op % 14) {
    case 0:
      ReadNumber(reader, 1, [reader] { return reader->ReadByte(); });
      break;
    case 1:
      ReadNumber(reader, 2, [reader] { return reader->ReadInt16(); });
      break;
    case 2:
      ReadNumber(reader, 2, [reader] { return reader->ReadUint16(); });
      break;
    case 3:
      ReadNumber(reader, 4, [reader] { return reader->ReadInt32(); });
      break;
    case 4:
      ReadNumber(reader, 4, [reader] { return reader->ReadUint32(); });
      break;
    case 5:
      ReadNumber(reader, 8, [reader] { return reader->ReadInt64(); });
      break;
    case 6: {
      const std::string bytes = reader->ReadBytes(size);
      Check(fits ? bytes.size() == size && reader->position() == before + size
                 : bytes.empty() && reader->position() == before);
      break;
    }
    case 7:
      Check(reader->PeekByte() >= 0 && reader->PeekByte() <= 255);
      break;
    case 8:
      Check(reader->PeekBytes(size).size() == (fits ? size : 0));
      break;
    case 9:
      reader->ReadBytesWithLength16();
      break;
    case 10:
      reader->ReadTextWithLength16();
      break;
    case 11:
      reader->ReadBytesWithLength32();
      break;
    case 12:
      reader->ReadTextWithLength32();
      break;
    default:
      Check(reader->Rest().size() == reader->remaining());
      break;
  }
  Check(reader->position() >= before);
}

}  // namespace
}  // namespace lanfeng

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace lanfeng;
  const std::string input(reinterpret_cast<const char*>(data), size);

  // Any bytes come back from their hex text, which has 3n - 1 characters.
  const std::string encoded = HexEncode(input);
  Check(encoded.size() == (input.empty() ? 0 : 3 * input.size() - 1));
  Check(HexDecode(encoded) == input);

  const size_t op_count = size == 0 ? 0 : std::min<size_t>(data[0] % 32, size - 1);
  const std::string text = input.substr(std::min(op_count + 1, size));
  const std::string record = HexDecode(text);

  PacketWriter writer;
  writer.Reset();
  writer.WriteHex(text);
  Check(writer.GetBytes() == record);

  PacketReader reader;
  Check(reader.Load(record));
  for (size_t i = 0; i < op_count; ++i) {
    const uint8_t op = data[1 + i];
    // The high nibble sizes the byte reads; 15 asks for more than any record.
    const size_t read_size = (op >> 4) == 15 ? SIZE_MAX : op >> 4;
    ReadField(&reader, op, read_size);
    Check(reader.position() + reader.remaining() == record.size());
  }
  Check(reader.Rest() == record.substr(reader.position()));
  return 0;
}
