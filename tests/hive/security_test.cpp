// Security blocks: checks at the first key, waiting keys, the registry and the ring.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <functional>
#include <set>

#include "support/hive_builder.h"
#include "support/walked_hive.h"

namespace tarvos::hive {
namespace {

using testing::CellField;
using testing::FixAllAnswers;
using testing::HiveBuilder;
using testing::Put16;
using testing::Put32;
using testing::WalkedHive;

const std::vector<uint8_t> kDescriptor(20, 1);

std::vector<uint32_t> SecondRun(const WalkedHive& first) { return WalkedHive(first.Bytes(), FixAllAnswers()).AskedCodes(); }

uint32_t SecurityOf(WalkedHive& h, uint32_t key) { return h.Field(key, key::kSecurity); }

// The lines the checks after the walk log about the ring and the reference counts.
std::vector<std::string> RingLines(const WalkedHive& h) {
  return h.rig.log.Starting({"* Security block", "* Reference count"});
}

std::string CountLine(uint32_t block, uint32_t counted, uint32_t was) {
  char line[96];
  std::snprintf(line, sizeof line, "* Reference count of security block 0x%08X set to %u (was %u)\r\n", block, counted,
                was);
  return line;
}

TEST(Security, SharedBlockIsCheckedAndRegisteredOnce) {
  HiveBuilder builder;
  builder.AddKey(builder.Root(), "A");
  builder.AddKey(builder.Root(), "B");
  std::vector<uint8_t> bytes = builder.Build();
  Put32(bytes, CellField(builder.Security(), security::kDescriptorLength), 0x1000);  // too long for its cell
  WalkedHive h(bytes, FixAllAnswers());
  // Tested at the root, which then waits for a block; the others meet it again as a cross link.
  EXPECT_EQ(h.AskedCodes(), (std::vector<uint32_t>{kDataOverlapped, kCrossLinkedData}));
  EXPECT_EQ(h.rig.log.Count("! Error found: <Binary data overlapped>"), 1);
  EXPECT_EQ(h.check.security.Count(), 0u);
  EXPECT_FALSE(h.rig.faults.IsErrorLeft()) << "the walk went on past the root";
  EXPECT_EQ(h.walk.KeysVisited(), 3u);
  // With no block left in the hive, every key gets a new one with a standard descriptor.
  uint32_t made = h.Field(builder.Root(), key::kSecurity);
  EXPECT_NE(made, kNullOffset);
  EXPECT_NE(made, builder.Security());
  EXPECT_EQ(h.Field(made, security::kLinkA), made) << "a ring of its own";
  EXPECT_EQ(h.Field(made, security::kReferences), 3u);
  char made3[64];
  std::snprintf(made3, sizeof made3, "* Security block 0x%08X made for 3 keys\r\n", made);
  EXPECT_EQ(RingLines(h), std::vector<std::string>{made3});
  EXPECT_TRUE(SecondRun(h).empty());

  WalkedHive healthy(builder.Build());
  EXPECT_TRUE(healthy.AskedCodes().empty());
  EXPECT_EQ(healthy.check.security.Count(), 1u);
  EXPECT_EQ(healthy.check.security.Lookup(builder.Security()), 1u);
  EXPECT_FALSE(healthy.rig.faults.Changed()) << "a sound ring is left as it is";
}

TEST(Security, KeyWithoutBlockTakesItsParents) {
  HiveBuilder builder;
  uint32_t parent = builder.AddKey(builder.Root(), "Parent");
  uint32_t own = builder.AddSecurity(kDescriptor);
  builder.SetSecurity(parent, own);
  uint32_t child = builder.AddKey(parent, "Child");
  std::vector<uint8_t> bytes = builder.Build();
  Put32(bytes, CellField(child, key::kSecurity), kNullOffset);
  WalkedHive h(bytes, {kAnswerFix});
  EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>{kNullSecurityOffset});
  EXPECT_EQ(h.rig.decider.asked[0].second, child + key::kSecurity);
  EXPECT_EQ(SecurityOf(h, child), own);
  EXPECT_TRUE(SecondRun(h).empty());
}

TEST(Security, InvalidOffsetIsCountedAsReported) {
  HiveBuilder builder;
  uint32_t child = builder.AddKey(builder.Root(), "Child");
  std::vector<uint8_t> bytes = builder.Build();
  Put32(bytes, CellField(child, key::kSecurity), 0x13);
  WalkedHive h(bytes, {kAnswerFix});
  EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>{kInvalidOffset}) << "no code 35 after it";
  EXPECT_EQ(SecurityOf(h, child), builder.Security());
}

