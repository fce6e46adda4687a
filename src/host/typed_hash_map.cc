#include "host/typed_hash_map.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <new>
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

void AppendU32(std::string* out, uint32_t value) {
  char bytes[4];
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
  out->append(bytes, sizeof bytes);
}

void AppendU64(std::string* out, uint64_t value) {
  char bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
  out->append(bytes, sizeof bytes);
}

void AppendText(std::string* out, std::string_view text) {
  AppendU32(out, static_cast<uint32_t>(text.size() + 1));
  out->append(text);
  out->push_back('\0');
}

void AppendByteBuffer(std::string* out, std::string_view bytes) {
  AppendU32(out, 1);
  AppendU32(out, static_cast<uint32_t>(bytes.size()));
  out->append(bytes);
}

// Reads a record front to back. A read that does not fit in what remains
// fails, and so does a length field that is negative or larger than what
// remains.
class RecordReader {
 public:
  explicit RecordReader(std::string_view data) : data_(data) {}

  bool ReadU32(uint32_t* value) {
    std::string_view bytes;
    if (!Take(4, &bytes)) return false;
    *value = 0;
    for (int i = 3; i >= 0; --i) *value = (*value << 8) | static_cast<unsigned char>(bytes[i]);
    return true;
  }

  bool ReadU64(uint64_t* value) {
    uint32_t low;
    uint32_t high;
    if (!ReadU32(&low) || !ReadU32(&high)) return false;
    *value = (uint64_t{high} << 32) | low;
    return true;
  }

  // A text: a length field counting the text and its NUL, then those bytes.
  bool ReadText(std::string_view* text) {
    int32_t length;
    if (!ReadLength(&length) || length < 1 || !Take(length, text)) return false;
    *text = TextPart(*text);
    return true;
  }

  // A byte buffer: a 32-bit 1, a length field, then the bytes.
  bool ReadByteBuffer(std::string_view* bytes) {
    uint32_t marker;
    int32_t length;
    return ReadU32(&marker) && ReadLength(&length) && length >= 0 && Take(length, bytes);
  }

 private:
  bool ReadLength(int32_t* length) {
    uint32_t field;
    if (!ReadU32(&field)) return false;
    *length = static_cast<int32_t>(field);
    return true;
  }

