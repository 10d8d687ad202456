// The frame pass: frame headers, cell sizes, the cell table and its lookups, and the root check.
#include <gtest/gtest.h>

#include <functional>

#include "hive/frames.h"
#include "support/hive_builder.h"
#include "support/walked_hive.h"
#include "support/memory_source.h"

namespace tarvos::hive {
namespace {

using testing::CellField;
using testing::FramedHive;
using testing::Get32;
using testing::HiveBuilder;
using testing::Put16;
using testing::Put32;

constexpr uint32_t kFirstFrame = 0x1000;  // file offset

TEST(FramePass, OneFrameHive) {
  HiveBuilder builder;
  uint32_t key = builder.AddKey(builder.Root(), "Software");
  FramedHive h(builder.Build());
  ASSERT_TRUE(h.passed);
  EXPECT_TRUE(h.rig.decider.asked.empty());
  EXPECT_EQ(h.frames.PageCount(), 2u);
  const FramePage& head = h.frames.Page(1);
  EXPECT_EQ(head.fileOffset, kFirstFrame);
  EXPECT_EQ(head.frameSize, 0x1000u);
  EXPECT_EQ(h.rig.log.lines.back(), "* Frame structure checked\r\n");
  ASSERT_NE(h.frames.Lookup(builder.Root()), nullptr);
  EXPECT_EQ(h.frames.Lookup(builder.Root())->kind, kCellRootKey);
  EXPECT_EQ(h.frames.Lookup(key)->kind, kCellKey);
  EXPECT_EQ(h.frames.Lookup(builder.Security())->kind, kCellSecurity);
  EXPECT_EQ(h.frames.Lookup(builder.ListOf(builder.Root()))->kind, kCellFastLeaf);
  // Allocated bytes: every cell but the free one at the end.
  uint32_t freeCell = 0x20;
  while (static_cast<int32_t>(h.Field(freeCell, 0)) < 0) freeCell += 0u - h.Field(freeCell, 0);
  EXPECT_EQ(h.frames.TotalAllocated(), freeCell - 0x20);
}

TEST(FramePass, LookupInTheSecondPageOfAnEightKilobyteFrame) {
  HiveBuilder builder;
  builder.NewFrame(0x2000);
  builder.AddFreeCell(0x1000);
  uint32_t far = builder.AddKey(builder.Root(), "Far");  // in the frame's second page
  ASSERT_GE(far, 0x2000u);
  FramedHive h(builder.Build());
  ASSERT_TRUE(h.passed);
  const FramePage& continuation = h.frames.Page((far + 0x1000) / 0x1000);
  EXPECT_EQ(continuation.frameSize, FramePage::kContinuation);
  EXPECT_EQ(continuation.allocated, (far + 0x1000) / 0x1000 - 1) << "points back to its head";
  ASSERT_NE(h.frames.Lookup(far), nullptr);
  EXPECT_EQ(h.frames.Lookup(far)->kind, kCellKey);
  EXPECT_EQ(h.frames.OffsetCheck(far), kOffsetValid);
  EXPECT_EQ(h.frames.OffsetCheck(0x1020), kOffsetFreeCell) << "the free cell of the first page";
}

TEST(OffsetCheck, ResultsInTheirOrder) {
  HiveBuilder builder;
  uint32_t key = builder.AddKey(builder.Root(), "Key");
  uint32_t free = builder.AddFreeCell(0x40);
  FramedHive h(builder.Build());
  ASSERT_TRUE(h.passed);
  EXPECT_EQ(h.frames.OffsetCheck(kNullOffset), kOffsetValid);
  EXPECT_EQ(h.frames.OffsetCheck(key), kOffsetValid);
  EXPECT_EQ(h.frames.OffsetCheck(0xFFFFF008), kOffsetBeyond) << "not wrapped to the start";
  EXPECT_EQ(h.frames.OffsetCheck(0xFFFFF000), kOffsetBeyond);
  EXPECT_EQ(h.frames.OffsetCheck(0x1008), kOffsetBeyond) << "past the only frame";
  EXPECT_EQ(h.frames.OffsetCheck(0x1000), kOffsetNoCell) << "the very end of the data area";
  EXPECT_EQ(h.frames.OffsetCheck(key + 8), kOffsetNoCell) << "the middle of a cell";
  EXPECT_EQ(h.frames.OffsetCheck(0), kOffsetNoCell) << "the frame header";
  EXPECT_EQ(h.frames.OffsetCheck(key + 1), kOffsetUnaligned);
  EXPECT_EQ(h.frames.OffsetCheck(key + 4), kOffsetUnaligned);
  EXPECT_EQ(h.frames.OffsetCheck(0xFFFFFFF9), kOffsetBeyond) << "beyond comes before alignment";
  EXPECT_EQ(h.frames.OffsetCheck(free), kOffsetFreeCell);
}

TEST(FramePass, FrameHeaderFaultsAtTheFrameOffset) {
  struct Case {
    uint32_t field, bad, code, repaired;
  };
  const Case cases[] = {
      {frame::kSignature, 0x58585858, kInvalidFrameSignature, frame::kSignatureValue},
      {frame::kOwnOffset, 0x3000, kInvalidFrameOffset, 0x1000},
      {frame::kSize, 0, kInvalidFrameLength, 0x1000},
      {frame::kSize, 0x1008, kInvalidFrameLength, 0x1000},
      {frame::kSize, 0x3000, kInvalidFrameLength, 0x1000},
  };
  for (const Case& c : cases) {
    HiveBuilder builder;
    builder.NewFrame(0x1000);  // the second frame is the one broken
    builder.AddKey(builder.Root(), "Second");
    std::vector<uint8_t> bytes = builder.Build();
    Put32(bytes, 0x2000 + c.field, c.bad);
    FramedHive fixed(bytes, {kAnswerFix});
    EXPECT_TRUE(fixed.passed) << c.field << " " << c.bad;
    ASSERT_EQ(fixed.rig.decider.asked.size(), 1u);
    EXPECT_EQ(fixed.rig.decider.asked[0], std::make_pair(c.code, 0x2000u));
    EXPECT_EQ(Le32(fixed.image.AtFileOffset(0x2000 + c.field)), c.repaired);
    EXPECT_TRUE(fixed.rig.log.Has("! Error found: " + std::string(ErrorMessage(c.code)) + " - 0x00002000\r\n"));

    FramedHive stopped(bytes, {kAnswerStop});
    EXPECT_FALSE(stopped.passed);
    EXPECT_FALSE(stopped.rig.log.Has("* Frame structure checked\r\n"));
  }
}

// A hive whose first frame ends with cells the test lays out by hand from free space.
struct HandMadeFrame {
  HandMadeFrame() {
    HiveBuilder builder;
    builder.NewFrame(0x1000);  // a second frame to show the pass goes on after the first
    second = builder.AddKey(builder.Root(), "After");
    bytes = builder.Build();
    // The free cell that closes the first frame.
    start = 0x20;
    while (static_cast<int32_t>(Get32(bytes, start + 0x1000)) < 0) start += 0u - Get32(bytes, start + 0x1000);
  }
  void Size(uint32_t at, uint32_t value) { Put32(bytes, at + 0x1000, value); }
  std::vector<uint8_t> bytes;
  uint32_t start = 0;   // hive offset of the first frame's free space
  uint32_t second = 0;  // a key in the second frame
};

// A cell in use whose size is too large stays in use up to the next cell (what names it still
// finds it); a free one stays free.
TEST(CellWalk, TooLargeCellEndsWhereTheNextCellStarts) {
  HandMadeFrame m;
  m.Size(m.start, 0xFFFF0000);      // allocated, far larger than the rest of the frame
  m.Size(m.start + 8, 0x00001000);  // does not fit either: not a plausible start
  uint32_t nk = m.start + 64;
  m.Size(nk, 0u - 0x60);
  Put16(m.bytes, CellField(nk, cell::kSignature), cell::kKeySignature);
  m.Size(nk + 0x60, 0x1000 - (nk + 0x60));
  FramedHive h(m.bytes, {kAnswerFix});
  ASSERT_TRUE(h.passed);
  EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>{kCellSizeTooLarge});
  EXPECT_EQ(h.rig.decider.asked[0].second, m.start + 0x1000) << "reported at the cell's file offset";
  EXPECT_EQ(h.Field(m.start, 0), 0u - 64) << "in use up to the nk cell";
  ASSERT_NE(h.frames.Lookup(nk), nullptr);
  EXPECT_EQ(h.frames.Lookup(nk)->kind, kCellKey);
  EXPECT_EQ(h.frames.OffsetCheck(m.second), kOffsetValid);
  EXPECT_TRUE(h.rig.faults.Changed());
}

TEST(CellWalk, TooLargeCellWithNothingAfterItTakesTheRestOfTheFrame) {
  HandMadeFrame m;
  m.Size(m.start, 0x80000000);  // no length in 32 bits: too large, not undefined
  FramedHive h(m.bytes, {kAnswerFix});
  ASSERT_TRUE(h.passed);
  EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>{kCellSizeTooLarge});
  EXPECT_EQ(h.Field(m.start, 0), 0u - (0x1000 - m.start));
  EXPECT_EQ(h.frames.OffsetCheck(m.second), kOffsetValid);
}

