// Values: each key's value count and value list, every value cell in list order, the cell that
// holds its data, and segmented ("db") data with its segment list.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "hive/faults.h"
#include "hive/frames.h"
#include "hive/image.h"
#include "hive/marks.h"
#include "hive/names.h"

namespace tarvos::hive {

class ValueCheck {
 public:
  ValueCheck(HiveImage& image, FrameTable& frames, CellMarks& marks, FaultReporter& faults)
      : image_(image), frames_(frames), marks_(marks), faults_(faults) {}

  // The values of a key. On drop the caller unhooks the whole list (count 0, list -1). The
  // first checked entries were checked and marked before (the list was written anew with more
  // after them): only their names are read, for the names of the others.
  WalkOutcome CheckKeyValues(uint32_t key, uint32_t checked = 0);
  // After a drop: the key keeps no values; the list it had is kept for salvage to read.
  void UnhookList(uint32_t key, uint32_t list, uint32_t count);

 private:
  WalkOutcome CheckValue(uint32_t value, uint32_t position, bool& defaultSeen);
  // A value cell the walk marked, that holds its name: read as checked; anything else is checked.
  bool CheckedBefore(uint32_t value);
  // No two values of the key's list named alike; false when a report was not fixed.
  bool NamesApart();
  // A name no reader takes (UTF-16 of an odd length, or one that starts with a NUL) is code 51: compressed text whose flag was lost is marked so, anything
  // else gives way to a name made from the cell's offset, apart from the key's other values.
  bool CheckName(uint32_t value);
  // Segmented data of a value: the db cell, its segment list and every segment.
  WalkOutcome CheckSegmented(uint32_t db, uint32_t value);
  uint8_t* Cell(uint32_t offset) { return image_.AtHiveOffset(offset); }
  WalkOutcome Report(uint32_t code, uint32_t offset, FieldRef field = FieldRef::None(), uint32_t repair = 0) {
    return faults_.ReportFault(code, offset, field, repair);
  }

  HiveImage& image_;
  FrameTable& frames_;
  CellMarks& marks_;
  FaultReporter& faults_;
  uint32_t list_ = kNullOffset;  // the value list of the key being checked, and its count
  uint32_t count_ = 0;
  // The names of the key's values, read once at the first value that needs a name of its own.
  std::optional<TakenNames> taken_;
  // Per value kept of the key being checked: the hash of its name (odd; 0 for the default
  // value's) and its place in the list. Kept between keys, so that no key allocates.
  std::vector<std::pair<uint32_t, uint32_t>> hashes_;
};

}  // namespace tarvos::hive
