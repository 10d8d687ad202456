// A second walker for the key tree walk on a machine with more than one core: it and the walk
// claim the entries of the root key's own list one at a time, it keeps marks and registered blocks
// of its own, and the walk takes its work over when no entry is left.
// It reports nothing: its first fault ends its share, and the walk is then done again on one core,
// where every fault is reported as always. It only reads the image and the cell table.
#pragma once

#include <atomic>
#include <thread>

#include "hive/faults.h"
#include "hive/frames.h"
#include "hive/image.h"
#include "hive/marks.h"
#include "hive/security.h"
#include "hive/values.h"
#include "hive/walk.h"

namespace tarvos::hive {

class SecondWalker final : private FaultDecider, private ProgressSink, private EngineLog {
 public:
  // firstClaim: Start returns once the second walker has claimed the list's first entry (tests
  // that need it to have a share).
  SecondWalker(HiveImage& image, FrameTable& frames, bool firstClaim = false);
  ~SecondWalker() { Stop(); }
  SecondWalker(const SecondWalker&) = delete;
  SecondWalker& operator=(const SecondWalker&) = delete;

  // Walks the entries it claims of the root's list on a thread of its own; false when no thread
  // (or memory) could be had.
  bool Start(WalkNode& root, uint32_t list, uint32_t stride, uint32_t owner, uint32_t count);
  // The next entry of the root's list to be claimed, by either walker.
  std::atomic<uint32_t>& Claims() { return claims_; }
  // Waits for the share; true when it was walked whole without a fault.
  bool Finish();
  // Ends the share early (the walk stopped) and waits for it.
  void Stop();

  KeyWalk& Walk() { return walk_; }
  CellMarks& Marks() { return marks_; }
  SecurityRegistry& Security() { return security_; }

 private:
  uint32_t AskErrorAction(uint32_t, uint32_t) override { return kAnswerStop; }
  bool ConfirmSignatureRepair() override { return false; }
  bool PollProgress(uint32_t) override { return !stop_.load(std::memory_order_relaxed); }
  void SetGauge(uint32_t) override {}
  void ShowStatusLine(std::string_view) override {}
  void Entry(LogMarker, std::string_view) override {}
  void Break() override {}

  FixModeTable modes_;
  FaultReporter faults_;
  KeyPathBuffer path_;
  CellMarks marks_;
  ValueCheck values_;
  SecurityRegistry security_;
  KeyWalk walk_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<uint32_t> claims_{0};
  std::atomic<bool> done_{false};
  bool firstClaim_;
  WalkOutcome outcome_ = WalkOutcome::Stop;
};

}  // namespace tarvos::hive
