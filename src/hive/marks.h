// Reference marks: every cell the key tree walk reaches is marked, so that a second reference to
// it is found (cross-linked data); and the overlap check, which tests that a structure fits in
// its cell. The marks live in a spare bit of each cell's size field and are all removed again
// before anything is saved.
#pragma once

#include <cstdint>

#include "hive/faults.h"
#include "hive/frames.h"
#include "hive/image.h"

namespace tarvos::hive {

// The result of every step of the walk: carry on; take the reference out (a fix was applied
// that drops it); or stop (a fault was left unfixed, memory ran out, or the run is stopped).
enum class WalkOutcome { Continue, Drop, Stop };

class CellMarks {
 public:
  CellMarks(HiveImage& image, FrameTable& frames, FaultReporter& faults)
      : image_(image), frames_(frames), faults_(faults) {}

  // Marks a cell that passed the offset check; a second reference is code 38.
  WalkOutcome MarkCell(uint32_t hiveOffset);
  // Code 42 when the cell holds fewer than needed bytes (its size field included).
  WalkOutcome CheckOverlap(uint32_t hiveOffset, uint64_t needed);
  // Puts back every size field (and clears the marks kept beside the image).
  void RemoveAllMarks();

  // The length of a cell with any mark stripped.
  uint32_t CellLength(uint32_t hiveOffset) const;
  uint64_t ReferencedBytes() const { return referenced_; }

 private:
  HiveImage& image_;
  FrameTable& frames_;
  FaultReporter& faults_;
  uint64_t referenced_ = 0;
  PermilleSteps gauge_;
};

}  // namespace tarvos::hive
