// TypedHashMap: a hash table whose key and value types are fixed when it is
// configured, and which turns into one byte record and back.
//
// The record is a wire format shared with the dulu host: the host hands its
// API table over as a record (function name to address) and takes the
// plugin's identity as one (text to text). Its layout, little-endian
// throughout:
//
//   header, eleven 32-bit fields: total length T, key type, value type,
//     capacity, load factor (the bits of a 32-bit float), flags setting,
//     direct allocation, keep order, 0, 0, count;
//   then count entries, each a key followed by its value:
//     32-bit integer: 4 bytes; 64-bit integer, 64-bit float, date-time: 8;
//     other scalars: 4 bytes;
//     text: 32-bit (length + 1), the bytes, a NUL (no text: 1 and a NUL);
//     byte buffer: 32-bit 1, 32-bit length, the bytes.
//
// Entries follow the buckets from index 0, each chain from its head, so the
// order depends on the key hashing (CRC32C where the processor has the
// instruction, h * 31 + byte elsewhere); a keep-order map writes them in
// insertion order instead. A record loaded and serialized again on the same
// kind of processor gives the same bytes.
//
// The buckets exist only as that order: a bucket's chain holds its keys in
// insertion order, so the record sorts the entries by (hash modulo capacity,
// insertion number). The entries themselves live in one open-addressed table
// with a tag byte per slot, matched a group at a time, and a lookup reads
// them in place.
//
// Texts are GBK byte strings; a text ends at its first NUL. Nothing here
// throws: failures are answered as values. A map is not safe for concurrent
// modification; concurrent reads of a map nobody modifies are safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Get is compiled into its callers whatever the compiler's size estimate:
// for a map of integer values it then reduces to a probe and a read.
#if defined(__GNUC__)
#define LANFENG_MAP_INLINE inline __attribute__((always_inline))
#define LANFENG_MAP_RARE __attribute__((cold))
#else
#define LANFENG_MAP_INLINE inline
#define LANFENG_MAP_RARE
#endif

namespace lanfeng {

// Type codes of keys and values, as the record header carries them. Keys
// can be 32-bit or 64-bit integers, texts or byte buffers; any other key
// type, and any value type not listed, is taken as kMapInt32.
enum MapType : int32_t {
  kMapInt16 = 2,  // signed 16-bit, 4 bytes in a record
  kMapInt32 = 3,  // the default
  kMapInt64 = 4,
  kMapFloat = 5,     // 32-bit float
  kMapDouble = 6,    // 64-bit float
  kMapBoolean = 7,   // 4 bytes in a record
  kMapDateTime = 8,  // a 64-bit float
  kMapText = 10,
  kMapBytes = 11,
  kMapObject = 99,  // objects need a handler this map does not offer: every Put fails
};

// Integer types other than bool, which makes a boolean value.
template <typename T>
using IfMapInteger = std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int>;

// A key as callers pass it: an integer, for maps with integer keys, or bytes,
// for text and byte-buffer keys. It only refers to the bytes it was made
// from, so it lives no longer than the call it is passed to.
class MapKey {
 public:
  template <typename T, IfMapInteger<T> = 0>
  MapKey(T number) : is_number_(true), number_(static_cast<int64_t>(number)) {}
  MapKey(const char* text) : bytes_(text != nullptr ? text : "") {}
  MapKey(const std::string& bytes) : bytes_(bytes) {}
  MapKey(std::string_view bytes) : bytes_(bytes) {}

  bool is_number() const { return is_number_; }
  int64_t number() const { return number_; }
  std::string_view bytes() const { return bytes_; }

 private:
  bool is_number_ = false;
  int64_t number_ = 0;
  std::string_view bytes_;
};

// A value going into or coming out of a map. A value put into a map must
// suit its value type: integers (and booleans, as 0 and 1) for the integer
// and boolean types, within the type's range (a 32-bit value may be given
// signed or unsigned); integers or reals for the float types; bytes for text
// and byte buffers. kNone puts as 0 or empty.
class MapValue {
 public:
  enum class Kind { kNone, kInteger, kReal, kBoolean, kBytes };

  MapValue() = default;
  template <typename T, IfMapInteger<T> = 0>
  MapValue(T number) : kind_(Kind::kInteger), integer_(static_cast<int64_t>(number)) {}
  MapValue(bool flag) : kind_(Kind::kBoolean), integer_(flag ? 1 : 0) {}
  MapValue(double real) : kind_(Kind::kReal), real_(real) {}
  MapValue(const char* text) : MapValue(std::string(text != nullptr ? text : "")) {}
  MapValue(std::string bytes)
      : kind_(Kind::kBytes), bytes_(std::make_unique<std::string>(std::move(bytes))) {}

