// How long a host waits when it unloads the plugin while both workers sleep
// in their timed waits: the stop must cut the waits short.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <chrono>
#include <cstdint>
#include <thread>

namespace {

void BM_UnloadWhileWorkersWait(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    void* plugin = dlopen(LANFENG_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!plugin) {
      state.SkipWithError("cannot load the plugin");
      return;
    }
    auto enable = reinterpret_cast<int32_t (*)()>(dlsym(plugin, "Dr_Enable"));
    enable();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));  // the workers are asleep
    state.ResumeTiming();
    dlclose(plugin);
  }
}
BENCHMARK(BM_UnloadWhileWorkersWait)->Unit(benchmark::kMillisecond)->Iterations(50);

}  // namespace

BENCHMARK_MAIN();
