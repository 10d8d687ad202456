// Reference marks, cross links, the overlap check and the removal of every mark.
#include <gtest/gtest.h>

#include <cstring>

#include "hive/marks.h"
#include "support/hive_builder.h"
#include "support/memory_source.h"

namespace tarvos::hive {
namespace {

using testing::FramedHive;
using testing::HiveBuilder;

std::vector<uint32_t> AllocatedCells(HiveImage& image) {
  return testing::AllocatedCells(std::vector<uint8_t>(image.Buffer(), image.Buffer() + image.Size()));
}

std::vector<uint8_t> SampleHive(HiveBuilder& builder) {
  uint32_t a = builder.AddKey(builder.Root(), "A");
  builder.AddKey(builder.Root(), "B");
  builder.AddValue(a, "v", 3, std::vector<uint8_t>(100, 1));
  builder.NewFrame(0x2000);
  builder.AddValue(a, "w", 3, std::vector<uint8_t>(5000, 2));
  return builder.Build();
}

TEST(MarkCell, SecondReferenceIsCrossLinked) {
  HiveBuilder builder;
  FramedHive h(SampleHive(builder), {kAnswerFix, kAnswerStop});
  ASSERT_TRUE(h.passed);
  CellMarks marks(h.image, h.frames, h.rig.faults);
  uint32_t key = h.image.rootKeyOffset;
  EXPECT_EQ(marks.MarkCell(key), WalkOutcome::Continue);
  EXPECT_EQ(h.frames.OffsetCheck(key), kOffsetValid) << "a marked cell is still allocated";
  EXPECT_EQ(marks.CellLength(key), 0u - Le32(h.image.AtHiveOffset(key)));
  EXPECT_EQ(marks.MarkCell(key), WalkOutcome::Drop);
  EXPECT_EQ(h.rig.decider.asked.back(), std::make_pair(uint32_t{kCrossLinkedData}, key));
  EXPECT_EQ(marks.MarkCell(key), WalkOutcome::Stop);
  EXPECT_EQ(h.rig.faults.Error().code, kCrossLinkedData);
}

TEST(MarkCell, EveryCellOnceEndsTheGaugeAt1000AndTheMarksStayOutOfTheImage) {
  HiveBuilder builder;
  FramedHive h(SampleHive(builder), {kAnswerFix});
  ASSERT_TRUE(h.passed);
  std::vector<uint8_t> before(h.image.Buffer(), h.image.Buffer() + h.image.Size());
  CellMarks marks(h.image, h.frames, h.rig.faults);
  h.rig.progress.gauge.clear();
  std::vector<uint32_t> cells = AllocatedCells(h.image);
  ASSERT_GT(cells.size(), 1u);
  for (uint32_t cell : cells) EXPECT_EQ(marks.MarkCell(cell), WalkOutcome::Continue) << "no false cross link";
  EXPECT_EQ(h.rig.progress.gauge.back(), 1000u);
  EXPECT_EQ(marks.ReferencedBytes(), h.frames.TotalAllocated());
  EXPECT_EQ(std::memcmp(before.data(), h.image.Buffer(), before.size()), 0);
  EXPECT_EQ(marks.MarkCell(cells[1]), WalkOutcome::Drop) << "a real second reference is still found";
  marks.RemoveAllMarks();
  for (uint32_t cell : cells) EXPECT_EQ(marks.MarkCell(cell), WalkOutcome::Continue) << "removed from the table too";
}

TEST(CheckOverlap, ListLongerThanItsCell) {
  HiveBuilder builder;
  builder.AddKey(builder.Root(), "A");
  builder.AddKey(builder.Root(), "B");
  FramedHive h(builder.Build(), {kAnswerFix, kAnswerStop});
  ASSERT_TRUE(h.passed);
  CellMarks marks(h.image, h.frames, h.rig.faults);
  uint32_t list = builder.ListOf(builder.Root());
  uint32_t length = marks.CellLength(list);
  ASSERT_EQ(length, 24u) << "lf with two entries";
  EXPECT_EQ(marks.MarkCell(list), WalkOutcome::Continue);
  EXPECT_EQ(marks.CheckOverlap(list, 8 + 8 * 2), WalkOutcome::Continue) << "marked, still measured right";
  EXPECT_EQ(marks.CheckOverlap(list, length), WalkOutcome::Continue);
  EXPECT_EQ(marks.CheckOverlap(list, 8 + 8 * 3), WalkOutcome::Drop);
  EXPECT_EQ(h.rig.decider.asked.back(), std::make_pair(uint32_t{kDataOverlapped}, list));
  EXPECT_EQ(marks.CheckOverlap(list, 8 + 8 * uint64_t{0x20000000}), WalkOutcome::Stop) << "no wrap-around";
}

TEST(CheckOverlap, FreeCellAlwaysFits) {
  HiveBuilder builder;
  uint32_t free = builder.AddFreeCell(16);
  FramedHive h(builder.Build());
  ASSERT_TRUE(h.passed);
  CellMarks marks(h.image, h.frames, h.rig.faults);
  EXPECT_EQ(marks.CheckOverlap(free, 0x7FFFFFFF), WalkOutcome::Continue);
}

}  // namespace
}  // namespace tarvos::hive
