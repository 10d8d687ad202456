#include "hive/marks.h"

namespace tarvos::hive {

uint32_t CellMarks::CellLength(uint32_t hiveOffset) const {
  return SizeFieldLength(Le32(image_.AtHiveOffset(hiveOffset)));
}

WalkOutcome CellMarks::MarkCell(uint32_t hiveOffset) {
  // The mark is kept in the cell table (or in the walker's own flags).
  CellEntry* side = frames_.Lookup(hiveOffset);
  uint8_t* own = ownFlags_ && side != nullptr ? OwnFlag(side) : nullptr;
  if (ownFlags_ && side != nullptr && own == nullptr) {
    faults_.ReportFault(kMemoryAllocationError, kNullOffset, FieldRef::None(), 0);
    return WalkOutcome::Stop;
  }
  bool marked = own != nullptr ? (*own & kOwnMarked) != 0 : side != nullptr && (side->Kind() & kCellReached) != 0;
  if (marked) {
    return faults_.ReportFault(kCrossLinkedData, hiveOffset, FieldRef::None(), 0);
  }
  referenced_ += CellLength(hiveOffset);
  ShowGauge();
  if (own != nullptr) {
    *own |= kOwnMarked;
  } else if (side != nullptr) {
    side->SetBits(kCellReached);
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
    if ((entry.Kind() & kCellReached) == 0) {
      entry.SetBits(kCellReached);
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
  uint32_t available = 0u - Le32(image_.AtHiveOffset(hiveOffset));
  if (available >= needed) return WalkOutcome::Continue;
  return faults_.ReportFault(kDataOverlapped, hiveOffset, FieldRef::None(), 0);
}

void CellMarks::RemoveAllMarks() {
  for (size_t i = 0; i < frames_.CellCount(); ++i) frames_.Cell(i).ClearBits(kCellReached);
  own_.Clear();
  referenced_ = 0;
}

}  // namespace tarvos::hive
