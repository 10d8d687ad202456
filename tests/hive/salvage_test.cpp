// Keys that a repair cuts off, found again: back under their parent, or into lost+found.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>

#include "hive/salvage.h"
#include "support/hive_builder.h"
#include "support/hive_judge.h"
#include "support/memory_source.h"
#include "support/walked_hive.h"

namespace tarvos::hive {
namespace {

using testing::CellField;
using testing::Get32;
using testing::HiveBuilder;
using testing::Put16;
using testing::Put32;
using testing::WalkedHive;

bool Logged(const WalkedHive& h, const std::string& start) {
  for (const std::string& line : h.rig.log.lines) {
    if (line.rfind(start, 0) == 0) return true;
  }
  return false;
}

std::string NameOf(WalkedHive& h, uint32_t key) {
  const uint8_t* k = h.image.AtHiveOffset(key);
  return std::string(reinterpret_cast<const char*>(k + key::kName), Le16(k + key::kNameLength));
}

TEST(Salvage, CutOffKeysComeBack) {
  struct Tree {
    HiveBuilder builder;
    uint32_t a, b, c, parent, x, y, z, twin, broken;
    std::vector<uint32_t> deep;  // a chain of keys, each the only subkey of the one before
  };
  auto build = [](Tree& t) {
    t.a = t.builder.AddKey(t.builder.Root(), "Alpha");
    t.b = t.builder.AddKey(t.builder.Root(), "beta");
    t.c = t.builder.AddKey(t.builder.Root(), "Gamma");
    t.parent = t.builder.AddKey(t.builder.Root(), "Parent");
    t.broken = t.builder.AddKey(t.parent, "Broken");  // every list in name order, as Windows keeps them
    t.twin = t.builder.AddKey(t.parent, "Twin");
    t.x = t.builder.AddKey(t.parent, "X");
    t.y = t.builder.AddKey(t.x, "Y");
    t.z = t.builder.AddKey(t.y, "Z");
    t.deep = {t.builder.AddKey(t.builder.Root(), "Deep")};
    for (int i = 1; i < 12; ++i) t.deep.push_back(t.builder.AddKey(t.deep.back(), "D" + std::to_string(i)));
    t.builder.SetListKind(t.builder.Root(), testing::ListKind::IndexRoot, 2, testing::ListKind::HashLeaf);
  };
  struct Row {
    const char* what;
    std::function<void(Tree&, std::vector<uint8_t>&)> damage;
    std::vector<std::string> logged;
    uint64_t keys;    // reachable afterwards
    size_t errors;    // faults found, the walk of the keys brought back included
  };
  std::vector<Row> rows = {
      {"a leaf of the root's index root dropped: its keys back under the root",
       [](Tree& t, std::vector<uint8_t>& bytes) {
         uint32_t ri = t.builder.ListOf(t.builder.Root());
         Put32(bytes, CellField(ri, list::kEntries), 0x7FFFFFF8);
       },
       {"* Key reconnected: "}, 22, 2},
      {"every list of a chain twelve keys deep lost: the whole chain comes back",
       [](Tree& t, std::vector<uint8_t>& bytes) {
         for (uint32_t key : t.deep) Put32(bytes, CellField(key, key::kSubkeyList), 0x7FFFFFF8);
       },
       {"* Key reconnected: "}, 22, 2},
      {"the parent's cell freed: its keys, a chain of three among them, under a key made for it in its place",
       [](Tree& t, std::vector<uint8_t>& bytes) {
         Put32(bytes, CellField(t.parent, 0), 0u - Get32(bytes, CellField(t.parent, 0)));  // free
       },
       {"* Key made to stand for lost key 0x", "* Key reconnected: "}, 22, 1},
      {"the parent's list cut short under its count: the key cut off comes back",
       [](Tree& t, std::vector<uint8_t>& bytes) { Put16(bytes, CellField(t.builder.ListOf(t.parent), list::kCount), 2); },
       {"* Key reconnected: "}, 22, 1},
      {"cut short, and the key left before it named as it: the key that comes back gets a name apart",
       [](Tree& t, std::vector<uint8_t>& bytes) {
         Put16(bytes, CellField(t.builder.ListOf(t.parent), list::kCount), 2);
         Put16(bytes, CellField(t.twin, key::kNameLength), 1);
         bytes[CellField(t.twin, key::kName)] = 'X';
       },
       {"* Key reconnected: "}, 22, 1},
      {"cut short, and the key cut off lost its own list too: its keys come back with it, counted under it",
       [](Tree& t, std::vector<uint8_t>& bytes) {
         Put16(bytes, CellField(t.builder.ListOf(t.parent), list::kCount), 2);
         Put16(bytes, CellField(t.builder.ListOf(t.x), list::kCount), 0);
       },
       {"* Key reconnected: ", "* Keys kept under 0x"}, 22, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Tree t;
    build(t);
    std::vector<uint8_t> bytes = t.builder.Build();
    row.damage(t, bytes);
    WalkedHive h(bytes, testing::FixAllAnswers());
    ASSERT_TRUE(h.passed);
    EXPECT_TRUE(h.salvaged);
    for (const std::string& line : row.logged) EXPECT_TRUE(Logged(h, line)) << line;
    EXPECT_EQ(std::count_if(h.rig.log.lines.begin(), h.rig.log.lines.end(),
                            [](const std::string& line) { return line.rfind("! Error found: ", 0) == 0; }),
              static_cast<std::ptrdiff_t>(row.errors));
    EXPECT_EQ(h.walk.KeysVisited(), row.keys);
    EXPECT_EQ(testing::ReadTree(h.Bytes()).unordered, std::vector<std::string>{}) << "lists written anew hold their names in order";
    WalkedHive second(h.Bytes());
    EXPECT_EQ(second.AskedCodes(), std::vector<uint32_t>{});
    EXPECT_EQ(second.walk.KeysVisited(), row.keys);
    // Walking only the keys brought back leaves what walking the whole tree again leaves, and
    // logs the same (the counts of keys kept under each chain too).
    WalkedHive whole(bytes, testing::FixAllAnswers(), {}, true, true, false);
    EXPECT_EQ(h.Bytes(), whole.Bytes());
    EXPECT_EQ(h.AskedCodes(), whole.AskedCodes());
    EXPECT_EQ(h.rig.log.lines, whole.rig.log.lines);
  }
}

TEST(Salvage, LostAndFoundNamesBrokenKeysAndHashes) {
  HiveBuilder builder;
  uint32_t parent = builder.AddKey(builder.Root(), "Parent");
  uint32_t one = builder.AddKey(parent, "Twin");
  uint32_t two = builder.AddKey(builder.AddKey(builder.Root(), "Other"), "Twin");
  uint32_t three = builder.AddKey(builder.AddKey(builder.Root(), "Third"), "TWIN");
  uint32_t broken = builder.AddKey(parent, "Broken");
  std::vector<uint8_t> bytes = builder.Build();
  // The three parents gone (their cells freed, and the root's list with them, so that nothing
  // tells where they stood), and one orphan broken.
  uint32_t other = Get32(bytes, CellField(two, key::kParent)), third = Get32(bytes, CellField(three, key::kParent));
  for (uint32_t gone : {parent, other, third}) Put32(bytes, CellField(gone, 0), 0u - Get32(bytes, CellField(gone, 0)));
  Put32(bytes, CellField(builder.Root(), key::kSubkeyList), 0x7FFFFFF8);
  Put16(bytes, CellField(broken, key::kNameLength), 0x400);  // longer than its cell
  WalkedHive h(bytes, testing::FixAllAnswers());
  ASSERT_TRUE(h.passed);
  ASSERT_TRUE(h.salvaged);
  EXPECT_EQ(h.walk.KeysVisited(), 5u) << "the root, lost+found and the three twins; the broken key stays out";
  std::vector<std::string> names = {NameOf(h, one), NameOf(h, two), NameOf(h, three)};
  for (std::string& name : names) std::transform(name.begin(), name.end(), name.begin(), ::toupper);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"TWIN", "TWIN (2)", "TWIN (3)"}));
  uint32_t found = h.Field(one, key::kParent);
  EXPECT_EQ(NameOf(h, found), kLostAndFound);
  EXPECT_EQ(h.Field(two, key::kParent), found);
  // Its list: "lh" for a hive of version 1.5, names in upper-cased order, each with its hash.
  uint32_t list = h.ListOf(found);
  const uint8_t* l = h.image.AtHiveOffset(list);
  EXPECT_EQ(Le16(l + cell::kSignature), cell::kHashLeafSignature);
  ASSERT_EQ(Le16(l + list::kCount), 3u);
  std::string first = NameOf(h, Le32(l + list::kEntries)), second = NameOf(h, Le32(l + list::kEntries + 8));
  EXPECT_LT(first, second);
  uint32_t hash = 0;
  for (char c : first) hash = hash * 37 + static_cast<uint32_t>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(Le32(l + list::kEntries + 4), hash);
  EXPECT_EQ(WalkedHive(h.Bytes()).AskedCodes(), std::vector<uint32_t>{});
}