  bool Take(size_t size, std::string_view* bytes) {
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
bool ReadEntry(int32_t key_type, int32_t value_type, RecordReader* reader, RecordEntry* entry) {
  bool read = false;
  if (key_type == kMapInt32) {
    uint32_t number;
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
  uint32_t scalar;
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

// The words of a key of up to kInlineKey bytes, as a TextSlot holds it.
void InlineWords(std::string_view bytes, uint64_t (&words)[3]) {
  char area[kInlineKey] = {};
  std::memcpy(area + kInlineKey - bytes.size(), bytes.data(), bytes.size());
  std::memcpy(words, area, sizeof area);
}

std::string_view InlineBytes(const TextSlot& slot) {
  return {reinterpret_cast<const char*>(slot.words) + kInlineKey - slot.length, slot.length};
}

uint32_t Log2(uint32_t power_of_two) { return static_cast<uint32_t>(__builtin_ctz(power_of_two)); }

// Entries given in insertion order as (bucket << 32 | slot index), sorted
// stably by bucket (hash modulo capacity): the order in which chained
// buckets, walked from index 0, would hold them. A radix sort, so a map of
// 2^30 buckets costs no more than one of 16.
std::vector<uint64_t> InBucketOrder(std::vector<uint64_t> entries, uint32_t capacity) {
  const uint32_t bits = Log2(capacity);
  const uint32_t passes = bits > 16 ? 2 : 1;
  const uint32_t digit_bits = (bits + passes - 1) / passes;
  const uint64_t digit_mask = (uint64_t{1} << digit_bits) - 1;
  std::vector<uint64_t> sorted(entries.size());
  std::vector<uint32_t> starts(size_t{1} << digit_bits);
  for (uint32_t pass = 0; pass < passes; ++pass) {
    const uint32_t shift = 32 + pass * digit_bits;
    std::fill(starts.begin(), starts.end(), 0);
    for (uint64_t entry : entries) ++starts[(entry >> shift) & digit_mask];
    uint32_t start = 0;
    for (uint32_t& count : starts) {
      const uint32_t here = count;
      count = start;
      start += here;
    }
    for (uint64_t entry : entries) sorted[starts[(entry >> shift) & digit_mask]++] = entry;
    entries.swap(sorted);
  }
  return entries;
}

// How many entries ahead Serialize fetches the slots it will write out:
// enough to keep the memory busy, few enough to stay in the caches.
constexpr size_t kFetchAhead = 8;

// Moves every used slot of a table into a larger, empty one, where `spread`
// (of a slot and its info) places it.
template <typename Entry, typename SpreadOf>
void MoveSlots(const uint8_t* old_tags, const Entry* old_entries, const SlotInfo* old_infos,
               size_t old_slots, uint8_t* tags, Entry* entries, SlotInfo* infos, size_t mask,
               SpreadOf spread_of) {
  for (size_t at = 0; at < old_slots; ++at) {
    if (old_tags[at] == kFreeTag) continue;
    const uint64_t spread = spread_of(old_entries[at], old_infos[at]);
    size_t place = static_cast<size_t>(spread >> 7) & mask;
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
  switch (value_type_) {
    case kMapInt16:
      integer_shift_ = 48;
      break;
    case kMapInt32:
      integer_shift_ = 32;
      break;
    case kMapInt64:
      integer_shift_ = 0;
      break;
    default:
      integer_shift_ = kNotInteger;
  }
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

std::optional<MapValue> TypedHashMap::OtherValue(uint64_t bits) const {
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
  try {
    const uint32_t header[kHeaderFields] = {0,
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
    // Every entry as (bucket << 32 | slot index) in insertion order, then in
    // bucket order unless the map keeps insertion order.
    std::vector<uint64_t> entries(count_);
    const uint32_t bucket_mask = capacity_ - 1;
    for (size_t at = 0; at <= slot_mask_; ++at) {
      if (tags_[at] != kFreeTag) {
        entries[infos_[at].order] = uint64_t{infos_[at].hash & bucket_mask} << 32 | at;
      }
    }
    if (keep_order_ == 0) entries = InBucketOrder(std::move(entries), capacity_);
    std::string record;
    record.reserve(kHeaderSize + size_t{count_} * (IsStringType(key_type_) ? 24 : 16));
    for (uint32_t field : header) AppendU32(&record, field);
    const size_t slot_size = SlotSize();
    for (size_t i = 0; i < entries.size(); ++i) {
      if (i + kFetchAhead < entries.size()) {
        const auto ahead = static_cast<uint32_t>(entries[i + kFetchAhead]);
        __builtin_prefetch(static_cast<const char*>(slots_) + ahead * slot_size);
      }
      AppendEntry(static_cast<uint32_t>(entries[i]), &record);
    }
    if (record.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return {};
    for (int i = 0; i < 4; ++i) record[i] = static_cast<char>(record.size() >> (8 * i));
    return record;
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
  if (claimed > 0 && static_cast<uint32_t>(claimed) > PlausibleCapacity(header[kCount])) return false;
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
  // Room for the entries the record can hold, whatever count it claims.
  if (!rebuilt.Reserve(std::min<uint64_t>(header[kCount], body.size() / kSmallestEntry))) {
    return false;
  }
  RecordReader reader(body);
  for (uint32_t i = 0; i < header[kCount]; ++i) {
    RecordEntry entry;
    if (!ReadEntry(rebuilt.key_type_, rebuilt.value_type_, &reader, &entry)) return false;
    // Put refuses empty text and byte keys; such an entry is dropped.
    if (IsStringType(rebuilt.key_type_) && entry.key.empty()) continue;
    KeyView key{entry.number, entry.key, 0};
    key.hash = rebuilt.HashKey(key);
    if (rebuilt.Insert(key, entry.scalar, entry.value, false) == kPutFailed) return false;
  }
  *this = std::move(rebuilt);
  return true;
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
  return narrow_ ? static_cast<const NarrowSlot*>(slots_)[at].value
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
  for (size_t at = static_cast<size_t>(spread >> 7) & slot_mask_;;
       at = (at + kGroupWidth) & slot_mask_) {
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
  size_t at = static_cast<size_t>(spread >> 7) & slot_mask_;
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
  size_t at = static_cast<size_t>(spread >> 7) & slot_mask_;
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
  const bool string_value = IsStringType(value_type_);
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
  Occupy(at, spread, {key_type_ == kMapInt64 ? HashKey(key) : key.hash, count_});
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
  // Text and byte keys are placed by their hash, integers by their value.
  if (IsStringType(key_type_)) {
    MoveSlots(old_tags, static_cast<const TextSlot*>(old_entries), old_infos, old_slots, table,
              static_cast<TextSlot*>(moved), infos, mask,
              [](const TextSlot&, const SlotInfo& info) { return Spread(info.hash); });
  } else if (narrow_) {
    MoveSlots(old_tags, static_cast<const NarrowSlot*>(old_entries), old_infos, old_slots, table,
              static_cast<NarrowSlot*>(moved), infos, mask,
              [](const NarrowSlot& slot, const SlotInfo&) { return Spread(slot.key); });
  } else {
    MoveSlots(old_tags, static_cast<const Slot*>(old_entries), old_infos, old_slots, table,
              static_cast<Slot*>(moved), infos, mask,
              [](const Slot& slot, const SlotInfo&) { return Spread(slot.key); });
  }
  tags_ = table;
  slots_ = moved;
  infos_ = infos;
  slot_mask_ = mask;
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

void TypedHashMap::AppendEntry(size_t at, std::string* record) const {
  if (key_type_ == kMapInt32) {
    AppendU32(record, static_cast<uint32_t>(KeyAt(at)));
  } else if (key_type_ == kMapInt64) {
    AppendU64(record, KeyAt(at));
  } else if (key_type_ == kMapText) {
    AppendText(record, KeyBytesAt(at));
  } else {
    AppendByteBuffer(record, KeyBytesAt(at));
  }
  const uint64_t value = ValueAt(at);
  if (value_type_ == kMapText) {
    AppendText(record, BlockBytes(value));
  } else if (value_type_ == kMapBytes) {
    AppendByteBuffer(record, BlockBytes(value));
  } else if (ScalarWidth(value_type_) == 8) {
    AppendU64(record, value);
  } else {
    AppendU32(record, static_cast<uint32_t>(value));
  }
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
  integer_shift_ = kNotInteger;
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
  swap(integer_shift_, other.integer_shift_);
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
