// HexEncode and HexDecode against OpenSSL's hex text functions with the same
// separator, on records of 1 KiB, 64 KiB and 1 MiB. Throughput counts the
// record's bytes in both directions. Our functions return a new string each
// call; OpenSSL writes into a buffer made once before the timing.
#include <benchmark/benchmark.h>
#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "host/packet_codec.h"

namespace lanfeng {
namespace {

std::string RandomRecord(size_t size) {
  std::mt19937 random(7);
  std::string record(size, '\0');
  for (char& c : record) c = static_cast<char>(random());
  return record;
}

void SetRecordBytes(benchmark::State& state) {
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_HexEncode(benchmark::State& state) {
  const std::string record = RandomRecord(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(HexEncode(record));
  SetRecordBytes(state);
}

void BM_OpenSslBuf2HexStr(benchmark::State& state) {
  const std::string record = RandomRecord(static_cast<size_t>(state.range(0)));
  std::vector<char> text(3 * record.size());  // pairs, separators and the NUL
  const auto* bytes = reinterpret_cast<const unsigned char*>(record.data());
  for (auto _ : state) {
    size_t length = 0;
    if (!OPENSSL_buf2hexstr_ex(text.data(), text.size(), &length, bytes, record.size(), ' ')) {
      state.SkipWithError("OPENSSL_buf2hexstr_ex failed");
    }
    benchmark::DoNotOptimize(text.data());
  }
  SetRecordBytes(state);
}

void BM_HexDecode(benchmark::State& state) {
  const std::string text = HexEncode(RandomRecord(static_cast<size_t>(state.range(0))));
  for (auto _ : state) benchmark::DoNotOptimize(HexDecode(text));
  SetRecordBytes(state);
}

void BM_OpenSslHexStr2Buf(benchmark::State& state) {
  const std::string text = HexEncode(RandomRecord(static_cast<size_t>(state.range(0))));
  std::vector<unsigned char> record(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    size_t length = 0;
    if (!OPENSSL_hexstr2buf_ex(record.data(), record.size(), &length, text.c_str(), ' ')) {
      state.SkipWithError("OPENSSL_hexstr2buf_ex failed");
    }
    benchmark::DoNotOptimize(record.data());
  }
  SetRecordBytes(state);
}

#define HEX_SIZES ->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20)
BENCHMARK(BM_HexEncode) HEX_SIZES;
BENCHMARK(BM_OpenSslBuf2HexStr) HEX_SIZES;
BENCHMARK(BM_HexDecode) HEX_SIZES;
BENCHMARK(BM_OpenSslHexStr2Buf) HEX_SIZES;

}  // namespace
}  // namespace lanfeng

BENCHMARK_MAIN();