  MapValue(const MapValue& other)
      : kind_(other.kind_),
        integer_(other.integer_),
        real_(other.real_),
        bytes_(other.bytes_ != nullptr ? std::make_unique<std::string>(*other.bytes_) : nullptr) {}
  MapValue(MapValue&& other) noexcept = default;
  MapValue& operator=(const MapValue& other) { return *this = MapValue(other); }
  MapValue& operator=(MapValue&& other) noexcept = default;
  ~MapValue() = default;

  Kind kind() const { return kind_; }
  // The integer, or a boolean as 0 or 1; 0 for other kinds.
  int64_t integer() const { return integer_; }
  // The real; 0 for other kinds.
  double real() const { return real_; }
  // The text or byte buffer; empty for other kinds.
  const std::string& bytes() const& { return bytes_ != nullptr ? *bytes_ : NoBytes(); }
  std::string bytes() && { return bytes_ != nullptr ? std::move(*bytes_) : std::string(); }

 private:
  static const std::string& NoBytes() {
    static const std::string none;
    return none;
  }

  Kind kind_ = Kind::kNone;
  int64_t integer_ = 0;
  double real_ = 0;
  // Held apart (null for other kinds): a value that is not bytes is then plain
  // data, which a caller's compiler keeps in registers.
  std::unique_ptr<std::string> bytes_;
};

// The slot table behind TypedHashMap, here so that lookups compile in place.
namespace map_internal {

// One entry of an integer-keyed map as lookups read it: the key, and a
// scalar value as its record bits or the address of a text or byte value's
// block (0 when empty). A block holds the 32-bit length, the bytes and a NUL.
// Maps of text and byte keys have slots of their own (in the .cc file).
struct Slot {
  uint64_t key;
  uint64_t value;
};

// The same for a map of 32-bit keys and 4-byte values, in half the room.
struct NarrowSlot {
  uint32_t key;
  uint32_t value;
};

// A slot's value as lookups hand it on. A 4-byte scalar is kept
// sign-extended to 64 bits (a record only writes its low 32), so an integer
// value is the bits themselves whatever its width.
inline uint64_t ValueBits(const Slot& slot) { return slot.value; }
inline uint64_t ValueBits(const NarrowSlot& slot) {
  return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(slot.value)));
}

// What only adding, growing and Serialize need: the key's hash, which decides
// its bucket in a record, and its insertion number.
struct SlotInfo {
  uint32_t hash;
  uint32_t order;
};

// Every slot has a tag byte: 0x80 while it is free, else seven bits of the
// key's spread hash. The tags are read kGroupWidth at a time, from any slot
// on: the tag array repeats its first kGroupWidth - 1 tags after its end. A
// search starts at the key's home slot and goes on a group at a time.
#if defined(__SSE2__)
constexpr size_t kGroupWidth = 16;
#else
constexpr size_t kGroupWidth = 8;
#endif
constexpr uint8_t kFreeTag = 0x80;

// The slots of a group whose tags passed a test, lowest first.
class TagMatches {
 public:
#if defined(__SSE2__)
  using Bits = uint32_t;  // a bit per slot
  static constexpr int kShift = 0;
#else
  using Bits = uint64_t;  // the top bit of each byte
  static constexpr int kShift = 3;
#endif
  explicit TagMatches(Bits bits) : bits_(bits) {}
  explicit operator bool() const { return bits_ != 0; }
  uint32_t Lowest() const {
    if constexpr (sizeof(Bits) == 4) return static_cast<uint32_t>(__builtin_ctz(bits_));
    return static_cast<uint32_t>(__builtin_ctzll(bits_)) >> kShift;
  }
  void DropLowest() { bits_ &= bits_ - 1; }

 private:
  Bits bits_;
};

class TagGroup {
 public:
#if defined(__SSE2__)
  explicit TagGroup(const uint8_t* tags)
      : tags_(_mm_loadu_si128(reinterpret_cast<const __m128i*>(tags))) {}
  // The slots tagged `tag`.
  TagMatches Matching(uint8_t tag) const {
    const auto tags = static_cast<int>(tag * 0x01010101u);
    const __m128i same = _mm_cmpeq_epi8(tags_, _mm_shuffle_epi32(_mm_cvtsi32_si128(tags), 0));
    return TagMatches(static_cast<uint32_t>(_mm_movemask_epi8(same)));
  }
  // The free slots: tags with their top bit.
  TagMatches Free() const { return TagMatches(static_cast<uint32_t>(_mm_movemask_epi8(tags_))); }

