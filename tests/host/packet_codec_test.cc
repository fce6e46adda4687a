#include "host/packet_codec.h"

#include <gtest/gtest.h>

#include <string>

namespace lanfeng {
namespace {

std::string Bytes(std::initializer_list<unsigned char> values) {
  return std::string(values.begin(), values.end());
}

PacketReader ReaderOf(const std::string& bytes) {
  PacketReader reader;
  EXPECT_TRUE(reader.Load(bytes));
  return reader;
}

TEST(HexTest, EncodesEveryByteForDecodeToRestore) {
  EXPECT_EQ(HexEncode(""), "");
  EXPECT_EQ(HexEncode(Bytes({0x01, 0xAB, 0xFF})), "01 AB FF");
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  EXPECT_EQ(HexDecode(HexEncode(all)), all);
}

TEST(HexTest, DecodeDropsBlanksAndTreatsOddTextAsEmpty) {
  const std::string expected = Bytes({0x01, 0xAB, 0xFF});
  EXPECT_EQ(HexDecode("01ab ff"), expected);
  EXPECT_EQ(HexDecode(std::string("01\xA1\xA1") + "AB\r\nFF"), expected);
  EXPECT_EQ(HexDecode("　01　AB　FF"), expected);  // the literal reaches us as GBK
  EXPECT_EQ(HexDecode("0"), "");
  EXPECT_EQ(HexDecode("1 2 3"), "");
  EXPECT_EQ(HexDecode("01\nAB"), "");  // a lone LF is no blank: 5 characters
  EXPECT_EQ(HexDecode("zzG1b?"), Bytes({0x00, 0x01, 0xB0}));
}

TEST(PacketCodecTest, BigEndianRecordsReadBackAsWritten) {
  PacketWriter writer;
  writer.Reset();
  writer.WriteInt64(10001);
  EXPECT_EQ(HexEncode(writer.GetBytes()), "00 00 00 00 00 00 27 11");
  writer.Reset();
  writer.WriteByte(0x1FE);
  writer.WriteInt16(-2);
  writer.WriteInt32(-2);
  writer.WriteInt64(-2);
  writer.WriteHex("ab cd");
  EXPECT_EQ(HexEncode(writer.GetBytes()), "FE FF FE FF FF FF FE FF FF FF FF FF FF FF FE AB CD");
  PacketReader reader = ReaderOf(writer.GetBytes());
  EXPECT_EQ(reader.ReadByte(), 0xFE);
  EXPECT_EQ(reader.ReadUint16(), 0xFFFE);
  EXPECT_EQ(reader.PeekBytes(2), Bytes({0xFF, 0xFF}));
  EXPECT_EQ(reader.ReadInt32(), -2);
  EXPECT_EQ(reader.ReadInt64(), -2);
  EXPECT_EQ(reader.ReadInt16(), static_cast<int16_t>(0xABCD));
}

TEST(PacketCodecTest, LengthPrefixedBytes) {
  PacketWriter writer;
  writer.Reset();
  writer.WriteBytesWithLength16("");
  writer.WriteBytesWithLength16(std::string("a\0b", 3));
  EXPECT_EQ(HexEncode(writer.WriteBytesWithLength32("c")), "00 00 00 03 61 00 62 00 00 00 05 63");
  writer.WriteBytesWithLength16(std::string(40000, 'q'));
  PacketReader reader = ReaderOf(writer.GetBytes());
  EXPECT_EQ(reader.ReadBytesWithLength16(), "");
  EXPECT_EQ(reader.ReadTextWithLength16(), "a");
  EXPECT_EQ(reader.ReadBytesWithLength32(), "c");
  EXPECT_EQ(reader.ReadBytesWithLength16(), std::string(40000, 'q'));
  EXPECT_EQ(reader.remaining(), 0u);
}

TEST(PacketWriterTest, GrowsToTwiceWhatTheRecordNeeds) {
  PacketWriter writer;
  writer.WriteBytes("lost");  // no storage before the first Reset
  writer.Reset();
  EXPECT_EQ(writer.capacity(), 2048u);
  writer.WriteBytes(std::string(3000, 'x'));
  EXPECT_EQ(writer.capacity(), 6000u);
  writer.Reset();  // keeps the storage
  writer.WriteBytes(std::string(6000, 'a'));
  writer.WriteInt32(-1);
  EXPECT_EQ(writer.capacity(), 12008u);
  EXPECT_EQ(writer.GetBytes(), std::string(6000, 'a') + std::string(4, '\xFF'));
}

TEST(PacketReaderTest, ReadsThatDoNotFitAnswerZeroAndStay) {
  PacketReader reader = ReaderOf(Bytes({0x81, 0x02, 0x03}));
  EXPECT_EQ(reader.ReadInt32(), 0);
  EXPECT_EQ(reader.ReadBytes(static_cast<size_t>(-1)), "");
  EXPECT_EQ(reader.ReadByte(), 0x81);
  EXPECT_EQ(reader.Rest(), Bytes({0x02, 0x03}));
  EXPECT_EQ(reader.ReadBytes(2), Bytes({0x02, 0x03}));
  EXPECT_EQ(reader.Rest(), "");
  EXPECT_EQ(reader.ReadByte(), 0);
}

// A length that is negative or runs past the end reads nothing: not even the
// length field is consumed.
TEST(PacketReaderTest, BadLengthsReadNothing) {
  auto expect_nothing_read = [](const char* record, std::string (PacketReader::*read)()) {
    SCOPED_TRACE(record);
    PacketReader reader = ReaderOf(HexDecode(record));
    EXPECT_EQ((reader.*read)(), "");
    EXPECT_EQ(reader.Rest(), HexDecode(record));
  };
  for (const char* record : {"00", "00 03 61 62", "FF FF 61"}) {
    expect_nothing_read(record, &PacketReader::ReadTextWithLength16);
  }
  for (const char* record :
       {"00 00 00", "FF FF FF FF 61", "00 00 00 03 61", "80 00 00 00", "00 00 00 07 61 62"}) {
    expect_nothing_read(record, &PacketReader::ReadBytesWithLength32);
  }
}

}  // namespace
}  // namespace lanfeng
