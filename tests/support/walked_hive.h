// A hive checked from bytes through the key tree walk, with scripted answers.
#pragma once

#include <deque>
#include <vector>

#include "hive/marks.h"
#include "hive/walk.h"
#include "support/memory_source.h"

namespace tarvos::testing {

struct WalkedHive : FramedHive {
  explicit WalkedHive(std::vector<uint8_t> bytes, std::deque<uint32_t> answers = {})
      : FramedHive(std::move(bytes), std::move(answers)),
        marks(image, frames, rig.faults),
        walk(image, frames, marks, rig.faults, path) {
    if (passed) {
      outcome = walk.Run();
      marks.RemoveAllMarks();
    }
  }
  // The image as it stands after the walk and the removal of the marks.
  std::vector<uint8_t> Bytes() const { return std::vector<uint8_t>(image.Buffer(), image.Buffer() + image.Size()); }
  uint32_t Subkeys(uint32_t key) { return Field(key, hive::key::kSubkeyCount); }
  uint32_t ListOf(uint32_t key) { return Field(key, hive::key::kSubkeyList); }
  uint16_t ListCount(uint32_t list) { return hive::Le16(image.AtHiveOffset(list) + hive::list::kCount); }

  hive::KeyPathBuffer path;
  hive::CellMarks marks;
  hive::KeyWalk walk;
  hive::WalkOutcome outcome = hive::WalkOutcome::Stop;
};

// Every fault fixed: the answers of a user who pressed "Fix All" at every prompt.
inline std::deque<uint32_t> FixAllAnswers() { return std::deque<uint32_t>(64, hive::kAnswerFixAll); }

}  // namespace tarvos::testing
