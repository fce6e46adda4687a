#include "host/typed_hash_map.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "host/crc32c.h"

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace lanfeng {
namespace {

constexpr uint32_t kMinCapacity = 16;
constexpr uint32_t kMaxCapacity = uint32_t{1} << 30;
constexpr float kDefaultLoadFactor = 0.75f;
constexpr double kLoadFactorMargin = 0.0000001;
// Counts and lengths travel as signed 32-bit fields; a text's length field
// also counts its NUL.
constexpr size_t kLongestBytes = std::numeric_limits<int32_t>::max() - 1;
constexpr uint32_t kMostEntries = std::numeric_limits<int32_t>::max();

// The record header: eleven 32-bit fields.
enum HeaderField {
  kTotalLength,
  kKeyType,
  kValueType,
  kCapacity,
  kLoadFactor,
  kFlagsSetting,
  kDirectAllocation,
  kKeepOrder,
  kReservedA,
  kReservedB,
  kCount,
  kHeaderFields
};
constexpr size_t kHeaderSize = kHeaderFields * 4;

// The node pool: size classes of 8 to 64 bytes in steps of 8, then 128, 256,
// 512 and 1024, carved from 16 KB pages.
constexpr size_t kPoolPageSize = 16 * 1024;
constexpr size_t kLargestSmallClass = 64;
constexpr size_t kLargestPooledBlock = 1024;
constexpr int kSizeClassCount = 12;

bool IsStringType(int32_t type) { return type == kMapText || type == kMapBytes; }

int32_t NormalKeyType(int32_t type) {
  return type == kMapInt64 || IsStringType(type) ? type : kMapInt32;
}

int32_t NormalValueType(int32_t type) {
  const bool known =
      (type >= kMapInt16 && type <= kMapDateTime) || IsStringType(type) || type == kMapObject;
  return known ? type : kMapInt32;
}

// Bytes a scalar value of this type takes in a record.
size_t ScalarWidth(int32_t type) {
  return type == kMapInt64 || type == kMapDouble || type == kMapDateTime ? 8 : 4;
}

// A scalar value's record bits as a slot keeps them: 4-byte values
// sign-extended (see map_internal::ValueBits).
uint64_t SlotScalar(int32_t type, uint64_t bits) {
  if (IsStringType(type) || ScalarWidth(type) == 8) return bits;
  return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(bits)));
}

// The largest power of two from 16 to 2^30 not above capacity.
uint32_t NormalCapacity(int32_t capacity) {
  uint32_t result = kMinCapacity;
  while (result < kMaxCapacity && int64_t{result} * 2 <= capacity) result *= 2;
  return result;
}

float NormalLoadFactor(float load_factor) {
  const bool valid = std::isfinite(load_factor) && load_factor > kLoadFactorMargin &&
                     load_factor - 1.0 < -kLoadFactorMargin;
  return valid ? load_factor : kDefaultLoadFactor;
}

// The count a map may reach before it doubles: capacity x load factor, but
// never below capacity / 16, so that a tiny load factor cannot make the map
// double on every insertion.
uint32_t Threshold(uint32_t capacity, float load_factor) {
  const auto scaled = static_cast<uint32_t>(static_cast<double>(capacity) * load_factor);
  return std::max(scaled, capacity / 16);
}

// A text ends at its first NUL.
std::string_view TextPart(std::string_view bytes) { return bytes.substr(0, bytes.find('\0')); }

uint32_t HashBytes(TypedHashMap::KeyHashing hashing, std::string_view bytes, bool signed_bytes) {
  if (hashing == TypedHashMap::KeyHashing::kCrc32c) return Crc32c(bytes.data(), bytes.size());
  uint32_t hash = 0;
  for (char c : bytes) {
    const uint32_t byte = signed_bytes ? static_cast<uint32_t>(static_cast<int32_t>(c))
                                       : static_cast<unsigned char>(c);
    hash = hash * 31 + byte;
  }
  return hash;
}

uint32_t FloatBits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

float FloatFromBits(uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

uint64_t DoubleBits(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// The record bits of a scalar value for value type `type`; false when the
// value is not of a kind the type takes or is out of its range.
bool EncodeScalar(int32_t type, const MapValue& value, uint64_t* bits) {
  using Kind = MapValue::Kind;
  const bool integral = value.kind() != Kind::kReal && value.kind() != Kind::kBytes;
  const bool numeric = value.kind() != Kind::kBytes;
  const int64_t n = value.integer();
  const double real = value.kind() == Kind::kReal ? value.real() : static_cast<double>(n);
  switch (type) {
    case kMapInt16:
      if (!integral || n < std::numeric_limits<int16_t>::min() ||
          n > std::numeric_limits<uint16_t>::max()) {
        return false;
      }
      *bits = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(n)));
      return true;
    case kMapInt32:
      if (!integral || n < std::numeric_limits<int32_t>::min() ||
          n > std::numeric_limits<uint32_t>::max()) {
        return false;
      }
      *bits = static_cast<uint32_t>(n);
      return true;
    case kMapInt64:
      *bits = static_cast<uint64_t>(n);
      return integral;
    case kMapBoolean:
      *bits = n != 0 ? 1 : 0;
      return integral;
    case kMapFloat:
      *bits = FloatBits(static_cast<float>(real));
      return numeric;
    case kMapDouble:
    case kMapDateTime:
      *bits = DoubleBits(real);
      return numeric;
    default:
      return false;
  }
}

// The bytes a text or byte-buffer value stores; false for other kinds.
bool EncodeBytes(int32_t type, const MapValue& value, std::string_view* bytes) {
  if (value.kind() != MapValue::Kind::kBytes && value.kind() != MapValue::Kind::kNone) {
    return false;
  }
  *bytes = type == kMapText ? TextPart(value.bytes()) : std::string_view(value.bytes());
  return bytes->size() <= kLongestBytes;
}

// Reads a record front to back. A read that does not fit in what remains
// fails, and so does a length field that is negative or larger than what
// remains.
class RecordReader {
 public:
  explicit RecordReader(std::string_view data) : data_(data) {}

  size_t remaining() const { return data_.size(); }

  LANFENG_MAP_INLINE bool ReadU32(uint32_t* value) {
    std::string_view bytes;
    if (!Take(4, &bytes)) return false;
    *value = 0;
    for (int i = 3; i >= 0; --i) *value = (*value << 8) | static_cast<unsigned char>(bytes[i]);
    return true;
  }

  LANFENG_MAP_INLINE bool ReadU64(uint64_t* value) {
    uint32_t low;
    uint32_t high;
    if (!ReadU32(&low) || !ReadU32(&high)) return false;
    *value = (uint64_t{high} << 32) | low;
    return true;
  }

  // A text: a length field counting the text and its NUL, then those bytes.
  LANFENG_MAP_INLINE bool ReadText(std::string_view* text) {
    int32_t length;
    if (!ReadLength(&length) || length < 1 || !Take(length, text)) return false;
    *text = TextPart(*text);
    return true;
  }

  // A byte buffer: a 32-bit 1, a length field, then the bytes.
  LANFENG_MAP_INLINE bool ReadByteBuffer(std::string_view* bytes) {
    uint32_t marker;
    int32_t length;
    return ReadU32(&marker) && ReadLength(&length) && length >= 0 && Take(length, bytes);
  }

 private:
  LANFENG_MAP_INLINE bool ReadLength(int32_t* length) {
    uint32_t field;
    if (!ReadU32(&field)) return false;
    *length = static_cast<int32_t>(field);
    return true;
  }

  LANFENG_MAP_INLINE bool Take(size_t size, std::string_view* bytes) {
    if (size > data_.size()) return false;
    *bytes = data_.substr(0, size);
    data_.remove_prefix(size);
    return true;
  }

  std::string_view data_;
};

// One entry as a record holds it: an integer key or key bytes, a scalar
// value or value bytes, whichever the map's types call for.
struct RecordEntry {
  uint64_t number = 0;
  std::string_view key;
  uint64_t scalar = 0;
  std::string_view value;
};

