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
  // Without a spare bit for this kind of cell, its mark is kept in the cell table instead (or in
  // the walker's own flags).
  CellEntry* side = bit == 0 ? frames_.Lookup(hiveOffset) : nullptr;
  uint8_t* own = ownFlags_ && side != nullptr ? OwnFlag(side) : nullptr;
  if (ownFlags_ && side != nullptr && own == nullptr) {
    faults_.ReportFault(kMemoryAllocationError, kNullOffset, FieldRef::None(), 0);
    return WalkOutcome::Stop;
  }
  bool marked = bit != 0        ? (allocated ? (field & bit) == 0 : (field & bit) != 0)
                : own != nullptr ? (*own & kOwnMarked) != 0
                                 : side != nullptr && (side->Kind() & kCellSideMark) != 0;
  if (marked) {
    return faults_.ReportFault(kCrossLinkedData, hiveOffset, FieldRef::None(), 0) ? WalkOutcome::Drop
                                                                                   : WalkOutcome::Stop;
  }
  referenced_ += CellLength(hiveOffset);
  ShowGauge();
  if (bit != 0) {
    PutLe32(sizeField, allocated ? field & ~bit : field | bit);
  } else if (own != nullptr) {
    *own |= kOwnMarked;
  } else if (side != nullptr) {
    side->SetBits(kCellSideMark);
  }
  return WalkOutcome::Continue;
}

uint8_t* CellMarks::OwnFlag(const CellEntry* entry) {
  size_t index = frames_.IndexOf(entry);
  if (index >= own_.Size() && !own_.Resize(frames_.CellCount())) return nullptr;
  return &own_[index];
}

bool CellMarks::IsRegistered(const CellEntry* entry) {
  if (!ownFlags_) return (entry->Kind() & kCellRegistered) != 0;
  const uint8_t* own = OwnFlag(entry);
  return own != nullptr && (*own & kOwnRegistered) != 0;
}

void CellMarks::SetRegistered(CellEntry* entry, bool registered) {
  if (!ownFlags_) {
    if (registered) {
      entry->SetBits(kCellRegistered);
    } else {
      entry->ClearBits(kCellRegistered);
    }
    return;
  }
  if (uint8_t* own = OwnFlag(entry)) *own = static_cast<uint8_t>(registered ? *own | kOwnRegistered : *own & ~kOwnRegistered);
}

bool CellMarks::TakeOver(CellMarks& other, uint64_t sharedBlockBytes) {
  for (size_t i = 0; i < other.own_.Size(); ++i) {
    if ((other.own_[i] & kOwnMarked) == 0) continue;
    CellEntry& entry = frames_.Cell(i);
    if ((entry.Kind() & kCellSideMark) == 0) {
      entry.SetBits(kCellSideMark);
    } else if ((other.own_[i] & kOwnRegistered) == 0 || (entry.Kind() & kCellRegistered) == 0) {
      return false;
    }
  }
  referenced_ += other.referenced_ - sharedBlockBytes;
  return true;
}

void CellMarks::ShowGauge() {
  uint64_t total = frames_.TotalAllocated();
  faults_.Services().progress.SetGauge(
      referenced_ > total ? 1000 : gauge_.Of(static_cast<uint32_t>(referenced_), static_cast<uint32_t>(total)));
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
  for (size_t i = 0; i < frames_.CellCount(); ++i) frames_.Cell(i).ClearBits(kCellSideMark);
  own_.Clear();
  referenced_ = 0;
}

}  // namespace tarvos::hive