// A key cell too large in the last 16 bytes of the hive: what it least holds is read from its
// name length only when the frame reaches that far (a sanitizer build sees the read past the image
// otherwise); it takes the rest of the frame.
TEST(CellWalk, TooLargeKeyAtTheHiveEndIsNotReadPastIt) {
  HiveBuilder builder;
  std::vector<uint8_t> bytes = builder.Build();
  ASSERT_EQ(bytes.size(), 0x2000u);
  uint32_t free = 0x20;
  while (static_cast<int32_t>(Get32(bytes, free + 0x1000)) < 0) free += 0u - Get32(bytes, free + 0x1000);
  const uint32_t last = 0x1000 - 0x10;
  ASSERT_LT(free, last);
  Put32(bytes, free + 0x1000, last - free);
  Put32(bytes, last + 0x1000, 0xFFFF0000);
  Put16(bytes, CellField(last, cell::kSignature), cell::kKeySignature);
  FramedHive h(bytes, {kAnswerFix});
  ASSERT_TRUE(h.passed);
  EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>{kCellSizeTooLarge});
  EXPECT_EQ(h.Field(last, 0), 0u - 0x10);
}

// Cells are whole 8-byte steps of at least 8 bytes: any other size is code 17. A size a few bytes
// off keeps its cell when a cell plausibly follows the rounded size; otherwise the cell ends where
// the sizes after it lead to the frame's end, in use when its size was negative: a data cell of
// no kind 64 bytes on, then an nk cell, stand for what follows.
TEST(CellWalk, SizesOffWholeStepsAreCode17) {
  struct Case {
    uint32_t bad;
    uint32_t repaired;  // the size field afterwards
  };
  for (const Case& c : {Case{0, 64}, Case{6, 64}, Case{0xFFFFFFFE, 0u - 64}, Case{4, 64}, Case{12, 64},
                        Case{0u - 0x44, 0u - 0x40}, Case{0x43, 0x40}, Case{0xFFFFFFFF, 64}}) {
    HandMadeFrame m;
    m.Size(m.start + 64, 0u - 0x20);  // data, no signature
    uint32_t nk = m.start + 96;
    m.Size(m.start, c.bad);
    m.Size(nk, 0u - 0x60);
    Put16(m.bytes, CellField(nk, cell::kSignature), cell::kKeySignature);
    m.Size(nk + 0x60, 0x1000 - (nk + 0x60));
    FramedHive h(m.bytes, {kAnswerFix});
    ASSERT_TRUE(h.passed) << c.bad;
    EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>{kInvalidCellSize}) << c.bad;
    EXPECT_EQ(h.Field(m.start, 0), c.repaired) << c.bad;
    ASSERT_NE(h.frames.Lookup(nk), nullptr) << c.bad;
    EXPECT_EQ(h.frames.Lookup(nk)->kind, kCellKey) << "the cells after it are found again";
    EXPECT_NE(h.frames.Lookup(m.start + 64), nullptr) << "the data cell too";
    EXPECT_EQ(h.frames.OffsetCheck(m.second), kOffsetValid) << "the second frame is still walked";
    FramedHive second(std::vector<uint8_t>(h.image.Buffer(), h.image.Buffer() + h.image.Size()));
    EXPECT_EQ(second.AskedCodes(), std::vector<uint32_t>{}) << c.bad;
  }
}

