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
// Texts are GBK byte strings; a text ends at its first NUL. Nothing here
// throws: failures are answered as values. A map is not safe for concurrent
// modification; concurrent reads of a map nobody modifies are safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

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
  MapValue(const char* text) : kind_(Kind::kBytes), bytes_(text != nullptr ? text : "") {}
  MapValue(std::string bytes) : kind_(Kind::kBytes), bytes_(std::move(bytes)) {}

  Kind kind() const { return kind_; }
  // The integer, or a boolean as 0 or 1; 0 for other kinds.
  int64_t integer() const { return integer_; }
  // The real; 0 for other kinds.
  double real() const { return real_; }
  // The text or byte buffer; empty for other kinds.
  const std::string& bytes() const& { return bytes_; }
  std::string bytes() && { return std::move(bytes_); }

 private:
  Kind kind_ = Kind::kNone;
  int64_t integer_ = 0;
  double real_ = 0;
  std::string bytes_;
};

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

  bool usable() const { return buckets_ != nullptr; }
  uint32_t capacity() const { return capacity_; }
  uint32_t count() const { return count_; }
  int32_t key_type() const { return key_type_; }
  int32_t value_type() const { return value_type_; }

 private:
  struct Node;
  struct KeyView;
  class Storage;

  bool ResolveKey(const MapKey& key, KeyView* view) const;
  uint32_t HashKey(const KeyView& key) const;
  Node* Find(const KeyView& key) const;
  const Node* Lookup(const MapKey& key) const;
  int Insert(const KeyView& key, uint64_t scalar, std::string_view bytes, bool keep_existing);
  bool StoreBytes(Node* node, std::string_view bytes);
  void Grow();
  template <typename Visit>
  void ForEachNode(Visit visit) const;
  void AppendEntry(const Node& node, std::string* record) const;
  void Release();
  void Swap(TypedHashMap& other) noexcept;

  std::unique_ptr<Storage> storage_;  // the private heap and node pool
  Node** buckets_ = nullptr;
  uint32_t capacity_ = 0;
  uint32_t count_ = 0;
  uint32_t threshold_ = 0;  // the map grows when count_ passes it
  float load_factor_ = 0;
  int32_t key_type_ = kMapInt32;
  int32_t value_type_ = kMapInt32;
  int32_t flags_setting_ = 1;
  int32_t direct_allocation_ = 0;
  int32_t keep_order_ = 0;
  KeyHashing hashing_;
};

}  // namespace lanfeng
