// Progress of the run. In a full-screen run the whole screen is the progress window: the title
// and the offset reached, the file, the four stages with their markers, the Pause and Exit
// buttons, the gauge of the current stage and the status line with the key being checked. Line
// mode draws nothing; both poll the input, which lets the user pause or stop a long stage.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "console/dialogs.h"
#include "hive/engine_io.h"

namespace tarvos::console {

enum ProgressStage : uint32_t { kStageLoading = 0, kStageStructure = 1, kStageData = 2, kStageSaving = 3 };

inline constexpr uint32_t kGaugeReset = 0xFFFFFFFF;
inline constexpr const char* kStageLabels[] = {"Loading", "Processing hive structure", "Processing hive data", "Saving"};

class ProgressScreen final : public hive::ProgressSink {
 public:
  explicit ProgressScreen(Dialogs& dialogs) : dialogs_(dialogs) {}

  // Polls the input (and waits on it for as long as the run is paused); false once the user has
  // confirmed Exit. Shows the offset reached.
  bool PollProgress(uint32_t fileOffset) override;
  void SetGauge(uint32_t permille) override;
  void ShowStatusLine(std::string_view text) override;

  // Once per run, in a full-screen run: the window table laid out, then the whole window drawn.
  void CreateProgressScreen();
  void DrawProgressScreen();
  // At the start of each file: its name, cut to the field with three full stops.
  void ShowFileHeader(const std::string& name);
  // Before each stage of a file; polls the input, so the run may be stopped here.
  void SetStage(uint32_t stage);
  void ClearStageMarkers();
  // Below the stages, while nothing asks about faults (check only): how many the file has shown
  // so far, and the last one; count 0 clears both lines.
  void ShowFault(size_t count, const std::string& text);
  // At the end of the run: the screen cleared, no window current any more.
  void CloseProgressScreen();

  // Draws the offset, gauge and status line held back since the last flush.
  void DrawPending();
  // The gauge: its length and the cells drawn filled.
  int GaugeLength() const { return gaugeLength_; }
  int GaugeFilled() const { return gaugeFilled_; }

 private:
  Screen* Scr() { return dialogs_.Ui() != nullptr ? &dialogs_.Ui()->screen : nullptr; }
  // The terminal sees the screen at most every kPresentMs during a stage; force for a stage
  // change, a dialog or the end. The offset, the gauge and the status line change far more often
  // than that: they are kept, and drawn here.
  // now: the clock as the caller read it, or 0.
  void Present(bool force, uint64_t now = 0);
  // The whole window as the run stands: what DrawProgressScreen draws, the file, the stage
  // markers, the gauge, the offset, the status line and the faults shown.
  void DrawWhole();
  void DrawFileHeader();
  void DrawFaults();
  int16_t W() { return static_cast<int16_t>(Scr()->Width()); }
  int16_t H() { return static_cast<int16_t>(Scr()->Height()); }

  // Line mode: the stage and its per cent on standard error, at most every kLineMs.
  void ShowProgressLine(uint32_t permille);
  static constexpr uint64_t kLineMs = 100;
  uint32_t lineStage_ = 0;
  int linePercent_ = -1;
  uint64_t lastLine_ = 0;
  std::string lineName_;

  static constexpr uint64_t kPresentMs = 30;
  static constexpr uint64_t kInputMs = 5;
  Dialogs& dialogs_;
  int gaugeLength_ = 0;
  int gaugeFilled_ = 0;
  uint64_t lastPresent_ = 0;
  uint64_t lastInput_ = 0;
  uint32_t offset_ = 0;
  uint32_t gaugeValue_ = 0;
  bool gaugeShown_ = true;
  std::string status_;
  bool statusShown_ = true;
  std::string name_;  // the file being checked
  int stage_ = -1;  // its stage, -1 between files
  size_t faultCount_ = 0;
  std::string faultText_;
};

}  // namespace tarvos::console
