// A hive checked from bytes through the key tree walk, with scripted answers.
#pragma once

#include <deque>
#include <memory>
#include <vector>

#include "hive/check.h"
#include "hive/recovery.h"
#include "support/hive_builder.h"
#include "support/memory_source.h"
#include "support/temp_dir.h"

namespace tarvos::testing {

// Runs as the program does after loading: recovery from the logs given when the hive is dirty,
// the base block, frames, security set-up, the walk, the final relink when no fault is left, and
// the removal of the marks.
struct WalkedHive {
  // salvage: keys that the repairs cut off are brought back and the tree walked again, as the
  // program does; tests of the walk's own repairs leave it out.
  // twoWalkers: the walk is tried on two cores first, as the program does on such a machine.
  // walkAdded: after salvage only the keys brought back are walked, as the program does; else the
  // whole tree is walked again.
  explicit WalkedHive(std::vector<uint8_t> bytes, std::deque<uint32_t> answers = {},
                      const std::vector<hive::TransactionLog>& logs = {}, bool salvage = true, bool twoWalkers = true,
                      bool walkAdded = true)
      : rig(std::move(answers)), check(image, rig.faults, path), frames(check.frames), walk(check.walk) {
    check.walkAdded = walkAdded;
    MemorySource source(std::move(bytes));
    source.atOnce = true;  // read by two threads, the frames scanned as they arrive
    Check(source, logs, salvage, twoWalkers);
  }
  // The same, from a file of those bytes that the image maps, as the program loads a plain file.
  struct Mapped {};
  WalkedHive(Mapped, const std::vector<uint8_t>& bytes, std::deque<uint32_t> answers = {})
      : rig(std::move(answers)), check(image, rig.faults, path), frames(check.frames), walk(check.walk) {
    folder = std::make_unique<TempDir>();
    std::string file = folder->Path("hive");
    if (!WriteFileBytes(file, bytes)) return;
    hive::FileHiveSource source(true);
    // Small hives too have the second half of their frames checked on the second core.
    check.frames.splitFrom = 2 * hive::kPageSize;
    Check(source, {}, true, true, file);
  }
  // One thread from any source, whose bytes are read once into the image: the walk on one core, no
  // frame scan beside the read, and a log that keeps nothing. The fuzz targets run this way, many
  // inputs a second; the threaded paths have tests of their own.
  struct Lean {};
  WalkedHive(Lean, hive::HiveSource& source, std::deque<uint32_t> answers,
             const std::vector<hive::TransactionLog>& logs = {})
      : rig(std::move(answers)), check(image, rig.faults, path), frames(check.frames), walk(check.walk) {
    rig.log.keep = false;
    Check(source, logs, true, false, "hive", false);
  }
  void Check(hive::HiveSource& source, const std::vector<hive::TransactionLog>& logs, bool salvage, bool twoWalkers,
             const std::string& name = "hive", bool scanFrames = true) {
    check.twoWalkers = twoWalkers;
    check.secondWalkerFirst = twoWalkers;
    hive::FrameScan scan;
    hive::FrameScan* watcher = scanFrames ? &scan : nullptr;
    loaded = hive::LoadHive(image, rig.faults, source, name, std::nullopt, watcher) == hive::kLoadDone;
    mappedAtLoad = image.Mapped();
    if (loaded && hive::IsDirty(image)) scan.Discard();
    recovered = loaded && hive::RecoverFromLogs(image, logs, rig.log);
    if (recovered) rig.faults.MarkChanged();
    startSize = image.Size();
    headerPassed = loaded && hive::CheckBaseBlock(image, rig.faults);
    passed = headerPassed && check.CheckFrames(watcher);
    if (passed && check.SetUpSecurity()) {
      outcome = check.Walk();
      if (salvage && !rig.faults.IsErrorLeft() && rig.faults.Changed()) salvaged = check.SalvageAndWalkAgain();
      if (!rig.faults.IsErrorLeft()) check.FinalFixUps();
      check.RemoveMarks();
    }
  }
  uint32_t Field(uint32_t cell, uint32_t at) { return hive::Le32(image.AtHiveOffset(cell) + at); }
  std::vector<uint32_t> AskedCodes() const {
    std::vector<uint32_t> codes;
    for (auto& asked : rig.decider.asked) codes.push_back(asked.first);
    return codes;
  }
  // The image as it stands after the check and the removal of the marks.
  std::vector<uint8_t> Bytes() const { return std::vector<uint8_t>(image.Buffer(), image.Buffer() + image.Size()); }
  uint32_t Subkeys(uint32_t key) { return Field(key, hive::key::kSubkeyCount); }
  uint32_t ListOf(uint32_t key) { return Field(key, hive::key::kSubkeyList); }
  uint16_t ListCount(uint32_t list) { return hive::Le16(image.AtHiveOffset(list) + hive::list::kCount); }

  std::unique_ptr<TempDir> folder;  // of the file mapped
  EngineRig rig;
  hive::HiveImage image;
  hive::KeyPathBuffer path;
  hive::HiveCheck check;
  hive::FrameTable& frames;
  hive::KeyWalk& walk;
  bool loaded = false;
  bool mappedAtLoad = false;
  bool recovered = false;
  bool salvaged = false;
  bool headerPassed = false;
  bool passed = false;
  size_t startSize = 0;  // of the image once loaded and the logs replayed
  hive::WalkOutcome outcome = hive::WalkOutcome::Stop;
};

// Every fault fixed: the answers of a user who pressed "Fix All" at every prompt.
inline std::deque<uint32_t> FixAllAnswers() { return std::deque<uint32_t>(64, kAnswerFixAll); }

}  // namespace tarvos::testing
