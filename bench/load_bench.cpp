// How fast a hive file is taken into memory and its base block checked. Run with the file in the
// page cache: build/tarvos_bench [--benchmark_filter=...]. Set TARVOS_BENCH_HIVE to time a hive of
// your own instead of the built one.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>

#include "hive/image.h"
#include "support/hive_builder.h"
#include "support/scripted.h"
#include "support/temp_dir.h"

namespace {

using namespace tarvos;

const std::string& BenchHive(uint32_t megabytes) {
  static testing::TempDir dir;
  static std::string path;
  if (const char* own = std::getenv("TARVOS_BENCH_HIVE")) {
    path = own;
    return path;
  }
  path = dir.Path("bench-" + std::to_string(megabytes) + ".hive");
  if (!std::filesystem::exists(path)) {
    testing::HiveBuilder builder;
    builder.GrowTo(megabytes << 20);
    testing::WriteFileBytes(path, builder.Build());
  }
  return path;
}

void LoadAndCheckBaseBlock(benchmark::State& state) {
  const std::string& path = BenchHive(static_cast<uint32_t>(state.range(0)));
  uint64_t bytes = std::filesystem::file_size(path);
  for (auto _ : state) {
    testing::EngineRig rig;
    hive::FileHiveSource source;
    hive::HiveImage image;
    int loaded = hive::LoadHive(image, rig.faults, source, path, std::nullopt);
    bool checked = loaded == hive::kLoadDone && hive::CheckBaseBlock(image, rig.faults);
    benchmark::DoNotOptimize(checked);
    if (!checked) state.SkipWithError("the hive did not load");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(LoadAndCheckBaseBlock)->Arg(16)->Arg(128)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