 private:
  __m128i tags_;
#else
  explicit TagGroup(const uint8_t* tags) { std::memcpy(&tags_, tags, sizeof tags_); }
  // The slots tagged `tag`, and now and then a slot after one of them, which
  // the key comparison turns down.
  TagMatches Matching(uint8_t tag) const {
    const uint64_t diff = tags_ ^ (kLowBits * tag);
    return TagMatches((diff - kLowBits) & ~diff & kHighBits);
  }
  TagMatches Free() const { return TagMatches(tags_ & kHighBits); }

 private:
  static constexpr uint64_t kLowBits = 0x0101010101010101ull;
  static constexpr uint64_t kHighBits = 0x8080808080808080ull;
  uint64_t tags_;  // little-endian: slot i in byte i
#endif
};

// Spreads a key (or the hash of a text or byte key) over 64 bits: the top
// seven bits make the tag, the bits below them pick the home slot. The high
// half is folded in first, so a 64-bit key that differs only there still
// lands elsewhere; a 32-bit key costs one multiplication.
constexpr uint64_t kSpreadMultiplier = 0x9E3779B97F4A7C15ull;
inline uint64_t Spread(uint64_t x, uint64_t multiplier = kSpreadMultiplier) {
  return (x ^ (x >> 32)) * multiplier;
}

inline uint8_t TagOf(uint64_t spread) { return static_cast<uint8_t>(spread >> 57); }

// The shift that takes a spread to the home slot of a table of 2^bits slots
// (then masked to the slot count).
constexpr uint32_t HomeShift(uint32_t bits) { return 57 - bits; }

}  // namespace map_internal

class TypedHashMap {
 public:
  // How keys other than 32-bit integers are hashed. The choice only decides
  // the order of entries in a record: any map loads any record.
  enum class KeyHashing {
    kCrc32c,      // processors with the CRC32 instruction
    kMultiply31,  // h = h * 31 + byte: processors without it
  };

  // What Put did.
  enum PutResult : int { kPutFailed = 0, kPutAdded = 1, kPutReplaced = 2, kPutKept = 3 };

  // An unusable map, hashing as this processor does: only Configure and Load
  // make it usable.
  TypedHashMap();
  // The same with the key hashing chosen (tests, records of other machines).
  explicit TypedHashMap(KeyHashing hashing);
  ~TypedHashMap();
  TypedHashMap(TypedHashMap&& other) noexcept;
  TypedHashMap& operator=(TypedHashMap&& other) noexcept;
  TypedHashMap(const TypedHashMap&) = delete;
  TypedHashMap& operator=(const TypedHashMap&) = delete;

  // Empties the map and sets it up anew. Unknown types become kMapInt32; the
  // capacity becomes a power of two from 16 to 2^30, rounded down; a load
  // factor outside (0.0000001, 0.9999999), NaN or infinite becomes 0.75. The
  // flags setting, direct allocation (non-zero: no node pool) and keep order
  // (non-zero: records follow insertion order) are kept as given. The map
  // doubles when its count passes capacity x load factor, or capacity / 16
  // if that is more (so a tiny load factor cannot make it double on every
  // insertion), and never grows past 2^30 buckets. False when memory is
  // short; the map is then unusable.
  bool Configure(int32_t key_type = 0, int32_t value_type = 0, int32_t capacity = 0,
                 float load_factor = 0, int32_t flags_setting = 1, int32_t direct_allocation = 0,
                 int32_t keep_order = 0);

  // Adds or replaces the value of key. Fails when the map is unusable, the
  // key or value does not suit the map's types, a text or byte key is empty,
  // or memory is short. With keep_existing, a key already present keeps its
  // value (kPutKept).
  int Put(const MapKey& key, const MapValue& value, bool keep_existing = false);

  // The value of key, a copy owned by the caller; nullopt when the map is
  // unusable or the key is absent or does not suit the map's key type.
  std::optional<MapValue> Get(const MapKey& key) const;
  // The value of key in a map of integer or boolean values (32-bit values
  // sign-extended); nullopt when absent or the map holds other values.
  std::optional<int64_t> GetInteger(const MapKey& key) const;
  // The value of key in a map of text or byte-buffer values.
  std::optional<std::string> GetText(const MapKey& key) const;

  // The map as a record; empty when the map is unusable, holds objects, or
  // would not fit a record's 32-bit length.
  std::string Serialize() const;

  // Rebuilds the map from a record (bytes after its stated length are
  // ignored). Fails, leaving the map as it was, when the header is short or
  // inconsistent, or any entry does not fit in the record. Entries with an
  // empty text or byte key are skipped.
  bool Load(std::string_view record);