TEST(CellWalk, StopLeavesTheSizeAndFailsThePass) {
  HandMadeFrame m;
  m.Size(m.start, 0);
  FramedHive h(m.bytes, {kAnswerStop});
  EXPECT_FALSE(h.passed);
  EXPECT_EQ(h.Field(m.start, 0), 0u);
  EXPECT_EQ(h.rig.faults.Error().code, kInvalidCellSize);
}

TEST(CellWalk, FrameOfMoreThan65535Cells) {
  HiveBuilder builder;
  builder.NewFrame(0x100000);
  for (int i = 0; i < 0x20000 - 40; ++i) builder.AddFreeCell(8);
  uint32_t last = builder.AddKey(builder.Root(), "Last");
  FramedHive h(builder.Build());
  ASSERT_TRUE(h.passed);
  ASSERT_GT(h.frames.CellCount(), 0x20000u - 40);
  ASSERT_NE(h.frames.Lookup(last), nullptr);
  EXPECT_EQ(h.frames.Lookup(last)->kind, kCellKey);
  EXPECT_EQ(h.frames.OffsetCheck(last), kOffsetValid);
  EXPECT_EQ(h.frames.OffsetCheck(last - 8), kOffsetFreeCell);
}

TEST(RootCheck, MissingRootIsFoundInTheSecondFrame) {
  HiveBuilder builder;
  builder.NewFrame(0x1000);
  uint32_t other = builder.AddKey(builder.Root(), "Other");
  std::vector<uint8_t> bytes = builder.Build();
  Put16(bytes, CellField(builder.Root(), key::kFlags), 0x20);  // no longer a root key
  Put16(bytes, CellField(other, key::kFlags), 0x2C);
  Put32(bytes, base::kRootKeyOffset, kNullOffset);
  testing::StoreChecksum(bytes);
  FramedHive h(bytes, {kAnswerFix});
  ASSERT_TRUE(h.passed);
  EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>{kInvalidStartOffset});
  EXPECT_EQ(h.rig.decider.asked[0].second, kNullOffset);
  EXPECT_EQ(Le32(h.image.BaseBlock() + base::kRootKeyOffset), other);
  EXPECT_EQ(h.image.rootKeyOffset, other);
  EXPECT_EQ(Le32(h.image.BaseBlock() + base::kChecksum), HeaderChecksum(h.image.BaseBlock()));
  EXPECT_TRUE(h.rig.faults.Changed());
}

