// Hives with real damage, repaired with "Fix All": the result checks clean, other readers open it,
// an outside judge finds its tree sound, and the keys a careful reader finds intact in the damaged
// file are still in the repaired tree. Skipped when the shared hive folder is absent;
// TARVOS_DAMAGED_KEEP names a folder to keep the repaired hives in.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "support/hive_builder.h"
#include "support/hive_judge.h"
#include "support/temp_dir.h"
#include "support/walked_hive.h"

namespace tarvos::hive {
namespace {

TEST(DamagedHives, IntactKeysKeptAfterFixAll) {
  std::string root = testing::SharedHivesDir();
  if (root.empty()) GTEST_SKIP() << "no shared hive folder";
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(root) / "damaged")) {
    files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty());
  testing::TempDir dir;
  size_t intactAll = 0, keptAll = 0;
  std::string shortOf;  // the hives that keep less than 99% of their intact keys
  for (const auto& file : files) {
    std::string name = file.filename().string();
    std::vector<uint8_t> bytes = testing::ReadFileBytes(file.string());
    std::set<uint32_t> intact = testing::IntactKeys(bytes);
    testing::WalkedHive first(bytes, testing::FixAllAnswers());
    EXPECT_TRUE(first.passed) << name;
    EXPECT_FALSE(first.rig.faults.IsErrorLeft()) << name;
    std::vector<uint8_t> repaired = first.Bytes();
    testing::WalkedHive second(repaired);
    EXPECT_TRUE(second.passed) << name;
    EXPECT_EQ(second.AskedCodes(), std::vector<uint32_t>{}) << name << ": the second check asks";
    ASSERT_TRUE(testing::WriteFileBytes(dir.Path(name), repaired));
    if (const char* keep = std::getenv("TARVOS_DAMAGED_KEEP")) {  // a folder for the repaired hives
      testing::WriteFileBytes(std::string(keep) + "/" + name, repaired);
    }
    std::string refusedBy;
    EXPECT_TRUE(testing::OthersOpen(dir.Path(name), refusedBy)) << name << ": refused by " << refusedBy;
    testing::TreeReport tree = testing::ReadTree(repaired);
    EXPECT_TRUE(tree.sound) << name << ": " << tree.firstFault;
    EXPECT_EQ(tree.duplicates, std::vector<std::string>{}) << name << ": subkeys named alike";
    testing::KeptKeys counts = testing::Kept(intact, bytes, tree, repaired);
    size_t kept = counts.kept;
    std::printf("%-18s %6zu intact keys, %6zu kept (%zu under another parent); %6zu keys in the repaired tree\n",
                name.c_str(), intact.size(), kept, counts.moved, tree.reachable.size());
    if (kept * 100 < intact.size() * 99) shortOf += " " + name;
    intactAll += intact.size();
    keptAll += kept;
  }
  std::printf("%zu of %zu intact keys kept (%.2f%%); short of 99%%:%s\n", keptAll, intactAll,
              intactAll == 0 ? 100.0 : 100.0 * static_cast<double>(keptAll) / static_cast<double>(intactAll),
              shortOf.empty() ? " none" : shortOf.c_str());
  EXPECT_GT(intactAll, 0u);
  EXPECT_GE(keptAll * 100, intactAll * 99) << "short of 99%:" << shortOf;
}

}  // namespace
}  // namespace tarvos::hive
