// The key tree walk: key cells, descendent-key lists, counts, key paths and deep trees.
#include <gtest/gtest.h>

#include <algorithm>

#include "hive/check.h"
#include "support/hive_builder.h"
#include "support/walked_hive.h"

namespace tarvos::hive {
namespace {

using testing::CellField;
using testing::FixAllAnswers;
using testing::Get32;
using testing::HiveBuilder;
using testing::ListKind;
using testing::Put16;
using testing::Put32;
using testing::WalkedHive;

std::vector<uint32_t> Codes(const WalkedHive& h) { return h.AskedCodes(); }

// The faults of a second check of what the first one left.
std::vector<uint32_t> SecondRun(const WalkedHive& first) {
  WalkedHive again(first.Bytes(), FixAllAnswers());
  EXPECT_EQ(again.outcome, WalkOutcome::Continue);
  return Codes(again);
}

TEST(KeyWalk, HealthyTreeOfEveryListKind) {
  HiveBuilder builder;
  uint32_t a = builder.AddKey(builder.Root(), "Alpha");
  uint32_t b = builder.AddKey(builder.Root(), "Beta");
  uint32_t c = builder.AddKey(builder.Root(), "Gamma");
  for (int i = 0; i < 5; ++i) builder.AddKey(a, "a" + std::to_string(i));
  for (int i = 0; i < 3; ++i) builder.AddKey(b, "b" + std::to_string(i));
  uint32_t deep = builder.AddKey(c, "Deep");
  builder.SetListKind(builder.Root(), ListKind::IndexRoot, 2);
  builder.SetListKind(a, ListKind::HashLeaf);
  builder.SetListKind(b, ListKind::IndexLeaf);
  WalkedHive h(builder.Build());
  ASSERT_TRUE(h.passed);
  EXPECT_EQ(h.outcome, WalkOutcome::Continue);
  EXPECT_TRUE(h.rig.decider.asked.empty());
  EXPECT_EQ(h.walk.KeysVisited(), 13u);
  EXPECT_FALSE(h.rig.faults.Changed());
  EXPECT_EQ(h.rig.progress.status, "\\Gamma\\Deep") << "the last key's path";
  ASSERT_FALSE(h.rig.progress.offsets.empty());
  EXPECT_EQ(h.rig.progress.offsets.back(), deep) << "one poll per key, with its offset";
  ASSERT_EQ(h.walk.Root().childCount, 2u) << "the root's ri holds two lists";
  ASSERT_GE(h.walk.Root().children[0].childCount, 2u);
  EXPECT_EQ(h.walk.Root().children[0].kind, WalkNode::kNestedList);
  EXPECT_EQ(h.walk.Root().children[0].children[1].keyOffset, b);
}

TEST(KeyWalk, StaleRootParentIsLeftAlone) {
  HiveBuilder builder;
  builder.AddKey(builder.Root(), "Child");
  std::vector<uint8_t> bytes = builder.Build();
  Put32(bytes, CellField(builder.Root(), key::kParent), 0x120);
  WalkedHive h(bytes);
  EXPECT_EQ(h.outcome, WalkOutcome::Continue);
  EXPECT_TRUE(h.rig.decider.asked.empty());
  EXPECT_EQ(h.Field(builder.Root(), key::kParent), 0x120u);
}

TEST(KeyWalk, ParentOffsetFaults) {
  HiveBuilder builder;
  uint32_t a = builder.AddKey(builder.Root(), "A");
  uint32_t b = builder.AddKey(builder.Root(), "B");
  uint32_t c = builder.AddKey(a, "C");
  std::vector<uint8_t> bytes = builder.Build();
  Put32(bytes, CellField(c, key::kParent), b);    // another valid key
  Put32(bytes, CellField(b, key::kParent), 0x7);  // no cell can start there
  WalkedHive h(bytes, {kAnswerFix, kAnswerFix});
  EXPECT_EQ(h.outcome, WalkOutcome::Continue);
  ASSERT_EQ(Codes(h), (std::vector<uint32_t>{kParentOffsetMismatch, kInvalidOffset}));
  ASSERT_GE(h.rig.decider.asked.size(), 2u);
  EXPECT_EQ(h.rig.decider.asked[0].second, c + key::kParent);
  EXPECT_EQ(h.rig.decider.asked[1].second, b + key::kParent);
  EXPECT_TRUE(h.rig.log.Has("! Error found: <Invalid offset> - " + [&] {
    char text[32];
    std::snprintf(text, sizeof text, "0x%08X:0x00000007\r\n", b + key::kParent);
    return std::string(text);
  }()));
  EXPECT_EQ(h.Field(c, key::kParent), a);
  EXPECT_EQ(h.Field(b, key::kParent), builder.Root());
  EXPECT_EQ(h.walk.KeysVisited(), 4u) << "both keys stay";
  EXPECT_TRUE(SecondRun(h).empty());
}

TEST(DescendentKeys, EntryPointingAtAValueCell) {
  HiveBuilder builder;
  uint32_t a = builder.AddKey(builder.Root(), "A");
  builder.AddKey(builder.Root(), "B");
  uint32_t value = builder.AddValue(a, "v", 4, {1, 0, 0, 0});
  std::vector<uint8_t> bytes = builder.Build();
  uint32_t list = builder.ListOf(builder.Root());
  Put32(bytes, CellField(list, list::kEntries), value);  // the first entry
  WalkedHive h(bytes, {kAnswerFix}, {}, false);
  EXPECT_EQ(Codes(h), std::vector<uint32_t>{kNotAKeyCell});
  ASSERT_FALSE(h.rig.decider.asked.empty());
  EXPECT_EQ(h.rig.decider.asked[0].second, value + 4);
  EXPECT_EQ(h.ListCount(list), 1u);
  EXPECT_EQ(h.Subkeys(builder.Root()), 1u) << "kept in step with the list: no code 25";
  EXPECT_EQ(h.walk.KeysVisited(), 2u);
}

// The entry goes, and the value it named stays its own key's, not a second reference to it.
TEST(DescendentKeys, ValueCellAnEntryNamedStaysWithItsKey) {
  HiveBuilder builder;
  uint32_t a = builder.AddKey(builder.Root(), "A");
  builder.AddKey(a, "A1");
  uint32_t b = builder.AddKey(builder.Root(), "B");
  uint32_t value = builder.AddValue(b, "v", 4, {1, 0, 0, 0});
  std::vector<uint8_t> bytes = builder.Build();
  Put32(bytes, CellField(builder.ListOf(a), list::kEntries), value);  // A's only entry, walked before B
  WalkedHive h(bytes, FixAllAnswers(), {}, false);
  std::vector<uint32_t> codes = Codes(h);
  EXPECT_NE(std::find(codes.begin(), codes.end(), kNotAKeyCell), codes.end());
  EXPECT_EQ(std::find(codes.begin(), codes.end(), kCrossLinkedData), codes.end());
  EXPECT_EQ(h.Field(b, key::kValueCount), 1u);
  EXPECT_EQ(Get32(h.Bytes(), CellField(h.Field(b, key::kValueList), value::kListEntries)), value);
  EXPECT_TRUE(SecondRun(h).empty());
}

TEST(DescendentKeys, IndexRootOfTwoHashLeavesCountsSeven) {
  HiveBuilder builder;
  for (int i = 0; i < 7; ++i) builder.AddKey(builder.Root(), "k" + std::to_string(i));
  builder.SetListKind(builder.Root(), ListKind::IndexRoot, 4, ListKind::HashLeaf);  // leaves of 4 and 3
  WalkedHive h(builder.Build());
  ASSERT_EQ(h.outcome, WalkOutcome::Continue);
  EXPECT_TRUE(h.rig.decider.asked.empty());
  EXPECT_EQ(h.Subkeys(builder.Root()), 7u);
  EXPECT_EQ(h.walk.KeysVisited(), 8u);
  ASSERT_GE(h.walk.Root().childCount, 2u);
  EXPECT_EQ(h.walk.Root().children[1].childCount, 3u);
}

TEST(DescendentKeys, CrossLinkedKeyInsideAnIndexRoot) {
  HiveBuilder builder;
  std::vector<uint32_t> keys;
  for (int i = 0; i < 7; ++i) keys.push_back(builder.AddKey(builder.Root(), "k" + std::to_string(i)));
  builder.SetListKind(builder.Root(), ListKind::IndexRoot, 3, ListKind::HashLeaf);  // leaves of 3, 3 and 1
  std::vector<uint8_t> bytes = builder.Build();
  uint32_t ri = builder.ListOf(builder.Root());
  uint32_t first = Get32(bytes, CellField(ri, list::kEntries));
  // The first leaf lists k0 twice: its second entry repeats its first.
  Put32(bytes, CellField(first, list::kEntries + 8), keys[0]);
  WalkedHive h(bytes, {kAnswerFix, kAnswerFix}, {}, false);
  EXPECT_EQ(Codes(h), std::vector<uint32_t>{kCrossLinkedData});
  EXPECT_EQ(h.ListCount(first), 2u);
  EXPECT_EQ(h.Subkeys(builder.Root()), 6u) << "stored count, list and counter agree: no code 25";
  EXPECT_TRUE(SecondRun(h).empty());
}

TEST(DescendentKeys, LeafOfAnIndexRootEmptiedByRemovalsIsTakenOut) {
  HiveBuilder builder;
  std::vector<uint32_t> keys;
  for (int i = 0; i < 4; ++i) keys.push_back(builder.AddKey(builder.Root(), "k" + std::to_string(i)));
  builder.SetListKind(builder.Root(), ListKind::IndexRoot, 2, ListKind::HashLeaf);
  std::vector<uint8_t> bytes = builder.Build();
  uint32_t ri = builder.ListOf(builder.Root());
  uint32_t first = Get32(bytes, CellField(ri, list::kEntries));
  Put32(bytes, CellField(first, list::kEntries), 0x7FFFFFF8);
  Put32(bytes, CellField(first, list::kEntries + 8), 0x13);
  WalkedHive h(bytes, FixAllAnswers(), {}, false);
  EXPECT_EQ(h.outcome, WalkOutcome::Continue);
  EXPECT_EQ(h.ListCount(ri), 1u) << "the empty leaf left the index root";
  EXPECT_EQ(h.Subkeys(builder.Root()), 2u);
  EXPECT_EQ(h.walk.Root().childCount, 1u);
  EXPECT_TRUE(SecondRun(h).empty());
}

TEST(DescendentKeys, ListFaultsUnhookTheList) {
  struct Case {
    const char* what;
    uint32_t field;  // within the list cell
    uint16_t value;
    uint32_t code;
    uint32_t at;  // reported offset within the list cell
  };
  for (const Case& c : {Case{"zero entries", list::kCount, 0, kZeroCapacityList, list::kCount},
                        Case{"signature vk", cell::kSignature, cell::kValueSignature, kImpossibleListSignature,
                             cell::kSignature}}) {
    HiveBuilder builder;
    uint32_t a = builder.AddKey(builder.Root(), "A");
    builder.AddKey(a, "Lost");
    std::vector<uint8_t> bytes = builder.Build();
    uint32_t list = builder.ListOf(a);
    Put16(bytes, CellField(list, c.field), c.value);
    WalkedHive h(bytes, {kAnswerFix}, {}, false);
    EXPECT_EQ(Codes(h), std::vector<uint32_t>{c.code}) << c.what;
    ASSERT_FALSE(h.rig.decider.asked.empty()) << c.what;
    EXPECT_EQ(h.rig.decider.asked[0].second, list + c.at) << c.what;
    EXPECT_EQ(h.Subkeys(a), 0u) << c.what;
    EXPECT_EQ(h.ListOf(a), kNullOffset) << c.what;
    EXPECT_TRUE(SecondRun(h).empty()) << c.what;
  }
}

TEST(DescendentKeys, StoredCountOfFiveWithThreeEntries) {
  HiveBuilder builder;
  uint32_t a = builder.AddKey(builder.Root(), "A");
  for (int i = 0; i < 3; ++i) builder.AddKey(a, "k" + std::to_string(i));
  std::vector<uint8_t> bytes = builder.Build();
  Put32(bytes, CellField(a, key::kSubkeyCount), 5);
  WalkedHive h(bytes, {kAnswerFix});
  EXPECT_EQ(Codes(h), std::vector<uint32_t>{kSubkeyCountMismatch});
  ASSERT_FALSE(h.rig.decider.asked.empty());
  EXPECT_EQ(h.rig.decider.asked[0].second, a + key::kSubkeyCount);
  EXPECT_EQ(h.rig.faults.Changed(), true);
  EXPECT_EQ(h.Subkeys(a), 3u);

  HiveBuilder leaf;
  uint32_t lone = leaf.AddKey(leaf.Root(), "Lone");
  std::vector<uint8_t> more = leaf.Build();
  Put32(more, CellField(lone, key::kSubkeyCount), 2);  // a count without a list
  WalkedHive fixed(more, {kAnswerFix});
  EXPECT_EQ(Codes(fixed), std::vector<uint32_t>{kSubkeyCountMismatch});
  EXPECT_EQ(fixed.Subkeys(lone), 0u);
}

TEST(DescendentKeys, LastEntryDropped) {
  HiveBuilder builder;
  uint32_t a = builder.AddKey(builder.Root(), "A");
  builder.AddKey(a, "Only");
  std::vector<uint8_t> bytes = builder.Build();
  uint32_t list = builder.ListOf(a);
  Put32(bytes, CellField(list, list::kEntries), 0x7FFFFFF8);  // beyond the data area
  WalkedHive h(bytes, {kAnswerFix}, {}, false);
  EXPECT_EQ(Codes(h), std::vector<uint32_t>{kInvalidOffset});
  EXPECT_EQ(h.ListCount(list), 0u);
  EXPECT_EQ(h.ListOf(a), kNullOffset);
  EXPECT_EQ(h.Subkeys(a), 0u);
  EXPECT_TRUE(SecondRun(h).empty());
}

TEST(DescendentKeys, NullEntryAndStopsUnwind) {
  HiveBuilder builder;
  uint32_t a = builder.AddKey(builder.Root(), "A");
  builder.AddKey(a, "B");
  builder.AddKey(builder.Root(), "Later");
  std::vector<uint8_t> bytes = builder.Build();
  Put32(bytes, CellField(builder.ListOf(a), list::kEntries), kNullOffset);
  WalkedHive stopped(bytes, {kAnswerStop});
  EXPECT_EQ(stopped.outcome, WalkOutcome::Stop);
  EXPECT_EQ(Codes(stopped), std::vector<uint32_t>{kNullOffsetInKeyList});
  EXPECT_EQ(stopped.walk.KeysVisited(), 2u) << "nothing after the stop is walked";
  EXPECT_EQ(stopped.rig.faults.Error().code, kNullOffsetInKeyList);
}

TEST(KeyWalk, TinyKeyCellIsOverlappedNotReadPast) {
  HiveBuilder builder;
  uint32_t a = builder.AddKey(builder.Root(), "A");
  std::vector<uint8_t> bytes = builder.Build();
  // The last 8 bytes of the data area become an allocated "nk" cell, listed under the root.
  uint32_t end = static_cast<uint32_t>(bytes.size()) - 0x1000;
  uint32_t tiny = end - 8;
  uint32_t free = 0x20;
  while (static_cast<int32_t>(Get32(bytes, free + 0x1000)) < 0) free += 0u - Get32(bytes, free + 0x1000);
  Put32(bytes, free + 0x1000, tiny - free);
  Put32(bytes, tiny + 0x1000, 0xFFFFFFF8);
  Put16(bytes, tiny + 0x1000 + 4, cell::kKeySignature);
  Put32(bytes, CellField(builder.ListOf(builder.Root()), list::kEntries), tiny);
  WalkedHive h(bytes, {kAnswerFix}, {}, false);
  EXPECT_EQ(Codes(h), std::vector<uint32_t>{kDataOverlapped});
  EXPECT_EQ(h.Subkeys(builder.Root()), 0u);
  (void)a;
}

TEST(KeyWalk, LinkKeysStayAndAreCounted) {
  HiveBuilder builder;
  uint32_t link = builder.AddKey(builder.Root(), "Link");
  uint32_t flagged = builder.AddKey(builder.Root(), "Flagged");  // a link flag on a key with keys
  builder.AddKey(flagged, "Below");
  builder.AddKey(builder.Root(), "Plain");
  std::vector<uint8_t> bytes = builder.Build();
  Put16(bytes, CellField(link, key::kFlags), 0x30);
  Put32(bytes, CellField(link, key::kSubkeyCount), 9);  // no list: readers take it for 9 keys missing
  Put16(bytes, CellField(flagged, key::kFlags), 0x30);
  Put32(bytes, CellField(builder.ListOf(flagged), list::kEntries), 0x7FFFFFF8);  // other readers follow it
  WalkedHive h(bytes, testing::FixAllAnswers());
  EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>({kInvalidOffset, kSubkeyCountMismatch}));
  EXPECT_EQ(h.Subkeys(link), 0u);
  EXPECT_EQ(h.Subkeys(builder.Root()), 3u);
  EXPECT_EQ(h.Subkeys(flagged), 1u) << "its list was checked, and the key it lost came back";
  EXPECT_EQ(h.walk.KeysVisited(), 5u);
}

TEST(KeyPath, NamesInUtf16AreShownIn8BitCharacters) {
  HiveBuilder builder;
  // "Д", "a", "€" and U+0500, stored as UTF-16 (no compressed-name flag).
  uint32_t key = builder.AddKey(builder.Root(), std::string("\x14\x04" "a\x00" "\xAC\x20" "\x00\x05", 8));
  std::vector<uint8_t> bytes = builder.Build();
  Put16(bytes, CellField(key, key::kFlags), 0);
  std::vector<uint8_t> before = bytes;
  WalkedHive h(bytes);
  EXPECT_TRUE(h.rig.decider.asked.empty());
  EXPECT_EQ(h.rig.progress.status, std::string("\\\x84" "a??"));
  EXPECT_EQ(h.Bytes(), before) << "the hive is not changed for the display";
  EXPECT_EQ(DisplayChar(0x0410), 0x80);
  EXPECT_EQ(DisplayChar(0x044F), 0xEF);
  EXPECT_EQ(DisplayChar(0x0401), 0xF1);
  EXPECT_EQ(DisplayChar(0x0451), 0xC1);
  EXPECT_EQ(DisplayChar(0x0475), 0xB5);
  EXPECT_EQ(DisplayChar(0x0480), 0x00);
  EXPECT_EQ(DisplayChar(0x0481), '?');
  EXPECT_EQ(DisplayChar(0x0009), ' ');
  EXPECT_EQ(DisplayChar(0x0080), 0xF0);
  EXPECT_EQ(DisplayChar(0x00E9), '?');
}

TEST(KeyPath, ThreeHundredLevelsOfFortyCharacters) {
  HiveBuilder builder;
  uint32_t key = builder.Root();
  for (int level = 0; level < 300; ++level) {
    std::string name(40, static_cast<char>('A' + level % 26));
    key = builder.AddKey(key, name);
  }
  WalkedHive h(builder.Build());
  EXPECT_TRUE(h.rig.decider.asked.empty());
  ASSERT_EQ(h.rig.progress.status.size(), 300u * 41);
  EXPECT_GT(h.path.Capacity(), 4096u);
  EXPECT_EQ(h.path.Capacity() % KeyPathBuffer::kStep, 0u);
  EXPECT_EQ(h.rig.progress.status.substr(0, 42), "\\" + std::string(40, 'A') + "\\");
}

TEST(KeyWalk, MillionKeyChain) {
  HiveBuilder builder;
  uint32_t key = builder.Root();
  constexpr uint32_t kDepth = 1000000;
  for (uint32_t level = 0; level < kDepth; ++level) key = builder.AddKey(key, "k");
  WalkedHive h(builder.Build());
  ASSERT_TRUE(h.passed);
  EXPECT_EQ(h.outcome, WalkOutcome::Continue);
  EXPECT_TRUE(h.rig.decider.asked.empty());
  EXPECT_EQ(h.walk.KeysVisited(), kDepth + 1);
  EXPECT_EQ(h.rig.progress.statusLength, size_t{kDepth} * 2);
  h.walk.Release();  // also without recursion
}

TEST(KeyWalk, StopRequestEndsTheWalkAtTheNextKeyWithoutAReport) {
  HiveBuilder builder;
  for (int i = 0; i < 10; ++i) builder.AddKey(builder.Root(), "k" + std::to_string(i));
  std::vector<uint8_t> bytes = builder.Build();
  testing::FramedHive framed(bytes);
  ASSERT_TRUE(framed.passed);
  testing::ScriptedProgress stopping(framed.rig.progress.offsets.size() + 4);
  FaultReporter faults(EngineServices{framed.rig.modes, framed.rig.decider, stopping, framed.rig.log});
  KeyPathBuffer path;
  HiveCheck check(framed.image, faults, path);
  ASSERT_TRUE(check.CheckFrames());
  ASSERT_TRUE(check.SetUpSecurity());
  KeyWalk& walk = check.walk;
  EXPECT_EQ(walk.Run(), WalkOutcome::Stop);
  EXPECT_FALSE(faults.IsErrorLeft());
  EXPECT_LT(walk.KeysVisited(), 11u);
}

TEST(KeyWalk, FixAllThenASecondRunFindsNothing) {
  HiveBuilder builder;
  uint32_t a = builder.AddKey(builder.Root(), "A");
  uint32_t b = builder.AddKey(builder.Root(), "B");
  std::vector<uint32_t> under;
  for (int i = 0; i < 6; ++i) under.push_back(builder.AddKey(a, "u" + std::to_string(i)));
  builder.SetListKind(a, ListKind::IndexRoot, 2);
  uint32_t c = builder.AddKey(b, "C");
  builder.AddValue(b, "v", 4, {1, 2, 3, 4});
  std::vector<uint8_t> bytes = builder.Build();
  Put32(bytes, CellField(c, key::kParent), a);
  Put32(bytes, CellField(b, key::kSubkeyCount), 4);
  uint32_t ri = builder.ListOf(a);
  Put32(bytes, CellField(Get32(bytes, CellField(ri, list::kEntries + 4)), list::kEntries), under[0]);
  Put32(bytes, CellField(under[3], key::kParent), 0x13);
  WalkedHive h(bytes, FixAllAnswers());
  EXPECT_EQ(h.outcome, WalkOutcome::Continue);
  EXPECT_GE(Codes(h).size(), 3u);
  EXPECT_TRUE(SecondRun(h).empty());
}

// Bad entries taken out of a key's list and of a value list in one pass: those kept stay in their
// order, and the counts follow.
TEST(DescendentKeys, BadEntriesOutKeptOnesInOrder) {
  HiveBuilder builder;
  std::vector<uint32_t> keys, values;
  for (char name = 'a'; name < 'g'; ++name) keys.push_back(builder.AddKey(builder.Root(), std::string(1, name)));
  for (char name = 'a'; name < 'g'; ++name) values.push_back(builder.AddValue(keys[0], std::string(1, name), 4, {1, 2, 3, 4}));
  std::vector<uint8_t> bytes = builder.Build();
  uint32_t list = builder.ListOf(builder.Root());
  uint32_t valueList = builder.ValueListOf(keys[0]);
  for (uint32_t bad : {1u, 3u, 4u}) {
    Put32(bytes, CellField(list, list::kEntries + list::kLongEntry * bad), 0x7FFFFFF8);
    Put32(bytes, CellField(valueList, value::kListEntries + 4 * bad), 0x7FFFFFF8);
  }
  WalkedHive h(bytes, FixAllAnswers(), {}, false);
  EXPECT_EQ(h.Subkeys(builder.Root()), 3u);
  EXPECT_EQ(h.ListCount(list), 3u);
  EXPECT_EQ(h.Field(keys[0], key::kValueCount), 3u);
  for (uint32_t i = 0; i < 3; ++i) {
    uint32_t kept = std::vector<uint32_t>{0, 2, 5}[i];
    EXPECT_EQ(h.Field(list, list::kEntries + list::kLongEntry * i), keys[kept]);
    EXPECT_EQ(h.Field(valueList, value::kListEntries + 4 * i), values[kept]);
  }
  EXPECT_TRUE(WalkedHive(h.Bytes()).AskedCodes().empty());
}

// The walk tried with a second walker leaves what the walk on one core leaves: the same faults
// asked, log, progress at the end, records, registry (in the tree's order) and saved bytes, when
// the hive is sound and when a fault (found by either walker, or a cell both marked) sends it
// back to one core.
// Only the records of the keys being walked are held, unless they are asked to stay or a key
// below may still wait for a security block: then every key that waited gets the block found.
TEST(KeyWalk, RecordsOfWalkedKeysAreFreedUnlessStillNeeded) {
  HiveBuilder builder;
  uint32_t alpha = builder.AddKey(builder.Root(), "Alpha");
  std::vector<uint32_t> deep;
  for (int i = 0; i < 5; ++i) deep.push_back(builder.AddKey(builder.AddKey(alpha, "a" + std::to_string(i)), "x"));
  builder.AddKey(builder.Root(), "Beta");  // keeps the block every key has by default
  const std::vector<uint8_t> sound = builder.Build();
  std::vector<uint8_t> waiting = sound;  // the root and all of Alpha's keys without a block
  for (uint32_t key : {builder.Root(), alpha}) Put32(waiting, CellField(key, key::kSecurity), kNullOffset);
  for (uint32_t key : deep) {
    Put32(waiting, CellField(key, key::kSecurity), kNullOffset);
    Put32(waiting, CellField(Get32(sound, CellField(key, key::kParent)), key::kSecurity), kNullOffset);
  }
  struct Case {
    const char* name;
    const std::vector<uint8_t>& bytes;
    bool keep;
    bool alphaKeysHeld;
  } cases[] = {
      {"a sound tree", sound, false, false},
      {"records asked to stay", sound, true, true},
      {"keys waiting for a block", waiting, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WalkedHive h(c.bytes, FixAllAnswers());
    if (c.keep) {  // walked again, the records kept
      h.walk.keepRecords = true;
      ASSERT_TRUE(h.check.SetUpSecurity());
      EXPECT_EQ(h.check.Walk(), WalkOutcome::Continue);
      h.check.RemoveMarks();
    }
    ASSERT_EQ(h.walk.Root().childCount, 2u) << "the root's own records stay";
    const WalkNode& held = h.walk.Root().children[0];
    ASSERT_EQ(held.keyOffset, alpha);
    EXPECT_EQ(held.children != nullptr, c.alphaKeysHeld);
    if (c.alphaKeysHeld) {
      EXPECT_EQ(held.childCount, 5u);
    }
    EXPECT_EQ(h.walk.KeysVisited(), 13u);
    for (uint32_t key : deep) EXPECT_EQ(h.Field(key, key::kSecurity), builder.Security()) << "each key has a block";
  }
}

TEST(KeyWalk, SecondWalkerLeavesWhatOneWalkerLeaves) {
  const std::vector<uint8_t> descriptor(20, 1);
  struct Built {
    std::vector<uint8_t> bytes;
    uint32_t early, late, lateValue;  // a key under the first and under the last root key
  };
  auto build = [&](bool unreferencedBlock) {
    HiveBuilder builder;
    uint32_t shared = builder.AddSecurity(descriptor);
    if (unreferencedBlock) builder.AddSecurity(descriptor);  // in the ring, used by no key: relinked
    Built b{};
    for (int top = 0; top < 6; ++top) {
      uint32_t key = builder.AddKey(builder.Root(), "Top" + std::to_string(top));
      // Blocks of their own in some subtrees, one shared by the first and the last.
      builder.SetSecurity(key, top == 0 || top == 5 ? shared : builder.AddSecurity(descriptor));
      for (int i = 0; i < 200 + top * 50; ++i) {
        uint32_t sub = builder.AddKey(key, "Sub" + std::to_string(i));
        uint32_t value = builder.AddValue(sub, "V", 3, std::vector<uint8_t>(40 + i, static_cast<uint8_t>(i)));
        if (top == 0 && i == 1) b.early = sub;
        if (top == 5 && i == 2) {
          b.late = sub;
          b.lateValue = value;
        }
      }
    }
    b.bytes = builder.Build();
    return b;
  };
  const Built plain = build(false);
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"sound", plain.bytes},
      {"a block in the ring that no key uses", build(true).bytes},
      {"a fault under the last root key", [&] {
         std::vector<uint8_t> b = plain.bytes;
         Put32(b, CellField(plain.late, key::kClass), 0x7FFFFFF0);
         return b;
       }()},
      {"a fault under the first root key", [&] {
         std::vector<uint8_t> b = plain.bytes;
         Put32(b, CellField(plain.early, key::kClass), 0x7FFFFFF0);
         return b;
       }()},
      {"a value list cross-linked between the first and the last root key", [&] {
         std::vector<uint8_t> b = plain.bytes;
         Put32(b, CellField(plain.early, key::kValueList), Get32(b, CellField(plain.late, key::kValueList)));
         return b;
       }()},
      {"a key's security block is another's value", [&] {
         std::vector<uint8_t> b = plain.bytes;
         Put32(b, CellField(plain.early, key::kSecurity), plain.lateValue);
         return b;
       }()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WalkedHive one(c.bytes, FixAllAnswers(), {}, true, false);
    WalkedHive two(c.bytes, FixAllAnswers(), {}, true, true);
    ASSERT_TRUE(one.passed);
    EXPECT_EQ(two.outcome, one.outcome);
    EXPECT_EQ(two.rig.decider.asked, one.rig.decider.asked);
    EXPECT_EQ(two.rig.log.lines, one.rig.log.lines);
    EXPECT_EQ(two.walk.KeysVisited(), one.walk.KeysVisited());
    EXPECT_EQ(two.rig.progress.status, one.rig.progress.status);
    ASSERT_FALSE(one.rig.progress.offsets.empty() || two.rig.progress.offsets.empty());
    ASSERT_FALSE(one.rig.progress.gauge.empty() || two.rig.progress.gauge.empty());
    EXPECT_EQ(two.rig.progress.offsets.back(), one.rig.progress.offsets.back());
    EXPECT_EQ(two.rig.progress.gauge.back(), one.rig.progress.gauge.back());
    ASSERT_EQ(two.check.security.Count(), one.check.security.Count());
    for (uint32_t i = 0; i < one.check.security.Count(); ++i) {
      EXPECT_EQ(two.check.security.At(i).offset, one.check.security.At(i).offset) << i;
    }
    EXPECT_EQ(two.check.security.Capacity(), one.check.security.Capacity());
    EXPECT_TRUE(two.Bytes() == one.Bytes());
    ASSERT_EQ(two.walk.Root().childCount, one.walk.Root().childCount);
    for (uint32_t i = 0; i < one.walk.Root().childCount; ++i) {
      EXPECT_EQ(two.walk.Root().children[i].keyOffset, one.walk.Root().children[i].keyOffset);
      EXPECT_EQ(two.walk.Root().children[i].childCount, one.walk.Root().children[i].childCount);
    }
  }
  // The cases do what they say; the second walker had its share.
  EXPECT_TRUE(WalkedHive(cases[0].bytes).rig.decider.asked.empty());
  if (std::thread::hardware_concurrency() >= 2) {
    EXPECT_GT(WalkedHive(cases[0].bytes).walk.KeysTakenOver(), 0u);
  }
  EXPECT_TRUE(WalkedHive(cases[1].bytes).rig.faults.Changed()) << "the ring is relinked";
  for (size_t i = 2; i < std::size(cases); ++i) EXPECT_FALSE(WalkedHive(cases[i].bytes, FixAllAnswers()).rig.decider.asked.empty());
}

}  // namespace
}  // namespace tarvos::hive