TEST(RootCheck, RootFieldThatIsNoRootKey) {
  for (uint32_t bad : {0x24u, 0x2000u, 0u}) {
    HiveBuilder builder;
    builder.AddKey(builder.Root(), "Child");
    std::vector<uint8_t> bytes = builder.Build();
    Put32(bytes, base::kRootKeyOffset, bad);
    testing::StoreChecksum(bytes);
    FramedHive h(bytes, {kAnswerFix});
    ASSERT_TRUE(h.passed) << bad;
    EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>{kInvalidStartOffset}) << bad;
    EXPECT_EQ(h.image.rootKeyOffset, builder.Root());
  }
  HiveBuilder builder;
  uint32_t child = builder.AddKey(builder.Root(), "Child");
  std::vector<uint8_t> bytes = builder.Build();
  Put32(bytes, base::kRootKeyOffset, child);  // a key, but not a root key
  testing::StoreChecksum(bytes);
  FramedHive h(bytes, {kAnswerStop});
  EXPECT_FALSE(h.passed);
  EXPECT_EQ(h.rig.faults.Error().code, kInvalidStartOffset);
}

TEST(RootCheck, RootKeyThatLostItsFlagsIsTheRootAgain) {
  HiveBuilder builder;
  builder.AddKey(builder.Root(), "Child");
  std::vector<uint8_t> bytes = builder.Build();
  Put16(bytes, CellField(builder.Root(), key::kFlags), 0x20);
  FramedHive h(bytes, {kAnswerFix});
  ASSERT_TRUE(h.passed);
  EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>{kInvalidStartOffset});
  EXPECT_EQ(h.image.rootKeyOffset, builder.Root());
  EXPECT_EQ(Le16(h.image.AtHiveOffset(builder.Root()) + key::kFlags), 0x2Cu);
  EXPECT_EQ(h.frames.Lookup(builder.Root())->kind, kCellRootKey);
}

