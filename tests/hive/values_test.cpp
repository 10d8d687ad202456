// Value lists, value cells, data cells and segmented values.
#include <gtest/gtest.h>

#include "support/hive_builder.h"
#include "support/walked_hive.h"

namespace tarvos::hive {
namespace {

using testing::CellField;
using testing::FixAllAnswers;
using testing::Get32;
using testing::HiveBuilder;
using testing::Put16;
using testing::Put32;
using testing::WalkedHive;

std::vector<uint32_t> SecondRun(const WalkedHive& first) {
  WalkedHive again(first.Bytes(), FixAllAnswers());
  return again.AskedCodes();
}

std::vector<uint8_t> Bytes(size_t n, uint8_t fill = 0x5A) { return std::vector<uint8_t>(n, fill); }

struct KeyWithValues {
  KeyWithValues() {
    key = builder.AddKey(builder.Root(), "K");
    a = builder.AddValue(key, "a", 3, Bytes(10));
    b = builder.AddValue(key, "b", 4, {1, 0, 0, 0});
    c = builder.AddValue(key, "c", 1, Bytes(6));
    bytes = builder.Build();
    list = builder.ValueListOf(key);
  }
  uint32_t Values(WalkedHive& h) { return h.Field(key, key::kValueCount); }
  uint32_t List(WalkedHive& h) { return h.Field(key, key::kValueList); }
  HiveBuilder builder;
  uint32_t key, a, b, c, list;
  std::vector<uint8_t> bytes;
};

TEST(Values, HealthyValuesPass) {
  KeyWithValues k;
  WalkedHive h(k.bytes);
  EXPECT_EQ(h.outcome, WalkOutcome::Continue);
  EXPECT_TRUE(h.AskedCodes().empty());
  EXPECT_FALSE(h.rig.faults.Changed());
}

TEST(Values, CountAndListDisagree) {
  {
    KeyWithValues k;
    Put32(k.bytes, CellField(k.key, key::kValueCount), 0);
    WalkedHive h(k.bytes, {kAnswerFix});
    EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>{kOrphanValueList});
    EXPECT_EQ(h.rig.decider.asked[0].second, k.key + key::kValueCount);
    EXPECT_EQ(k.List(h), kNullOffset);
    EXPECT_TRUE(SecondRun(h).empty());
  }
  {
    KeyWithValues k;
    Put32(k.bytes, CellField(k.key, key::kValueList), kNullOffset);
    WalkedHive h(k.bytes, {kAnswerFix});
    EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>{kErasedValueList});
    EXPECT_EQ(h.rig.decider.asked[0].second, k.key + key::kValueList);
    EXPECT_EQ(k.Values(h), 0u);
    EXPECT_TRUE(SecondRun(h).empty());
  }
  {
    // A count far past what the list holds: the entries it holds are read, the values kept.
    KeyWithValues k;
    Put32(k.bytes, CellField(k.key, key::kValueCount), 0x01000003);
    WalkedHive h(k.bytes, FixAllAnswers());
    EXPECT_EQ(h.AskedCodes().front(), kDataOverlapped);
    EXPECT_EQ(k.Values(h), 3u);
    EXPECT_TRUE(SecondRun(h).empty());
  }
  {
    // The same over a list of one entry, which the walk alone keeps.
    HiveBuilder builder;
    uint32_t key = builder.AddKey(builder.Root(), "K");
    builder.AddValue(key, "only", 4, {1, 2, 3, 4});
    std::vector<uint8_t> bytes = builder.Build();
    Put32(bytes, CellField(key, key::kValueCount), 2);
    WalkedHive h(bytes, FixAllAnswers(), {}, false);
    EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>{kDataOverlapped});
    EXPECT_EQ(h.Field(key, key::kValueCount), 1u);
  }
}

TEST(Values, DefaultValueRules) {
  HiveBuilder builder;
  uint32_t key = builder.AddKey(builder.Root(), "K");
  uint32_t first = builder.AddValue(key, "", 1, Bytes(8));
  builder.AddValue(key, "x", 1, Bytes(8));
  uint32_t second = builder.AddValue(key, "", 1, Bytes(8));
  std::vector<uint8_t> bytes = builder.Build();
  Put16(bytes, CellField(first, value::kFlags), 0x0001);
  Put16(bytes, CellField(second, value::kFlags), 0x0003);
  WalkedHive h(bytes, {kAnswerFix, kAnswerFix});
  EXPECT_EQ(h.AskedCodes(), (std::vector<uint32_t>{kDefaultValueHasName, kDefaultValueExists}));
  EXPECT_EQ(h.rig.decider.asked[0].second, first + value::kFlags);
  EXPECT_EQ(h.rig.decider.asked[1].second, second + value::kNameLength);
  EXPECT_EQ(Le16(h.image.AtHiveOffset(first) + value::kFlags), 0u) << "the first default stays, its flag cleared";
  EXPECT_EQ(Le16(h.image.AtHiveOffset(second) + value::kFlags), 2u) << "bit 0x0001 cleared";
  EXPECT_EQ(h.Field(key, key::kValueCount), 2u) << "the second default leaves the list";
  EXPECT_TRUE(SecondRun(h).empty());
}