// Reads one entry in the layout the map's key and value types call for.
// Compiled into its callers, which then take the entry from registers: read
// back from memory, its two-word fields would wait for every earlier store
// to reach the cache, the table's included.
__attribute__((always_inline)) inline bool ReadEntry(int32_t key_type, int32_t value_type,
                                                     RecordReader* reader, RecordEntry* entry) {
  bool read = false;
  if (key_type == kMapInt32) {
    uint32_t number = 0;
    read = reader->ReadU32(&number);
    entry->number = number;
  } else if (key_type == kMapInt64) {
    read = reader->ReadU64(&entry->number);
  } else {
    read =
        key_type == kMapText ? reader->ReadText(&entry->key) : reader->ReadByteBuffer(&entry->key);
  }
  if (!read || value_type == kMapObject) return false;
  if (value_type == kMapText) return reader->ReadText(&entry->value);
  if (value_type == kMapBytes) return reader->ReadByteBuffer(&entry->value);
  if (ScalarWidth(value_type) == 8) return reader->ReadU64(&entry->scalar);
  uint32_t scalar = 0;
  read = reader->ReadU32(&scalar);
  entry->scalar = scalar;
  return read;
}

// The header of a record, checked: at least 44 bytes, a total length between
// 44 and the bytes present, and a count that is not negative.
bool ReadHeader(std::string_view record, uint32_t (&fields)[kHeaderFields]) {
  if (record.size() < kHeaderSize) return false;
  RecordReader reader(record);
  for (uint32_t& field : fields) reader.ReadU32(&field);
  const auto total = static_cast<int32_t>(fields[kTotalLength]);
  return total >= static_cast<int32_t>(kHeaderSize) &&
         static_cast<size_t>(total) <= record.size() && static_cast<int32_t>(fields[kCount]) >= 0;
}

// A heap of the map's own: every block it hands out is released at the
// latest when the heap is destroyed, so a map frees all its storage at once.
class PrivateHeap {
 public:
  PrivateHeap() = default;
  PrivateHeap(const PrivateHeap&) = delete;
  PrivateHeap& operator=(const PrivateHeap&) = delete;

  ~PrivateHeap() {
    while (head_ != nullptr) {
      Block* next = head_->next;
      std::free(head_);
      head_ = next;
    }
  }

  // size bytes, aligned for any scalar; null when memory is short.
  void* Allocate(size_t size, bool zeroed) {
    if (size > std::numeric_limits<size_t>::max() - sizeof(Block)) return nullptr;
    void* raw = zeroed ? std::calloc(1, sizeof(Block) + size) : std::malloc(sizeof(Block) + size);
    if (raw == nullptr) return nullptr;
    auto* block = static_cast<Block*>(raw);
    block->previous = nullptr;
    block->next = head_;
    if (head_ != nullptr) head_->previous = block;
    head_ = block;
    return block + 1;
  }

  void Free(void* data) {
    Block* block = static_cast<Block*>(data) - 1;
    if (block->previous != nullptr) {
      block->previous->next = block->next;
    } else {
      head_ = block->next;
    }
    if (block->next != nullptr) block->next->previous = block->previous;
    std::free(block);
  }

 private:
  struct Block {
    Block* previous;
    Block* next;
  };
  Block* head_ = nullptr;
};

// Small blocks in size classes, each class carving pages of the private heap
// and keeping a list of freed blocks for reuse. Pages go back only with the
// heap.
class NodePool {
 public:
  explicit NodePool(PrivateHeap* heap) : heap_(heap) {}

  // A block of at least size bytes (1 to 1024); null when memory is short.
  void* Allocate(size_t size) {
    SizeClass& size_class = classes_[ClassOf(size)];
    if (size_class.free_list != nullptr) {
      FreeBlock* block = size_class.free_list;
      size_class.free_list = block->next;
      return block;
    }
    const size_t block_size = ClassSize(ClassOf(size));
    if (size_class.page_left < block_size) {
      size_class.page = static_cast<char*>(heap_->Allocate(kPoolPageSize, false));
      if (size_class.page == nullptr) return nullptr;
      size_class.page_left = kPoolPageSize;
    }
    void* block = size_class.page;
    size_class.page += block_size;
    size_class.page_left -= block_size;
    return block;
  }

  // Returns a block; size is the size it was asked for with.
  void Free(void* block, size_t size) {
    SizeClass& size_class = classes_[ClassOf(size)];
    size_class.free_list = new (block) FreeBlock{size_class.free_list};
  }

 private:
  struct FreeBlock {
    FreeBlock* next;
  };
  struct SizeClass {
    FreeBlock* free_list = nullptr;
    char* page = nullptr;
    size_t page_left = 0;
  };

  static int ClassOf(size_t size) {
    if (size <= kLargestSmallClass) {
      return static_cast<int>((std::max<size_t>(size, 1) + 7) / 8) - 1;
    }
    int index = kLargestSmallClass / 8;
    for (size_t limit = 2 * kLargestSmallClass; limit < size; limit *= 2) ++index;
    return index;
  }

  static size_t ClassSize(int index) {
    const int small_classes = kLargestSmallClass / 8;
    return index < small_classes ? (index + 1) * 8
                                 : (2 * kLargestSmallClass) << (index - small_classes);
  }

  PrivateHeap* heap_;
  SizeClass classes_[kSizeClassCount];
};

}  // namespace

struct TypedHashMap::KeyView {
  uint64_t number = 0;
  std::string_view bytes;
  uint32_t hash = 0;  // for 64-bit keys only filled in when the key is added
};

namespace map_internal {

// One entry of a map of text or byte keys. A key of up to kInlineKey bytes
// sits in the slot itself, at the end of `words` with zeros before it: two
// keys are then the same when their lengths and words are, and the key's
// CRC32C is the sum of the three words, since zeros before a text do not
// change a sum that starts from 0. A longer key has a block (see
// Storage::NewBlock) whose address is words[0].
struct TextSlot {
  uint64_t words[3];
  uint32_t length;
  uint64_t value;  // as in Slot
};

}  // namespace map_internal

namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "slots hold keys in little-endian words");

using map_internal::kFreeTag;
using map_internal::kGroupWidth;
using map_internal::NarrowSlot;
using map_internal::Slot;
using map_internal::SlotInfo;
using map_internal::Spread;
using map_internal::TagGroup;
using map_internal::TagMatches;
using map_internal::TagOf;
using map_internal::TextSlot;

constexpr size_t kInlineKey = sizeof(TextSlot::words);

// Load fills a table larger than kFillByPartsFrom bytes (about what the
// shared cache keeps) a partition of 2^kFillPartitionSlotBits slots at a
// time, in at most 2^kMostFillPartitionBits partitions; a smaller one in
// record order.
constexpr size_t kFillByPartsFrom = size_t{16} << 20;
constexpr uint32_t kFillPartitionSlotBits = 12;
constexpr uint32_t kMostFillPartitionBits = 12;
constexpr size_t kFewestSlots = 16;

// The slot table keeps at least 1/8 of its slots free, so every probe ends at
// a free slot within a few groups.
uint64_t MostEntriesIn(size_t slots) { return uint64_t{slots} - slots / 8; }

size_t TagBytes(size_t slots) { return slots + kGroupWidth - 1; }

// The table's block: tags, then slots and infos, each aligned for its type.
size_t SlotsOffset(size_t slots) { return (TagBytes(slots) + 7) / 8 * 8; }

// Key and value blocks: the 32-bit length, the bytes, a NUL.
constexpr size_t kBlockHeader = 4;

size_t BlockSize(size_t length) { return kBlockHeader + length + 1; }

const char* BlockAt(uint64_t address) {
  return reinterpret_cast<const char*>(static_cast<uintptr_t>(address));
}

uint32_t BlockLength(const char* block) {
  uint32_t length;
  std::memcpy(&length, block, sizeof length);
  return length;
}

// The bytes of the block at address; empty for address 0.
std::string_view BlockBytes(uint64_t address) {
  if (address == 0) return {};
  const char* block = BlockAt(address);
  return {block + kBlockHeader, BlockLength(block)};
}

std::string_view InlineBytes(const TextSlot& slot) {
  return {reinterpret_cast<const char*>(slot.words) + kInlineKey - slot.length, slot.length};
}

