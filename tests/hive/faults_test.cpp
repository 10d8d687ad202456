// The fault catalogue, the fix decisions and the repairs of ReportFault.
#include <gtest/gtest.h>

#include "hive/faults.h"
#include "support/scripted.h"

namespace tarvos::hive {
namespace {

using testing::EngineRig;

TEST(FixModeTable, StartsAsTheCatalogueSays) {
  FixModeTable modes;
  for (uint32_t code = 0; code < kErrorCodeCount; ++code) {
    uint8_t expected = kFixAsk;
    if (code == 0 || code == 1 || code == 3 || code == 4 || code == 6 || code == 7 || code == 13 || code == 40 ||
        code == 41 || code == 49) {
      expected = kFixNone;
    }
    if (code == 2) expected = kSkipAll;
    EXPECT_EQ(modes.Get(code), expected) << code;
  }
  modes.Set(19, kFixAll);
  modes.Reset();
  EXPECT_EQ(modes.Get(19), kFixAsk);
  EXPECT_EQ(modes.Get(200), kFixNone);
}

TEST(ErrorMessage, CatalogueTexts) {
  EXPECT_STREQ(ErrorMessage(0), "<No Error>");
  EXPECT_STREQ(ErrorMessage(12), "<Invalid hive header CRC>");
  EXPECT_STREQ(ErrorMessage(25), "<Descendent-key counter does not match real descendent keys>");
  EXPECT_STREQ(ErrorMessage(48), "<Invalid file version>");
  EXPECT_STREQ(ErrorMessage(49), "<Unknown error>");
  EXPECT_STREQ(ErrorMessage(50), "<Invalid key name>");
  EXPECT_STREQ(ErrorMessage(51), "<Invalid value name>");
  EXPECT_STREQ(ErrorMessage(52), "<Unknown error>");
  EXPECT_STREQ(ErrorMessage(0xFFFFFFFF), "<Unknown error>");
}

TEST(FormatError, OffsetAndValueParts) {
  EXPECT_EQ(FormatError({kInvalidFrameSignature, 0x3000, kNullOffset}), "<Invalid frame signature> - 0x00003000\r\n");
  EXPECT_EQ(FormatError({kBrokenHeader, kNullOffset, 5}), "<Broken hive header>\r\n");
  EXPECT_EQ(FormatError({kInvalidOffset, 0x2000, 0x1234}), "<Invalid offset> - 0x00002000:0x00001234\r\n");
  EXPECT_EQ(FormatError({kInvalidOffset, 0x2000, kNullOffset}), "<Invalid offset> - 0x00002000\r\n");
  EXPECT_EQ(FormatError({kInvalidOffset, kNullOffset, 0x1234}), "<Invalid offset>\r\n");
  EXPECT_EQ(FormatError({kInvalidCellSize, 0xABCDEF01, 0x1234}), "<Invalid cell size> - 0xABCDEF01\r\n")
      << "only code 19 shows the value";
}

TEST(ReportFault, FixLogsAndMarksTheHiveChanged) {
  EngineRig rig({kAnswerFix});
  uint8_t field[4] = {1, 0, 0, 0};
  EXPECT_EQ(rig.faults.ReportFault(kInvalidCellSize, 0x1020, FieldRef::Image32(field), 0x10), 1);
  EXPECT_EQ(Le32(field), 0x10u);
  EXPECT_TRUE(rig.faults.Changed());
  EXPECT_FALSE(rig.faults.IsErrorLeft());
  std::vector<std::string> expected = {"! Error found: <Invalid cell size> - 0x00001020\r\n",
                                       "# Attempt to fix last error\r\n"};
  EXPECT_EQ(rig.log.lines, expected);
  EXPECT_EQ(rig.decider.asked, (std::vector<std::pair<uint32_t, uint32_t>>{{kInvalidCellSize, 0x1020}}));
}

TEST(ReportFault, StopLeavesTheFaultAndRefusesEveryLaterReport) {
  EngineRig rig({kAnswerStop, kAnswerFix});
  uint8_t field[4] = {0x34, 0x12, 0, 0};
  EXPECT_EQ(rig.faults.ReportFault(kInvalidOffset, 0x2000, FieldRef::Image32(field), 0), 0);
  EXPECT_EQ(rig.faults.ReportFault(kInvalidOffset, 0x3000, FieldRef::Image32(field), 0), 0);
  EXPECT_EQ(rig.faults.ReportFault(kInvalidCellSize, 0x3000, FieldRef::None(), 0), 0);
  EXPECT_EQ(rig.decider.asked.size(), 1u) << "the second fault is neither logged nor asked";
  std::vector<std::string> expected = {"! Error found: <Invalid offset> - 0x00002000:0x00001234\r\n",
                                       "* Checking process cancelled\r\n"};
  EXPECT_EQ(rig.log.lines, expected);
  EXPECT_EQ(rig.faults.Error().code, kInvalidOffset);
  EXPECT_EQ(rig.faults.Error().offset, 0x2000u);
  EXPECT_EQ(rig.faults.Error().value, 0x1234u);
  EXPECT_FALSE(rig.faults.Changed());
}

TEST(ReportFault, FixAllHoldsForTheRunAndSkipAllToo) {
  EngineRig rig({kAnswerFixAll, kAnswerSkipAll});
  EXPECT_EQ(rig.faults.ReportFault(kInvalidOffset, 1, FieldRef::None(), 0), 1);
  EXPECT_EQ(rig.faults.ReportFault(kInvalidOffset, 2, FieldRef::None(), 0), 1);
  EXPECT_EQ(rig.decider.asked.size(), 1u);
  EXPECT_TRUE(rig.log.Has("# Entering \"Fix All\" mode for last error\r\n"));
  EXPECT_EQ(rig.log.Count("# Attempt to fix last error"), 2);
  EXPECT_EQ(rig.modes.Get(kInvalidOffset), kFixAll);

  // The next file has a new reporter over the same table: no prompt for code 19.
  FaultReporter next(EngineServices{rig.modes, rig.decider, rig.progress, rig.log});
  EXPECT_EQ(next.ReportFault(kInvalidOffset, 3, FieldRef::None(), 0), 1);
  EXPECT_EQ(rig.decider.asked.size(), 1u);

  EXPECT_EQ(next.ReportFault(kCrossLinkedData, 4, FieldRef::None(), 0), 0);
  EXPECT_TRUE(rig.log.Has("# Entering \"Skip All\" mode for last error\r\n"));
  EXPECT_EQ(rig.modes.Get(kCrossLinkedData), kSkipAll);
  EXPECT_EQ(next.Error().code, kCrossLinkedData);
}

TEST(ReportFault, CodesThatAreNeverAsked) {
  for (uint32_t code : {kInputFileOpenError, kOutputFileOpenError, kMemoryAllocationError, kSecurityAllocationError}) {
    EngineRig rig({kAnswerFix});
    EXPECT_EQ(rig.faults.ReportFault(code, kNullOffset, FieldRef::None(), 0), 0) << code;
    EXPECT_TRUE(rig.decider.asked.empty()) << code;
    EXPECT_EQ(rig.faults.Error().code, code);
  }
}

TEST(ReportFault, UnfixableCodeAnsweredFixOrFixAllStaysUnfixed) {
  for (uint32_t code : {kFileSeekError, kUnusedBlockInUse}) {
    EngineRig rig({kAnswerFixAll});
    rig.modes.Set(code, kFixAsk);
    EXPECT_EQ(rig.faults.ReportFault(code, 5, FieldRef::None(), 0), 0);
    EXPECT_TRUE(rig.faults.IsErrorLeft());
    EXPECT_FALSE(rig.faults.Changed());
    EXPECT_EQ(rig.log.Count("# Attempt"), 0);
  }
}

TEST(ReportFault, SkipOneAndUnknownAnswersAreNotFixed) {
  for (uint32_t answer : {kAnswerSkip, 0u, 0x81000000u}) {
    EngineRig rig({answer});
    EXPECT_EQ(rig.faults.ReportFault(kInvalidCellSize, 5, FieldRef::None(), 0), 0);
    EXPECT_EQ(rig.modes.Get(kInvalidCellSize), kFixAsk);
  }
}

// The repair that each code writes, on a field that starts as before.
uint32_t Repaired(uint32_t code, uint32_t before, uint32_t repair, bool sixteen = false) {
  EngineRig rig;
  rig.modes.Set(code, kFixAll);
  uint8_t field[4];
  PutLe32(field, before);
  FieldRef ref = sixteen ? FieldRef::Image16(field) : FieldRef::Image32(field);
  EXPECT_EQ(rig.faults.ReportFault(code, 0, ref, repair), 1) << code;
  return Le32(field);
}

TEST(ApplyFix, WritesEachCodesRepair) {
  EXPECT_EQ(Repaired(kSizeNotAligned, 12289, 0), 12288u);
  EXPECT_EQ(Repaired(kInvalidSignature, 0x66676578, 0), 0x66676572u);
  for (uint32_t code : {10u, 11u, 14u, 15u, 16u, 17u, 18u, 48u, 12u, 22u, 25u, 46u, 35u, 36u}) {
    EXPECT_EQ(Repaired(code, 7, 0xA5A5), 0xA5A5u) << code;
  }
  for (uint32_t code : {26u, 37u, 47u}) EXPECT_EQ(Repaired(code, 7, 0), 0xFFFFFFFFu) << code;
  EXPECT_EQ(Repaired(kErasedValueList, 7, 0), 0u);
  EXPECT_EQ(Repaired(kDefaultValueExists, 0xFFFF0003, 0, true), 0xFFFF0002u) << "only the 16-bit field changes";
  EXPECT_EQ(Repaired(kDefaultValueHasName, 0x0001, 0, true), 0u);
  EXPECT_EQ(Repaired(kZeroDataLength, 0x80000000, 0), 0x80000004u);
  EXPECT_EQ(Repaired(kZeroDataLength, 0, 0), 4u);
  EXPECT_EQ(Repaired(kDataLengthTooLarge, 0x7FFFFFFF, 0), 4u);
  for (uint32_t code : {9u, 19u, 20u, 21u, 23u, 24u, 28u, 29u, 34u, 38u, 42u, 43u, 44u, 45u}) {
    EXPECT_EQ(Repaired(code, 7, 0xA5A5), 7u) << "the raising check repairs code " << code;
  }
}

TEST(ApplyFix, SecurityCodesWithoutAFieldAreFixedWithoutWriting) {
  EngineRig rig;
  rig.modes.Set(kNullSecurityOffset, kFixAll);
  EXPECT_EQ(rig.faults.ReportFault(kNullSecurityOffset, 0, FieldRef::None(), 0x20), 1);
  EXPECT_TRUE(rig.faults.Changed());
}

TEST(ApplyFix, CallersOwnVariable) {
  EngineRig rig({kAnswerFix});
  uint32_t size = 0x3001;
  EXPECT_EQ(rig.faults.ReportFault(kSizeNotAligned, kNullOffset, FieldRef::Variable(size), 0), 1);
  EXPECT_EQ(size, 0x3000u);
}

TEST(PermilleOf, ThreeRangesWithoutOverflow) {
  EXPECT_EQ(PermilleOf(0, 10), 0u);
  EXPECT_EQ(PermilleOf(5, 10), 500u);
  EXPECT_EQ(PermilleOf(4294967, 4294967), 1000u);
  EXPECT_EQ(PermilleOf(4294968, 10000000), 420u);
  EXPECT_EQ(PermilleOf(50000000, 60000000), 833u);
  EXPECT_EQ(PermilleOf(0xFFFFFFFF, 0xFFFFFFFF), 1000u);
  EXPECT_EQ(PermilleOf(7, 5), 1000u);
  // Outside what callers pass, still no division by zero.
  EXPECT_EQ(PermilleOf(5, 0), 1000u);
  EXPECT_EQ(PermilleOf(50000000, 999), 1000u);
}

// The stepped answer is PermilleOf's at every part: every part of windows at the ranges' ends
// and elsewhere, and growing strides between them that cross many steps at once.
TEST(PermilleOf, StepsGiveTheSameAnswerForGrowingParts) {
  const uint32_t wholes[] = {0, 1, 7, 999, 1000, 4294967, 10000000, 60000000, 134217729, 0xFFFFFFFF};
  const uint64_t windows[] = {0, 4292000, 42946000, 99990000, 2147480000, 0xFFFFF000};
  for (uint32_t whole : wholes) {
    PermilleSteps steps;
    size_t window = 0;
    for (uint64_t part = 0; part <= 0xFFFFFFFFull;) {
      uint32_t p = static_cast<uint32_t>(part);
      ASSERT_EQ(steps.Of(p, whole), PermilleOf(p, whole)) << p << " of " << whole;
      while (window < std::size(windows) && windows[window] + 4096 <= part) ++window;
      bool dense = window < std::size(windows) && part >= windows[window];
      uint64_t stride = dense ? 1 : 1 + part / 512;
      if (!dense && window < std::size(windows) && part + stride > windows[window]) stride = windows[window] - part;
      part += stride;
    }
  }
}

}  // namespace
}  // namespace tarvos::hive
