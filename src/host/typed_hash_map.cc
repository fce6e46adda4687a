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

double DoubleFromBits(uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
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
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>(value >> (8 * i)));
}

void AppendU64(std::string* out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>(value >> (8 * i)));
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

// All memory of one map: the bucket array and large blocks straight from the
// private heap, nodes and value copies from the pool unless the map asked for
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

  // A zeroed array of count bucket heads; null when memory is short.
  Node** AllocateBuckets(uint32_t count) {
    size_t size;  // overflows only where size_t has 32 bits
    if (__builtin_mul_overflow(count, sizeof(Node*), &size)) return nullptr;
    return static_cast<Node**>(heap_.Allocate(size, true));
  }

  void FreeBuckets(Node** buckets) { heap_.Free(buckets); }

 private:
  bool Pooled(size_t size) const { return pooled_ && size <= kLargestPooledBlock; }

  PrivateHeap heap_;
  NodePool pool_;
  bool pooled_;
};

// One entry. A text or byte key is stored right after the node, followed by
// a NUL; integer keys sit in `number`.
struct TypedHashMap::Node {
  Node* next = nullptr;
  uint32_t hash = 0;
  uint32_t order = 0;  // the insertion number, for keep-order maps
  uint64_t number = 0;
  uint64_t scalar = 0;    // a scalar value, as its record bits
  char* bytes = nullptr;  // a text or byte value: a private copy plus NUL; null when empty
  uint32_t bytes_length = 0;
  uint32_t key_length = 0;

  char* key_data() { return reinterpret_cast<char*>(this + 1); }
  std::string_view key() const { return {reinterpret_cast<const char*>(this + 1), key_length}; }
  std::string_view value() const { return {bytes != nullptr ? bytes : "", bytes_length}; }
};

struct TypedHashMap::KeyView {
  uint64_t number = 0;
  std::string_view bytes;
  uint32_t hash = 0;
};

TypedHashMap::TypedHashMap()
    : TypedHashMap(ProcessorHasCrc32c() ? KeyHashing::kCrc32c : KeyHashing::kMultiply31) {}

TypedHashMap::TypedHashMap(KeyHashing hashing) : hashing_(hashing) {}

TypedHashMap::~TypedHashMap() = default;

