// The check of one loaded hive after its base block: the frame pass, then the key tree walk with
// its values and security blocks, the final relink of the security ring, and the removal of the
// reference marks. Everything here lives for one hive file.
#pragma once

#include <cstdio>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "hive/events.h"
#include "hive/faults.h"
#include "hive/frames.h"
#include "hive/image.h"
#include "hive/lists.h"
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
  // After a walk whose repairs changed the hive: the keys they cut off are brought back, and
  // those keys are walked so that they are checked like any other. A subtree brought back may
  // have broken lists of its own, whose keys the walk cuts off in turn: rounds go on while keys
  // come back, up to kSalvageRounds. False when nothing came back.
  static constexpr int kSalvageRounds = 8;
  bool SalvageAndWalkAgain() {
    EngineLog& log = faults_.Services().log;
    std::vector<uint32_t> chains, written;
    std::vector<ValuesAdded> given;
    bool salvaged = false;
    // The rounds of keys, then once the values no list names: each brought back, what they hang
    // from is walked. Salvage's new cells split free cells whose rest the cell table learns at a
    // frame pass only: the pass is made again before each walk.
    for (int round = 0; round <= kSalvageRounds; ++round) {
      const bool keys = round < kSalvageRounds && SalvageKeys(image_, frames, walk, log, chains, written);
      if (!keys && !SalvageValues(image_, frames, walk, log, given, written)) break;
      salvaged = true;
      bool marksKept = walkAdded && security.Pending() == 0;
      if (!marksKept) {
        RemoveMarks();
        Release();
      }
      if (!(marksKept ? CheckFramesKeepingMarks(marksKept) : CheckFrames())) return true;
      WalkOutcome outcome = WalkOutcome::Stop;
      if (marksKept) {
        // The values of the keys the tree held first, as the whole walk meets them before a new
        // lost+found: a value brought back may name a cell salvage has just taken for a list.
        outcome = keys ? WalkOutcome::Continue : CheckAddedValues(given);
        if (outcome == WalkOutcome::Continue) outcome = WalkAdded(written);
      } else if (SetUpSecurity()) {
        outcome = Walk();
      }
      if (outcome == WalkOutcome::Stop || faults_.IsErrorLeft()) return true;
      if (!keys) break;
    }
    if (!salvaged) return false;
    std::vector<uint64_t> kept = KeysBelow(image_, frames, chains);
    for (size_t i = 0; i < chains.size(); ++i) {
      EventRecord e{Event::KeysKept, chains[i]};
      e.count = kept[i];
      e.text = KeyPathOf(image_, frames, chains[i]);
      log.Happened(e);
    }
    return true;
  }
  // The frame pass again, with the marks and registered blocks of the walk so far set again at
  // their cells. False when the pass failed; kept false when a marked cell is none of the table's
  // any more, and every mark is then removed.
  bool CheckFramesKeepingMarks(bool& kept) {
    std::vector<std::pair<uint32_t, uint8_t>> bits;
    frames.ForEachCell([&bits](uint32_t offset, const CellEntry& entry) {
      const uint8_t set = entry.kind & (kCellReached | kCellRegistered);
      if (set != 0) bits.emplace_back(offset, set);
    });
    if (!CheckFrames()) return false;
    for (const auto& [offset, set] : bits) {
      CellEntry* entry = frames.OffsetCheck(offset) == kOffsetValid ? frames.Lookup(offset) : nullptr;
      if (entry == nullptr) {
        kept = false;
        RemoveMarks();
        walk.Release();
        security.Release();
        return true;
      }
      entry->SetBits(set);
    }
    return true;
  }
  // Only the keys salvage added to the lists it wrote are walked (and what hangs from them), the
  // rest of the tree having been walked since its last repair. The lists taken are those of keys
  // the walk reached before, each once: a key that was not is walked, list and all, from the key
  // above it. (A list marked by the time its key's turn comes was named by a cell walked before it,
  // from a reference older than the list: the cross link is reported as the whole walk reports it.)
  WalkOutcome WalkAdded(const std::vector<uint32_t>& written) {
    std::unordered_set<uint32_t> before, taken;
    std::vector<uint32_t> holders;
    for (uint32_t key : written) {
      if (!marks.Marked(key) || !taken.insert(key).second) continue;
      holders.push_back(key);
      for (uint32_t entry : SubkeyEntries(image_, frames, key)) {
        if (frames.OffsetCheck(entry) == kOffsetValid && marks.Marked(entry)) before.insert(entry);
      }
    }
    walk.BeginAdded(std::move(before));
    WalkOutcome outcome = WalkOutcome::Continue;
    for (size_t i = 0; i < holders.size() && outcome == WalkOutcome::Continue; ++i) {
      const uint32_t key = holders[i];
      outcome = walk.RunAdded(key, key == image_.rootKeyOffset ? std::string() : KeyPathOf(image_, frames, key));
    }
    return outcome;
  }
  // The values salvage gave to keys the walk checked: the lists written anew, and the values added
  // to them, after every value the tree held (a value brought back that names the data of one of
  // them loses it). A key not walked (a new "lost+found") is walked whole after. A key given
  // values twice (a lost+found that lost values of its own) is checked once, from the first.
  WalkOutcome CheckAddedValues(const std::vector<ValuesAdded>& added) {
    WalkOutcome outcome = WalkOutcome::Continue;
    std::unordered_set<uint32_t> done;
    for (size_t i = 0; i < added.size() && outcome == WalkOutcome::Continue; ++i) {
      const ValuesAdded& a = added[i];
      if (!marks.Marked(a.key) || !done.insert(a.key).second) continue;
      const uint8_t* k = image_.AtHiveOffset(a.key);
      const uint32_t list = Le32(k + key::kValueList), count = Le32(k + key::kValueCount);
      outcome = values.CheckKeyValues(a.key, a.kept);
      if (outcome == WalkOutcome::Drop) {
        values.UnhookList(a.key, list, count);
        outcome = WalkOutcome::Continue;
      }
    }
    return outcome;
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
  bool walkAdded = true;  // and the walk of the keys salvage brings back with the walk of the whole tree

 private:
  HiveImage& image_;
  FaultReporter& faults_;
};

}  // namespace tarvos::hive