TEST(Values, DataLengths) {
  {
    KeyWithValues k;
    Put32(k.bytes, CellField(k.b, value::kDataLength), 0x80000008);
    WalkedHive h(k.bytes, {kAnswerFix});
    EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>{kDataLengthTooLarge});
    EXPECT_EQ(h.Field(k.b, value::kDataLength), 0x80000004u);
  }
  {
    // What Windows writes for a value without data: sound, nothing to follow.
    KeyWithValues k;
    Put32(k.bytes, CellField(k.a, value::kDataLength), 0);
    Put32(k.bytes, CellField(k.a, value::kData), kNullOffset);
    WalkedHive h(k.bytes, {kAnswerFix});
    EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>{});
    EXPECT_EQ(k.Values(h), 3u);
  }
  {
    KeyWithValues k;
    Put32(k.bytes, CellField(k.a, value::kDataLength), 0);  // with a data cell: still a fault
    WalkedHive h(k.bytes, {kAnswerFix, kAnswerFix});
    EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>{kZeroDataLength});
    EXPECT_TRUE(SecondRun(h).empty());
  }
  {
    KeyWithValues k;
    Put32(k.bytes, CellField(k.a, value::kDataLength), 8);
    Put32(k.bytes, CellField(k.a, value::kData), kNullOffset);
    WalkedHive h(k.bytes, {kAnswerFix, kAnswerFix});
    EXPECT_EQ(h.AskedCodes(), (std::vector<uint32_t>{kNullDataOffset}));
    EXPECT_EQ(h.rig.decider.asked[0].second, k.a + value::kData);
    EXPECT_EQ(k.Values(h), 3u) << "the value stays, with no data";
    EXPECT_EQ(h.Field(k.a, value::kDataLength), value::kDataInline);
    EXPECT_TRUE(SecondRun(h).empty());
  }
  {
    KeyWithValues k;
    Put32(k.bytes, CellField(k.a, value::kDataLength), 100);  // its data cell holds 16 bytes
    WalkedHive h(k.bytes, {kAnswerFix});
    EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>{kDataOverlapped});
    EXPECT_EQ(h.rig.decider.asked[0].second, Get32(k.bytes, CellField(k.a, value::kData)));
    EXPECT_EQ(k.Values(h), 3u) << "the value stays, with no data";
    EXPECT_EQ(h.Field(k.a, value::kDataLength), value::kDataInline);
  }
  {
    KeyWithValues k;  // a value cell that is not one
    Put16(k.bytes, CellField(k.c, cell::kSignature), 0x6B6E);
    WalkedHive h(k.bytes, {kAnswerFix});
    EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>{kInvalidValueSignature});
    EXPECT_EQ(k.Values(h), 2u);
  }
}

TEST(Values, LastValueRemovedUnhooksTheList) {
  HiveBuilder builder;
  uint32_t key = builder.AddKey(builder.Root(), "K");
  const uint32_t only = builder.AddValue(key, "only", 4, {1, 2, 3, 4});
  builder.AddKey(builder.Root(), "L");  // a key of no values, which nothing was taken from
  std::vector<uint8_t> bytes = builder.Build();
  Put32(bytes, CellField(builder.ValueListOf(key), 4), kNullOffset);
  {
    WalkedHive h(bytes, {kAnswerFix}, {}, false);  // the walk alone
    EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>{kNullOffsetInValueList});
    EXPECT_EQ(h.Field(key, key::kValueCount), 0u);
    EXPECT_EQ(h.Field(key, key::kValueList), kNullOffset);
  }
  // The whole check: the value no list names comes back to the one key that lost an entry.
  WalkedHive h(bytes, testing::FixAllAnswers());
  EXPECT_EQ(h.Field(key, key::kValueCount), 1u);
  EXPECT_EQ(h.Field(h.Field(key, key::kValueList), value::kListEntries), only);
  EXPECT_TRUE(SecondRun(h).empty());
}

TEST(Values, ValueListSharedByTwoKeys) {
  HiveBuilder builder;
  uint32_t one = builder.AddKey(builder.Root(), "One");
  uint32_t two = builder.AddKey(builder.Root(), "Two");
  builder.AddValue(one, "v", 4, {1, 2, 3, 4});
  builder.AddValue(two, "w", 4, {1, 2, 3, 4});
  std::vector<uint8_t> bytes = builder.Build();
  Put32(bytes, CellField(two, key::kValueList), builder.ValueListOf(one));
  WalkedHive h(bytes, {kAnswerFix}, {}, false);
  EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>{kCrossLinkedData});
  EXPECT_EQ(h.Field(two, key::kValueCount), 0u);
  EXPECT_EQ(h.Field(two, key::kValueList), kNullOffset);
  EXPECT_EQ(h.Field(one, key::kValueCount), 1u);
  EXPECT_TRUE(SecondRun(h).empty());
}

