// The check of one loaded hive after its base block: the frame pass, then the key tree walk with
// its values and security blocks, the final relink of the security ring, and the removal of the
// reference marks. Everything here lives for one hive file.
#pragma once

#include <cstdio>
#include <vector>

#include "hive/events.h"
#include "hive/faults.h"
#include "hive/frames.h"
#include "hive/image.h"
#include "hive/marks.h"
#include "hive/salvage.h"
#include "hive/second_walker.h"
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
  // On more than one core the walk is first tried with a second walker, reporting nothing; when
  // either met a fault, or a cell both marked, all of it is undone and the walk is done on one
  // core, where every fault is reported as always.
  WalkOutcome Walk() {
    if (twoWalkers && std::thread::hardware_concurrency() >= 2) {
      SecondWalker second(image_, frames, secondWalkerFirst);
      walk.SetSecondWalker(&second);
      faults_.Speculate(true);
      WalkOutcome outcome = walk.Run();
      faults_.Speculate(false);
      second.Stop();
      walk.SetSecondWalker(nullptr);
      if (!faults_.FaultSeen()) return outcome;
      marks.RemoveAllMarks();
      walk.Release();
      if (!security.SetUp()) return WalkOutcome::Stop;
    }
    return walk.Run();
  }
  // The ring of security blocks and their reference counts, from what the walk found.
  void FinalFixUps() { security.FinalRelink(); }
  // After a walk whose repairs changed the hive: the keys they cut off are brought back, and the
  // tree is walked again so that those keys are checked like any other. A subtree brought back
  // may have broken lists of its own, whose keys the walk cuts off in turn: rounds go on while
  // keys come back, up to kSalvageRounds. False when nothing came back.
  static constexpr int kSalvageRounds = 8;
  bool SalvageAndWalkAgain() {
    EngineLog& log = faults_.Services().log;
    std::vector<uint32_t> chains;
    bool salvaged = false;
    // The rounds of keys, then once the values no list names: each brought back, the tree is
    // walked again.
    for (int round = 0; round <= kSalvageRounds; ++round) {
      const bool keys = round < kSalvageRounds && SalvageKeys(image_, frames, walk, log, chains);
      if (!keys && !SalvageValues(image_, frames, walk, log)) break;
      salvaged = true;
      walk.keepRecords = true;  // the keys under each chain are counted in the last walk's records
      RemoveMarks();
      Release();
      if (!CheckFrames() || !SetUpSecurity() || Walk() == WalkOutcome::Stop || faults_.IsErrorLeft()) return true;
      if (!keys) break;
    }
    if (!salvaged) return false;
    std::vector<uint64_t> kept = KeysBelow(walk, chains);
    for (size_t i = 0; i < chains.size(); ++i) {
      EventRecord e{Event::KeysKept, chains[i]};
      e.count = kept[i];
      e.text = KeyPathOf(image_, frames, chains[i]);
      log.Happened(e);
    }
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
  bool twoWalkers = true;  // tests compare the walk on one core with the walk on two
  bool secondWalkerFirst = false;  // and give the second walker the first entry of the root's list

 private:
  HiveImage& image_;
  FaultReporter& faults_;
};

}  // namespace tarvos::hive
