// The outside judge that other tests measure the engine's repairs with: which keys of a damaged
// hive it counts as intact, and what it finds in a key tree.
#include "support/hive_judge.h"

#include <gtest/gtest.h>

#include <functional>

#include "hive/layout.h"
#include "support/hive_builder.h"
#include "support/temp_dir.h"

namespace tarvos::testing {
namespace {

// A root with a, a/a1 in the first frame; AB, AB/b1 and c in a second frame of two pages. The
// root's subkeys are in an index root over hash leaves.
struct Sample {
  std::vector<uint8_t> bytes;
  uint32_t root, a, a1, b, b1, c;
  std::vector<uint32_t> Keys(unsigned mask) const {
    std::vector<uint32_t> keys;
    for (uint32_t i = 0, all[] = {root, a, a1, b, b1, c}; i < 6; ++i) {
      if ((mask & (1u << i)) != 0) keys.push_back(all[i]);
    }
    return keys;
  }
};

Sample Built() {
  HiveBuilder builder;
  Sample s;
  s.root = builder.Root();
  s.a = builder.AddKey(s.root, "a");
  s.a1 = builder.AddKey(s.a, "a1");
  builder.NewFrame(0x2000);
  s.b = builder.AddKey(s.root, "AB");
  s.b1 = builder.AddKey(s.b, "b1");
  s.c = builder.AddKey(s.root, "c");
  builder.SetListKind(s.root, ListKind::IndexRoot, 2, ListKind::HashLeaf);
  s.bytes = builder.Build();
  return s;
}

struct Case {
  const char* what;
  std::function<void(Sample&)> damage;
  unsigned intact;  // which keys IntactKeys finds: root 1, a 2, a1 4, AB 8, b1 16, c 32
  bool sound;
  bool alike;  // two subkeys of the root named alike
};

TEST(HiveJudge, IntactKeysAndTreeOfDamagedSamples) {
  using namespace hive;
  const Case cases[] = {
      {"nothing", [](Sample&) {}, 63, true, false},
      {"an insane size of a's cell: the rest of its frame is lost",
       [](Sample& s) { Put32(s.bytes, CellField(s.a, cell::kSize), 0x7FFFFFF8); }, 1 | 8 | 16 | 32, false, false},
      {"b1 its own parent", [](Sample& s) { Put32(s.bytes, CellField(s.b1, key::kParent), s.b1); }, 63 & ~16, false,
       false},
      {"a and a1 parents of each other", [](Sample& s) { Put32(s.bytes, CellField(s.a, key::kParent), s.a1); },
       1 | 8 | 16 | 32, false, false},
      {"a key cell too short for its name", [](Sample& s) { Put16(s.bytes, CellField(s.b, key::kNameLength), 0x100); },
       63 & ~(8 | 16), false, false},
      {"the root offset broken: the root found by its flags",
       [](Sample& s) { Put32(s.bytes, base::kRootKeyOffset, 0x12345); }, 63, false, false},
      {"the second frame's own offset wrong",
       [](Sample& s) { Put32(s.bytes, kBaseBlockSize + 0x1000 + frame::kOwnOffset, 0); }, 1 | 2 | 4, false, false},
      {"the first frame's size over the second's header",
       [](Sample& s) { Put32(s.bytes, kBaseBlockSize + frame::kSize, 0x3000); }, 63, false, false},
      {"the file cut after the first frame", [](Sample& s) { s.bytes.resize(kBaseBlockSize + 0x1000); }, 1 | 2 | 4,
       false, false},
      {"the root's subkey count off by one", [](Sample& s) { Put32(s.bytes, CellField(s.root, key::kSubkeyCount), 2); },
       63, false, false},
      {"a list entry back to the root",
       [](Sample& s) {
         uint32_t list = Get32(s.bytes, CellField(s.a, key::kSubkeyList));
         Put32(s.bytes, CellField(list, list::kEntries), s.root);
       },
       63, false, false},
      {"c renamed A (8-bit)", [](Sample& s) { s.bytes[CellField(s.c, key::kName)] = 'A'; }, 63, true, true},
      {"AB renamed a (UTF-16)",
       [](Sample& s) {
         Put16(s.bytes, CellField(s.b, key::kFlags), 0);
         Put16(s.bytes, CellField(s.b, key::kName), 'a');
       },
       63, true, true},
  };
  for (const Case& one : cases) {
    Sample s = Built();
    one.damage(s);
    std::set<uint32_t> intact = IntactKeys(s.bytes);
    EXPECT_EQ(std::vector<uint32_t>(intact.begin(), intact.end()), s.Keys(one.intact)) << one.what;
    TreeReport tree = ReadTree(s.bytes);
    EXPECT_EQ(tree.sound, one.sound) << one.what << ": " << tree.firstFault;
    char alike[32];
    std::snprintf(alike, sizeof alike, "0x%X: a", s.root);
    EXPECT_EQ(tree.duplicates, one.alike ? std::vector<std::string>{alike} : std::vector<std::string>{}) << one.what;
    if (one.sound) {
      EXPECT_EQ(std::vector<uint32_t>(tree.reachable.begin(), tree.reachable.end()), s.Keys(63)) << one.what;
    }
  }
}

TEST(HiveJudge, KeptKeysAreThoseStillInTheTreeAndMovedOnesUnderAnotherParent) {
  Sample s = Built();
  std::set<uint32_t> intact = IntactKeys(s.bytes);
  TreeReport tree = ReadTree(s.bytes);
  std::vector<uint8_t> repaired = s.bytes;
  Put32(repaired, CellField(s.b1, hive::key::kParent), s.c);
  tree.reachable.erase(s.a1);
  KeptKeys counts = Kept(intact, s.bytes, tree, repaired);
  EXPECT_EQ(counts.kept, 5u);
  EXPECT_EQ(counts.moved, 1u);
}

TEST(HiveJudge, OthersOpenASoundHiveAndRefuseABrokenOne) {
  if (CommandOutput("command -v hivexml regfexport").empty()) GTEST_SKIP() << "no other hive reader";
  TempDir dir;
  Sample s = Built();
  ASSERT_TRUE(WriteFileBytes(dir.Path("sound"), s.bytes));
  std::string refusedBy = "?";
  EXPECT_TRUE(OthersOpen(dir.Path("sound"), refusedBy)) << refusedBy;
  EXPECT_EQ(refusedBy, "");
  s.bytes.resize(0x1800);  // the base block and half a frame
  ASSERT_TRUE(WriteFileBytes(dir.Path("cut"), s.bytes));
  EXPECT_FALSE(OthersOpen(dir.Path("cut"), refusedBy));
  EXPECT_NE(refusedBy, "");
}

}  // namespace
}  // namespace tarvos::testing