// Only an allocated key cell is ever made the root: one with the root's flags; else the head of
// the largest tree of keys that hangs from nothing; else a new, empty root key.
TEST(RootCheck, RootChosenFromWhatIsLeft) {
  HiveBuilder builder;
  uint32_t a = builder.AddKey(builder.Root(), "A");
  uint32_t b = builder.AddKey(a, "B");
  uint32_t lone = builder.AddKey(builder.Root(), "Lone");
  const std::vector<uint8_t> built = builder.Build();
  auto freed = [&](std::vector<uint8_t>& bytes, uint32_t cell) { Put32(bytes, cell + 0x1000, 0u - Get32(bytes, cell + 0x1000)); };
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> damage;
    uint32_t root;  // kNullOffset: a new cell
    uint64_t keys;  // that the walk keeps
  };
  const Case cases[] = {
      {"flags lost, field gone: the largest tree", [&](std::vector<uint8_t>& bytes) {
         Put16(bytes, CellField(builder.Root(), key::kFlags), 0x20);
         Put32(bytes, CellField(lone, key::kParent), 0x7FFFFFF8);  // a tree of its own
       }, builder.Root(), 4},
      {"a free cell with the root's flags is never the root", [&](std::vector<uint8_t>& bytes) {
         freed(bytes, builder.Root());
         Put32(bytes, CellField(lone, key::kParent), a);  // its tree, but not in its list
       }, a, 2},
      {"no key left: a new root", [&](std::vector<uint8_t>& bytes) {
         for (uint32_t key : {builder.Root(), a, b, lone}) freed(bytes, key);
       }, kNullOffset, 1},
      {"a root too small for its name moves, with its tree", [&](std::vector<uint8_t>& bytes) {
         Put16(bytes, CellField(builder.Root(), key::kNameLength), 0x100);
         Put32(bytes, base::kRootKeyOffset, builder.Root());
       }, kNullOffset, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> bytes = built;
    Put32(bytes, base::kRootKeyOffset, kNullOffset);
    c.damage(bytes);
    testing::StoreChecksum(bytes);
    testing::WalkedHive h(bytes, testing::FixAllAnswers());
    ASSERT_TRUE(h.passed);
    EXPECT_EQ(h.AskedCodes().front(), Get32(bytes, base::kRootKeyOffset) == kNullOffset ? kInvalidStartOffset : kDataOverlapped);
    if (c.root != kNullOffset) {
      EXPECT_EQ(h.image.rootKeyOffset, c.root);
    }
    EXPECT_EQ(h.frames.Lookup(h.image.rootKeyOffset)->kind, kCellRootKey);
    EXPECT_EQ(h.walk.KeysVisited(), c.keys);
    testing::WalkedHive second(h.Bytes());
    EXPECT_EQ(second.AskedCodes(), std::vector<uint32_t>{});
  }
}

TEST(FramePass, StopThroughTheProgressWindowFailsWithoutAReport) {
  HiveBuilder builder;
  builder.GrowTo(0x4000);
  std::vector<uint8_t> bytes = builder.Build();
  testing::EngineRig rig({}, 2);  // the load polls once
  testing::MemorySource source(bytes);
  HiveImage image;
  ASSERT_EQ(LoadHive(image, rig.faults, source, "x", std::nullopt), kLoadDone);
  ASSERT_TRUE(CheckBaseBlock(image, rig.faults));
  FrameTable frames;
  EXPECT_FALSE(frames.Build(image, rig.faults));
  EXPECT_FALSE(rig.faults.IsErrorLeft());
  EXPECT_EQ(rig.progress.offsets.back(), 0x2000u) << "the offset of the next frame";
}

// What loading and the frame pass leave: the load's result, the faults asked, every cell of the
// table with its kind, every page entry, and the image.
struct PassResult {
  int loaded = 0;
  bool built = false;
  std::vector<std::pair<uint32_t, uint32_t>> asked;
  std::vector<std::pair<uint32_t, uint8_t>> cells;
  std::vector<std::vector<uint32_t>> pages;
  std::vector<uint8_t> image;
};

// The plain pass, the frames scanned on a second core while two threads read the file, or the
// frames of the second half checked on a second core beside the pass over the first (as for a
// mapped hive).
enum class Pass { Plain, Scanned, Split };
PassResult RunPass(const std::vector<uint8_t>& bytes, Pass pass, uint64_t shortAt, uint32_t* taken = nullptr) {
  const bool scanned = pass == Pass::Scanned;
  PassResult r;
  testing::EngineRig rig(testing::FixAllAnswers());
  testing::MemorySource source(bytes);
  source.atOnce = scanned;
  source.shortAt = shortAt;
  HiveImage image;
  FrameScan scan;
  FrameTable frames;
  frames.splitFrom = pass == Pass::Split ? 2 * kPageSize : 0xFFFFFFFFu;
  r.loaded = LoadHive(image, rig.faults, source, "x", std::nullopt, scanned ? &scan : nullptr);
  r.built = r.loaded == kLoadDone && CheckBaseBlock(image, rig.faults) && frames.Build(image, rig.faults, scanned ? &scan : nullptr);
  if (taken != nullptr) *taken = frames.TakenFromSecondHalf();
  r.asked = rig.decider.asked;
  if (rig.faults.IsErrorLeft()) r.asked.emplace_back(rig.faults.Error().code, rig.faults.Error().offset);
  if (!r.built) return r;
  frames.ForEachCell([&](uint32_t offset, const CellEntry& c) { r.cells.emplace_back(offset, c.kind); });
  for (uint32_t page = 1; page < frames.PageCount(); ++page) {
    const FramePage& p = frames.Page(page);
    r.pages.push_back({p.fileOffset, p.frameSize, p.allocated, p.cellBase, p.firstCell[0], p.firstCell[1], p.cellCount[0], p.cellCount[1]});
  }
  r.image.assign(image.Buffer(), image.Buffer() + image.Size());
  return r;
}