TEST(Security, RootWithoutBlockWaitsForTheFirstRegistered) {
  HiveBuilder builder;
  uint32_t child = builder.AddKey(builder.Root(), "Child");
  uint32_t grandchild = builder.AddKey(child, "Grandchild");
  std::vector<uint8_t> bytes = builder.Build();
  Put32(bytes, CellField(builder.Root(), key::kSecurity), kNullOffset);
  Put32(bytes, CellField(child, key::kSecurity), kNullOffset);
  WalkedHive h(bytes, FixAllAnswers());
  EXPECT_EQ(h.AskedCodes(), (std::vector<uint32_t>{kNullSecurityOffset}));
  EXPECT_EQ(h.rig.decider.asked[0].second, builder.Root() + key::kSecurity);
  EXPECT_EQ(h.rig.log.Count("! Error found: <Null offset to security block>"), 2) << "the child's fixed under Fix All";
  EXPECT_EQ(SecurityOf(h, builder.Root()), builder.Security()) << "given when the grandchild's block registers";
  EXPECT_EQ(SecurityOf(h, child), builder.Security());
  EXPECT_EQ(SecurityOf(h, grandchild), builder.Security());
  EXPECT_EQ(h.check.security.Pending(), 0u);
  EXPECT_TRUE(SecondRun(h).empty());
}

TEST(Security, BadSignatureTakesTheAncestorsBlock) {
  HiveBuilder builder;
  uint32_t child = builder.AddKey(builder.Root(), "Child");
  uint32_t bad = builder.AddSecurity(kDescriptor);
  builder.SetSecurity(child, bad);
  std::vector<uint8_t> bytes = builder.Build();
  Put16(bytes, CellField(bad, cell::kSignature), 0x6B6E);
  WalkedHive h(bytes, FixAllAnswers());
  ASSERT_FALSE(h.AskedCodes().empty());
  EXPECT_EQ(h.AskedCodes()[0], kInvalidSecuritySignature);
  EXPECT_EQ(h.rig.decider.asked[0].second, bad + cell::kSignature);
  EXPECT_EQ(SecurityOf(h, child), builder.Security());
  EXPECT_TRUE(SecondRun(h).empty());
}

TEST(Security, NullLinkRebuildsTheRingInWalkOrder) {
  HiveBuilder builder;
  uint32_t x = builder.AddSecurity(kDescriptor);
  uint32_t y = builder.AddSecurity(kDescriptor);
  uint32_t z = builder.AddSecurity(kDescriptor);
  builder.SetSecurity(builder.Root(), x);
  builder.SetSecurity(builder.AddKey(builder.Root(), "Y"), y);
  builder.SetSecurity(builder.AddKey(builder.Root(), "Z"), z);
  std::vector<uint8_t> bytes = builder.Build();
  Put32(bytes, CellField(x, security::kLinkB), kNullOffset);
  WalkedHive h(bytes, {kAnswerFix});
  EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>{kNullSecurityLink});
  EXPECT_EQ(h.rig.decider.asked[0].second, x + security::kLinkB);
  EXPECT_EQ(h.Field(x, security::kLinkA), z);
  EXPECT_EQ(h.Field(x, security::kLinkB), y);
  EXPECT_EQ(h.Field(y, security::kLinkA), x);
  EXPECT_EQ(h.Field(y, security::kLinkB), z);
  EXPECT_EQ(h.Field(z, security::kLinkA), y);
  EXPECT_EQ(h.Field(z, security::kLinkB), x);
  EXPECT_TRUE(SecondRun(h).empty());
}

