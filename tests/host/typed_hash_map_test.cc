#include "host/typed_hash_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "host/crc32c.h"
#include "support/gbk_text_testing.h"

namespace lanfeng {
namespace {

using Hashing = TypedHashMap::KeyHashing;

std::string Le32(uint32_t value) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(value >> (8 * i)));
  return bytes;
}

// The 32-bit little-endian field at byte offset `at`.
uint32_t FieldAt(const std::string& record, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(record.at(at + i));
  return value;
}

std::string Patched(std::string record, size_t at, uint32_t value) {
  return record.replace(at, 4, Le32(value));
}

uint32_t BitsOf(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// The record in a heap block of exactly its size, so that AddressSanitizer
// reports any read past its end.
class ExactBuffer {
 public:
  explicit ExactBuffer(const std::string& bytes)
      : data_(new char[bytes.size()]), size_(bytes.size()) {
    std::memcpy(data_.get(), bytes.data(), size_);
  }
  std::string_view view() const { return {data_.get(), size_}; }

 private:
  std::unique_ptr<char[]> data_;
  size_t size_;
};

// The keys of a record of 32-bit keys and 32-bit values, in record order.
std::vector<uint32_t> Int32Keys(const std::string& record) {
  std::vector<uint32_t> keys;
  for (size_t at = 44; at < record.size(); at += 8) keys.push_back(FieldAt(record, at));
  return keys;
}

TEST(Crc32cTest, MatchesCheckValueAndPortableSumAtEveryLengthAndOffset) {
  EXPECT_EQ(~Crc32c("123456789", 9, ~0u), 0xE3069283u);
  EXPECT_EQ(~Crc32cPortable("123456789", 9, ~0u), 0xE3069283u);
  EXPECT_EQ(Crc32c("", 0), 0u);
  std::string data;
  for (int i = 0; i < 64; ++i) data.push_back(static_cast<char>(i * 37 + 11));
  for (size_t start = 0; start < 4; ++start) {
    for (size_t size = 0; start + size <= data.size(); ++size) {
      ASSERT_EQ(Crc32c(data.data() + start, size), Crc32cPortable(data.data() + start, size));
    }
  }
  EXPECT_EQ(Crc32c(data.data() + 10, 30, Crc32c(data.data(), 10)), Crc32c(data.data(), 40));
}

TEST(Crc32cTest, TextSumStopsAtTheFirstNulAtEveryLengthAndOffset) {
  std::string data;
  for (int i = 0; i < 48; ++i) data.push_back(static_cast<char>(i * 37 + 11));
  ASSERT_EQ(data.find('\0'), std::string::npos);
  for (size_t start = 0; start < 8; ++start) {
    for (size_t size = 0; start + size <= data.size(); ++size) {
      // No NUL, then a NUL at every position.
      for (size_t nul = 0; nul <= size; ++nul) {
        std::string text = data.substr(start, size);
        if (nul < size) text[nul] = '\0';
        const ExactBuffer buffer(std::string(start, 'p') + text);
        size_t length = 99;
        const uint32_t sum = Crc32cText(buffer.view().data() + start, size, &length);
        ASSERT_EQ(length, nul) << start << "/" << size;
        ASSERT_EQ(sum, Crc32cPortable(text.data(), nul)) << start << "/" << size << "/" << nul;
      }
    }
  }
}

TEST(MapValueTest, CopiesAndMovesKeepTheirOwnBytes) {
  MapValue text("岚风守望");
  MapValue copy = text;
  MapValue number = 7;
  number = copy;
  copy = MapValue(5);
  EXPECT_EQ(copy.kind(), MapValue::Kind::kInteger);
  EXPECT_EQ(copy.bytes(), "");
  EXPECT_GBK_EQ("岚风守望", number.bytes());
  EXPECT_GBK_EQ("岚风守望", text.bytes());
  MapValue moved = std::move(text);
  EXPECT_GBK_EQ("岚风守望", moved.bytes());
  EXPECT_GBK_EQ("岚风守望", std::move(moved).bytes());
  EXPECT_EQ(MapValue().bytes(), "");
  EXPECT_EQ(MapValue(true).integer(), 1);
}

TEST(TypedHashMapTest, ConfigureNormalisesTypesCapacityAndLoadFactor) {
  TypedHashMap map;
  ASSERT_TRUE(map.Configure(kMapFloat, 12, 100));
  EXPECT_EQ(map.key_type(), kMapInt32);
  EXPECT_EQ(map.value_type(), kMapInt32);
  EXPECT_EQ(map.capacity(), 64u);
  ASSERT_EQ(map.Put(1, 1), TypedHashMap::kPutAdded);
  ASSERT_TRUE(map.Configure(kMapText, kMapDateTime, -5));
  EXPECT_EQ(map.count(), 0u);
  EXPECT_EQ(map.capacity(), 16u);
  EXPECT_EQ(map.value_type(), kMapDateTime);

  const float kBad[] = {0, 1e-8f, 1, -0.5f, NAN, INFINITY, -INFINITY};
  for (float load_factor : kBad) {
    ASSERT_TRUE(map.Configure(kMapInt32, kMapInt32, 16, load_factor));
    EXPECT_EQ(FieldAt(map.Serialize(), 16), BitsOf(0.75f)) << load_factor;
  }
  ASSERT_TRUE(map.Configure(kMapInt32, kMapInt32, 16, 0.5f));
  EXPECT_EQ(FieldAt(map.Serialize(), 16), BitsOf(0.5f));
}

TEST(TypedHashMapTest, DoublesWhenCountPassesThreshold) {
  TypedHashMap map;
  ASSERT_TRUE(map.Configure(kMapInt32, kMapInt32, 20));
  EXPECT_EQ(map.capacity(), 16u);
  for (int i = 0; i < 12; ++i) ASSERT_EQ(map.Put(i, i), TypedHashMap::kPutAdded);
  EXPECT_EQ(map.capacity(), 16u);
  ASSERT_EQ(map.Put(12, 12), TypedHashMap::kPutAdded);
  EXPECT_EQ(map.capacity(), 32u);
  for (int i = 0; i < 13; ++i) EXPECT_EQ(map.GetInteger(i), i);
}

TEST(TypedHashMapTest, TinyLoadFactorDoesNotDoubleOnEveryInsertion) {
  TypedHashMap map;
  ASSERT_TRUE(map.Configure(kMapInt32, kMapInt32, 16, 1e-6f));
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(map.Put(i, i), TypedHashMap::kPutAdded);
  EXPECT_EQ(map.capacity(), 16384u);
  TypedHashMap loaded;
  ASSERT_TRUE(loaded.Load(map.Serialize()));
  EXPECT_EQ(loaded.Serialize(), map.Serialize());
}

TEST(TypedHashMapTest, CapacityStopsAtTwoToTheThirty) {
  TypedHashMap map;
  if (!map.Configure(kMapInt32, kMapInt32, std::numeric_limits<int32_t>::max())) {
    GTEST_SKIP() << "no room for 2^30 buckets here";
  }
  EXPECT_EQ(map.capacity(), 1u << 30);
  ASSERT_EQ(map.Put(1, 1), TypedHashMap::kPutAdded);
  EXPECT_EQ(FieldAt(map.Serialize(), 12), 1u << 30);
}

TEST(TypedHashMapTest, LoadRefusesBucketsNoEntryJustifies) {
  TypedHashMap small;
  ASSERT_TRUE(small.Configure(kMapInt32, kMapInt32, 1 << 16));
  ASSERT_EQ(small.Put(7, 7), TypedHashMap::kPutAdded);
  std::string record = small.Serialize();
  TypedHashMap loaded;
  EXPECT_TRUE(loaded.Load(record)) << "2^16 buckets are always allowed";
  EXPECT_EQ(record, loaded.Serialize());

  // The same record claiming 2^30 buckets for its one entry: 8 GiB the
  // sender could make us allocate for nothing.
  record[12] = 0;
  record[13] = 0;
  record[14] = 0;
  record[15] = 0x40;
  EXPECT_FALSE(loaded.Load(record));
  EXPECT_EQ(7, loaded.GetInteger(7)) << "the map keeps what it had";
}

TEST(TypedHashMapTest, PutAddsReplacesKeepsOrRefuses) {
  TypedHashMap map;
  EXPECT_EQ(map.Put("名称", "岚风守望"), TypedHashMap::kPutFailed);
  EXPECT_FALSE(map.Get("名称"));
  EXPECT_TRUE(map.Serialize().empty());

  ASSERT_TRUE(map.Configure(kMapText, kMapText));
  EXPECT_EQ(map.Put("", "x"), TypedHashMap::kPutFailed);
  EXPECT_EQ(map.Put(std::string("\0x", 2), "x"), TypedHashMap::kPutFailed);
  EXPECT_EQ(map.count(), 0u);
  EXPECT_EQ(map.Put("名称", "岚风守望"), TypedHashMap::kPutAdded);
  EXPECT_EQ(map.Put("名称", "墨川", true), TypedHashMap::kPutKept);
  EXPECT_GBK_EQ("岚风守望", map.GetText("名称").value_or("?"));
  // A text ends at its first NUL, so this is the same key.
  EXPECT_EQ(map.Put(std::string("名称") + '\0' + "尾", "墨川"), TypedHashMap::kPutReplaced);
  EXPECT_GBK_EQ("墨川", map.GetText("名称").value_or("?"));
  EXPECT_EQ(map.count(), 1u);
  EXPECT_EQ(map.Put("作者", MapValue()), TypedHashMap::kPutAdded);
  EXPECT_EQ(map.GetText("作者"), "");

  EXPECT_EQ(map.Put(7, "x"), TypedHashMap::kPutFailed);
  EXPECT_EQ(map.Put("版本", 7), TypedHashMap::kPutFailed);
  EXPECT_FALSE(map.Get(7));
  EXPECT_FALSE(map.GetInteger("名称"));
}

TEST(TypedHashMapTest, ValuesMustSuitTheValueType) {
  TypedHashMap map;
  ASSERT_TRUE(map.Configure(kMapInt32, kMapInt32));
  EXPECT_EQ(map.Put(1, int64_t{1} << 32), TypedHashMap::kPutFailed);
  EXPECT_EQ(map.Put(int64_t{1} << 32, 1), TypedHashMap::kPutFailed);
  EXPECT_EQ(map.Put(1, 1.5), TypedHashMap::kPutFailed);
  EXPECT_EQ(map.Put(1, "1"), TypedHashMap::kPutFailed);
  EXPECT_EQ(map.Put(0xFFFFFFFFu, 0x80000000u), TypedHashMap::kPutAdded);
  EXPECT_EQ(map.GetInteger(-1), std::numeric_limits<int32_t>::min());

  ASSERT_TRUE(map.Configure(kMapInt32, kMapInt16));
  EXPECT_EQ(map.Put(1, 70000), TypedHashMap::kPutFailed);
  EXPECT_EQ(map.Put(1, 40000), TypedHashMap::kPutAdded);
  EXPECT_EQ(map.GetInteger(1), 40000 - 65536);

  ASSERT_TRUE(map.Configure(kMapInt32, kMapObject));
  EXPECT_EQ(map.Put(1, 1), TypedHashMap::kPutFailed);
  EXPECT_TRUE(map.Serialize().empty());
}

TEST(TypedHashMapTest, HoldsPointerSizedAddressesByName) {
  TypedHashMap table;
  ASSERT_TRUE(table.Configure(kMapText, kMapInt64));
  const auto address = reinterpret_cast<intptr_t>(&FieldAt);
  ASSERT_EQ(table.Put("发送好友消息", address), TypedHashMap::kPutAdded);
  TypedHashMap loaded;
  ASSERT_TRUE(loaded.Load(table.Serialize()));
  EXPECT_EQ(loaded.GetInteger("发送好友消息"), address);
  EXPECT_FALSE(loaded.GetInteger("发送群消息"));
}

TEST(TypedHashMapTest, SerializesEachLayoutByteForByte) {
  auto header = [](uint32_t total, uint32_t key_type, uint32_t value_type) {
    std::string bytes;
    for (uint32_t field :
         {total, key_type, value_type, 16u, BitsOf(0.75f), 1u, 0u, 0u, 0u, 0u, 1u}) {
      bytes += Le32(field);
    }
    return bytes;
  };
  TypedHashMap texts;
  ASSERT_TRUE(texts.Configure(kMapText, kMapText));
  ASSERT_EQ(texts.Put("ab", "xyz"), TypedHashMap::kPutAdded);
  EXPECT_EQ(HexBytes(texts.Serialize()),
            HexBytes(header(59, 10, 10) + Le32(3) + std::string("ab\0", 3) + Le32(4) +
                     std::string("xyz\0", 4)));

  TypedHashMap buffers;
  ASSERT_TRUE(buffers.Configure(kMapBytes, kMapBytes));
  ASSERT_EQ(buffers.Put("k", std::string("\0v", 2)), TypedHashMap::kPutAdded);
  EXPECT_EQ(HexBytes(buffers.Serialize()), HexBytes(header(63, 11, 11) + Le32(1) + Le32(1) + "k" +
                                                    Le32(1) + Le32(2) + std::string("\0v", 2)));

  TypedHashMap wide;
  ASSERT_TRUE(wide.Configure(kMapInt64, kMapDouble));
  ASSERT_EQ(wide.Put(int64_t{-2}, 1.0), TypedHashMap::kPutAdded);
  EXPECT_EQ(HexBytes(wide.Serialize()), HexBytes(header(60, 4, 6) + Le32(0xFFFFFFFE) +
                                                 Le32(0xFFFFFFFF) + Le32(0) + Le32(0x3FF00000)));
}

TEST(TypedHashMapTest, RecordFollowsBucketsOrInsertion) {
  TypedHashMap map;
  ASSERT_TRUE(map.Configure(kMapInt32, kMapInt32));
  for (int key : {5, 17, 1}) ASSERT_EQ(map.Put(key, 0), TypedHashMap::kPutAdded);
  EXPECT_EQ(Int32Keys(map.Serialize()), (std::vector<uint32_t>{17, 1, 5}));

  ASSERT_TRUE(map.Configure(kMapInt32, kMapInt32, 16, 0.75f, 1, 0, 1));
  for (int key : {5, 17, 1}) ASSERT_EQ(map.Put(key, 0), TypedHashMap::kPutAdded);
  ASSERT_EQ(map.Put(17, 9), TypedHashMap::kPutReplaced);
  EXPECT_EQ(Int32Keys(map.Serialize()), (std::vector<uint32_t>{5, 17, 1}));

  // Thirteen keys in bucket 1 of 16: growing splits the chain between buckets
  // 1 and 17 of 32 without reordering either half.
  ASSERT_TRUE(map.Configure(kMapInt32, kMapInt32));
  std::vector<uint32_t> even;
  std::vector<uint32_t> odd;
  for (uint32_t k = 0; k < 13; ++k) {
    ASSERT_EQ(map.Put(k * 16 + 1, 0), TypedHashMap::kPutAdded);
    (k % 2 == 0 ? even : odd).push_back(k * 16 + 1);
  }
  even.insert(even.end(), odd.begin(), odd.end());
  EXPECT_EQ(Int32Keys(map.Serialize()), even);
}

TEST(TypedHashMapTest, KeyHashingDecidesRecordOrder) {
  // h * 31 + byte takes text bytes unsigned and buffer bytes signed: in 1024
  // buckets "\x81" lands in 129 as text but in 897 as a buffer, while
  // "\x08\x01" lands in 249 either way.
  for (int32_t key_type : {kMapText, kMapBytes}) {
    TypedHashMap map(Hashing::kMultiply31);
    ASSERT_TRUE(map.Configure(key_type, kMapInt32, 1024));
    ASSERT_EQ(map.Put("\x08\x01", 1), TypedHashMap::kPutAdded);
    ASSERT_EQ(map.Put("\x81", 2), TypedHashMap::kPutAdded);
    const std::string record = map.Serialize();
    EXPECT_EQ(record.find("\x81") < record.find("\x08\x01"), key_type == kMapText);
  }
  // 64-bit keys hash their bytes low first, by CRC32C or by h * 31 + byte.
  for (Hashing hashing : {Hashing::kCrc32c, Hashing::kMultiply31}) {
    TypedHashMap map(hashing);
    ASSERT_TRUE(map.Configure(kMapInt64, kMapInt32));
    std::vector<std::pair<uint32_t, uint64_t>> expected;
    for (uint64_t i = 1; i <= 20; ++i) {
      const uint64_t key = i * 0x0101010101ull;
      ASSERT_EQ(map.Put(key, 0), TypedHashMap::kPutAdded);
      uint32_t hash = 0;
      if (hashing == Hashing::kCrc32c) {
        hash = Crc32cPortable(&key, sizeof key);
      } else {
        for (int b = 0; b < 8; ++b) hash = hash * 31 + static_cast<uint8_t>(key >> (8 * b));
      }
      expected.emplace_back(hash, key);
    }
    for (auto& entry : expected) entry.first &= map.capacity() - 1;
    std::stable_sort(expected.begin(), expected.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    const std::string record = map.Serialize();
    for (size_t i = 0; i < expected.size(); ++i) {
      const uint64_t key = FieldAt(record, 44 + 12 * i) | uint64_t{FieldAt(record, 48 + 12 * i)}
                                                              << 32;
      EXPECT_EQ(key, expected[i].second) << "entry " << i;
    }
  }
}

// A value of the given type made from i; texts vary in length, and byte
// buffers carry NULs.
MapValue SampleValue(int32_t type, int i) {
  switch (type) {
    case kMapFloat:
    case kMapDouble:
    case kMapDateTime:
      return i + 0.25;
    case kMapBoolean:
      return i % 3 == 0;
    case kMapText:
      return std::string(i % 5, 'v') + "值" + std::to_string(i);
    case kMapBytes:
      return std::string(i % 5, '\0') + std::to_string(i);
    default:
      return i - 20;
  }
}

TEST(TypedHashMapTest, EveryLayoutRoundTripsByteForByte) {
  for (Hashing hashing : {Hashing::kCrc32c, Hashing::kMultiply31}) {
    for (int32_t key_type : {kMapInt32, kMapInt64, kMapText, kMapBytes}) {
      for (int32_t value_type : {2, 3, 4, 5, 6, 7, 8, 10, 11}) {
        for (int32_t keep_order : {0, 1}) {
          SCOPED_TRACE(testing::Message() << key_type << "/" << value_type << "/" << keep_order);
          TypedHashMap map(hashing);
          ASSERT_TRUE(map.Configure(key_type, value_type, 16, 0.6f, 7, keep_order, keep_order));
          for (int i = 0; i < 40; ++i) {
            const std::string text_key = "键" + std::to_string(i * 7919);
            const MapKey key = key_type == kMapInt32 || key_type == kMapInt64
                                   ? MapKey(i * 7919 - 100)
                                   : MapKey(text_key);
            ASSERT_EQ(map.Put(key, SampleValue(value_type, i)), TypedHashMap::kPutAdded);
          }
          const std::string record = map.Serialize();
          TypedHashMap loaded(hashing);
          ASSERT_TRUE(loaded.Load(record));
          EXPECT_EQ(loaded.Serialize(), record);
          const MapKey probe = key_type == kMapInt32 || key_type == kMapInt64
                                   ? MapKey(3 * 7919 - 100)
                                   : MapKey("键23757");
          const std::optional<MapValue> value = loaded.Get(probe);
          ASSERT_TRUE(value);
          const MapValue expected = SampleValue(value_type, 3);
          EXPECT_EQ(value->integer(), expected.integer());
          EXPECT_EQ(value->real(), expected.real());
          EXPECT_EQ(value->bytes(), expected.bytes());
        }
      }
    }
  }
}

TEST(TypedHashMapTest, PooledAndDirectStorageSurviveReplacement) {
  for (int32_t direct : {0, 1}) {
    TypedHashMap map;
    ASSERT_TRUE(map.Configure(kMapText, kMapBytes, 16, 0.75f, 1, direct));
    for (int round = 0; round < 3; ++round) {
      for (int i = 0; i < 300; ++i) {
        ASSERT_NE(map.Put(std::string(i % 1100 + 1, 'k') + std::to_string(i),
                          std::string((i * 7 + round * 13) % 1500, 'v')),
                  TypedHashMap::kPutFailed);
      }
    }
    for (int i = 0; i < 300; ++i) {
      ASSERT_EQ(map.GetText(std::string(i % 1100 + 1, 'k') + std::to_string(i)),
                std::string((i * 7 + 26) % 1500, 'v'));
    }
  }
}

TEST(TypedHashMapTest, LoadRefusesBadRecordsAndKeepsTheMap) {
  TypedHashMap source;
  ASSERT_TRUE(source.Configure(kMapText, kMapText));
  ASSERT_EQ(source.Put("ab", "xyz"), TypedHashMap::kPutAdded);
  const std::string good = source.Serialize();  // entry at 44: 3 "ab\0" 4 "xyz\0"
  TypedHashMap buffers;
  ASSERT_TRUE(buffers.Configure(kMapBytes, kMapBytes));
  ASSERT_EQ(buffers.Put("k", "vv"), TypedHashMap::kPutAdded);
  const std::string good_buffers = buffers.Serialize();  // at 44: 1 1 "k" 1 2 "vv"

  const std::string kBad[] = {
      "",
      good.substr(0, 43),
      good.substr(0, 58),
      Patched(good, 0, 43),
      Patched(good, 0, 0xFFFFFFFF),
      Patched(good, 40, 0xFFFFFFFF),
      Patched(good, 40, 2),
      Patched(good, 44, 0xFFFFFFFF),
      Patched(good, 44, 0),
      Patched(good, 44, 100),
      Patched(good, 51, 0x7FFFFFFF),
      Patched(good_buffers, 48, 0x80000000),
      Patched(good_buffers, 57, 3),
      Patched(Patched(good, 8, kMapObject), 0, 59),
  };
  TypedHashMap map;
  ASSERT_TRUE(map.Configure(kMapText, kMapText));
  ASSERT_EQ(map.Put("名称", "岚风守望"), TypedHashMap::kPutAdded);
  for (const std::string& record : kBad) {
    ExactBuffer buffer(record);
    EXPECT_FALSE(map.Load(buffer.view())) << HexBytes(record);
    EXPECT_GBK_EQ("岚风守望", map.GetText("名称").value_or("?"));
  }

  // Bytes after the stated length are not part of the record, and a NaN
  // load factor loads as the default.
  ASSERT_TRUE(map.Load(Patched(good, 16, 0x7FC00000) + "tail"));
  EXPECT_EQ(map.Serialize(), good);
  EXPECT_FALSE(map.Get("名称"));
}

// A map of 20,000 entries: text keys of 9 to 22 bytes, or spread integers.
TypedHashMap BigMap(Hashing hashing, int32_t key_type, float load_factor) {
  TypedHashMap map(hashing);
  map.Configure(key_type, key_type == kMapInt64 ? kMapInt64 : kMapInt32, 16, load_factor);
  for (int i = 0; i < 20000; ++i) {
    const std::string text = "键" + std::to_string(i * 7919) + std::string(i % 13, 'x');
    const auto number = static_cast<int64_t>(static_cast<uint64_t>(i) * 0x9E3779B97F4A7C15ull);
    int put;
    if (key_type == kMapText) {
      put = map.Put(text, i);
    } else if (key_type == kMapInt32) {
      put = map.Put(static_cast<int32_t>(number >> 32), static_cast<int32_t>(number));
    } else {
      put = map.Put(number, number);
    }
    EXPECT_EQ(put, TypedHashMap::kPutAdded) << i;
  }
  return map;
}

TEST(TypedHashMapTest, LargeMapsSerializeToTheRecordsTheyAlwaysHave) {
  // Length and CRC32C of records made by the map when its buckets were
  // chains of nodes; the entry order depends on hashing, growth and capacity
  // alone, so any other implementation must write the same bytes. The tiny
  // load factor grows the capacity past 2^16.
  struct Expected {
    Hashing hashing;
    int32_t key_type;
    float load_factor;
    size_t size;
    uint32_t sum;
    uint32_t capacity;
  };
  const Expected kRecords[] = {
      {Hashing::kCrc32c, 3, 0.75f, 160044u, 0xA40874E5u, 32768u},
      {Hashing::kCrc32c, 3, 1e-06f, 160044u, 0xB3E0ABD9u, 524288u},
      {Hashing::kCrc32c, 4, 0.75f, 320044u, 0x42FA62DFu, 32768u},
      {Hashing::kCrc32c, 4, 1e-06f, 320044u, 0xA4E3A685u, 524288u},
      {Hashing::kCrc32c, 10, 0.75f, 505987u, 0xD0196646u, 32768u},
      {Hashing::kCrc32c, 10, 1e-06f, 505987u, 0x4D9FB0E5u, 524288u},
      {Hashing::kMultiply31, 3, 0.75f, 160044u, 0xA40874E5u, 32768u},
      {Hashing::kMultiply31, 3, 1e-06f, 160044u, 0xB3E0ABD9u, 524288u},
      {Hashing::kMultiply31, 4, 0.75f, 320044u, 0x91184E4Fu, 32768u},
      {Hashing::kMultiply31, 4, 1e-06f, 320044u, 0xDD9B8B06u, 524288u},
      {Hashing::kMultiply31, 10, 0.75f, 505987u, 0x45CF954Bu, 32768u},
      {Hashing::kMultiply31, 10, 1e-06f, 505987u, 0xAC3F66D8u, 524288u},
  };
  for (const Expected& expected : kRecords) {
    SCOPED_TRACE(testing::Message() << expected.key_type << "/" << expected.load_factor << "/"
                                    << (expected.hashing == Hashing::kCrc32c));
    const TypedHashMap map = BigMap(expected.hashing, expected.key_type, expected.load_factor);
    EXPECT_EQ(map.capacity(), expected.capacity);
    const std::string record = map.Serialize();
    ASSERT_EQ(record.size(), expected.size);
    EXPECT_EQ(Crc32cPortable(record.data(), record.size()), expected.sum);
    // Load refuses more buckets than 8 per entry past 2^16, which the tiny
    // load factor gives.
    if (expected.load_factor < 0.5f) continue;
    TypedHashMap loaded(expected.hashing);
    ASSERT_TRUE(loaded.Load(record));
    EXPECT_EQ(loaded.Serialize(), record);
  }
}

TEST(TypedHashMapTest, FindsTextAndByteKeysOfEveryLengthAtEveryOffset) {
  // Prefixes of one pattern, so that a text cut short by a NUL is another
  // stored key; lengths on both sides of 8, 16 and 24.
  std::string pattern;
  for (int i = 0; i < 40; ++i) pattern.push_back(static_cast<char>(0x81 + i * 3));
  for (Hashing hashing : {Hashing::kCrc32c, Hashing::kMultiply31}) {
    for (int32_t key_type : {kMapText, kMapBytes}) {
      SCOPED_TRACE(testing::Message() << key_type << "/" << (hashing == Hashing::kCrc32c));
      TypedHashMap map(hashing);
      ASSERT_TRUE(map.Configure(key_type, kMapInt32));
      for (size_t length = 1; length <= pattern.size(); ++length) {
        ASSERT_EQ(map.Put(pattern.substr(0, length), static_cast<int>(length)),
                  TypedHashMap::kPutAdded);
      }
      TypedHashMap loaded(hashing);
      ASSERT_TRUE(loaded.Load(map.Serialize()));
      // Each key read from the end of a heap block, at every offset from an
      // aligned start, so that AddressSanitizer sees any read past it.
      auto get = [&loaded](const std::string& key, size_t offset) {
        const ExactBuffer buffer(std::string(offset, '.') + key);
        return loaded.GetInteger(buffer.view().substr(offset));
      };
      for (size_t length = 1; length <= pattern.size(); ++length) {
        const std::string key = pattern.substr(0, length);
        for (size_t offset = 0; offset < 8; ++offset) {
          SCOPED_TRACE(testing::Message() << length << "+" << offset);
          EXPECT_EQ(get(key, offset), static_cast<int64_t>(length));
          std::string changed = key;
          changed.back() = 'z';
          EXPECT_FALSE(get(changed, offset));
          changed = key;
          changed.front() = 'z';
          EXPECT_FALSE(get(changed, offset));
          // A NUL ends a text: the part before it is the key.
          for (size_t nul = 0; nul < length; ++nul) {
            std::string cut = key;
            cut[nul] = '\0';
            const std::optional<int64_t> found = get(cut, offset);
            if (key_type == kMapText && nul > 0) {
              EXPECT_EQ(found, static_cast<int64_t>(nul)) << nul;
            } else {
              EXPECT_FALSE(found) << nul;
            }
          }
        }
      }
    }
  }
}

// Loads a record in a buffer of exactly its size; whatever loads must
// serialize to a record that reloads to itself.
void ExpectSafeLoad(const std::string& record) {
  ExactBuffer buffer(record);
  TypedHashMap map;
  if (!map.Load(buffer.view())) return;
  const std::string again = map.Serialize();
  TypedHashMap reloaded;
  ASSERT_TRUE(reloaded.Load(again)) << HexBytes(record);
  EXPECT_EQ(reloaded.Serialize(), again);
}

TEST(TypedHashMapTest, LoadSurvivesEveryTruncationAndCorruption) {
  TypedHashMap texts;
  ASSERT_TRUE(texts.Configure(kMapText, kMapBytes));
  TypedHashMap numbers;
  ASSERT_TRUE(numbers.Configure(kMapInt64, kMapText, 16, 0.75f, 1, 0, 1));
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(texts.Put("键" + std::to_string(i), std::string(i, '\0')), TypedHashMap::kPutAdded);
    ASSERT_EQ(numbers.Put(i * 1000003, std::string(i, 'v')), TypedHashMap::kPutAdded);
  }
  for (const std::string& record : {texts.Serialize(), numbers.Serialize()}) {
    for (size_t cut = 0; cut <= record.size(); ++cut) {
      const std::string part = record.substr(0, cut);
      ExpectSafeLoad(cut < 4 ? part : Patched(part, 0, static_cast<uint32_t>(cut)));
    }
    for (size_t at = 0; at < record.size(); ++at) {
      if (at >= 12 && at < 16) continue;  // the capacity only sizes the bucket array
      for (unsigned char byte : {0x00, 0x01, 0x7F, 0x80, 0xFF}) {
        std::string corrupt = record;
        corrupt[at] = static_cast<char>(byte);
        ExpectSafeLoad(corrupt);
      }
    }
  }
}

// The record of a map of `key_type` keys and `value_type` values (16
// buckets, load factor 0.75, keep order as given) holding `entries`, key
// number or text and value, in that order, repeats and all.
struct RecordEntryForTest {
  int64_t number;
  std::string text;
  int32_t value;
};

std::string HandMadeRecord(int32_t key_type, int32_t value_type, int32_t keep_order,
                           const std::vector<RecordEntryForTest>& entries) {
  std::string body;
  for (const RecordEntryForTest& entry : entries) {
    if (key_type == kMapText) {
      body += Le32(static_cast<uint32_t>(entry.text.size() + 1)) + entry.text + '\0';
    } else {
      body += Le32(static_cast<uint32_t>(entry.number));
      if (key_type == kMapInt64) body += Le32(static_cast<uint32_t>(entry.number >> 32));
    }
    body += Le32(static_cast<uint32_t>(entry.value));
    if (value_type == kMapInt64) body += Le32(entry.value < 0 ? 0xFFFFFFFFu : 0);
  }
  std::string record;
  for (uint32_t field :
       {static_cast<uint32_t>(44 + body.size()), static_cast<uint32_t>(key_type),
        static_cast<uint32_t>(value_type), 16u, BitsOf(0.75f), 1u, 0u,
        static_cast<uint32_t>(keep_order), 0u, 0u, static_cast<uint32_t>(entries.size())}) {
    record += Le32(field);
  }
  return record + body;
}

TEST(TypedHashMapTest, LargeRecordsLoadAsTheirEntriesPutInOrder) {
  // Tables larger than the caches are filled a partition of slots at a
  // time, not in record order; the map must still be the one that putting
  // the entries one after the other makes: a repeated key keeps its first
  // place (and insertion number) and takes its last value, an empty text
  // key is left out. Each case needs a table of over 16 MiB.
  struct Case {
    int32_t key_type;
    int32_t value_type;
    int32_t keep_order;
    int distinct;
  };
  const Case kCases[] = {
      {kMapInt32, kMapInt32, 1, 470000},  // 2^20 slots of 8 bytes
      {kMapInt64, kMapInt64, 0, 470000},  // 2^20 slots of 16 bytes
      {kMapText, kMapInt32, 0, 235000},   // 2^19 slots of 40 bytes
  };
  for (const Case& test : kCases) {
    SCOPED_TRACE(testing::Message() << test.key_type << "/" << test.keep_order);
    std::vector<RecordEntryForTest> entries;
    for (int i = 0; i < test.distinct; ++i) {
      const int64_t number =
          test.key_type == kMapInt32
              ? static_cast<int32_t>(static_cast<uint32_t>(i) * 2654435761u)
              : static_cast<int64_t>(static_cast<uint64_t>(i) * 0x9E3779B97F4A7C15ull);
      entries.push_back({number, "键" + std::to_string(int64_t{i} * 7919), i});
      if (i % 997 == 0 && i > 0) entries.push_back(entries[entries.size() / 2]);
      if (i % 1009 == 0) {
        RecordEntryForTest again = entries[static_cast<size_t>(i) / 3];
        again.value = -i;
        entries.push_back(again);
      }
    }
    if (test.key_type == kMapText) entries.push_back({0, "", 5});
    const std::string record =
        HandMadeRecord(test.key_type, test.value_type, test.keep_order, entries);

    TypedHashMap expected;
    ASSERT_TRUE(
        expected.Configure(test.key_type, test.value_type, 16, 0.75f, 1, 0, test.keep_order));
    for (const RecordEntryForTest& entry : entries) {
      const MapKey key = test.key_type == kMapText ? MapKey(entry.text) : MapKey(entry.number);
      expected.Put(key, entry.value);
    }
    TypedHashMap loaded;
    ASSERT_TRUE(loaded.Load(record));
    EXPECT_EQ(loaded.count(), expected.count());
    EXPECT_EQ(loaded.capacity(), expected.capacity());
    const std::string again = loaded.Serialize();
    ASSERT_EQ(again.size(), expected.Serialize().size());
    EXPECT_TRUE(again == expected.Serialize());
    const RecordEntryForTest& changed = entries[1009 / 3];
    const MapKey key = test.key_type == kMapText ? MapKey(changed.text) : MapKey(changed.number);
    EXPECT_EQ(loaded.GetInteger(key), -1009);
    // Entries put afterwards follow the loaded ones.
    for (int i = 0; i < 3; ++i) {
      const std::string text = "新" + std::to_string(i);
      const MapKey added = test.key_type == kMapText ? MapKey(text) : MapKey(-7 - i);
      ASSERT_EQ(loaded.Put(added, i), TypedHashMap::kPutAdded);
      ASSERT_EQ(expected.Put(added, i), TypedHashMap::kPutAdded);
    }
    EXPECT_TRUE(loaded.Serialize() == expected.Serialize());
    // A record cut inside its last entry loads nothing.
    TypedHashMap cut;
    EXPECT_FALSE(cut.Load(
        Patched(record.substr(0, record.size() - 1), 0, static_cast<uint32_t>(record.size() - 1))));
    EXPECT_EQ(cut.count(), 0u);
  }
}

}  // namespace
}  // namespace lanfeng
