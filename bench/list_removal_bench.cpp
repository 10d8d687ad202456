// How the time to take bad entries out of one list grows with their number: one key whose value
// list holds N entries that all fail their check, repaired with Fix All. Linear growth is the
// aim: the time per entry (reported as items per second) should stay the same from 100k to 800k.
#include <benchmark/benchmark.h>

#include <map>

#include "hive/layout.h"
#include "support/hive_builder.h"
#include "support/walked_hive.h"

namespace {

using namespace tarvos;

const std::vector<uint8_t>& HiveWithBadValues(uint32_t count) {
  static std::map<uint32_t, std::vector<uint8_t>> built;
  auto found = built.find(count);
  if (found != built.end()) return found->second;
  testing::HiveBuilder builder;
  uint32_t key = builder.AddKey(builder.Root(), "Crowded");
  std::vector<uint8_t> entries(size_t{count} * 4);
  for (uint32_t i = 0; i < count; ++i) hive::PutLe32(entries.data() + 4 * i, 0x7FFFFFF8u);  // beyond the hive
  uint32_t list = builder.AddCell(entries);
  std::vector<uint8_t> image = builder.Build();
  testing::Put32(image, testing::CellField(key, hive::key::kValueCount), count);
  testing::Put32(image, testing::CellField(key, hive::key::kValueList), list);
  return built[count] = std::move(image);
}

void RemoveBadValueEntries(benchmark::State& state) {
  auto count = static_cast<uint32_t>(state.range(0));
  const std::vector<uint8_t>& image = HiveWithBadValues(count);
  for (auto _ : state) {
    testing::WalkedHive h(image, testing::FixAllAnswers());
    if (h.walk.KeysVisited() != 2) state.SkipWithError("the key was not kept");
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * count);
}
BENCHMARK(RemoveBadValueEntries)->Arg(100000)->Arg(200000)->Arg(400000)->Arg(800000)->Unit(benchmark::kMillisecond);

}  // namespace
