// The check of one loaded hive after its base block: the frame pass, then the key tree walk with
// its values and security blocks, the final relink of the security ring, and the removal of the
// reference marks. Everything here lives for one hive file.
#pragma once

#include "hive/faults.h"
#include "hive/frames.h"
#include "hive/image.h"
#include "hive/marks.h"
#include "hive/salvage.h"
#include "hive/security.h"
#include "hive/values.h"
#include "hive/walk.h"

namespace tarvos::hive {

class HiveCheck {
 public:
  HiveCheck(HiveImage& image, FaultReporter& faults, KeyPathBuffer& path)
      : marks(image, frames, faults),
        values(image, frames, marks, faults),
        security(image, frames, marks, faults),
        walk(image, frames, marks, faults, path, values, security),
        image_(image),
        faults_(faults) {}
  ~HiveCheck() { Release(); }
  HiveCheck(const HiveCheck&) = delete;
  HiveCheck& operator=(const HiveCheck&) = delete;

  bool CheckFrames(FrameScan* scan = nullptr) { return frames.Build(image_, faults_, scan); }
  bool SetUpSecurity() { return security.SetUp(); }
  WalkOutcome Walk() { return walk.Run(); }
  void FinalFixUps() { security.FinalRelink(); }
  // After a walk whose repairs changed the hive: the keys they cut off are brought back, and the
  // tree is walked again so that those keys are checked like any other. False when nothing came
  // back.
  bool SalvageAndWalkAgain() {
    if (!SalvageKeys(image_, frames, walk, faults_.Services().log)) return false;
    RemoveMarks();
    Release();
    if (CheckFrames() && SetUpSecurity()) Walk();
    return true;
  }
  void RemoveMarks() { marks.RemoveAllMarks(); }
  // Frees the walk records, the registry and the cell table, in that order.
  void Release() {
    walk.Release();
    security.Release();
    frames.Release();
  }

  FrameTable frames;
  CellMarks marks;
  ValueCheck values;
  SecurityRegistry security;
  KeyWalk walk;

 private:
  HiveImage& image_;
  FaultReporter& faults_;
};

}  // namespace tarvos::hive