uint32_t Log2(uint32_t power_of_two) { return static_cast<uint32_t>(__builtin_ctz(power_of_two)); }

// The bytes of a text or byte key, wherever its slot keeps them.
std::string_view KeyBytesOf(const TextSlot& slot) {
  return slot.length <= kInlineKey ? InlineBytes(slot) : BlockBytes(slot.words[0]);
}

char* PutU32(char* out, uint32_t value) {
  std::memcpy(out, &value, sizeof value);  // little-endian, as the record
  return out + sizeof value;
}

char* PutU64(char* out, uint64_t value) {
  std::memcpy(out, &value, sizeof value);
  return out + sizeof value;
}

char* PutBytes(char* out, std::string_view bytes) {
  if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
  return out + bytes.size();
}

// A text as a record holds it: (length + 1), the bytes, a NUL.
char* PutText(char* out, std::string_view text) {
  out = PutBytes(PutU32(out, static_cast<uint32_t>(text.size() + 1)), text);
  *out = '\0';
  return out + 1;
}

// A byte buffer as a record holds it: 1, the length, the bytes.
char* PutByteBuffer(char* out, std::string_view bytes) {
  return PutBytes(PutU32(PutU32(out, 1), static_cast<uint32_t>(bytes.size())), bytes);
}

// The types of a record's entries.
struct RecordTypes {
  int32_t key_type;
  int32_t value_type;
};

// Entries are fetched this many ahead of their writing: enough to keep the
// memory busy, few enough to stay in the caches.
constexpr size_t kFetchAhead = 8;

// The key and value of each slot layout as a record writes them. A 4-byte
// scalar is kept sign-extended; its low half is the record's.
size_t KeySize(RecordTypes, const NarrowSlot&) { return 4; }
size_t KeySize(RecordTypes types, const Slot&) { return types.key_type == kMapInt64 ? 8 : 4; }
size_t KeySize(RecordTypes types, const TextSlot& slot) {
  return size_t{slot.length} + (types.key_type == kMapText ? 5 : 8);
}

char* PutKey(char* out, RecordTypes, const NarrowSlot& slot) { return PutU32(out, slot.key); }
char* PutKey(char* out, RecordTypes types, const Slot& slot) {
  return types.key_type == kMapInt64 ? PutU64(out, slot.key)
                                     : PutU32(out, static_cast<uint32_t>(slot.key));
}
char* PutKey(char* out, RecordTypes types, const TextSlot& slot) {
  return types.key_type == kMapText ? PutText(out, KeyBytesOf(slot))
                                    : PutByteBuffer(out, KeyBytesOf(slot));
}

size_t ValueSize(RecordTypes types, uint64_t value) {
  if (types.value_type == kMapText) return BlockBytes(value).size() + 5;
  if (types.value_type == kMapBytes) return BlockBytes(value).size() + 8;
  return ScalarWidth(types.value_type);
}

char* PutValue(char* out, RecordTypes types, uint64_t value) {
  if (types.value_type == kMapText) return PutText(out, BlockBytes(value));
  if (types.value_type == kMapBytes) return PutByteBuffer(out, BlockBytes(value));
  if (ScalarWidth(types.value_type) == 8) return PutU64(out, value);
  return PutU32(out, static_cast<uint32_t>(value));
}

// Starts fetching the blocks that writing an entry reads.
void FetchBlocks(RecordTypes types, const TextSlot& slot) {
  if (slot.length > kInlineKey) __builtin_prefetch(BlockAt(slot.words[0]));
  if (IsStringType(types.value_type)) __builtin_prefetch(BlockAt(slot.value));
}
template <typename Entry>
void FetchBlocks(RecordTypes types, const Entry& slot) {
  if (IsStringType(types.value_type)) __builtin_prefetch(BlockAt(slot.value));
}

// An entry on its way into a record: its rank there, and what writing it
// needs: a copy of an integer map's slot, the slot number of a text map's
// (whose slots are larger).
template <typename Payload>
struct Ranked {
  uint64_t rank;
  Payload payload;
};

template <typename Entry>
using PayloadOf = std::conditional_t<std::is_same_v<Entry, TextSlot>, uint64_t, Entry>;

template <typename Entry>
PayloadOf<Entry> MakePayload(const Entry* slots, size_t at) {
  if constexpr (std::is_same_v<Entry, TextSlot>) {
    return at;
  } else {
    return slots[at];
  }
}

template <typename Entry>
const Entry& EntryOf(const Entry* slots, const PayloadOf<Entry>& payload) {
  if constexpr (std::is_same_v<Entry, TextSlot>) {
    return slots[payload];
  } else {
    return payload;
  }
}

// Bits that hold every value below n.
uint32_t BitsBelow(uint64_t n) {
  uint32_t bits = 0;
  while (bits < 64 && (uint64_t{1} << bits) < n) ++bits;
  return bits;
}

// A partition holds about this many entries, which sort within the caches.
constexpr uint32_t kPartitionBits = 9;
constexpr uint32_t kMostPartitionBits = 11;
// Within a partition, entries sort by counting when the counters are no
// more than this many times the entries.
constexpr size_t kCountingRatio = 4;

// Sorts items[0, n) by rank into `sorted`: by counting on `sort_key` (the
// bits below `bits`), then by insertion on the whole rank, which only has to
// order items of one key (a bucket's few entries) and so costs one
// comparison an item. Without room for the counters, a comparison sort.
template <typename Item, typename SortKey>
const Item* SortPartition(const Item* items, size_t n, uint32_t bits, SortKey sort_key,
                          std::vector<size_t>* counters, Item* sorted) {
  if (n <= 1) return items;
  const size_t digits = size_t{1} << bits;
  if (bits >= 40 || digits > kCountingRatio * n + 64) {
    std::copy(items, items + n, sorted);
    std::sort(sorted, sorted + n, [](const Item& a, const Item& b) { return a.rank < b.rank; });
    return sorted;
  }
  counters->assign(digits, 0);
  for (size_t i = 0; i < n; ++i) ++(*counters)[sort_key(items[i]) & (digits - 1)];
  size_t start = 0;
  for (size_t& count : *counters) {
    const size_t here = count;
    count = start;
    start += here;
  }
  for (size_t i = 0; i < n; ++i)
    sorted[(*counters)[sort_key(items[i]) & (digits - 1)]++] = items[i];
  for (size_t i = 1; i < n; ++i) {
    if (sorted[i - 1].rank <= sorted[i].rank) continue;
    const Item moving = sorted[i];
    size_t j = i;
    for (; j > 0 && sorted[j - 1].rank > moving.rank; --j) sorted[j] = sorted[j - 1];
    sorted[j] = moving;
  }
  return sorted;
}

