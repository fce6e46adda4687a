// TypedHashMap against std::unordered_map and absl::flat_hash_map: Put and
// Get with the same keys in the same order, at 1 thousand to 1 million
// entries; and the map's Serialize and Load throughput.
//
// Keys: texts of 8 to 24 bytes (value: a 64-bit integer, as in the dulu API
// table), 32-bit integers (value: 32-bit) and 64-bit integers (value:
// 64-bit). All keys are distinct and made before any timing. Put inserts
// every key into a new empty map; making and freeing the map is not timed.
// Get looks every key up once, in a shuffled order, always successfully.
#include <absl/container/flat_hash_map.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "host/typed_hash_map.h"

namespace lanfeng {
namespace {

constexpr size_t kMostEntries = 1'000'000;
constexpr uint64_t kSeed = 20240601;

// The value type and record type codes that go with each key type.
template <typename Key>
struct KeyTraits;
template <>
struct KeyTraits<std::string> {
  using Value = int64_t;
  static constexpr int32_t kKeyType = kMapText;
  static constexpr int32_t kValueType = kMapInt64;
  static constexpr const char* kName = "text";
};
template <>
struct KeyTraits<int32_t> {
  using Value = int32_t;
  static constexpr int32_t kKeyType = kMapInt32;
  static constexpr int32_t kValueType = kMapInt32;
  static constexpr const char* kName = "int32";
};
template <>
struct KeyTraits<int64_t> {
  using Value = int64_t;
  static constexpr int32_t kKeyType = kMapInt64;
  static constexpr int32_t kValueType = kMapInt64;
  static constexpr const char* kName = "int64";
};

// kMostEntries distinct random keys, made once; a benchmark of n entries
// takes the first n.
template <typename Key>
const std::vector<Key>& AllKeys() {
  static const std::vector<Key> keys = [] {
    std::mt19937_64 random(kSeed);
    std::unordered_set<Key> seen;
    std::vector<Key> made;
    made.reserve(kMostEntries);
    while (made.size() < kMostEntries) {
      Key key;
      if constexpr (std::is_same_v<Key, std::string>) {
        std::uniform_int_distribution<size_t> length(8, 24);
        std::uniform_int_distribution<int> letter(0x21, 0x7E);
        key.resize(length(random));
        for (char& c : key) c = static_cast<char>(letter(random));
      } else {
        key = static_cast<Key>(random());
      }
      if (seen.insert(key).second) made.push_back(key);
    }
    return made;
  }();
  return keys;
}

template <typename Key>
std::vector<Key> Keys(size_t n) {
  const std::vector<Key>& all = AllKeys<Key>();
  return std::vector<Key>(all.begin(), all.begin() + static_cast<ptrdiff_t>(n));
}

template <typename Key>
std::vector<Key> Shuffled(std::vector<Key> keys) {
  std::shuffle(keys.begin(), keys.end(), std::mt19937_64(kSeed + 1));
  return keys;
}

// The three maps behind one interface: add or replace, and a lookup of a
// key known to be there.
template <typename Key>
class TypedMap {
 public:
  using Value = typename KeyTraits<Key>::Value;
  static constexpr const char* kName = "TypedHashMap";

  TypedMap() { map_.Configure(KeyTraits<Key>::kKeyType, KeyTraits<Key>::kValueType); }
  void Put(const Key& key, Value value) { map_.Put(key, value); }
  Value Get(const Key& key) const { return static_cast<Value>(map_.Get(key)->integer()); }
  TypedHashMap& map() { return map_; }

 private:
  TypedHashMap map_;
};

template <typename Key>
class StdMap {
 public:
  using Value = typename KeyTraits<Key>::Value;
  static constexpr const char* kName = "std::unordered_map";

  void Put(const Key& key, Value value) { map_.insert_or_assign(key, value); }
  Value Get(const Key& key) const { return map_.find(key)->second; }

