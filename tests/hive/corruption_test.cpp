// Seeded random damage to real hives: every check must survive it (no crash, nothing read outside
// the hive), repair it with "Fix All", and find nothing on a second check of the result.
// TARVOS_CORRUPTIONS sets how many cases run (300 by default).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>

#include "support/hive_builder.h"
#include "support/hive_judge.h"
#include "support/read_hives.h"
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

// What the repairs of one case kept of the keys a careful reader finds intact in its damage.
struct CaseKept {
  int seed;
  size_t hive;
  size_t intact, kept, moved;
};

// TARVOS_CORRUPTIONS cases (300 by default). Each repaired hive is read by an outside judge (no
// loops, no bad cells, no two subkeys named alike, every key intact in the damaged bytes still in
// the tree) and, where they are installed, opened by the other readers (in TARVOS_CORRUPTION_READERS
// cases spread over the run, all by default).
TEST(Corruption, RepairedWithFixAllThenCheckedCleanAndOpenedByOthers) {
  std::string root = testing::SharedHivesDir();
  if (root.empty()) GTEST_SKIP() << testing::kNoSharedHives;
  std::vector<std::string> names;
  std::vector<std::vector<uint8_t>> hives;
  std::vector<std::vector<uint32_t>> cells;
  std::vector<uint64_t> keys;  // of each undamaged hive
  std::vector<std::set<std::string>> ownAlike;
  std::vector<std::filesystem::path> files;  // in name order: each seed damages the same hive everywhere
  for (const char* folder : {"windows", "odd"}) {
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(root) / folder)) {
      if (entry.file_size() <= (1u << 20)) files.push_back(entry.path());  // the small ones: many cases in little time
    }
  }
  std::sort(files.begin(), files.end());
  for (const std::filesystem::path& path : files) {
    {
      const std::string folder = path.parent_path().filename().string();
      const std::filesystem::directory_entry entry(path);
      // Start from the repaired base block so that only the damage done here is found.
      testing::WalkedHive clean(testing::ReadFileBytes(entry.path().string()), testing::FixAllAnswers());
      names.push_back(std::string(folder) + "/" + entry.path().filename().string());
      hives.push_back(clean.Bytes());
      cells.push_back(testing::AllocatedCells(hives.back()));
      keys.push_back(clean.walk.KeysVisited());
      // Subkeys named alike that the hive holds undamaged (DuplicateSubkeysHive) are its own.
      std::vector<std::string> alike = testing::ReadTree(hives.back()).duplicates;
      ownAlike.emplace_back(alike.begin(), alike.end());
    }
  }
  ASSERT_FALSE(hives.empty());
  const char* count = std::getenv("TARVOS_CORRUPTIONS");
  const char* readers = std::getenv("TARVOS_CORRUPTION_READERS");
  int cases = count != nullptr ? std::atoi(count) : 300;
  int sample = readers != nullptr ? std::atoi(readers) : cases;
  testing::TempDir dir;
  int unclean = 0, opened = 0, tried = 0, duplicated = 0, unsound = 0, mappedDiffer = 0, unmapped = 0;
  uint64_t keysBefore = 0, keysAfter = 0;  // reachable in the undamaged hives, and after each repair
  double worst = 1.0;
  int worstSeed = 0;
  std::vector<CaseKept> kept;
  const char* onlySeed = std::getenv("TARVOS_CORRUPTION_SEED");  // one case, its logs shown
  const int only = onlySeed != nullptr ? std::atoi(onlySeed) : 0;
  if (only > 0) cases = std::max(cases, only);
  for (int seed = 1; seed <= cases; ++seed) {
    if (only > 0 && seed != only) continue;
    std::mt19937 random(static_cast<uint32_t>(seed));
    size_t which = static_cast<size_t>(seed) % hives.size();
    std::vector<uint8_t> bytes = hives[which];
    Corrupt(bytes, hives[which], cells[which], random);
    testing::WalkedHive first(bytes, testing::FixAllAnswers());
    ASSERT_TRUE(first.passed) << "seed " << seed;
    ASSERT_FALSE(first.rig.faults.IsErrorLeft()) << "seed " << seed << ": " << first.rig.faults.Error().code;
    std::vector<uint8_t> repaired = first.Bytes();
    // The same case from a file the image maps: the same questions and the same repaired bytes,
    // and the file itself as it was.
    {
      testing::WalkedHive mapped(testing::WalkedHive::Mapped{}, bytes, testing::FixAllAnswers());
      if (!mapped.mappedAtLoad) ++unmapped;
      if (mapped.AskedCodes() != first.AskedCodes() || mapped.Bytes() != repaired ||
          testing::ReadFileBytes(mapped.folder->Path("hive")) != bytes) {
        ++mappedDiffer;
        std::printf("seed %d (%s): the mapped hive is checked otherwise\n", seed, names[which].c_str());
      }
    }
    testing::WalkedHive second(repaired);
    uint64_t reached = std::min<uint64_t>(second.walk.KeysVisited(), keys[which]);
    keysBefore += keys[which];
    keysAfter += reached;
    if (keys[which] > 0 && static_cast<double>(reached) / static_cast<double>(keys[which]) < worst) {
      worst = static_cast<double>(reached) / static_cast<double>(keys[which]);
      worstSeed = seed;
    }
    if (only > 0) {
      for (const std::string& line : first.rig.log.lines) std::printf("1: %s", line.c_str());
    }
    // The repairs after the walk (the security ring, the reference counts) leave nothing for a
    // second check to change either.
    if (!second.AskedCodes().empty() || !second.passed || second.rig.faults.Changed()) {
      ++unclean;
      uint32_t code = second.AskedCodes().empty() ? kNoError : second.AskedCodes()[0];
      uint32_t at = second.AskedCodes().empty() ? 0 : second.rig.decider.asked[0].second;
      std::printf("seed %d (%s): the second check asks about code %u at 0x%X%s\n", seed, names[which].c_str(), code, at,
                  second.rig.faults.Changed() ? ", and changes the hive" : "");
      if (std::getenv("TARVOS_CORRUPTIONS_VERBOSE") != nullptr) {
        for (const std::string& line : first.rig.log.lines) std::printf("1: %s", line.c_str());
        for (const std::string& line : second.rig.log.lines) std::printf("2: %s", line.c_str());
      }
    }
    testing::TreeReport tree = testing::ReadTree(repaired);
    if (!tree.sound) {
      ++unsound;
      std::printf("seed %d (%s): the repaired tree is not sound: %s\n", seed, names[which].c_str(),
                  tree.firstFault.c_str());
    }
    std::vector<std::string> alike;
    for (const std::string& one : tree.duplicates) {
      if (ownAlike[which].count(one) == 0) alike.push_back(one);
    }
    if (!alike.empty()) {
      ++duplicated;
      std::printf("seed %d (%s): subkeys named alike under %s (%zu in all)\n", seed, names[which].c_str(),
                  alike[0].c_str(), alike.size());
    }
    std::set<uint32_t> intact = testing::IntactKeys(bytes);
    testing::KeptKeys counts = testing::Kept(intact, bytes, tree, repaired);
    kept.push_back({seed, which, intact.size(), counts.kept, counts.moved});
    if (sample > 0 && seed % std::max(1, cases / sample) == 0) {
      std::string path = dir.Path("repaired");
      ASSERT_TRUE(testing::WriteFileBytes(path, repaired));
      std::string refusedBy;
      ++tried;
      // hivex refuses System_Delta whatever its state: a value there holds no data and names no
      // data cell (0xFFFFFFFF), which hivex takes for a bad address.
      if (testing::OthersOpen(path, refusedBy, names[which] == "odd/System_Delta" ? "hivexml" : "")) {
        ++opened;
      } else {
        std::printf("seed %d (%s): %s refuses the repaired hive\n", seed, names[which].c_str(), refusedBy.c_str());
        if (const char* keep = std::getenv("TARVOS_CORRUPTION_KEEP")) {  // a folder for the refused hives
          testing::WriteFileBytes(std::string(keep) + "/seed-" + std::to_string(seed), repaired);
        }
      }
    }
  }
  size_t intactAll = 0, keptAll = 0, movedAll = 0;
  for (const CaseKept& one : kept) {
    intactAll += one.intact;
    keptAll += one.kept;
    movedAll += one.moved;
  }
  auto share = [](size_t part, size_t whole) {
    return whole == 0 ? 1.0 : static_cast<double>(part) / static_cast<double>(whole);
  };
  std::stable_sort(kept.begin(), kept.end(), [&share](const CaseKept& a, const CaseKept& b) {
    return share(a.kept, a.intact) < share(b.kept, b.intact);
  });
  std::printf("%d cases: %d checked clean the second time; %d of %d repaired hives opened by the other readers; "
              "%d trees not sound, %d with subkeys named alike; %.2f%% of the keys reachable after the repairs "
              "(worst: %.1f%%, seed %d); %.2f%% of the intact keys kept (%zu of %zu, %zu of them under another "
              "parent), the least in:\n",
              cases, cases - unclean, opened, tried, unsound, duplicated,
              100.0 * static_cast<double>(keysAfter) / static_cast<double>(keysBefore), 100.0 * worst, worstSeed,
              100.0 * share(keptAll, intactAll), keptAll, intactAll, movedAll);
  for (size_t i = 0; i < std::min<size_t>(5, kept.size()); ++i) {
    std::printf("  seed %d (%s): %zu of %zu kept\n", kept[i].seed, names[kept[i].hive].c_str(), kept[i].kept,
                kept[i].intact);
  }
  EXPECT_LE(unclean * 1000, cases) << "at least 99.9% clean";
  EXPECT_EQ(mappedDiffer, 0) << "a mapped hive is checked and repaired as a hive read into memory";
  if (testing::MappingAvailable()) {
    EXPECT_EQ(unmapped, 0) << "every case mapped";
  }
  EXPECT_EQ(unsound, 0) << "every repaired tree sound";
  // Left over: a byte of a name changed to give a sibling's name, in a list that keeps no hint or
  // hash of the names ("li"), so nothing tells which of the two was written so.
  EXPECT_LE(duplicated * 500, cases) << "two subkeys of a key named alike in at most 0.2% of the cases";
  EXPECT_GE(keysAfter * 100, keysBefore * 99) << "at least 99% of the keys kept";
  EXPECT_GE(keptAll * 100, intactAll * 99) << "at least 99% of the intact keys kept";
  EXPECT_LE((tried - opened) * 100, tried) << "at least 99% opened";
}

