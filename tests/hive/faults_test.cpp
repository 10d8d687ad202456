// The fault catalogue, the fix decisions and the repairs of ReportFault.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "hive/faults.h"
#include "support/scripted.h"

namespace tarvos::hive {
namespace {

using testing::EngineRig;

// What users and stored reports rely on, for every code of the table: codes in order, one message
// each in angle brackets and no two alike, a code no run may fix never repaired, and a code outside
// the table read as "<Unknown error>". (The messages themselves are checked where users see them,
// in the golden runs.)
TEST(FaultTable, EveryCodeHasItsOwnMessageAndAFixItCanMake) {
  FixModeTable modes;
  std::set<std::string> messages;
  for (uint32_t code = 0; code < kErrorCodeCount; ++code) {
    EXPECT_EQ(kFaultTable[code].code, code);
    const std::string message = ErrorMessage(code);
    EXPECT_TRUE(message.size() > 2 && message.front() == '<' && message.back() == '>') << code;
    EXPECT_TRUE(messages.insert(message).second) << "two codes say " << message;
    if (modes.Get(code) == kFixNone) {
      EXPECT_EQ(FaultOf(code).repair, Repair::Never) << code;
    }
    // A fault that ends the hive as not checked, or as not saved, is one no run can fix (and
    // not checked ones are never even asked); the log shows the value a field held only for the
    // codes whose column says so.
    if (FaultOf(code).ends != Ends::Checked) EXPECT_EQ(FaultOf(code).repair, Repair::Never) << code;
    if (FaultOf(code).ends == Ends::NotChecked) EXPECT_EQ(modes.Get(code), kFixNone) << code;
    const bool valueShown = FormatError({code, 0x10, 0x2345}).find(":0x00002345") != std::string::npos;
    EXPECT_EQ(valueShown, FaultOf(code).shows == Shows::Value) << code;
  }
  for (uint32_t outside : {kErrorCodeCount, 0xFFFFFFFFu}) EXPECT_STREQ(ErrorMessage(outside), "<Unknown error>");
  modes.Set(kInvalidOffset, kFixAll);
  modes.Reset();
  EXPECT_EQ(modes.Get(kInvalidOffset), kFixAsk) << "Reset puts back the starting modes";
  EXPECT_EQ(modes.Get(200), kFixNone);
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
  EXPECT_EQ(rig.faults.ReportFault(kInvalidCellSize, 0x1020, FieldRef::Image32(field), 0x10), WalkOutcome::Continue);
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
  EXPECT_EQ(rig.faults.ReportFault(kInvalidOffset, 0x2000, FieldRef::Image32(field), 0), WalkOutcome::Stop);
  EXPECT_EQ(rig.faults.ReportFault(kInvalidOffset, 0x3000, FieldRef::Image32(field), 0), WalkOutcome::Stop);
  EXPECT_EQ(rig.faults.ReportFault(kInvalidCellSize, 0x3000, FieldRef::None(), 0), WalkOutcome::Stop);
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
  EXPECT_EQ(rig.faults.ReportFault(kInvalidOffset, 1, FieldRef::None(), 0), WalkOutcome::Drop);
  EXPECT_EQ(rig.faults.ReportFault(kInvalidOffset, 2, FieldRef::None(), 0), WalkOutcome::Drop);
  EXPECT_EQ(rig.decider.asked.size(), 1u);
  EXPECT_TRUE(rig.log.Has("# Entering \"Fix All\" mode for last error\r\n"));
  EXPECT_EQ(rig.log.Count("# Attempt to fix last error"), 2);
  EXPECT_EQ(rig.modes.Get(kInvalidOffset), kFixAll);

  // The next file has a new reporter over the same table: no prompt for code 19.
  FaultReporter next(EngineServices{rig.modes, rig.decider, rig.progress, rig.log});
  EXPECT_EQ(next.ReportFault(kInvalidOffset, 3, FieldRef::None(), 0), WalkOutcome::Drop);
  EXPECT_EQ(rig.decider.asked.size(), 1u);

  EXPECT_EQ(next.ReportFault(kCrossLinkedData, 4, FieldRef::None(), 0), WalkOutcome::Stop);
  EXPECT_TRUE(rig.log.Has("# Entering \"Skip All\" mode for last error\r\n"));
  EXPECT_EQ(rig.modes.Get(kCrossLinkedData), kSkipAll);
  EXPECT_EQ(next.Error().code, kCrossLinkedData);
}

TEST(ReportFault, CodesThatAreNeverAsked) {
  for (uint32_t code : {kInputFileOpenError, kOutputFileOpenError, kMemoryAllocationError, kSecurityAllocationError}) {
    EngineRig rig({kAnswerFix});
    EXPECT_EQ(rig.faults.ReportFault(code, kNullOffset, FieldRef::None(), 0), WalkOutcome::Stop) << code;
    EXPECT_TRUE(rig.decider.asked.empty()) << code;
    EXPECT_EQ(rig.faults.Error().code, code);
  }
}

TEST(ReportFault, UnfixableCodeAnsweredFixOrFixAllStaysUnfixed) {
  for (uint32_t code : {kFileSeekError, kUnusedBlockInUse}) {
    EngineRig rig({kAnswerFixAll});
    rig.modes.Set(code, kFixAsk);
    EXPECT_EQ(rig.faults.ReportFault(code, 5, FieldRef::None(), 0), WalkOutcome::Stop);
    EXPECT_TRUE(rig.faults.IsErrorLeft());
    EXPECT_FALSE(rig.faults.Changed());
    EXPECT_EQ(rig.log.Count("# Attempt"), 0);
  }
}

TEST(ReportFault, SkipOneAndUnknownAnswersAreNotFixed) {
  for (uint32_t answer : {kAnswerSkip, kAnswerNone, kAnswerOk}) {
    EngineRig rig({answer});
    EXPECT_EQ(rig.faults.ReportFault(kInvalidCellSize, 5, FieldRef::None(), 0), WalkOutcome::Stop);
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
  EXPECT_NE(rig.faults.ReportFault(code, 0, ref, repair), WalkOutcome::Stop) << code;
  return Le32(field);
}

// Every code that can be fixed, reported with a field: a code whose fix is the raising check's
// own never changes a byte of the field; a code whose fix is a value given writes that
// value and nothing else; the fixes that are worked out from the field are checked one by one.
TEST(ApplyFix, WritesEachCodesRepair) {
  for (uint32_t code = 1; code < kErrorCodeCount; ++code) {
    const Repair repair = FaultOf(code).repair;
    if (repair == Repair::Never || code == kInvalidSignature) continue;
    const uint32_t after = Repaired(code, 0x07070707, 0xA5A5);
    if (repair == Repair::Caller) {
      EXPECT_EQ(after, 0x07070707u) << "code " << code << " leaves its field to the check";
    } else if (repair == Repair::Value) {
      EXPECT_EQ(after, 0xA5A5u) << "code " << code << " writes the value given";
    } else {
      EXPECT_NE(after, 0x07070707u) << "code " << code << " writes its repair";
    }
  }
  EXPECT_EQ(Repaired(kInvalidSignature, 0x66676578, 0), 0x66676572u);
  EXPECT_EQ(Repaired(kOrphanValueList, 7, 0), 0xFFFFFFFFu);
  EXPECT_EQ(Repaired(kErasedValueList, 7, 0), 0u);
  EXPECT_EQ(Repaired(kDefaultValueExists, 0xFFFF0003, 0, true), 0xFFFF0002u) << "only the 16-bit field changes";
  EXPECT_EQ(Repaired(kDefaultValueHasName, 0x0001, 0, true), 0u);
  EXPECT_EQ(Repaired(kZeroDataLength, 0x80000000, 0), 0x80000004u);
  EXPECT_EQ(Repaired(kZeroDataLength, 0, 0), 4u);
  EXPECT_EQ(Repaired(kDataLengthTooLarge, 0x7FFFFFFF, 0), 4u);
}

TEST(ApplyFix, SecurityCodesWithoutAFieldAreFixedWithoutWriting) {
  EngineRig rig;
  rig.modes.Set(kNullSecurityOffset, kFixAll);
  EXPECT_EQ(rig.faults.ReportFault(kNullSecurityOffset, 0, FieldRef::None(), 0x20), WalkOutcome::Continue);
  EXPECT_TRUE(rig.faults.Changed());
}

// What a fix tells the check that reported it, from the table's column alone: a repair written
// into its field keeps the reference; a repair the caller makes drops it (bar the names, which
// the caller mends in place); a fault left stops the check.
TEST(ReportFault, AnswersWhatTheFixMeansForTheCaller) {
  struct Row {
    uint32_t code;
    bool field;
    uint32_t answer;
    WalkOutcome expected;
  };
  const Row rows[] = {
      {kSubkeyCountMismatch, true, kAnswerFix, WalkOutcome::Continue},
      {kParentOffsetMismatch, true, kAnswerFix, WalkOutcome::Continue},
      {kParentOffsetMismatch, false, kAnswerFix, WalkOutcome::Continue},  // nothing written: the caller decides
      {kOrphanValueList, true, kAnswerFixAll, WalkOutcome::Continue},
      {kDefaultValueExists, true, kAnswerFix, WalkOutcome::Drop},  // the second default goes
      {kInvalidOffset, true, kAnswerFix, WalkOutcome::Drop},
      {kCrossLinkedData, false, kAnswerFix, WalkOutcome::Drop},
      {kInvalidKeyName, false, kAnswerFix, WalkOutcome::Continue},  // renamed, kept
      {kInvalidValueName, false, kAnswerFix, WalkOutcome::Continue},
      {kSubkeyCountMismatch, true, kAnswerSkip, WalkOutcome::Stop},
      {kInvalidOffset, true, kAnswerStop, WalkOutcome::Stop},
  };
  for (const Row& row : rows) {
    EngineRig rig({row.answer});
    uint8_t field[4] = {7, 0, 0, 0};
    FieldRef ref = row.field ? FieldRef::Image32(field) : FieldRef::None();
    EXPECT_EQ(rig.faults.ReportFault(row.code, 0x40, ref, 3), row.expected) << row.code << " field " << row.field;
  }
}

TEST(ApplyFix, CallersOwnVariable) {
  EngineRig rig({kAnswerFix});
  uint32_t size = 0x3001;
  EXPECT_EQ(rig.faults.ReportFault(kInvalidSizeInfo, kNullOffset, FieldRef::Variable(size), 0x3000), WalkOutcome::Continue);
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