  bool usable() const { return tags_ != nullptr; }
  uint32_t capacity() const { return capacity_; }
  uint32_t count() const { return count_; }
  int32_t key_type() const { return key_type_; }
  int32_t value_type() const { return value_type_; }

 private:
  using Slot = map_internal::Slot;
  using NarrowSlot = map_internal::NarrowSlot;
  using SlotInfo = map_internal::SlotInfo;
  struct KeyView;
  class Storage;

  // Sets *bits to the value of key (as a slot holds it, see ValueBits);
  // false when key is absent or does not suit the key type, or the map is
  // unusable.
  bool FindValue(const MapKey& key, uint64_t* bits) const;
  template <typename Entry>
  bool FindNumber(uint64_t number, uint64_t* bits) const;
  bool FindBytes(std::string_view key, uint64_t* bits) const;
  // Get by the general way: any key and value type.
  LANFENG_MAP_RARE std::optional<MapValue> GetOther(bool is_number, int64_t number,
                                                    std::string_view bytes) const;
  bool ResolveKey(const MapKey& key, KeyView* view) const;
  uint32_t HashKey(const KeyView& key) const;
  uint64_t SpreadOf(uint64_t key, uint32_t hash) const;
  bool FindCrcKey(std::string_view key, uint64_t* bits) const;
  size_t SlotSize() const;
  uint64_t KeyAt(size_t at) const;
  std::string_view KeyBytesAt(size_t at) const;
  uint64_t ValueAt(size_t at) const;
  void SetValueAt(size_t at, uint64_t value);
  size_t Probe(const KeyView& key, bool* found) const;
  size_t FreeSlotFor(uint64_t spread) const;
  void Occupy(size_t at, uint64_t spread, SlotInfo info);
  int Insert(const KeyView& key, uint64_t scalar, std::string_view bytes, bool keep_existing);
  // Insert, giving a new entry the insertion number `order`.
  int InsertNumbered(const KeyView& key, uint64_t scalar, std::string_view bytes,
                     bool keep_existing, uint32_t order);
  bool Fill(std::string_view entries, uint32_t count);
  bool FillNumbers(std::string_view entries, uint32_t count, uint32_t partition_bits);
  bool ReadKey(std::string_view* entries, KeyView* key, uint64_t* scalar,
               std::string_view* bytes) const;
  void Renumber(size_t numbers);
  bool StoreBytes(size_t at, std::string_view bytes);
  bool Reserve(uint64_t entries);
  void Grow();
  void Release();
  void Swap(TypedHashMap& other) noexcept;

  std::unique_ptr<Storage> storage_;  // the private heap and node pool
  // One block of the private heap: slot count + kGroupWidth - 1 tags, then
  // the slots (Slot, NarrowSlot when narrow_, or for text and byte keys the
  // .cc file's TextSlot), then their infos. The slot count is a power of two.
  uint8_t* tags_ = nullptr;
  void* slots_ = nullptr;
  SlotInfo* infos_ = nullptr;
  size_t slot_mask_ = 0;  // slot count - 1
  // How FindValue looks keys up, set by Configure: the key type and slot
  // layout in one byte, so a lookup tests a single field.
  enum Lookup : uint8_t {
    kLookUpNothing,
    kLookUpNarrow,
    kLookUp32,
    kLookUp64,
    kLookUpBytes,
    kLookUpCrcBytes,  // text and byte keys hashed with the CRC32 instruction
  };
  Lookup lookup_ = kLookUpNothing;
  // The maps whose Get is a probe and a read in place, set by Configure:
  // integer values under a key layout. Get takes GetOther for the rest.
  enum FastGet : uint8_t {
    kGetOther,
    kGetNarrowIntegers,
    kGet64Integers,
    kGetCrcKeyIntegers,
  };
  FastGet fast_get_ = kGetOther;
  // Lookups in a table of more slots than this fetch the home slot early.
  static constexpr uint32_t kFetchSlotsFrom = (uint32_t{1} << 16) - 1;
  bool integer_values_ = false;  // the value type is a 16-, 32- or 64-bit integer
  uint8_t home_shift_ = 0;       // map_internal::HomeShift of the slot count
  // map_internal::kSpreadMultiplier, read by lookups with the table's other
  // fields rather than kept in a register of the caller's loop.
  uint64_t spread_multiplier_ = map_internal::kSpreadMultiplier;
  bool narrow_ = false;    // NarrowSlot entries
  bool crc_keys_ = false;  // keys hashed with the CRC32 instruction
  uint32_t capacity_ = 0;  // buckets, as the record order sees them
  uint32_t count_ = 0;
  uint32_t threshold_ = 0;  // the map doubles its buckets when count_ passes it
  float load_factor_ = 0;
  int32_t key_type_ = kMapInt32;
  int32_t value_type_ = kMapInt32;
  int32_t flags_setting_ = 1;
  int32_t direct_allocation_ = 0;
  int32_t keep_order_ = 0;
  KeyHashing hashing_;
};

