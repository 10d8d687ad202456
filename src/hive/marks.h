// Reference marks: every cell the key tree walk reaches is marked, so that a second reference to
// it is found (cross-linked data); and the overlap check, which tests that a structure fits in
// its cell. The marks live in the cell table beside the image (a second walker keeps its own):
// no byte of the hive is changed by them.
#pragma once

#include <cstdint>

#include "hive/faults.h"
#include "hive/frames.h"
#include "hive/image.h"

namespace tarvos::hive {

class CellMarks {
 public:
  CellMarks(HiveImage& image, FrameTable& frames, FaultReporter& faults)
      : image_(image), frames_(frames), faults_(faults) {}

  // Marks a cell that passed the offset check; a second reference is code 38.
  WalkOutcome MarkCell(uint32_t hiveOffset);
  // Code 42 when the cell holds fewer than needed bytes (its size field included).
  WalkOutcome CheckOverlap(uint32_t hiveOffset, uint64_t needed);
  // Whether the walk marked a cell (in the cell table).
  bool Marked(uint32_t hiveOffset) {
    const CellEntry* entry = frames_.Lookup(hiveOffset);
    return entry != nullptr && (entry->Kind() & kCellReached) != 0;
  }
  // Takes back the mark a reference just set on a cell that it turned out not to reach.
  void Unmark(uint32_t hiveOffset) {
    CellEntry* entry = frames_.Lookup(hiveOffset);
    if (ownFlags_ || entry == nullptr || (entry->Kind() & kCellReached) == 0) return;
    entry->ClearBits(kCellReached);
    referenced_ -= CellLength(hiveOffset);
  }
  // Clears every mark.
  void RemoveAllMarks();

  // The length of a cell.
  uint32_t CellLength(uint32_t hiveOffset) const;
  uint64_t ReferencedBytes() const { return referenced_; }

  // Whether a security block was registered by this walk (the flag lives with the marks).
  bool IsRegistered(const CellEntry* entry);
  void SetRegistered(CellEntry* entry, bool registered);

  // A second walker, beside the one whose marks are in the cell table, keeps its marks and
  // registered blocks in flags of its own, by cell index, and writes nothing shared.
  void KeepOwnFlags() { ownFlags_ = true; }
  // Takes a second walker's marks into the cell table and its referenced bytes (less those of
  // the blocks both registered, counted once); false when a cell was marked by both and is not
  // a security block both registered, which is a second reference: the walks are then of no use.
  bool TakeOver(CellMarks& other, uint64_t sharedBlockBytes);
  // The gauge for the bytes referenced so far.
  void ShowGauge();

 private:
  HiveImage& image_;
  FrameTable& frames_;
  FaultReporter& faults_;
  static constexpr uint8_t kOwnMarked = 1;
  static constexpr uint8_t kOwnRegistered = 2;
  // This walker's flag byte of a cell; nullptr when memory ran out.
  uint8_t* OwnFlag(const CellEntry* entry);

  uint64_t referenced_ = 0;
  bool ownFlags_ = false;
  SoftArray<uint8_t> own_;
  PermilleSteps gauge_;
};

}  // namespace tarvos::hive