 private:
  std::unordered_map<Key, Value> map_;
};

template <typename Key>
class AbslMap {
 public:
  using Value = typename KeyTraits<Key>::Value;
  static constexpr const char* kName = "absl::flat_hash_map";

  void Put(const Key& key, Value value) { map_.insert_or_assign(key, value); }
  Value Get(const Key& key) const { return map_.find(key)->second; }

 private:
  absl::flat_hash_map<Key, Value> map_;
};

template <template <typename> class Map, typename Key>
void BM_Put(benchmark::State& state) {
  using Value = typename Map<Key>::Value;
  const std::vector<Key> keys = Keys<Key>(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    auto map = std::make_unique<Map<Key>>();
    state.ResumeTiming();
    for (size_t i = 0; i < keys.size(); ++i) map->Put(keys[i], static_cast<Value>(i + 1));
    benchmark::ClobberMemory();
    state.PauseTiming();
    map.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

template <template <typename> class Map, typename Key>
void BM_Get(benchmark::State& state) {
  using Value = typename Map<Key>::Value;
  const std::vector<Key> keys = Keys<Key>(static_cast<size_t>(state.range(0)));
  Map<Key> map;
  for (size_t i = 0; i < keys.size(); ++i) map.Put(keys[i], static_cast<Value>(i + 1));
  const std::vector<Key> lookups = Shuffled(keys);
  for (auto _ : state) {
    uint64_t sum = 0;
    for (const Key& key : lookups) sum += static_cast<uint64_t>(map.Get(key));
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// A record of n entries, as Serialize makes it.
template <typename Key>
std::string Record(size_t n) {
  const std::vector<Key> keys = Keys<Key>(n);
  TypedMap<Key> map;
  for (size_t i = 0; i < keys.size(); ++i) {
    map.Put(keys[i], static_cast<typename KeyTraits<Key>::Value>(i + 1));
  }
  return map.map().Serialize();
}

template <typename Key>
void BM_Serialize(benchmark::State& state) {
  const std::string record = Record<Key>(static_cast<size_t>(state.range(0)));
  TypedHashMap map;
  map.Load(record);
  for (auto _ : state) benchmark::DoNotOptimize(map.Serialize());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(record.size()));
}

template <typename Key>
void BM_Load(benchmark::State& state) {
  const std::string record = Record<Key>(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    TypedHashMap map;
    benchmark::DoNotOptimize(map.Load(record));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(record.size()));
}

void AddSizes(benchmark::internal::Benchmark* benchmark) {
  benchmark->RangeMultiplier(10)->Range(1000, kMostEntries)->Unit(benchmark::kMicrosecond);
}

// Names read "Get/text/TypedHashMap/1000".
template <template <typename> class Map, typename Key>
void RegisterMap() {
  const std::string suffix = std::string("/") + KeyTraits<Key>::kName + "/" + Map<Key>::kName;
  AddSizes(benchmark::RegisterBenchmark(("Put" + suffix).c_str(), BM_Put<Map, Key>));
  AddSizes(benchmark::RegisterBenchmark(("Get" + suffix).c_str(), BM_Get<Map, Key>));
}

template <typename Key>
void RegisterKey() {
  RegisterMap<TypedMap, Key>();
  RegisterMap<StdMap, Key>();
  RegisterMap<AbslMap, Key>();
  const std::string suffix = std::string("/") + KeyTraits<Key>::kName;
  AddSizes(benchmark::RegisterBenchmark(("Serialize" + suffix).c_str(), BM_Serialize<Key>));
  AddSizes(benchmark::RegisterBenchmark(("Load" + suffix).c_str(), BM_Load<Key>));
}

}  // namespace
}  // namespace lanfeng

int main(int argc, char** argv) {
  lanfeng::RegisterKey<std::string>();
  lanfeng::RegisterKey<int32_t>();
  lanfeng::RegisterKey<int64_t>();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