TEST(Security, LinkToABlockNoKeyUsesIsLeftOutOfTheRing) {
  HiveBuilder builder;
  uint32_t unused = builder.AddSecurity(kDescriptor);  // in the ring as built, used by no key
  builder.AddKey(builder.Root(), "A");
  WalkedHive h(builder.Build());
  EXPECT_TRUE(h.AskedCodes().empty()) << "no report during the walk";
  EXPECT_TRUE(h.rig.faults.Changed()) << "but the ring is rebuilt";
  EXPECT_EQ(RingLines(h), std::vector<std::string>{"* Security block ring relinked (1 block)\r\n"});
  EXPECT_EQ(h.Field(builder.Security(), security::kLinkA), builder.Security());
  EXPECT_EQ(h.Field(builder.Security(), security::kLinkB), builder.Security());
  EXPECT_NE(h.Field(unused, security::kLinkA), 0u);
}

// A link, forward or back, to a sound cell that is no block of the ring (here a key) is no fault
// the walk can see at the block, yet the ring is rebuilt from the blocks the keys use.
TEST(Security, LinkOutOfTheRingEitherWayRebuildsIt) {
  for (uint32_t link : {security::kLinkB, security::kLinkA}) {
    HiveBuilder builder;
    uint32_t y = builder.AddSecurity(kDescriptor);
    uint32_t key = builder.AddKey(builder.Root(), "Y");
    builder.SetSecurity(key, y);
    std::vector<uint8_t> bytes = builder.Build();
    Put32(bytes, CellField(y, link), key);
    WalkedHive h(bytes);
    EXPECT_TRUE(h.AskedCodes().empty()) << link;
    EXPECT_TRUE(h.rig.faults.Changed()) << link;
    EXPECT_EQ(RingLines(h), std::vector<std::string>{"* Security block ring relinked (2 blocks)\r\n"}) << link;
    for (uint32_t at : {security::kLinkA, security::kLinkB}) {
      EXPECT_EQ(h.Field(y, at), builder.Security()) << "link " << link << ", field " << at;
      EXPECT_EQ(h.Field(builder.Security(), at), y) << "link " << link << ", field " << at;
    }
  }
}

TEST(Security, RegistryGrowsPast256Blocks) {
  HiveBuilder builder;
  for (int i = 0; i < 257; ++i) {
    uint32_t key = builder.AddKey(builder.Root(), "k" + std::to_string(i));
    builder.SetSecurity(key, builder.AddSecurity(kDescriptor));
  }
  WalkedHive h(builder.Build());
  EXPECT_TRUE(h.AskedCodes().empty());
  EXPECT_EQ(h.check.security.Count(), 258u);
  EXPECT_EQ(h.check.security.Capacity(), 512u);
  EXPECT_FALSE(h.rig.faults.Changed()) << "the built ring holds every block";
}

// Only keys the walk checked take a block meant for waiting keys: a link key in a cell too short
// for its fields is dropped, and what lies after its cell is never written.
TEST(Security, ShortLinkKeyTakesNoBlockOfWaitingKeys) {
  HiveBuilder builder;
  uint32_t link = builder.AddKey(builder.Root(), "Link");  // a cell of 0x58 bytes
  uint32_t real = builder.AddKey(builder.Root(), "Real");
  uint32_t last = builder.AddKey(builder.Root(), "Zeta");
  std::vector<uint8_t> bytes = builder.Build();
  Put16(bytes, CellField(link, key::kFlags), key::kFlagLink | key::kFlagCompressedName);
  Put32(bytes, CellField(link, 0), 0u - 0x28);  // 40 bytes: its security field lies in the next cell
  Put32(bytes, CellField(link, 0x28), 0x30);
  Put32(bytes, CellField(link, key::kSecurity), kNullOffset);
  Put32(bytes, CellField(builder.Root(), key::kSecurity), 0x7FFFFFF0);  // the root and Real wait
  Put32(bytes, CellField(real, key::kSecurity), 0x7FFFFFF0);
  WalkedHive h(bytes, FixAllAnswers());
  EXPECT_EQ(SecurityOf(h, real), builder.Security()) << "given to the key that waited for it";
  EXPECT_EQ(SecurityOf(h, builder.Root()), builder.Security());
  EXPECT_EQ(SecurityOf(h, link), kNullOffset) << "nothing written past the link key's cell";
  EXPECT_EQ(SecurityOf(h, last), builder.Security());
  EXPECT_EQ(h.walk.KeysVisited(), 3u) << "the short link key is dropped";
  EXPECT_TRUE(SecondRun(h).empty());
}