// The record of a table whose slots are of type Entry: the header, then the
// entries by bucket and along each bucket by insertion number (or, keeping
// order, by insertion number alone), in one buffer of the exact size. Empty
// when it would not fit a record's 32-bit length.
//
// The table is read twice in slot order: once to size the record and count
// the entries of each partition (a range of buckets), once to deal every
// entry into its partition. Each partition is then sorted within the caches
// and written out.
template <typename Entry>
std::string WriteRecord(const uint8_t* tags, const Entry* slots, const SlotInfo* infos,
                        size_t slot_count, RecordTypes types, bool keep_order,
                        uint32_t (&header)[kHeaderFields]) {
  using Item = Ranked<PayloadOf<Entry>>;
  const size_t count = header[kCount];
  const uint32_t bucket_mask = header[kCapacity] - 1;
  // Entries sort by their bucket, or keeping order by insertion number.
  const uint32_t key_bits = keep_order ? BitsBelow(count) : Log2(header[kCapacity]);
  const uint32_t high_bits =
      std::min({key_bits, kMostPartitionBits,
                BitsBelow(count) > kPartitionBits ? BitsBelow(count) - kPartitionBits : 0u});
  const uint32_t low_bits = key_bits - high_bits;
  const auto key_of = [keep_order, bucket_mask](const SlotInfo& info) -> uint64_t {
    return keep_order ? info.order : info.hash & bucket_mask;
  };
  // Integer keys with scalar values make entries of one size, which the
  // sizing need not read from the slots.
  const bool fixed_size = !std::is_same_v<Entry, TextSlot> && !IsStringType(types.value_type);
  std::vector<size_t> starts((size_t{1} << high_bits) + 1);
  uint64_t size = kHeaderSize;
  size_t found = 0;
  for (size_t at = 0; at < slot_count; ++at) {
    if (tags[at] == kFreeTag) continue;
    if (++found > count || infos[at].order >= count) return {};  // insertion numbers are 0..count-1
    ++starts[key_of(infos[at]) >> low_bits];
    if (!fixed_size) size += KeySize(types, slots[at]) + ValueSize(types, slots[at].value);
  }
  if (fixed_size && count > 0) {
    size += count * (KeySize(types, slots[0]) + ScalarWidth(types.value_type));
  }
  if (found != count || size > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
    return {};
  }
  size_t largest = 0;
  size_t start = 0;
  for (size_t& partition : starts) {
    const size_t here = partition;
    partition = start;
    start += here;
    largest = std::max(largest, here);
  }
  std::unique_ptr<Item[]> items(new Item[count]);
  std::vector<size_t> next(starts.begin(), starts.end() - 1);
  for (size_t at = 0; at < slot_count; ++at) {
    if (tags[at] == kFreeTag) continue;
    const SlotInfo info = infos[at];
    const uint64_t key = key_of(info);
    const uint64_t rank = keep_order ? info.order : key << 32 | info.order;
    items[next[key >> low_bits]++] = {rank, MakePayload(slots, at)};
  }
  header[kTotalLength] = static_cast<uint32_t>(size);
  std::string record(static_cast<size_t>(size), '\0');
  char* out = &record[0];
  for (uint32_t field : header) out = PutU32(out, field);
  std::unique_ptr<Item[]> scratch(new Item[largest]);
  std::vector<size_t> counters;
  const auto sort_key = [keep_order](const Item& item) {
    return keep_order ? item.rank : item.rank >> 32;
  };
  for (size_t partition = 0; partition + 1 < starts.size(); ++partition) {
    const size_t n = starts[partition + 1] - starts[partition];
    const Item* const sorted = SortPartition(items.get() + starts[partition], n, low_bits, sort_key,
                                             &counters, scratch.get());
    for (size_t i = 0; i < n; ++i) {
      // A text map's slot, then the blocks it points to, fetched ahead.
      if constexpr (std::is_same_v<Entry, TextSlot>) {
        if (i + kFetchAhead < n) __builtin_prefetch(&slots[sorted[i + kFetchAhead].payload]);
      }
      if (i + kFetchAhead / 2 < n) {
        FetchBlocks(types, EntryOf(slots, sorted[i + kFetchAhead / 2].payload));
      }
      const Entry& entry = EntryOf(slots, sorted[i].payload);
      out = PutValue(PutKey(out, types, entry), types, entry.value);
    }
  }
  return record;
}

// Moves every used slot of a table into a larger, empty one, where `spread`
// (of a slot and its info) places it.
template <typename Entry, typename SpreadOf>
void MoveSlots(const uint8_t* old_tags, const Entry* old_entries, const SlotInfo* old_infos,
               size_t old_slots, uint8_t* tags, Entry* entries, SlotInfo* infos, size_t mask,
               uint32_t home_shift, SpreadOf spread_of) {
  for (size_t at = 0; at < old_slots; ++at) {
    if (old_tags[at] == kFreeTag) continue;
    const uint64_t spread = spread_of(old_entries[at], old_infos[at]);
    size_t place = static_cast<size_t>(spread >> home_shift) & mask;
    for (;; place = (place + kGroupWidth) & mask) {
      if (const TagMatches free = TagGroup(tags + place).Free()) {
        place = (place + free.Lowest()) & mask;
        break;
      }
    }
    const uint8_t tag = TagOf(spread);
    tags[place] = tag;
    tags[((place - (kGroupWidth - 1)) & mask) + (kGroupWidth - 1)] = tag;
    entries[place] = old_entries[at];
    infos[place] = old_infos[at];
  }
}

