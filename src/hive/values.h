// Values: each key's value count and value list, every value cell in list order, the cell that
// holds its data, and segmented ("db") data with its segment list.
#pragma once

#include <cstdint>

#include "hive/faults.h"
#include "hive/frames.h"
#include "hive/image.h"
#include "hive/marks.h"

namespace tarvos::hive {

class ValueCheck {
 public:
  ValueCheck(HiveImage& image, FrameTable& frames, CellMarks& marks, FaultReporter& faults)
      : image_(image), frames_(frames), marks_(marks), faults_(faults) {}

  // The values of a key. On drop the caller unhooks the whole list (count 0, list -1).
  WalkOutcome CheckKeyValues(uint32_t key);

 private:
  WalkOutcome CheckValue(uint32_t value, uint32_t position, bool& defaultSeen);
  // Segmented data of a value: the db cell, its segment list and every segment.
  WalkOutcome CheckSegmented(uint32_t db, uint32_t value);
  uint8_t* Cell(uint32_t offset) { return image_.AtHiveOffset(offset); }
  WalkOutcome Report(uint32_t code, uint32_t offset, FieldRef field = FieldRef::None(), uint32_t repair = 0) {
    return faults_.ReportFault(code, offset, field, repair) ? WalkOutcome::Drop : WalkOutcome::Stop;
  }

  HiveImage& image_;
  FrameTable& frames_;
  CellMarks& marks_;
  FaultReporter& faults_;
};

}  // namespace tarvos::hive
