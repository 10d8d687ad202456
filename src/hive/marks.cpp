#include "hive/marks.h"

namespace tarvos::hive {

uint32_t CellMarks::CellLength(uint32_t hiveOffset) const {
  uint32_t field = Le32(image_.AtHiveOffset(hiveOffset));
  return SizeFieldLength(static_cast<int32_t>(field) < 0 ? field | frames_.UsedCellMark() : field & ~frames_.FreeCellMark());
}

WalkOutcome CellMarks::MarkCell(uint32_t hiveOffset) {
  uint8_t* sizeField = image_.AtHiveOffset(hiveOffset);
  uint32_t field = Le32(sizeField);
  bool allocated = static_cast<int32_t>(field) < 0;
  uint32_t bit = allocated ? frames_.UsedCellMark() : frames_.FreeCellMark();
  // Without a spare bit for this kind of cell, its mark is kept in the cell table instead.
  CellEntry* side = bit == 0 ? frames_.Lookup(hiveOffset) : nullptr;
  bool marked = bit != 0 ? (allocated ? (field & bit) == 0 : (field & bit) != 0)
                         : side != nullptr && (side->kind & kCellSideMark) != 0;
  if (marked) {
    return faults_.ReportFault(kCrossLinkedData, hiveOffset, FieldRef::None(), 0) ? WalkOutcome::Drop
                                                                                   : WalkOutcome::Stop;
  }
  referenced_ += CellLength(hiveOffset);
  uint64_t total = frames_.TotalAllocated();
  ProgressSink& progress = faults_.Services().progress;
  progress.SetGauge(referenced_ > total ? 1000
                                        : gauge_.Of(static_cast<uint32_t>(referenced_), static_cast<uint32_t>(total)));
  if (bit != 0) {
    PutLe32(sizeField, allocated ? field & ~bit : field | bit);
  } else if (side != nullptr) {
    side->kind |= kCellSideMark;
  }
  return WalkOutcome::Continue;
}

WalkOutcome CellMarks::CheckOverlap(uint32_t hiveOffset, uint64_t needed) {
  uint32_t available = 0u - (Le32(image_.AtHiveOffset(hiveOffset)) | frames_.UsedCellMark());
  if (available >= needed) return WalkOutcome::Continue;
  return faults_.ReportFault(kDataOverlapped, hiveOffset, FieldRef::None(), 0) ? WalkOutcome::Drop : WalkOutcome::Stop;
}

void CellMarks::RemoveAllMarks() {
  uint8_t* buffer = image_.Buffer();
  if (buffer == nullptr) return;
  const uint32_t used = frames_.UsedCellMark();
  const uint32_t free = frames_.FreeCellMark();
  for (uint32_t page = 1; (used | free) != 0 && page < frames_.PageCount(); ++page) {
    const FramePage& head = frames_.Page(page);
    if (head.frameSize == 0 || head.frameSize == FramePage::kContinuation) continue;
    const uint32_t end = head.fileOffset + head.frameSize;
    for (uint32_t at = head.fileOffset + frame::kHeaderSize; at + 4 <= end;) {
      uint32_t field = Le32(buffer + at);
      field = static_cast<int32_t>(field) < 0 ? field | used : field & ~free;
      PutLe32(buffer + at, field);
      uint32_t length = SizeFieldLength(field);
      if (length == 0 || length > end - at) break;  // the frame pass left no such cell
      at += length;
    }
  }
  for (size_t i = 0; i < frames_.CellCount(); ++i) frames_.Cell(i).kind &= static_cast<uint8_t>(~kCellSideMark);
  referenced_ = 0;
}

}  // namespace tarvos::hive
