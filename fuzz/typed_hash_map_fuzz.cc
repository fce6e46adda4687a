// Fuzzes TypedHashMap::Load with arbitrary records. A record that loads must
// serialize to one that loads again and serializes to the same bytes.
//
// A header may claim up to 2^30 buckets, which Load allocates whatever the
// record's count (docs/SECURITY.md, "Fuzzing"). Such records are skipped
// unless LANFENG_FUZZ_HUGE_MAPS=1, which lets them through to reproduce that.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "host/typed_hash_map.h"

namespace lanfeng {
namespace {

constexpr size_t kCapacityOffset = 12;      // the fourth header field
constexpr uint32_t kMostBuckets = 1 << 20;  // 8 MiB of bucket heads

void Check(bool condition) {
  if (!condition) std::abort();
}

bool HugeMapsAllowed() {
  static const bool allowed = [] {
    const char* value = std::getenv("LANFENG_FUZZ_HUGE_MAPS");
    return value != nullptr && std::strcmp(value, "1") == 0;
  }();
  return allowed;
}

// The capacity the header claims, as a signed field; 0 when there is none.
int32_t ClaimedCapacity(std::string_view record) {
  if (record.size() < kCapacityOffset + 4) return 0;
  uint32_t field = 0;
  for (int i = 3; i >= 0; --i) {
    field = field << 8 | static_cast<unsigned char>(record[kCapacityOffset + i]);
  }
  return static_cast<int32_t>(field);
}

// Lookups of a few keys of every kind; whatever the map holds, they answer.
void LookUpSomeKeys(const TypedHashMap& map, std::string_view record) {
  const MapKey keys[] = {
      MapKey(0),  MapKey(1),          MapKey(-1),         MapKey(int64_t{1} << 40),
      MapKey(""), MapKey("输出日志"), MapKey("取框架QQ"), MapKey(record.substr(0, 8)),
  };
  for (const MapKey& key : keys) {
    const auto value = map.Get(key);
    const auto integer = map.GetInteger(key);
    const auto text = map.GetText(key);
    Check(!integer || value);
    Check(!text || value);
  }
}

}  // namespace
}  // namespace lanfeng

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace lanfeng;
  const std::string_view record(reinterpret_cast<const char*>(data), size);
  if (ClaimedCapacity(record) > static_cast<int32_t>(kMostBuckets) && !HugeMapsAllowed()) {
    return 0;
  }
  TypedHashMap map;
  if (!map.Load(record)) return 0;
  LookUpSomeKeys(map, record);

  const std::string first = map.Serialize();
  if (first.empty()) return 0;  // a map of objects has no record
  TypedHashMap reloaded;
  Check(reloaded.Load(first));
  Check(reloaded.count() == map.count() && reloaded.capacity() == map.capacity());
  Check(reloaded.Serialize() == first);
  return 0;
}
