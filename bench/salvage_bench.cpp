// How long a whole check takes when salvage has many keys to bring back: N orphans whose parent's
// cell is gone (into lost+found), and N keys whose parent's index root broke (back under their
// parent). Each run loads the damaged hive from memory, repairs it with Fix All, brings the keys
// back and walks them. build/tarvos_bench --benchmark_filter=Salvage
#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

#include "support/hive_builder.h"
#include "support/walked_hive.h"

namespace {

using namespace tarvos;

enum class Shape { Orphans, BrokenIndexRoot };

const std::vector<uint8_t>& DamagedHive(Shape shape, uint32_t keys) {
  static std::map<std::pair<int, uint32_t>, std::vector<uint8_t>> made;
  auto& bytes = made[{static_cast<int>(shape), keys}];
  if (!bytes.empty()) return bytes;
  testing::HiveBuilder builder;
  uint32_t parent = builder.AddKey(builder.Root(), "Parent");
  for (uint32_t i = 0; i < keys; ++i) builder.AddKey(parent, "Key" + std::to_string(i));
  builder.SetListKind(parent, testing::ListKind::IndexRoot, 500, testing::ListKind::HashLeaf);
  bytes = builder.Build();
  if (shape == Shape::Orphans) {
    testing::Put32(bytes, testing::CellField(parent, 0), 0u - testing::Get32(bytes, testing::CellField(parent, 0)));
  } else {
    testing::Put16(bytes, testing::CellField(builder.ListOf(parent), hive::cell::kSignature), 0x5858);
  }
  return bytes;
}

void Salvage(benchmark::State& state, Shape shape) {
  const uint32_t keys = static_cast<uint32_t>(state.range(0));
  const std::vector<uint8_t>& bytes = DamagedHive(shape, keys);
  uint64_t kept = 0;
  for (auto _ : state) {
    testing::WalkedHive hive(bytes, testing::FixAllAnswers());
    kept = hive.walk.KeysVisited();
    benchmark::DoNotOptimize(kept);
  }
  state.counters["keys_kept"] = static_cast<double>(kept);
}

void BM_SalvageOrphans(benchmark::State& state) { Salvage(state, Shape::Orphans); }
void BM_SalvageBrokenIndexRoot(benchmark::State& state) { Salvage(state, Shape::BrokenIndexRoot); }

BENCHMARK(BM_SalvageOrphans)->Arg(10000)->Arg(100000)->Arg(200000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SalvageBrokenIndexRoot)->Arg(10000)->Arg(100000)->Arg(200000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