// The hive of the ring checks: X is the root's block, also used by A and D; B uses Y, C uses Z.
struct RingHive {
  HiveBuilder builder;
  uint32_t a, b, c, d;
  std::array<uint32_t, 3> blocks;  // X, Y, Z
  RingHive() {
    const uint32_t root = builder.Root();
    a = builder.AddKey(root, "A");
    b = builder.AddKey(root, "B");
    c = builder.AddKey(root, "C");
    d = builder.AddKey(root, "D");
    blocks = {builder.Security(), builder.AddSecurity(kDescriptor), builder.AddSecurity(kDescriptor)};
    builder.SetSecurity(b, blocks[1]);
    builder.SetSecurity(c, blocks[2]);
  }
  std::vector<uint32_t> Keys() const { return {builder.Root(), a, b, c, d}; }
};

// Whether the links, followed forward from the root's block, make one ring that holds exactly
// the blocks the keys use, each block the previous of its next.
bool OneRingOfTheUsedBlocks(WalkedHive& h, const RingHive& hive) {
  std::set<uint32_t> used;
  for (uint32_t key : hive.Keys()) used.insert(SecurityOf(h, key));
  std::set<uint32_t> seen;
  uint32_t start = SecurityOf(h, hive.builder.Root());
  uint32_t at = start;
  do {
    if (used.count(at) == 0 || !seen.insert(at).second) return false;
    uint32_t next = h.Field(at, security::kLinkB);
    if (h.Field(next, security::kLinkA) != at) return false;
    at = next;
  } while (at != start);
  return seen == used;
}

struct RingCase {
  const char* name;
  std::function<void(std::vector<uint8_t>&, const RingHive&)> damage;
  std::vector<uint32_t> codes;     // asked during the walk
  uint32_t relinked;               // blocks of the rebuilt ring; 0 when it is left as found
  std::array<uint32_t, 3> counts;  // of X, Y and Z afterwards
};

void SetCount(std::vector<uint8_t>& bytes, uint32_t block, uint32_t count) {
  Put32(bytes, CellField(block, security::kReferences), count);
}

// Links block to next, both ways.
void Chain(std::vector<uint8_t>& bytes, uint32_t block, uint32_t next) {
  Put32(bytes, CellField(block, security::kLinkB), next);
  Put32(bytes, CellField(next, security::kLinkA), block);
}