TEST(FrameScan, TakesOverExactlyWhatThePlainPassBuilds) {
  HiveBuilder builder;
  uint32_t key = builder.AddKey(builder.Root(), "Software");
  builder.AddValue(key, "Blob", 3, std::vector<uint8_t>(3000, 7));
  builder.NewFrame(0x3000);
  for (int i = 0; i < 40; ++i) builder.AddKey(key, "Key" + std::to_string(i));
  builder.GrowTo(0x600000);  // three stripes of the read
  const std::vector<uint8_t> sound = builder.Build();
  constexpr uint32_t kLate = 0x4A0000;  // a frame's file offset in the third stripe
  const uint32_t middle = (static_cast<uint32_t>(sound.size()) / 2) & kPageMask;  // where the second half's scan looks
  uint32_t wide = 0x1000;               // the 12 KB frame
  while (Get32(sound, wide + 8) != 0x3000) wide += Get32(sound, wide + 8);
  struct Case {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> damage;
    uint64_t shortAt;
    bool tailTaken;  // the pass split in two takes frames from its second core
  } cases[] = {
      {"sound", [](std::vector<uint8_t>&) {}, ~0ull, true},
      {"cell size off whole steps in a late frame", [](std::vector<uint8_t>& b) { Put32(b, kLate + 0x20, 0xFFF3); }, ~0ull, true},
      {"frame signature lost in a late frame", [](std::vector<uint8_t>& b) { Put32(b, kLate, 0); }, ~0ull, true},
      {"frame size beyond the file in a late frame", [](std::vector<uint8_t>& b) { Put32(b, kLate + 8, 0x10000000); }, ~0ull, true},
      {"declared data size ends within a frame",
       [wide](std::vector<uint8_t>& b) {
         Put32(b, base::kHiveDataSize, wide + 0x1000 - 0x1000);
         testing::StoreChecksum(b);
       },
       ~0ull, false},
      {"a read fails in the third stripe", [](std::vector<uint8_t>&) {}, kLate, false},
      {"frame signature lost where the second half starts", [middle](std::vector<uint8_t>& b) { Put32(b, middle, 0); }, ~0ull, true},
      {"a frame runs over the middle", [middle](std::vector<uint8_t>& b) { Put32(b, middle - 0x1000 + 8, 0x3000); }, ~0ull, true},
      {"the first frame of the second half has a bad cell (the scan stops there)",
       [middle](std::vector<uint8_t>& b) { Put32(b, middle + 0x20, 0xFFF3); }, ~0ull, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bytes = sound;
    c.damage(bytes);
    PassResult plain = RunPass(bytes, Pass::Plain, c.shortAt);
    uint32_t taken = 0;
    for (Pass pass : {Pass::Scanned, Pass::Split}) {
      SCOPED_TRACE(pass == Pass::Scanned ? "scanned as read" : "split in two");
      PassResult other = RunPass(bytes, pass, c.shortAt, &taken);
      EXPECT_EQ(other.loaded, plain.loaded);
      EXPECT_EQ(other.built, plain.built);
      EXPECT_EQ(other.asked, plain.asked);
      EXPECT_EQ(other.cells, plain.cells);
      EXPECT_EQ(other.pages, plain.pages);
      EXPECT_TRUE(other.image == plain.image);
    }
    if (c.tailTaken) {
      EXPECT_GT(taken, 0x100000u) << "frames of the second half were taken";
    }
  }
  // The cases do what they say.
  EXPECT_GT(RunPass(sound, Pass::Scanned, ~0ull).cells.size(), 1500u);
  EXPECT_EQ(RunPass(sound, Pass::Scanned, kLate).asked, (std::vector<std::pair<uint32_t, uint32_t>>{{kFileReadError, kLate}}));
}

}  // namespace
}  // namespace tarvos::hive