TypedHashMap::TypedHashMap(TypedHashMap&& other) noexcept : hashing_(other.hashing_) {
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
  const uint32_t bucket_count = NormalCapacity(capacity);
  Node** buckets = storage->AllocateBuckets(bucket_count);
  if (buckets == nullptr) return false;
  storage_ = std::move(storage);
  buckets_ = buckets;
  capacity_ = bucket_count;
  load_factor_ = NormalLoadFactor(load_factor);
  threshold_ = Threshold(capacity_, load_factor_);
  key_type_ = NormalKeyType(key_type);
  value_type_ = NormalValueType(value_type);
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

std::optional<MapValue> TypedHashMap::Get(const MapKey& key) const {
  const Node* node = Lookup(key);
  if (node == nullptr) return std::nullopt;
  try {
    switch (value_type_) {
      case kMapInt16:
        return MapValue(static_cast<int16_t>(node->scalar));
      case kMapInt32:
        return MapValue(static_cast<int32_t>(static_cast<uint32_t>(node->scalar)));
      case kMapInt64:
        return MapValue(static_cast<int64_t>(node->scalar));
      case kMapFloat:
        return MapValue(static_cast<double>(FloatFromBits(static_cast<uint32_t>(node->scalar))));
      case kMapDouble:
      case kMapDateTime:
        return MapValue(DoubleFromBits(node->scalar));
      case kMapBoolean:
        return MapValue(static_cast<uint32_t>(node->scalar) != 0);
      default:
        return MapValue(std::string(node->value()));
    }
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<int64_t> TypedHashMap::GetInteger(const MapKey& key) const {
  const bool integers =
      (value_type_ >= kMapInt16 && value_type_ <= kMapInt64) || value_type_ == kMapBoolean;
  std::optional<MapValue> value = integers ? Get(key) : std::nullopt;
  if (!value) return std::nullopt;
  return value->integer();
}

std::optional<std::string> TypedHashMap::GetText(const MapKey& key) const {
  std::optional<MapValue> value = IsStringType(value_type_) ? Get(key) : std::nullopt;
  if (!value) return std::nullopt;
  return std::move(*value).bytes();
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
    std::string record;
    for (uint32_t field : header) AppendU32(&record, field);
    if (keep_order_ != 0) {
      std::vector<const Node*> by_order(count_);
      ForEachNode([&by_order](const Node& node) { by_order[node.order] = &node; });
      for (const Node* node : by_order) AppendEntry(*node, &record);
    } else {
      ForEachNode([this, &record](const Node& node) { AppendEntry(node, &record); });
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
// claiming more is refused: its buckets would be memory the host could make
// us allocate (gigabytes for 2^30) without sending any entry for it.
namespace {

uint32_t PlausibleCapacity(uint32_t count) {
  uint64_t capacity = 1u << 16;
  while (capacity < uint64_t{count} * 8 && capacity < (uint64_t{1} << 30)) capacity *= 2;
  return static_cast<uint32_t>(capacity);
}

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
  RecordReader reader(record.substr(kHeaderSize, header[kTotalLength] - kHeaderSize));
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
  } else if (key_type_ == kMapInt64) {
    if (!key.is_number()) return false;
    view->number = static_cast<uint64_t>(key.number());
  } else {
    if (key.is_number()) return false;
    view->bytes = key_type_ == kMapText ? TextPart(key.bytes()) : key.bytes();
    if (view->bytes.size() > kLongestBytes) return false;
  }
  view->hash = HashKey(*view);
  return true;
}

// A 32-bit key is its own hash; a 64-bit key is hashed over its eight bytes,
// low byte first.
uint32_t TypedHashMap::HashKey(const KeyView& key) const {
  if (key_type_ == kMapInt32) return static_cast<uint32_t>(key.number);
  if (key_type_ == kMapInt64) {
    char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<char>(key.number >> (8 * i));
    return HashBytes(hashing_, std::string_view(bytes, sizeof bytes), false);
  }
  return HashBytes(hashing_, key.bytes, key_type_ == kMapBytes);
}

TypedHashMap::Node* TypedHashMap::Find(const KeyView& key) const {
  const bool string_key = IsStringType(key_type_);
  for (Node* node = buckets_[key.hash & (capacity_ - 1)]; node != nullptr; node = node->next) {
    const bool same = string_key ? node->hash == key.hash && node->key() == key.bytes
                                 : node->number == key.number;
    if (same) return node;
  }
  return nullptr;
}

const TypedHashMap::Node* TypedHashMap::Lookup(const MapKey& key) const {
  KeyView view;
  return usable() && ResolveKey(key, &view) ? Find(view) : nullptr;
}

// Adds a new node at the end of its bucket's chain, or updates the one
// holding key. The value is scalar or bytes, whichever the value type uses.
int TypedHashMap::Insert(const KeyView& key, uint64_t scalar, std::string_view bytes,
                         bool keep_existing) {
  const bool string_value = IsStringType(value_type_);
  if (Node* existing = Find(key)) {
    if (keep_existing) return kPutKept;
    if (string_value) {
      if (!StoreBytes(existing, bytes)) return kPutFailed;
    } else {
      existing->scalar = scalar;
    }
    return kPutReplaced;
  }
  const bool string_key = IsStringType(key_type_);
  if ((string_key && key.bytes.empty()) || count_ >= kMostEntries) return kPutFailed;
  const size_t size = sizeof(Node) + (string_key ? key.bytes.size() + 1 : 0);
  void* memory = storage_->Allocate(size);
  if (memory == nullptr) return kPutFailed;
  Node* node = new (memory) Node;
  node->hash = key.hash;
  node->order = count_;
  node->number = key.number;
  node->scalar = scalar;
  if (string_key) {
    node->key_length = static_cast<uint32_t>(key.bytes.size());
    std::memcpy(node->key_data(), key.bytes.data(), key.bytes.size());
    node->key_data()[key.bytes.size()] = '\0';
  }
  if (string_value && !StoreBytes(node, bytes)) {
    storage_->Free(node, size);
    return kPutFailed;
  }
  Node** link = &buckets_[key.hash & (capacity_ - 1)];
  while (*link != nullptr) link = &(*link)->next;
  *link = node;
  if (++count_ > threshold_) Grow();
  return kPutAdded;
}

// Replaces the node's value copy; on failure the old value stays.
bool TypedHashMap::StoreBytes(Node* node, std::string_view bytes) {
  char* copy = nullptr;
  if (!bytes.empty()) {
    copy = static_cast<char*>(storage_->Allocate(bytes.size() + 1));
    if (copy == nullptr) return false;
    std::memcpy(copy, bytes.data(), bytes.size());
    copy[bytes.size()] = '\0';
  }
  if (node->bytes != nullptr) storage_->Free(node->bytes, node->bytes_length + 1);
  node->bytes = copy;
  node->bytes_length = static_cast<uint32_t>(bytes.size());
  return true;
}

// Doubles the bucket array: each chain splits into the chains of buckets i
// and i + old capacity, keeping its order. At 2^30 buckets, or short of
// memory, the map keeps its size and only its chains grow longer.
void TypedHashMap::Grow() {
  if (capacity_ >= kMaxCapacity) return;
  const uint32_t old_capacity = capacity_;
  Node** grown = storage_->AllocateBuckets(old_capacity * 2);
  if (grown == nullptr) return;
  for (uint32_t i = 0; i < old_capacity; ++i) {
    Node** low_tail = &grown[i];
    Node** high_tail = &grown[i + old_capacity];
    for (Node* node = buckets_[i]; node != nullptr;) {
      Node* next = node->next;
      node->next = nullptr;
      Node**& tail = (node->hash & old_capacity) != 0 ? high_tail : low_tail;
      *tail = node;
      tail = &node->next;
      node = next;
    }
  }
  storage_->FreeBuckets(buckets_);
  buckets_ = grown;
  capacity_ = old_capacity * 2;
  threshold_ = Threshold(capacity_, load_factor_);
}

// Visits every node, bucket by bucket from index 0 and each chain from its
// head, stopping once all have been seen.
template <typename Visit>
void TypedHashMap::ForEachNode(Visit visit) const {
  uint32_t seen = 0;
  for (uint32_t i = 0; i < capacity_ && seen < count_; ++i) {
    for (const Node* node = buckets_[i]; node != nullptr; node = node->next, ++seen) visit(*node);
  }
}

void TypedHashMap::AppendEntry(const Node& node, std::string* record) const {
  if (key_type_ == kMapInt32) {
    AppendU32(record, static_cast<uint32_t>(node.number));
  } else if (key_type_ == kMapInt64) {
    AppendU64(record, node.number);
  } else if (key_type_ == kMapText) {
    AppendText(record, node.key());
  } else {
    AppendByteBuffer(record, node.key());
  }
  if (value_type_ == kMapText) {
    AppendText(record, node.value());
  } else if (value_type_ == kMapBytes) {
    AppendByteBuffer(record, node.value());
  } else if (ScalarWidth(value_type_) == 8) {
    AppendU64(record, node.scalar);
  } else {
    AppendU32(record, static_cast<uint32_t>(node.scalar));
  }
}

// Frees every node and copy at once with the private heap; the map is then
// unusable.
void TypedHashMap::Release() {
  storage_.reset();
  buckets_ = nullptr;
  capacity_ = 0;
  count_ = 0;
  threshold_ = 0;
}

void TypedHashMap::Swap(TypedHashMap& other) noexcept {
  using std::swap;
  swap(storage_, other.storage_);
  swap(buckets_, other.buckets_);
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