const RingCase kRingCases[] = {
    {"sound", [](std::vector<uint8_t>&, const RingHive&) {}, {}, 0, {3, 1, 1}},
    // A ring need not run in the order the walk meets its blocks.
    {"sound, the other way round",
     [](std::vector<uint8_t>& bytes, const RingHive& hive) {
       Chain(bytes, hive.blocks[0], hive.blocks[2]);
       Chain(bytes, hive.blocks[2], hive.blocks[1]);
       Chain(bytes, hive.blocks[1], hive.blocks[0]);
     },
     {}, 0, {3, 1, 1}},
    {"back link to itself",
     [](std::vector<uint8_t>& bytes, const RingHive& hive) {
       Put32(bytes, CellField(hive.blocks[0], security::kLinkA), hive.blocks[0]);
     },
     {}, 3, {3, 1, 1}},
    {"two rings, each sound",
     [](std::vector<uint8_t>& bytes, const RingHive& hive) {
       Chain(bytes, hive.blocks[0], hive.blocks[0]);
       Chain(bytes, hive.blocks[1], hive.blocks[2]);
       Chain(bytes, hive.blocks[2], hive.blocks[1]);
     },
     {}, 3, {3, 1, 1}},
    {"count too high", [](std::vector<uint8_t>& bytes, const RingHive& hive) { SetCount(bytes, hive.blocks[1], 9); },
     {}, 0, {3, 1, 1}},
    {"count too low", [](std::vector<uint8_t>& bytes, const RingHive& hive) { SetCount(bytes, hive.blocks[0], 1); },
     {}, 0, {3, 1, 1}},
    // A key whose block is dropped takes its parent's, which is then used by one key more; the
    // dropped block leaves the ring.
    {"bad signature, the parent's block taken",
     [](std::vector<uint8_t>& bytes, const RingHive& hive) {
       Put16(bytes, CellField(hive.blocks[2], cell::kSignature), 0x6B6E);
     },
     {kInvalidSecuritySignature}, 2, {4, 1, 1}},
    {"invalid offset, the parent's block taken",
     [](std::vector<uint8_t>& bytes, const RingHive& hive) { Put32(bytes, CellField(hive.c, key::kSecurity), 0x13); },
     {kInvalidOffset}, 2, {4, 1, 1}},
    // Not a security block, whether the walk met the key first or not: the key is left its own.
    {"a key cell named, the parent's block taken",
     [](std::vector<uint8_t>& bytes, const RingHive& hive) { Put32(bytes, CellField(hive.c, key::kSecurity), hive.a); },
     {kInvalidSecuritySignature}, 2, {4, 1, 1}},
    {"a key cell not walked yet named, the parent's block taken, and the key kept",
     [](std::vector<uint8_t>& bytes, const RingHive& hive) { Put32(bytes, CellField(hive.a, key::kSecurity), hive.c); },
     {kInvalidSecuritySignature}, 0, {3, 1, 1}},
    // The root and A wait, and take B's block when it is registered; D, whose offset is bad,
    // then takes it from the root, and X is left to no key.
    {"waiting keys given the next block",
     [](std::vector<uint8_t>& bytes, const RingHive& hive) {
       Put32(bytes, CellField(hive.builder.Root(), key::kSecurity), kNullOffset);
       Put32(bytes, CellField(hive.a, key::kSecurity), kNullOffset);
       Put32(bytes, CellField(hive.d, key::kSecurity), 0x13);
     },
     {kNullSecurityOffset, kInvalidOffset}, 2, {3, 4, 1}},
};

// Every case, on one core and on two: the walk asks what it asks, the ring is rebuilt (and says
// so) only when its links do not make one ring of the blocks in use, each block's count is set to
// the keys that use it with a line for each count changed, and a second check changes nothing.
TEST(Security, RingAndReferenceCountsAfterTheWalk) {
  for (const RingCase& row : kRingCases) {
    for (bool twoWalkers : {false, true}) {
      SCOPED_TRACE(std::string(row.name) + (twoWalkers ? ", two walkers" : ", one walker"));
      RingHive hive;
      std::vector<uint8_t> bytes = hive.builder.Build();
      row.damage(bytes, hive);
      WalkedHive h(bytes, FixAllAnswers(), {}, true, twoWalkers);
      EXPECT_EQ(h.AskedCodes(), row.codes);
      std::vector<std::string> expected;
      if (row.relinked > 0) {
        expected.push_back("* Security block ring relinked (" + std::to_string(row.relinked) + " blocks)\r\n");
      }
      for (size_t i = 0; i < hive.blocks.size(); ++i) {
        const uint32_t was = testing::Get32(bytes, CellField(hive.blocks[i], security::kReferences));
        EXPECT_EQ(h.Field(hive.blocks[i], security::kReferences), row.counts[i]) << "block " << i;
        if (was != row.counts[i]) expected.push_back(CountLine(hive.blocks[i], row.counts[i], was));
      }
      EXPECT_EQ(RingLines(h), expected);
      EXPECT_EQ(h.rig.faults.Changed(), !expected.empty() || !row.codes.empty());
      EXPECT_TRUE(OneRingOfTheUsedBlocks(h, hive));
      WalkedHive second(h.Bytes());
      EXPECT_TRUE(second.AskedCodes().empty());
      EXPECT_FALSE(second.rig.faults.Changed()) << "the ring and the counts are sound after the repair";
    }
  }
}

}  // namespace
}  // namespace tarvos::hive