// The path the log gives a key: its names up to the root, "?" where the parents lead to no root,
// whether they end, go round or nest deeper than Windows nests keys.
TEST(Salvage, KeyPathsEndWhereParentsLeadNowhere) {
  HiveBuilder builder;
  const uint32_t x = builder.AddKey(builder.AddKey(builder.Root(), "Parent"), "X");
  const uint32_t y = builder.AddKey(x, "Y");
  std::vector<uint32_t> deep = {builder.AddKey(builder.Root(), "D")};
  for (int i = 0; i < 600; ++i) deep.push_back(builder.AddKey(deep.back(), "D"));
  struct Row {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> damage;
    uint32_t key;
    std::string path;
  };
  const std::vector<Row> rows = {
      {"sound", [](std::vector<uint8_t>&) {}, y, "\\Parent\\X\\Y"},
      {"a parent that is no key", [&](std::vector<uint8_t>& b) { Put32(b, CellField(x, key::kParent), 0x12345); }, y, "\\?\\X\\Y"},
      {"parents that go round", [&](std::vector<uint8_t>& b) { Put32(b, CellField(x, key::kParent), y); }, y, "\\?\\X\\Y"},
  };
  for (const Row& row : rows) {
    std::vector<uint8_t> bytes = builder.Build();
    row.damage(bytes);
    testing::FramedHive h(bytes);
    ASSERT_TRUE(h.passed) << row.what;
    EXPECT_EQ(KeyPathOf(h.image, h.frames, row.key), row.path) << row.what;
  }
  testing::FramedHive h(builder.Build());
  const std::string path = KeyPathOf(h.image, h.frames, deep.back());
  EXPECT_EQ(path.substr(0, 4), "\\?\\D") << "601 levels down";
  EXPECT_EQ(std::count(path.begin(), path.end(), '\\'), 513);
}

}  // namespace
}  // namespace tarvos::hive