// A value whose data is split over segments, each segment cell of the given size.
struct Segmented {
  explicit Segmented(uint32_t segments, uint32_t dataLength = 20000, uint32_t segmentCell = 16352) {
    key = builder.AddKey(builder.Root(), "K");
    value = builder.AddValue(key, "big", 3, Bytes(16344 * segments));  // one full segment each
    other = builder.AddValue(key, "other", 3, Bytes(40000));
    bytes = builder.Build();
    db = Get32(bytes, CellField(value, value::kData));
    list = Get32(bytes, CellField(db, bigdata::kSegmentList));
    Put32(bytes, CellField(value, value::kDataLength), dataLength);
    for (uint32_t i = 0; i < segments; ++i) {
      uint32_t segment = Get32(bytes, CellField(list, 4 + 4 * i));
      EXPECT_EQ(0u - Get32(bytes, CellField(segment, 0)), segmentCell) << "as the builder lays them out";
    }
  }
  uint32_t Segment(uint32_t i) const { return Get32(bytes, CellField(list, 4 + 4 * i)); }
  HiveBuilder builder;
  uint32_t key, value, other, db, list;
  std::vector<uint8_t> bytes;
};

TEST(SegmentedValues, CapacityOfTwoSegments) {
  Segmented s(2, 20000);
  WalkedHive fits(s.bytes);
  EXPECT_TRUE(fits.AskedCodes().empty());

  Segmented large(2, 40000);
  WalkedHive h(large.bytes, {kAnswerFix});
  EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>{kIncorrectSegmentedSize});
  EXPECT_EQ(h.rig.decider.asked[0].second, large.value + value::kDataLength);
  EXPECT_EQ(h.Field(large.value, value::kDataLength), 32688u);
  EXPECT_TRUE(SecondRun(h).empty());
}

// A segment the data needs, not the last, whose cell holds 484 bytes: readers would take 16344
// from it. The data ends in it, and the segments after it are cut off.
TEST(SegmentedValues, ShortSegmentEndsTheData) {
  Segmented s(3, 40000);
  uint32_t second = s.Segment(1);
  Put32(s.bytes, CellField(second, 0), 0u - 488);
  Put32(s.bytes, CellField(second + 488, 0), 16352 - 488);  // the rest of its old cell, free
  WalkedHive h(s.bytes, {kAnswerFix});
  EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>{kIncorrectSegmentedSize});
  EXPECT_EQ(Le16(h.image.AtHiveOffset(s.db) + bigdata::kSegmentCount), 2u);
  EXPECT_EQ(h.Field(s.value, value::kDataLength), 16344u + 484u);
  EXPECT_TRUE(SecondRun(h).empty());
}

TEST(SegmentedValues, NullSegmentIsRemovedAndTheLengthLoweredSilently) {
  Segmented s(3, 40000);
  Put32(s.bytes, CellField(s.list, 4 + 4), kNullOffset);
  uint32_t third = s.Segment(2);
  WalkedHive h(s.bytes, {kAnswerFix});
  EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>{kNullOffsetInSegmentList});
  EXPECT_EQ(h.rig.decider.asked[0].second, s.list + 8);
  EXPECT_EQ(Le16(h.image.AtHiveOffset(s.db) + bigdata::kSegmentCount), 2u);
  EXPECT_EQ(h.Field(s.list, 8), third) << "the third entry moved down";
  EXPECT_EQ(h.Field(s.value, value::kDataLength), 32688u);
  EXPECT_TRUE(SecondRun(h).empty());
}

TEST(SegmentedValues, FaultsThatTakeTheValuesData) {
  struct Case {
    const char* what;
    uint32_t code;
  };
  for (const Case& c : {Case{"no segments", kOrphanSegmentList}, Case{"only segment invalid", kInvalidOffset},
                        Case{"list -1", kErasedSegmentList}, Case{"segment shared", kCrossLinkedData}}) {
    Segmented s(2, 16000);
    switch (c.code) {
      case kOrphanSegmentList: Put16(s.bytes, CellField(s.db, bigdata::kSegmentCount), 0); break;
      case kInvalidOffset:  // a value of one segment, whose offset is bad
        Put16(s.bytes, CellField(s.db, bigdata::kSegmentCount), 1);
        Put32(s.bytes, CellField(s.list, 4), 0x7FFFFFF0);
        break;
      case kErasedSegmentList: Put32(s.bytes, CellField(s.db, bigdata::kSegmentList), kNullOffset); break;
      default: {  // the other value's first segment is this one's second
        uint32_t otherDb = Get32(s.bytes, CellField(s.other, value::kData));
        uint32_t otherList = Get32(s.bytes, CellField(otherDb, bigdata::kSegmentList));
        Put32(s.bytes, CellField(otherList, 4), s.Segment(1));
      }
    }
    WalkedHive h(s.bytes, {kAnswerFix});
    EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>{c.code}) << c.what;
    EXPECT_EQ(h.Field(s.key, key::kValueCount), 2u) << c.what << ": the value stays, with no data";
    // The value walked second loses a segment the first holds.
    EXPECT_EQ(h.Field(c.code == kCrossLinkedData ? s.other : s.value, value::kDataLength), value::kDataInline) << c.what;
    EXPECT_TRUE(SecondRun(h).empty()) << c.what;
  }
}

}  // namespace
}  // namespace tarvos::hive
