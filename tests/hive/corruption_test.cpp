// Seeded random damage to real hives: every check must survive it (no crash, nothing read outside
// the hive), repair it with "Fix All", and find nothing on a second check of the result.
// TARVOS_CORRUPTIONS sets how many cases run (300 by default).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>

#include "support/hive_builder.h"
#include "support/temp_dir.h"
#include "support/walked_hive.h"

namespace tarvos::hive {
namespace {

using testing::Get32;
using testing::Put16;
using testing::Put32;

// One to three targeted changes: a field of a cell, a size field, a count, or a flipped byte.
void Corrupt(std::vector<uint8_t>& bytes, const std::vector<uint8_t>& clean, const std::vector<uint32_t>& cells,
             std::mt19937& random) {
  auto pick = [&random](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(random); };
  int changes = 1 + static_cast<int>(pick(3));
  for (int c = 0; c < changes; ++c) {
    uint32_t cell = cells[pick(static_cast<uint32_t>(cells.size()))];
    uint32_t length = 0u - Get32(clean, cell + 0x1000);  // as it was before any change
    uint32_t words = std::min<uint32_t>(length, 0x60) / 4;
    uint32_t values[] = {0xFFFFFFFF, 0, cells[pick(static_cast<uint32_t>(cells.size()))], cell, cell + 4,
                         pick(0x100), static_cast<uint32_t>(random()), 0x80000000, 0x7FFFFFF8};
    switch (pick(5)) {
      case 0:  // a 32-bit field of the cell
        Put32(bytes, cell + 0x1000 + 4 * (1 + pick(words - 1)), values[pick(9)]);
        break;
      case 1:  // its size field
        Put32(bytes, cell + 0x1000, pick(2) ? values[pick(9)] : 0u - (length + 8 * (pick(5) - 2)));
        break;
      case 2:  // a 16-bit count or flags field
        Put16(bytes, cell + 0x1000 + 6, static_cast<uint16_t>(pick(2) ? pick(8) : random()));
        break;
      case 3:  // one byte anywhere in the data area
        bytes[0x1000 + pick(static_cast<uint32_t>(bytes.size()) - 0x1000)] ^= static_cast<uint8_t>(1u << pick(8));
        break;
      default:  // a field of the base block or of a frame header
        if (pick(2)) {
          Put32(bytes, 4 * pick(0x80), values[pick(9)]);
        } else {
          Put32(bytes, 0x1000 * (1 + pick(static_cast<uint32_t>(bytes.size() / 0x1000) - 1)) + 4 * pick(3),
                values[pick(9)]);
        }
    }
  }
}

TEST(Corruption, RepairedWithFixAllThenCheckedClean) {
  std::string root = testing::SharedHivesDir();
  if (root.empty()) GTEST_SKIP() << "no shared hive folder";
  const char* names[] = {"windows/SECURITY", "windows/BCD", "windows/SAM", "odd/BigDataHive", "odd/ManySubkeysHive",
                         "odd/TwoOwnersHive", "odd/UnicodeHive", "odd/MultiSzHive"};
  std::vector<std::vector<uint8_t>> hives;
  std::vector<std::vector<uint32_t>> cells;
  for (const char* name : names) {
    std::filesystem::path path = std::filesystem::path(root) / name;
    if (!std::filesystem::exists(path)) continue;
    // Start from the repaired base block so that only the damage done here is found.
    testing::WalkedHive clean(testing::ReadFileBytes(path.string()), testing::FixAllAnswers());
    hives.push_back(clean.Bytes());
    cells.push_back(testing::AllocatedCells(hives.back()));
  }
  ASSERT_FALSE(hives.empty());
  const char* count = std::getenv("TARVOS_CORRUPTIONS");
  int cases = count != nullptr ? std::atoi(count) : 300;
  int unclean = 0;
  int known = 0;
  for (int seed = 1; seed <= cases; ++seed) {
    std::mt19937 random(static_cast<uint32_t>(seed));
    size_t which = static_cast<size_t>(seed) % hives.size();
    std::vector<uint8_t> bytes = hives[which];
    Corrupt(bytes, hives[which], cells[which], random);
    testing::WalkedHive first(bytes, testing::FixAllAnswers());
    ASSERT_TRUE(first.passed) << "seed " << seed;
    ASSERT_FALSE(first.rig.faults.IsErrorLeft()) << "seed " << seed << ": " << first.rig.faults.Error().code;
    testing::WalkedHive second(first.Bytes());
    if (second.AskedCodes().empty() && second.passed) continue;
    // Damage that the repairs as designed cannot undo: a root key cell that fails its checks is
    // dropped or replaced by the first cell (codes 9 and 42 at the root again), and keys whose
    // only security block is lost keep none (code 35 at the root again).
    uint32_t code = second.AskedCodes().empty() ? kNoError : second.AskedCodes()[0];
    uint32_t at = second.AskedCodes().empty() ? 0 : second.rig.decider.asked[0].second;
    uint32_t rootKey = Get32(first.Bytes(), base::kRootKeyOffset);
    if (code == kInvalidStartOffset || (code == kDataOverlapped && at == rootKey) ||
        (code == kNullSecurityOffset && at == rootKey + key::kSecurity)) {
      ++known;
      continue;
    }
    ++unclean;
    if (std::getenv("TARVOS_CORRUPTIONS_VERBOSE") != nullptr) {
      for (const std::string& line : first.rig.log.lines) std::printf("1: %s", line.c_str());
      for (const std::string& line : second.rig.log.lines) std::printf("2: %s", line.c_str());
    }
    ADD_FAILURE() << "seed " << seed << " (" << names[which] << "): second check asks about code " << code
                  << " at " << std::hex << at;
  }
  std::printf("%d cases, %d left with damage the repairs cannot undo\n", cases, known);
  EXPECT_EQ(unclean, 0);
}

}  // namespace
}  // namespace tarvos::hive