// Hives with real damage, repaired with "Fix All": the result checks clean, other readers open it,
// its tree is sound, and the keys a careful reader finds intact in the damaged file are kept.
TEST(Corruption, RealDamageKeepsTheIntactKeys) {
  std::string root = testing::SharedHivesDir();
  if (root.empty()) GTEST_SKIP() << testing::kNoSharedHives;
  testing::TempDir dir;
  size_t intactAll = 0, keptAll = 0;
  for (const auto& file : std::filesystem::directory_iterator(std::filesystem::path(root) / "damaged")) {
    std::string name = file.path().filename().string();
    std::vector<uint8_t> bytes = testing::ReadFileBytes(file.path().string());
    std::set<uint32_t> intact = testing::IntactKeys(bytes);
    testing::WalkedHive first(bytes, testing::FixAllAnswers());
    EXPECT_TRUE(first.passed && !first.rig.faults.IsErrorLeft()) << name;
    std::vector<uint8_t> repaired = first.Bytes();
    EXPECT_EQ(testing::WalkedHive(repaired).AskedCodes(), std::vector<uint32_t>{}) << name << ": the second check asks";
    ASSERT_TRUE(testing::WriteFileBytes(dir.Path(name), repaired));
    std::string refusedBy;
    EXPECT_TRUE(testing::OthersOpen(dir.Path(name), refusedBy)) << name << ": refused by " << refusedBy;
    testing::TreeReport tree = testing::ReadTree(repaired);
    EXPECT_TRUE(tree.sound) << name << ": " << tree.firstFault;
    EXPECT_EQ(tree.duplicates, std::vector<std::string>{}) << name;
    testing::KeptKeys counts = testing::Kept(intact, bytes, tree, repaired);
    std::printf("%-18s %6zu intact keys, %6zu kept (%zu under another parent)\n", name.c_str(), intact.size(),
                counts.kept, counts.moved);
    EXPECT_GE(counts.kept * 100, intact.size() * 99) << name;
    intactAll += intact.size();
    keptAll += counts.kept;
  }
  EXPECT_GT(intactAll, 0u);
  EXPECT_GE(keptAll * 100, intactAll * 99);
}

