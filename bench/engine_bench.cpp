// How fast a hive file is taken into memory and its base block checked, and how long the frame
// pass takes over it. Run with the file in the page cache: build/tarvos_bench. The hive is the
// largest one in ../shared/hives/windows, or TARVOS_BENCH_HIVE, or a built one of 128 MB.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>

#include "hive/check.h"
#include "hive/frames.h"
#include "hive/image.h"
#include "support/hive_builder.h"
#include "support/scripted.h"
#include "support/temp_dir.h"

namespace {

using namespace tarvos;

const std::string& BenchHive() {
  static testing::TempDir dir;
  static std::string path;
  if (!path.empty()) return path;
  if (const char* own = std::getenv("TARVOS_BENCH_HIVE")) return path = own;
  std::string shared = testing::SharedHivesDir();
  if (!shared.empty()) {
    uintmax_t largest = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(shared) / "windows")) {
      if (entry.file_size() > largest) {
        largest = entry.file_size();
        path = entry.path().string();
      }
    }
    if (!path.empty()) return path;
  }
  path = dir.Path("bench.hive");
  testing::HiveBuilder builder;
  builder.GrowTo(128u << 20);
  testing::WriteFileBytes(path, builder.Build());
  return path;
}

bool Load(testing::EngineRig& rig, hive::HiveImage& image) {
  hive::FileHiveSource source;
  return hive::LoadHive(image, rig.faults, source, BenchHive(), std::nullopt) == hive::kLoadDone &&
         hive::CheckBaseBlock(image, rig.faults);
}

void LoadAndCheckBaseBlock(benchmark::State& state) {
  uint64_t bytes = std::filesystem::file_size(BenchHive());
  for (auto _ : state) {
    testing::EngineRig rig(std::deque<uint32_t>(4, kAnswerFix));
    hive::HiveImage image;
    if (!Load(rig, image)) state.SkipWithError("the hive did not load");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.SetLabel(BenchHive());
}
BENCHMARK(LoadAndCheckBaseBlock)->Unit(benchmark::kMillisecond);

void FramePass(benchmark::State& state) {
  testing::EngineRig rig(std::deque<uint32_t>(4, kAnswerFix));
  hive::HiveImage image;
  if (!Load(rig, image)) {
    state.SkipWithError("the hive did not load");
    return;
  }
  for (auto _ : state) {
    hive::FrameTable frames;
    if (!frames.Build(image, rig.faults)) state.SkipWithError("the frame pass failed");
    benchmark::DoNotOptimize(frames.CellCount());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image.Size()));
}
BENCHMARK(FramePass)->Unit(benchmark::kMillisecond);

// Frames, then the walk with values and security blocks, the relink and the removal of the marks.
void WholeCheck(benchmark::State& state) {
  testing::EngineRig rig(std::deque<uint32_t>(4, kAnswerFix));
  hive::HiveImage image;
  if (!Load(rig, image)) {
    state.SkipWithError("the hive did not load");
    return;
  }
  hive::KeyPathBuffer path;
  for (auto _ : state) {
    hive::HiveCheck check(image, rig.faults, path);
    if (!check.CheckFrames() || !check.SetUpSecurity()) state.SkipWithError("the check failed");
    check.Walk();
    check.FinalFixUps();
    check.RemoveMarks();
    benchmark::DoNotOptimize(check.walk.KeysVisited());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image.Size()));
}
BENCHMARK(WholeCheck)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
