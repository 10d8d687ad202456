// Progress of the run: the stage, the gauge and the offset reached, and the polling of the input
// that lets the user pause or stop a long stage. Line mode draws nothing; it only polls.
#pragma once

#include <cstdint>
#include <string_view>

#include "console/dialogs.h"
#include "hive/engine_io.h"

namespace tarvos::console {

enum ProgressStage : uint32_t { kStageLoading = 0, kStageStructure = 1, kStageData = 2, kStageSaving = 3 };

class ProgressScreen final : public hive::ProgressSink {
 public:
  explicit ProgressScreen(Dialogs& dialogs) : dialogs_(dialogs) {}

  // Polls the input once (and for as long as the run is paused); false once the user has
  // confirmed Exit.
  bool PollProgress(uint32_t fileOffset) override;
  void SetGauge(uint32_t) override {}
  void ShowStatusLine(std::string_view) override {}

  // Before each stage of a file; polls the input, so the run may be stopped here.
  void SetStage(uint32_t stage);
  // At the end of the run: no window is current any more.
  void CloseProgressScreen() { dialogs_.SetCurrentKind(kNoWindow); }

 private:
  Dialogs& dialogs_;
};

}  // namespace tarvos::console