// A run of lost sectors: one whole frame of zeros in the middle of a hive. The keys outside it
// that can still be reached stay; the repaired hive checks clean and other readers open it.
TEST(Corruption, ZeroedFrameIsRepairedAroundIt) {
  testing::HiveBuilder builder;
  uint32_t a = builder.AddKey(builder.Root(), "A");
  builder.AddValue(a, "kept", 1, std::vector<uint8_t>(40, 'a'));
  builder.NewFrame(0x2000);
  uint32_t lost = builder.AddKey(builder.Root(), "B");
  builder.NewFrame(0x1000);
  uint32_t c = builder.AddKey(builder.Root(), "C");
  builder.AddKey(c, "C1");
  builder.AddKey(lost, "B1");  // outside the zeroed frame, but below a key inside it
  std::vector<uint8_t> bytes = builder.Build();
  uint32_t frameStart = lost & kPageMask;
  std::fill(bytes.begin() + kBaseBlockSize + frameStart, bytes.begin() + kBaseBlockSize + frameStart + 0x2000, 0);
  testing::WalkedHive first(bytes, testing::FixAllAnswers());
  ASSERT_TRUE(first.passed);
  EXPECT_FALSE(first.rig.faults.IsErrorLeft());
  EXPECT_EQ(first.walk.KeysVisited(), 6u) << "the root, A, C, C1, and B1 in lost+found";
  testing::WalkedHive second(first.Bytes());
  EXPECT_EQ(second.AskedCodes(), std::vector<uint32_t>{});
  EXPECT_EQ(second.walk.KeysVisited(), 6u);
  testing::TempDir dir;
  ASSERT_TRUE(testing::WriteFileBytes(dir.Path("repaired"), first.Bytes()));
  std::string refusedBy;
  EXPECT_TRUE(testing::OthersOpen(dir.Path("repaired"), refusedBy)) << refusedBy;
}

}  // namespace
}  // namespace tarvos::hive