// Lookups are defined here so that a caller's compiler sees through them:
// a Get of an integer key is a probe of the tag groups and a read of the
// slot, with no call and no MapValue left over.

template <typename Entry>
inline bool TypedHashMap::FindNumber(uint64_t number, uint64_t* bits) const {
  const uint64_t spread = map_internal::Spread(number, spread_multiplier_);
  const uint8_t tag = map_internal::TagOf(spread);
  const Entry* const entries = static_cast<const Entry*>(slots_);
  // Slot numbers fit 32 bits (a map holds fewer than 2^31 entries), which
  // spares the widening of each one.
  const auto mask = static_cast<uint32_t>(slot_mask_);
  uint32_t at = static_cast<uint32_t>(spread >> home_shift_) & mask;
  // An entry nearly always sits within a few slots of its home: in a table
  // past the private cache, its line is fetched while the tags come in.
  if (mask >= kFetchSlotsFrom) __builtin_prefetch(entries + at);
  for (;; at = (at + map_internal::kGroupWidth) & mask) {
    const map_internal::TagGroup group(tags_ + at);
    for (map_internal::TagMatches match = group.Matching(tag); match; match.DropLowest()) {
      const Entry& entry = entries[(at + match.Lowest()) & mask];
      if (entry.key == number) {
        *bits = map_internal::ValueBits(entry);
        return true;
      }
    }
    if (group.Free()) return false;
  }
}

namespace map_internal {

// A number that a map of 32-bit keys can hold, from INT32_MIN to
// UINT32_MAX (-1 and 0xFFFFFFFF are one key): bits 31 and up read -1, 0 or
// 1. Tested without wide constants, which a caller's loop would keep in
// registers.
inline bool FitsKey32(int64_t number) { return static_cast<uint64_t>((number >> 31) + 1) <= 2; }

}  // namespace map_internal

inline bool TypedHashMap::FindValue(const MapKey& key, uint64_t* bits) const {
  const Lookup lookup = lookup_;
  if (!key.is_number()) {
    if (lookup == kLookUpCrcBytes) return FindCrcKey(key.bytes(), bits);
    return lookup == kLookUpBytes && FindBytes(key.bytes(), bits);
  }
  const int64_t number = key.number();
  if (lookup == kLookUp64) return FindNumber<Slot>(static_cast<uint64_t>(number), bits);
  if (!map_internal::FitsKey32(number)) return false;
  if (lookup == kLookUpNarrow) return FindNumber<NarrowSlot>(static_cast<uint32_t>(number), bits);
  return lookup == kLookUp32 && FindNumber<Slot>(static_cast<uint32_t>(number), bits);
}

LANFENG_MAP_INLINE std::optional<MapValue> TypedHashMap::Get(const MapKey& key) const {
  const FastGet fast_get = fast_get_;
  uint64_t bits;
  if (key.is_number()) {
    const int64_t number = key.number();
    if (fast_get == kGetNarrowIntegers) {
      if (!map_internal::FitsKey32(number) ||
          !FindNumber<NarrowSlot>(static_cast<uint32_t>(number), &bits)) {
        return std::nullopt;
      }
      return MapValue(static_cast<int64_t>(bits));
    }
    if (fast_get == kGet64Integers) {
      if (!FindNumber<Slot>(static_cast<uint64_t>(number), &bits)) return std::nullopt;
      return MapValue(static_cast<int64_t>(bits));
    }
  } else if (fast_get == kGetCrcKeyIntegers) {
    if (!FindCrcKey(key.bytes(), &bits)) return std::nullopt;
    return MapValue(static_cast<int64_t>(bits));
  }
  return GetOther(key.is_number(), key.number(), key.bytes());
}

inline std::optional<int64_t> TypedHashMap::GetInteger(const MapKey& key) const {
  const bool boolean = value_type_ == kMapBoolean;
  if (!integer_values_ && !boolean) return std::nullopt;
  uint64_t bits;
  if (!FindValue(key, &bits)) return std::nullopt;
  if (boolean) return static_cast<uint32_t>(bits) != 0 ? 1 : 0;
  return static_cast<int64_t>(bits);
}

}  // namespace lanfeng