#if defined(__x86_64__)
uint64_t Load64(const char* at) {
  uint64_t word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

uint32_t Load32(const char* at) {
  uint32_t word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

// Non-zero when a word has a zero byte (exact: a borrow only runs on from
// one).
uint64_t ZeroBytes(uint64_t word) {
  return (word - 0x0101010101010101ull) & ~word & 0x8080808080808080ull;
}

// A key of 1 to kInlineKey bytes in the words a TextSlot would hold it in,
// read with whole-word loads that stay inside the key, so the cost does not
// depend on its length. Sets *has_nul when the key has a NUL byte.
void KeyWords(const char* key, size_t length, uint64_t (&words)[3], bool* has_nul) {
  if (length >= 8) {
    const uint64_t first = Load64(key);
    const uint64_t last = Load64(key + length - 8);
    uint64_t zeros = ZeroBytes(first) | ZeroBytes(last);
    // Bytes before the last eight: the start of `first` moved to the top of
    // the word before `last`, and for more than 16 bytes, the eight before
    // those with the rest of `first` above them.
    if (length >= 16) {
      const uint64_t middle = Load64(key + length - 16);
      zeros |= ZeroBytes(middle);
      const size_t head = length - 16;  // 0 to 8
      words[0] = head == 0 ? 0 : first << (8 * (8 - head));
      words[1] = middle;
    } else {
      const size_t head = length - 8;  // 0 to 7
      words[0] = 0;
      words[1] = head == 0 ? 0 : first << (8 * (8 - head));
    }
    words[2] = last;
    *has_nul = zeros != 0;
    return;
  }
  uint64_t low;
  if (length >= 4) {
    low = Load32(key) | uint64_t{Load32(key + length - 4)} << (8 * (length - 4));
  } else {
    const auto byte = [key](size_t at) { return uint64_t{static_cast<unsigned char>(key[at])}; };
    low = byte(0) | byte(length / 2) << (8 * (length / 2)) | byte(length - 1) << (8 * (length - 1));
  }
  *has_nul = ZeroBytes(low | (~uint64_t{0} << (8 * length))) != 0;
  words[0] = 0;
  words[1] = 0;
  words[2] = low << (8 * (8 - length));
}

__attribute__((target("sse4.2"))) uint32_t Crc32cWords(const uint64_t (&words)[3]) {
  return static_cast<uint32_t>(
      _mm_crc32_u64(_mm_crc32_u64(_mm_crc32_u64(0, words[0]), words[1]), words[2]));
}

// CRC32C of the eight bytes of a 64-bit key, low byte first.
__attribute__((target("sse4.2"))) uint32_t Crc32cKey(uint64_t key) {
  return static_cast<uint32_t>(_mm_crc32_u64(0, key));
}
#endif

// The words of a key of 1 to kInlineKey bytes, as a TextSlot holds it.
void InlineWords(std::string_view bytes, uint64_t (&words)[3]) {
#if defined(__x86_64__)
  // Read as whole words: bytes copied into a buffer and read back as words
  // would wait for every earlier store to reach the cache, the table's too.
  bool has_nul;
  KeyWords(bytes.data(), bytes.size(), words, &has_nul);
#else
  char area[kInlineKey] = {};
  std::memcpy(area + kInlineKey - bytes.size(), bytes.data(), bytes.size());
  std::memcpy(words, area, sizeof area);
#endif
}

}  // namespace

// All memory of one map: the slot table and large blocks straight from the
// private heap, key and value blocks from the pool unless the map asked for
// direct allocation.
class TypedHashMap::Storage {
 public:
  explicit Storage(bool pooled) : pool_(&heap_), pooled_(pooled) {}

  void* Allocate(size_t size) {
    return Pooled(size) ? pool_.Allocate(size) : heap_.Allocate(size, false);
  }

  void Free(void* block, size_t size) {
    if (Pooled(size)) {
      pool_.Free(block, size);
    } else {
      heap_.Free(block);
    }
  }

  // A block holding bytes (see BlockSize), its address as a slot keeps it;
  // 0 when memory is short.
  uint64_t NewBlock(std::string_view bytes) {
    char* block = static_cast<char*>(Allocate(BlockSize(bytes.size())));
    if (block == nullptr) return 0;
    const auto length = static_cast<uint32_t>(bytes.size());
    std::memcpy(block, &length, sizeof length);
    std::memcpy(block + kBlockHeader, bytes.data(), bytes.size());
    block[kBlockHeader + bytes.size()] = '\0';
    return reinterpret_cast<uintptr_t>(block);
  }

  void FreeBlock(uint64_t address) {
    if (address == 0) return;
    const char* block = BlockAt(address);
    Free(const_cast<char*>(block), BlockSize(BlockLength(block)));
  }

  // A table of `slots` free slots of slot_size bytes (tags, slots, infos;
  // see SlotsOffset); null when memory is short.
  uint8_t* AllocateTable(size_t slots, size_t slot_size) {
    const size_t per_slot = slot_size + sizeof(SlotInfo);
    if (slots > (std::numeric_limits<size_t>::max() - SlotsOffset(slots)) / per_slot) {
      return nullptr;
    }
    auto* table =
        static_cast<uint8_t*>(heap_.Allocate(SlotsOffset(slots) + slots * per_slot, true));
    if (table != nullptr) std::memset(table, kFreeTag, TagBytes(slots));
    return table;
  }

  void FreeTable(uint8_t* table) { heap_.Free(table); }

 private:
  bool Pooled(size_t size) const { return pooled_ && size <= kLargestPooledBlock; }

  PrivateHeap heap_;
  NodePool pool_;
  bool pooled_;
};

TypedHashMap::TypedHashMap()
    : TypedHashMap(ProcessorHasCrc32c() ? KeyHashing::kCrc32c : KeyHashing::kMultiply31) {}

TypedHashMap::TypedHashMap(KeyHashing hashing)
    : crc_keys_(hashing == KeyHashing::kCrc32c && ProcessorHasCrc32c()), hashing_(hashing) {}

TypedHashMap::~TypedHashMap() = default;

TypedHashMap::TypedHashMap(TypedHashMap&& other) noexcept
    : crc_keys_(other.crc_keys_), hashing_(other.hashing_) {
  Swap(other);
}

TypedHashMap& TypedHashMap::operator=(TypedHashMap&& other) noexcept {
  if (this != &other) {
    Release();
    Swap(other);
  }
  return *this;
}

bool TypedHashMap::Configure(int32_t key_type, int32_t value_type, int32_t capacity,
                             float load_factor, int32_t flags_setting, int32_t direct_allocation,
                             int32_t keep_order) {
  Release();
  std::unique_ptr<Storage> storage(new (std::nothrow) Storage(direct_allocation == 0));
  if (storage == nullptr) return false;
  key_type = NormalKeyType(key_type);
  value_type = NormalValueType(value_type);
  const bool narrow =
      key_type == kMapInt32 && !IsStringType(value_type) && ScalarWidth(value_type) == 4;
  const size_t slot_size = IsStringType(key_type) ? sizeof(TextSlot)
                           : narrow               ? sizeof(NarrowSlot)
                                                  : sizeof(Slot);
  uint8_t* table = storage->AllocateTable(kFewestSlots, slot_size);
  if (table == nullptr) return false;
  storage_ = std::move(storage);
  tags_ = table;
  slots_ = table + SlotsOffset(kFewestSlots);
  infos_ =
      reinterpret_cast<SlotInfo*>(table + SlotsOffset(kFewestSlots) + kFewestSlots * slot_size);
  slot_mask_ = kFewestSlots - 1;
  home_shift_ = map_internal::HomeShift(Log2(kFewestSlots));
  key_type_ = key_type;
  value_type_ = value_type;
  narrow_ = narrow;
  if (IsStringType(key_type_)) {
    lookup_ = crc_keys_ ? kLookUpCrcBytes : kLookUpBytes;
  } else if (key_type_ == kMapInt64) {
    lookup_ = kLookUp64;
  } else {
    lookup_ = narrow_ ? kLookUpNarrow : kLookUp32;
  }
  integer_values_ =
      value_type_ == kMapInt16 || value_type_ == kMapInt32 || value_type_ == kMapInt64;
  fast_get_ = !integer_values_             ? kGetOther
              : lookup_ == kLookUpNarrow   ? kGetNarrowIntegers
              : lookup_ == kLookUp64       ? kGet64Integers
              : lookup_ == kLookUpCrcBytes ? kGetCrcKeyIntegers
                                           : kGetOther;
  capacity_ = NormalCapacity(capacity);
  load_factor_ = NormalLoadFactor(load_factor);
  threshold_ = Threshold(capacity_, load_factor_);
  flags_setting_ = flags_setting;
  direct_allocation_ = direct_allocation;
  keep_order_ = keep_order;
  return true;
}

int TypedHashMap::Put(const MapKey& key, const MapValue& value, bool keep_existing) {
  KeyView view;
  if (!usable() || !ResolveKey(key, &view)) return kPutFailed;
  uint64_t scalar = 0;
  std::string_view bytes;
  const bool encoded = IsStringType(value_type_) ? EncodeBytes(value_type_, value, &bytes)
                                                 : EncodeScalar(value_type_, value, &scalar);
  return encoded ? Insert(view, scalar, bytes, keep_existing) : kPutFailed;
}

std::optional<MapValue> TypedHashMap::GetOther(bool is_number, int64_t number,
                                               std::string_view bytes) const {
  uint64_t bits;
  if (!FindValue(is_number ? MapKey(number) : MapKey(bytes), &bits)) return std::nullopt;
  if (integer_values_) return MapValue(static_cast<int64_t>(bits));
  switch (value_type_) {
    case kMapFloat:
      return MapValue(static_cast<double>(FloatFromBits(static_cast<uint32_t>(bits))));
    case kMapDouble:
    case kMapDateTime: {
      double real;
      std::memcpy(&real, &bits, sizeof real);
      return MapValue(real);
    }
    case kMapBoolean:
      return MapValue(static_cast<uint32_t>(bits) != 0);
    default:
      break;
  }
  try {
    return MapValue(std::string(BlockBytes(bits)));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<std::string> TypedHashMap::GetText(const MapKey& key) const {
  if (!IsStringType(value_type_)) return std::nullopt;
  uint64_t block;
  if (!FindValue(key, &block)) return std::nullopt;
  try {
    return std::string(BlockBytes(block));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::string TypedHashMap::Serialize() const {
  if (!usable() || value_type_ == kMapObject) return {};
  uint32_t header[kHeaderFields] = {0,
                                    static_cast<uint32_t>(key_type_),
                                    static_cast<uint32_t>(value_type_),
                                    capacity_,
                                    FloatBits(load_factor_),
                                    static_cast<uint32_t>(flags_setting_),
                                    static_cast<uint32_t>(direct_allocation_),
                                    static_cast<uint32_t>(keep_order_),
                                    0,
                                    0,
                                    count_};
  const RecordTypes types{key_type_, value_type_};
  const bool keep_order = keep_order_ != 0;
  const size_t slot_count = slot_mask_ + 1;
  try {
    if (IsStringType(key_type_)) {
      return WriteRecord(tags_, static_cast<const TextSlot*>(slots_), infos_, slot_count, types,
                         keep_order, header);
    }
    if (narrow_) {
      return WriteRecord(tags_, static_cast<const NarrowSlot*>(slots_), infos_, slot_count, types,
                         keep_order, header);
    }
    return WriteRecord(tags_, static_cast<const Slot*>(slots_), infos_, slot_count, types,
                       keep_order, header);
  } catch (const std::exception&) {
    return {};
  }
}

// The largest bucket count a record may claim for `count` entries: what the
// entries need with room to spare, and never less than 2^16. A record
// claiming more is refused: a map that size is more than the host can have
// meant for so few entries.
namespace {

uint32_t PlausibleCapacity(uint32_t count) {
  uint64_t capacity = 1u << 16;
  while (capacity < uint64_t{count} * 8 && capacity < (uint64_t{1} << 30)) capacity *= 2;
  return static_cast<uint32_t>(capacity);
}

// No entry of any layout takes fewer bytes in a record (a 32-bit key and a
// 4-byte value).
constexpr size_t kSmallestEntry = 8;

}  // namespace

bool TypedHashMap::Load(std::string_view record) {
  uint32_t header[kHeaderFields];
  if (!ReadHeader(record, header)) return false;
  const int32_t claimed = static_cast<int32_t>(header[kCapacity]);
  if (claimed > 0 && static_cast<uint32_t>(claimed) > PlausibleCapacity(header[kCount]))
    return false;
  TypedHashMap rebuilt(hashing_);
  if (!rebuilt.Configure(
          static_cast<int32_t>(header[kKeyType]), static_cast<int32_t>(header[kValueType]),
          static_cast<int32_t>(header[kCapacity]), FloatFromBits(header[kLoadFactor]),
          static_cast<int32_t>(header[kFlagsSetting]),
          static_cast<int32_t>(header[kDirectAllocation]),
          static_cast<int32_t>(header[kKeepOrder]))) {
    return false;
  }
  const std::string_view body = record.substr(kHeaderSize, header[kTotalLength] - kHeaderSize);
  if (!rebuilt.Fill(body, header[kCount])) return false;
  *this = std::move(rebuilt);
  return true;
}

// Reads the next entry of a record's body as Put takes it: the key (hashed),
// and a scalar value or the value's bytes. An empty text or byte key reads
// as an empty KeyView::bytes, which Put refuses. False when the entry does
// not fit in what remains.
bool TypedHashMap::ReadKey(std::string_view* entries, KeyView* key, uint64_t* scalar,
                           std::string_view* bytes) const {
  RecordReader reader(*entries);
  RecordEntry entry;
  if (!ReadEntry(key_type_, value_type_, &reader, &entry)) return false;
  *entries = entries->substr(entries->size() - reader.remaining());
  *key = KeyView{entry.number, entry.key, 0};
  if (!IsStringType(key_type_) || !entry.key.empty()) key->hash = HashKey(*key);
  *scalar = entry.scalar;
  *bytes = entry.value;
  return true;
}

// Puts the `count` entries of a record's body into the table, as Put would
// one after the other: a repeated key keeps its first place and takes its
// last value, and an entry with an empty text or byte key is left out.
//
// Once the table outgrows the caches, adding entries in record order would
// touch a random slot each time. The entries are then dealt into partitions
// by their home slot (a record place and an insertion number each, 8 bytes
// an entry) and each partition goes in while its slots are cached; the
// insertion numbers, the entries' places among those kept, are closed up at
// the end when a key was repeated.
bool TypedHashMap::Fill(std::string_view entries, uint32_t count) {
  // Room for the entries the record can hold, whatever count it claims.
  if (!Reserve(std::min<uint64_t>(count, entries.size() / kSmallestEntry))) return false;
  const bool string_key = IsStringType(key_type_);
  const uint32_t slot_bits = static_cast<uint32_t>(__builtin_ctzll(slot_mask_ + 1));
  const uint32_t partition_bits =
      (slot_mask_ + 1) * (SlotSize() + sizeof(SlotInfo) + 1) > kFillByPartsFrom
          ? std::min(slot_bits - kFillPartitionSlotBits, kMostFillPartitionBits)
          : 0;
  if (!string_key && !IsStringType(value_type_) && value_type_ != kMapObject) {
    return FillNumbers(entries, count, partition_bits);
  }
  KeyView key;
  uint64_t scalar;
  std::string_view bytes;
  if (partition_bits == 0) {
    RecordReader reader(entries);
    for (uint32_t i = 0; i < count; ++i) {
      RecordEntry entry;
      if (!ReadEntry(key_type_, value_type_, &reader, &entry)) return false;
      if (string_key && entry.key.empty()) continue;
      key = KeyView{entry.number, entry.key, 0};
      key.hash = HashKey(key);
      if (Insert(key, entry.scalar, entry.value, false) == kPutFailed) return false;
    }
    return true;
  }
  // Where each kept entry starts in the body, and its partition.
  struct Dealt {
    uint32_t place;
    uint32_t number;
  };
  const uint32_t shift = slot_bits - partition_bits;
  std::vector<uint32_t> places;
  std::vector<uint16_t> partitions;
  std::vector<size_t> next(size_t{1} << partition_bits);
  try {
    places.reserve(std::min<uint64_t>(count, entries.size() / kSmallestEntry));
    partitions.reserve(places.capacity());
  } catch (const std::exception&) {
    return false;
  }
  const std::string_view body = entries;
  for (uint32_t i = 0; i < count; ++i) {
    const auto place = static_cast<uint32_t>(body.size() - entries.size());
    if (!ReadKey(&entries, &key, &scalar, &bytes)) return false;
    if (string_key && key.bytes.empty()) continue;
    const size_t home =
        static_cast<size_t>(SpreadOf(key.number, key.hash) >> home_shift_) & slot_mask_;
    const auto partition = static_cast<uint16_t>(home >> shift);
    places.push_back(place);  // within the reserved room
    partitions.push_back(partition);
    ++next[partition];
  }
  size_t start = 0;
  for (size_t& partition : next) {
    const size_t here = partition;
    partition = start;
    start += here;
  }
  std::unique_ptr<Dealt[]> dealt(new (std::nothrow) Dealt[places.size()]);
  if (dealt == nullptr) return false;
  for (size_t i = 0; i < places.size(); ++i) {
    dealt[next[partitions[i]]++] = {places[i], static_cast<uint32_t>(i)};
  }
  bool repeated = false;
  for (size_t i = 0; i < places.size(); ++i) {
    if (i + kFetchAhead < places.size())
      __builtin_prefetch(body.data() + dealt[i + kFetchAhead].place);
    std::string_view entry = body.substr(dealt[i].place);
    ReadKey(&entry, &key, &scalar, &bytes);  // read once already
    const int put = InsertNumbered(key, scalar, bytes, false, dealt[i].number);
    if (put == kPutFailed) return false;
    repeated |= put == kPutReplaced;
  }
  if (repeated) Renumber(places.size());
  return true;
}

// Fill for integer keys and scalar values, whose entries are all of one size:
// the n-th starts at n times that size, and nothing but its partition need
// be kept while dealing.
bool TypedHashMap::FillNumbers(std::string_view entries, uint32_t count, uint32_t partition_bits) {
  const size_t key_width = key_type_ == kMapInt64 ? 8 : 4;
  const size_t value_width = ScalarWidth(value_type_);
  const size_t entry_size = key_width + value_width;
  if (uint64_t{count} * entry_size > entries.size()) return false;  // an entry is cut off
  // Little-endian fields, as the record's, read whole.
  const auto field = [](const char* at, size_t width) -> uint64_t {
    if (width == 8) {
      uint64_t value;
      std::memcpy(&value, at, sizeof value);
      return value;
    }
    uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
  };
  const auto entry_at = [&](size_t n, KeyView* key, uint64_t* scalar) {
    const char* const at = entries.data() + n * entry_size;
    const uint64_t number = field(at, key_width);
    *key = KeyView{number, {}, static_cast<uint32_t>(number)};
    *scalar = field(at + key_width, value_width);
  };
  KeyView key;
  uint64_t scalar;
  if (partition_bits == 0) {
    for (uint32_t n = 0; n < count; ++n) {
      entry_at(n, &key, &scalar);
      if (Insert(key, scalar, {}, false) == kPutFailed) return false;
    }
    return true;
  }
  const uint32_t shift = static_cast<uint32_t>(__builtin_ctzll(slot_mask_ + 1)) - partition_bits;
  std::vector<uint16_t> partitions;
  std::vector<size_t> next(size_t{1} << partition_bits);
  std::unique_ptr<uint32_t[]> dealt(new (std::nothrow) uint32_t[count]);
  try {
    partitions.resize(count);
  } catch (const std::exception&) {
    return false;
  }
  if (dealt == nullptr) return false;
  for (uint32_t n = 0; n < count; ++n) {
    entry_at(n, &key, &scalar);
    const size_t home = static_cast<size_t>(Spread(key.number) >> home_shift_) & slot_mask_;
    partitions[n] = static_cast<uint16_t>(home >> shift);
    ++next[partitions[n]];
  }
  size_t start = 0;
  for (size_t& partition : next) {
    const size_t here = partition;
    partition = start;
    start += here;
  }
  for (uint32_t n = 0; n < count; ++n) dealt[next[partitions[n]]++] = n;
  bool repeated = false;
  for (uint32_t i = 0; i < count; ++i) {
    if (i + kFetchAhead < count)
      __builtin_prefetch(entries.data() + dealt[i + kFetchAhead] * entry_size);
    entry_at(dealt[i], &key, &scalar);
    if (key_type_ == kMapInt64) key.hash = HashKey(key);
    const int put = InsertNumbered(key, scalar, {}, false, dealt[i]);
    if (put == kPutFailed) return false;
    repeated |= put == kPutReplaced;
  }
  if (repeated) Renumber(count);
  return true;
}

// Closes up the insertion numbers, taken from below `numbers` with gaps, to
// 0 .. count - 1 in the same order.
void TypedHashMap::Renumber(size_t numbers) {
  std::vector<uint32_t> closed(numbers, 0);
  for (size_t at = 0; at <= slot_mask_; ++at) {
    if (tags_[at] != kFreeTag) closed[infos_[at].order] = 1;
  }
  uint32_t next = 0;
  for (uint32_t& number : closed) {
    const uint32_t used = number;
    number = next;
    next += used;
  }
  for (size_t at = 0; at <= slot_mask_; ++at) {
    if (tags_[at] != kFreeTag) infos_[at].order = closed[infos_[at].order];
  }
}

// Checks key against the key type and prepares it for lookup; false when it
// does not suit (an integer for a text map, a 32-bit key out of range, ...).
bool TypedHashMap::ResolveKey(const MapKey& key, KeyView* view) const {
  if (key_type_ == kMapInt32) {
    if (!key.is_number() || key.number() < std::numeric_limits<int32_t>::min() ||
        key.number() > std::numeric_limits<uint32_t>::max()) {
      return false;
    }
    view->number = static_cast<uint32_t>(key.number());
    view->hash = static_cast<uint32_t>(key.number());
  } else if (key_type_ == kMapInt64) {
    // Found by value alone; its hash is only needed once it is added.
    if (!key.is_number()) return false;
    view->number = static_cast<uint64_t>(key.number());
  } else {
    if (key.is_number()) return false;
    if (key_type_ == kMapText && hashing_ == KeyHashing::kCrc32c) {
      // Measured and hashed in one pass.
      size_t length;
      view->hash = Crc32cText(key.bytes().data(), key.bytes().size(), &length);
      view->bytes = key.bytes().substr(0, length);
      return length <= kLongestBytes;
    }
    view->bytes = key_type_ == kMapText ? TextPart(key.bytes()) : key.bytes();
    if (view->bytes.size() > kLongestBytes) return false;
    view->hash = HashKey(*view);
  }
  return true;
}

// A 32-bit key is its own hash; a 64-bit key is hashed over its eight bytes,
// low byte first.
uint32_t TypedHashMap::HashKey(const KeyView& key) const {
  if (key_type_ == kMapInt32) return static_cast<uint32_t>(key.number);
  if (key_type_ == kMapInt64) {
#if defined(__x86_64__)
    if (crc_keys_) return Crc32cKey(key.number);
#endif
    char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<char>(key.number >> (8 * i));
    return HashBytes(hashing_, std::string_view(bytes, sizeof bytes), false);
  }
  return HashBytes(hashing_, key.bytes, key_type_ == kMapBytes);
}

// Integer keys are spread from their own value, so a lookup needs no byte
// hash; text and byte keys from their hash.
uint64_t TypedHashMap::SpreadOf(uint64_t key, uint32_t hash) const {
  return Spread(IsStringType(key_type_) ? hash : key);
}

size_t TypedHashMap::SlotSize() const {
  if (IsStringType(key_type_)) return sizeof(TextSlot);
  return narrow_ ? sizeof(NarrowSlot) : sizeof(Slot);
}

uint64_t TypedHashMap::KeyAt(size_t at) const {
  return narrow_ ? static_cast<const NarrowSlot*>(slots_)[at].key
                 : static_cast<const Slot*>(slots_)[at].key;
}

std::string_view TypedHashMap::KeyBytesAt(size_t at) const {
  const TextSlot& slot = static_cast<const TextSlot*>(slots_)[at];
  return slot.length <= kInlineKey ? InlineBytes(slot) : BlockBytes(slot.words[0]);
}

uint64_t TypedHashMap::ValueAt(size_t at) const {
  if (IsStringType(key_type_)) return static_cast<const TextSlot*>(slots_)[at].value;
  return narrow_ ? map_internal::ValueBits(static_cast<const NarrowSlot*>(slots_)[at])
                 : static_cast<const Slot*>(slots_)[at].value;
}

void TypedHashMap::SetValueAt(size_t at, uint64_t value) {
  if (IsStringType(key_type_)) {
    static_cast<TextSlot*>(slots_)[at].value = value;
  } else if (narrow_) {
    static_cast<NarrowSlot*>(slots_)[at].value = static_cast<uint32_t>(value);
  } else {
    static_cast<Slot*>(slots_)[at].value = value;
  }
}

bool TypedHashMap::FindBytes(std::string_view key, uint64_t* bits) const {
  KeyView view;
  if (!usable() || !ResolveKey(MapKey(key), &view)) return false;
  bool found;
  const size_t at = Probe(view, &found);
  if (found) *bits = ValueAt(at);
  return found;
}

// FindBytes for maps whose keys the CRC32 instruction hashes: a key of 1 to
// kInlineKey bytes is hashed and compared as three words. Other keys, and a
// text with a NUL (which ends there), go the general way.
#if defined(__x86_64__)
__attribute__((target("sse4.2"))) bool TypedHashMap::FindCrcKey(std::string_view key,
                                                                uint64_t* bits) const {
  if (key.empty() || key.size() > kInlineKey) return FindBytes(key, bits);
  uint64_t words[3];
  bool has_nul;
  KeyWords(key.data(), key.size(), words, &has_nul);
  if (has_nul && key_type_ == kMapText) return FindBytes(key, bits);
  const uint64_t spread = Spread(Crc32cWords(words));
  const uint8_t tag = TagOf(spread);
  const auto* const slots = static_cast<const TextSlot*>(slots_);
  size_t at = static_cast<size_t>(spread >> home_shift_) & slot_mask_;
  if (slot_mask_ >= kFetchSlotsFrom) __builtin_prefetch(slots + at);  // as FindNumber
  for (;; at = (at + kGroupWidth) & slot_mask_) {
    const TagGroup group(tags_ + at);
    for (TagMatches match = group.Matching(tag); match; match.DropLowest()) {
      const TextSlot& slot = slots[(at + match.Lowest()) & slot_mask_];
      const uint64_t differ = (slot.words[0] ^ words[0]) | (slot.words[1] ^ words[1]) |
                              (slot.words[2] ^ words[2]) | (slot.length ^ key.size());
      if (differ == 0) {
        *bits = slot.value;
        return true;
      }
    }
    if (group.Free()) return false;
  }
}
#else
bool TypedHashMap::FindCrcKey(std::string_view key, uint64_t* bits) const {
  return FindBytes(key, bits);
}
#endif

// The slot holding key (*found set), or else the free slot where it would go.
size_t TypedHashMap::Probe(const KeyView& key, bool* found) const {
  const uint64_t spread = SpreadOf(key.number, key.hash);
  const uint8_t tag = TagOf(spread);
  const bool string_key = IsStringType(key_type_);
  size_t at = static_cast<size_t>(spread >> home_shift_) & slot_mask_;
  for (;; at = (at + kGroupWidth) & slot_mask_) {
    const TagGroup group(tags_ + at);
    for (TagMatches match = group.Matching(tag); match; match.DropLowest()) {
      const size_t slot = (at + match.Lowest()) & slot_mask_;
      if (string_key ? KeyBytesAt(slot) == key.bytes : KeyAt(slot) == key.number) {
        *found = true;
        return slot;
      }
    }
    if (const TagMatches free = group.Free()) {
      *found = false;
      return (at + free.Lowest()) & slot_mask_;
    }
  }
}

// The first free slot along the probe of spread; there always is one.
size_t TypedHashMap::FreeSlotFor(uint64_t spread) const {
  size_t at = static_cast<size_t>(spread >> home_shift_) & slot_mask_;
  for (;; at = (at + kGroupWidth) & slot_mask_) {
    if (const TagMatches free = TagGroup(tags_ + at).Free()) {
      return (at + free.Lowest()) & slot_mask_;
    }
  }
}

// Marks the free slot `at` as used, with its tag's copy past the end when it
// has one, and sets its info; the caller fills the slot.
void TypedHashMap::Occupy(size_t at, uint64_t spread, SlotInfo info) {
  const uint8_t tag = TagOf(spread);
  tags_[at] = tag;
  tags_[((at - (kGroupWidth - 1)) & slot_mask_) + (kGroupWidth - 1)] = tag;
  infos_[at] = info;
}

// Adds an entry, or updates the one holding key. The value is scalar or
// bytes, whichever the value type uses.
int TypedHashMap::Insert(const KeyView& key, uint64_t scalar, std::string_view bytes,
                         bool keep_existing) {
  return InsertNumbered(key, scalar, bytes, keep_existing, count_);
}

int TypedHashMap::InsertNumbered(const KeyView& key, uint64_t scalar, std::string_view bytes,
                                 bool keep_existing, uint32_t order) {
  const bool string_value = IsStringType(value_type_);
  scalar = SlotScalar(value_type_, scalar);
  bool found;
  size_t at = Probe(key, &found);
  if (found) {
    if (keep_existing) return kPutKept;
    if (string_value) {
      if (!StoreBytes(at, bytes)) return kPutFailed;
    } else {
      SetValueAt(at, scalar);
    }
    return kPutReplaced;
  }
  const bool string_key = IsStringType(key_type_);
  if ((string_key && key.bytes.empty()) || count_ >= kMostEntries) return kPutFailed;
  const uint64_t spread = SpreadOf(key.number, key.hash);
  if (count_ + 1 > MostEntriesIn(slot_mask_ + 1)) {
    if (!Reserve(uint64_t{count_} + 1)) return kPutFailed;
    at = FreeSlotFor(spread);
  }
  uint64_t key_block = 0;
  if (string_key && key.bytes.size() > kInlineKey) {
    key_block = storage_->NewBlock(key.bytes);
    if (key_block == 0) return kPutFailed;
  }
  uint64_t value = scalar;
  if (string_value && !bytes.empty() && (value = storage_->NewBlock(bytes)) == 0) {
    storage_->FreeBlock(key_block);
    return kPutFailed;
  }
  if (string_key) {
    TextSlot& slot = static_cast<TextSlot*>(slots_)[at];
    if (key_block != 0) {
      slot.words[0] = key_block;
    } else {
      InlineWords(key.bytes, slot.words);
    }
    slot.length = static_cast<uint32_t>(key.bytes.size());
    slot.value = value;
  } else if (narrow_) {
    static_cast<NarrowSlot*>(slots_)[at] = {static_cast<uint32_t>(key.number),
                                            static_cast<uint32_t>(value)};
  } else {
    static_cast<Slot*>(slots_)[at] = {key.number, value};
  }
  Occupy(at, spread, {key_type_ == kMapInt64 ? HashKey(key) : key.hash, order});
  if (++count_ > threshold_) Grow();
  return kPutAdded;
}

// Replaces the value block of slot `at`; on failure the old value stays.
bool TypedHashMap::StoreBytes(size_t at, std::string_view bytes) {
  uint64_t copy = 0;
  if (!bytes.empty()) {
    copy = storage_->NewBlock(bytes);
    if (copy == 0) return false;
  }
  storage_->FreeBlock(ValueAt(at));
  SetValueAt(at, copy);
  return true;
}

// Makes the slot table large enough for `entries` entries, moving every
// entry to its place in the larger table. False when memory is short; the
// table is then as it was.
bool TypedHashMap::Reserve(uint64_t entries) {
  const size_t old_slots = slot_mask_ + 1;
  if (entries <= MostEntriesIn(old_slots)) return true;
  size_t slots = old_slots;
  while (MostEntriesIn(slots) < entries) {
    if (slots > std::numeric_limits<size_t>::max() / 4) return false;
    slots *= 2;
  }
  const size_t slot_size = SlotSize();
  uint8_t* table = storage_->AllocateTable(slots, slot_size);
  if (table == nullptr) return false;
  uint8_t* const old_tags = tags_;
  void* const old_entries = slots_;
  const SlotInfo* const old_infos = infos_;
  void* const moved = table + SlotsOffset(slots);
  auto* const infos = reinterpret_cast<SlotInfo*>(table + SlotsOffset(slots) + slots * slot_size);
  const size_t mask = slots - 1;
  const uint32_t home_shift =
      map_internal::HomeShift(static_cast<uint32_t>(__builtin_ctzll(slots)));
  // Text and byte keys are placed by their hash, integers by their value.
  if (IsStringType(key_type_)) {
    MoveSlots(old_tags, static_cast<const TextSlot*>(old_entries), old_infos, old_slots, table,
              static_cast<TextSlot*>(moved), infos, mask, home_shift,
              [](const TextSlot&, const SlotInfo& info) { return Spread(info.hash); });
  } else if (narrow_) {
    MoveSlots(old_tags, static_cast<const NarrowSlot*>(old_entries), old_infos, old_slots, table,
              static_cast<NarrowSlot*>(moved), infos, mask, home_shift,
              [](const NarrowSlot& slot, const SlotInfo&) { return Spread(slot.key); });
  } else {
    MoveSlots(old_tags, static_cast<const Slot*>(old_entries), old_infos, old_slots, table,
              static_cast<Slot*>(moved), infos, mask, home_shift,
              [](const Slot& slot, const SlotInfo&) { return Spread(slot.key); });
  }
  tags_ = table;
  slots_ = moved;
  infos_ = infos;
  slot_mask_ = mask;
  home_shift_ = static_cast<uint8_t>(home_shift);
  storage_->FreeTable(old_tags);
  return true;
}

// Doubles the buckets, which only changes the record order (each chain splits
// into the chains of buckets i and i + old capacity, keeping its order). At
// 2^30 buckets the map keeps its size and only its chains grow longer.
void TypedHashMap::Grow() {
  if (capacity_ >= kMaxCapacity) return;
  capacity_ *= 2;
  threshold_ = Threshold(capacity_, load_factor_);
}

// Frees every entry and block at once with the private heap; the map is
// then unusable.
void TypedHashMap::Release() {
  storage_.reset();
  tags_ = nullptr;
  slots_ = nullptr;
  infos_ = nullptr;
  slot_mask_ = 0;
  lookup_ = kLookUpNothing;
  integer_values_ = false;
  fast_get_ = kGetOther;
  home_shift_ = 0;
  narrow_ = false;
  capacity_ = 0;
  count_ = 0;
  threshold_ = 0;
}

void TypedHashMap::Swap(TypedHashMap& other) noexcept {
  using std::swap;
  swap(storage_, other.storage_);
  swap(tags_, other.tags_);
  swap(slots_, other.slots_);
  swap(infos_, other.infos_);
  swap(slot_mask_, other.slot_mask_);
  swap(lookup_, other.lookup_);
  swap(integer_values_, other.integer_values_);
  swap(fast_get_, other.fast_get_);
  swap(home_shift_, other.home_shift_);
  swap(narrow_, other.narrow_);
  swap(crc_keys_, other.crc_keys_);
  swap(capacity_, other.capacity_);
  swap(count_, other.count_);
  swap(threshold_, other.threshold_);
  swap(load_factor_, other.load_factor_);
  swap(key_type_, other.key_type_);
  swap(value_type_, other.value_type_);
  swap(flags_setting_, other.flags_setting_);
  swap(direct_allocation_, other.direct_allocation_);
  swap(keep_order_, other.keep_order_);
  swap(hashing_, other.hashing_);
}

}  // namespace lanfeng
