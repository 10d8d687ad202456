#include "console/progress.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/text.h"

namespace tarvos::console {

namespace {

constexpr int16_t kStageRow = 7;
constexpr int16_t kMarkerColumn = 10;
constexpr int16_t kLabelColumn = 13;
constexpr int16_t kGaugeColumn = 13;
const char kChecking[] = " is now checking file:";

// Key names reach the status line as code page 866 bytes (see DisplayChar): their Cyrillic
// letters are shown as such.
uint32_t KeyPathChar(uint8_t b) {
  if (b >= 0x80 && b <= 0xAF) return 0x0410u + (b - 0x80u);
  if (b >= 0xE0 && b <= 0xEF) return 0x0440u + (b - 0xE0u);
  if (b == 0xF0) return 0x0401;
  if (b == 0xF1) return 0x0451;
  return b < 0x80 ? b : '?';
}

}  // namespace

void ProgressScreen::Present(bool force, uint64_t now) {
  if (now == 0) now = platform::MonotonicMs();
  if (!force && now - lastPresent_ < kPresentMs) return;
  lastPresent_ = now;
  DrawPending();
  Scr()->Present();
}

void ProgressScreen::DrawPending() {
  Screen* screen = Scr();
  if (screen == nullptr) return;
  char text[16];
  if (offset_ != 0) {
    std::snprintf(text, sizeof text, "0x%08X", offset_);
  } else {
    std::snprintf(text, sizeof text, "%10s", "");
  }
  screen->WriteText({static_cast<int16_t>(W() - 12), 2}, text);
  if (!gaugeShown_) {
    gaugeShown_ = true;
    int16_t row = static_cast<int16_t>(H() - 3);
    int filled = static_cast<int>((static_cast<uint32_t>(gaugeLength_) * gaugeValue_ + 500) / 1000);
    // Without colours the bar is drawn in reverse video: a block would show as a gap there.
    const bool mono = screen->Monochrome();
    for (int i = gaugeFilled_; i < filled; ++i) {
      screen->PutCell({static_cast<int16_t>(kGaugeColumn + i), row}, mono ? glyph::kBlank : glyph::kFilled,
                      mono ? platform::kMonoFocus : colour::kGaugeFilled);
    }
    if (filled > gaugeFilled_) gaugeFilled_ = filled;
    // Left in four cells, the ones a shorter value leaves cleared ("2%" after "38%").
    std::snprintf(text, sizeof text, "%-4s", (std::to_string(gaugeValue_ / 10) + "%").c_str());
    screen->WriteText({static_cast<int16_t>(W() - 6), row}, text);
  }
  if (!statusShown_) {
    statusShown_ = true;
    size_t width = static_cast<size_t>(W() - 4);
    std::vector<uint32_t> chars(width, ' ');
    for (size_t i = 0; i < width && i < status_.size(); ++i) chars[i] = KeyPathChar(static_cast<uint8_t>(status_[i]));
    screen->WriteChars({2, static_cast<int16_t>(H() - 1)}, chars, width);
  }
}

bool ProgressScreen::PollProgress(uint32_t fileOffset) {
  if (dialogs_.AbortRequested()) return false;  // the run is being stopped: no more input for it
  FullScreen* ui = dialogs_.Ui();
  if (ui == nullptr) {
    dialogs_.PollInput(false);
    while (dialogs_.RunPaused() && !dialogs_.AbortRequested()) dialogs_.PollInput(true);  // held, not spinning
    return !dialogs_.AbortRequested();
  }
  offset_ = fileOffset;
  // The input is asked every few milliseconds of work, by the clock alone: a call may come after
  // a chunk read from a slow disk or after a key of a hundred thousand values.
  uint64_t now = platform::MonotonicMs();
  if (now - lastInput_ >= kInputMs || fileOffset == 0) {
    lastInput_ = now;
    ui->input.PollInput(false);
    while (dialogs_.RunPaused() && !dialogs_.AbortRequested()) {
      Present(true);
      ui->input.PollInput(true);
    }
  }
  if (dialogs_.AbortRequested()) return false;
  Present(false, now);
  return true;
}

void ProgressScreen::ShowProgressLine(uint32_t permille) {
  int percent = permille == kGaugeReset ? 0 : static_cast<int>(std::min<uint32_t>(permille, 1000) / 10);
  uint64_t now = platform::MonotonicMs();
  if (percent == linePercent_ || (linePercent_ >= 0 && now - lastLine_ < kLineMs)) return;
  linePercent_ = percent;
  lastLine_ = now;
  dialogs_.Console().ShowProgressLine(std::string(kStageLabels[lineStage_]) + " " + std::to_string(percent) + "%  " +
                                      lineName_);
}

void ProgressScreen::SetGauge(uint32_t permille) {
  Screen* screen = Scr();
  if (screen == nullptr) return ShowProgressLine(permille);
  if (permille == kGaugeReset) {
    int16_t row = static_cast<int16_t>(H() - 3);
    gaugeFilled_ = 0;
    gaugeValue_ = 0;
    gaugeShown_ = true;
    screen->WriteText({2, row}, "Complete: ");
    for (int i = 0; i < gaugeLength_; ++i) screen->PutCell({static_cast<int16_t>(kGaugeColumn + i), row}, glyph::kTrack, colour::kMain);
    screen->WriteText({static_cast<int16_t>(W() - 6), row}, "    ");
    return;
  }
  // Within a stage the gauge never goes back (a walk done again, on one core or after salvage,
  // starts from nothing).
  if (permille <= gaugeValue_) return;
  gaugeValue_ = permille;
  gaugeShown_ = false;  // drawn by the next poll
}

void ProgressScreen::ShowStatusLine(std::string_view text) {
  if (Scr() == nullptr) return;
  status_.assign(text.substr(0, static_cast<size_t>(W() - 4)));
  statusShown_ = false;  // drawn by the next poll
}

void ProgressScreen::CreateProgressScreen() {
  FullScreen* ui = dialogs_.Ui();
  if (ui == nullptr) return;
  ui->drawProgress = [this] { DrawPending(); };
  ui->screen.HideCursor();
  ui->windows.currentKind = kProgressWindow;
  ui->windows.LayoutWindows();
}

void ProgressScreen::DrawProgressScreen() {
  if (Scr() == nullptr) return;
  dialogs_.Ui()->drawBase = [this] { DrawWhole(); };
  DrawWhole();
  Present(true);
}

void ProgressScreen::DrawWhole() {
  Screen* screen = Scr();
  screen->ClearScreen(colour::kMain);
  screen->FillBlanks({0, 0}, W() * 4, colour::kBands);
  screen->FillBlanks({0, static_cast<int16_t>(H() - 4)}, W() * 4, colour::kBands);
  gaugeLength_ = W() - 20;
  const uint32_t value = gaugeValue_;
  SetGauge(kGaugeReset);
  gaugeValue_ = value;
  gaugeShown_ = value == 0;
  screen->WriteText({2, 2}, kProductTitle);
  screen->DrawRule(3, colour::kBands);
  screen->DrawRule(H() - 4, colour::kBands);
  dialogs_.Ui()->windows.DrawButtons(kProgressWindow);
  if (!name_.empty()) DrawFileHeader();
  for (int stage = 0; stage <= stage_; ++stage) {
    screen->PutCell({kMarkerColumn, static_cast<int16_t>(kStageRow + stage)},
                    stage < stage_ ? glyph::kStageDone : glyph::kStageCurrent, colour::kBands);
  }
  DrawFaults();
  statusShown_ = false;
  DrawPending();
}

void ProgressScreen::ShowFileHeader(const std::string& name) {
  lineName_ = name.substr(platform::FileNameIndex(name));
  if (Scr() == nullptr) return;
  name_ = name;
  DrawFileHeader();
  Present(true);
}

void ProgressScreen::DrawFileHeader() {
  Screen* screen = Scr();
  screen->SetCursorPos(0, 0);
  const int title = static_cast<int>(std::string(kProductTitle).size());
  screen->WriteText({6, 5}, kProductTitle);
  screen->WriteText({static_cast<int16_t>(6 + title), 5}, kChecking);
  const int16_t start = static_cast<int16_t>(6 + title + 23);
  const int field = W() - 12 - (title + 23);
  screen->FillBlanks({start, 5}, field, colour::kFileName);
  screen->WritePath({start, 5}, name_, static_cast<size_t>(field > 0 ? field : 0));
  for (int16_t stage = 0; stage < 4; ++stage) screen->WriteText({kLabelColumn, static_cast<int16_t>(kStageRow + stage)}, kStageLabels[stage]);
}

void ProgressScreen::SetStage(uint32_t stage) {
  Screen* screen = Scr();
  if (screen != nullptr) Present(true);  // the stage's last value, which the throttle may hold back
  if (screen != nullptr && stage != 0) {
    screen->PutCell({kMarkerColumn, static_cast<int16_t>(kStageRow + stage - 1)}, glyph::kStageDone, colour::kBands);
  }
  PollProgress(0);
  if (screen == nullptr) {
    lineStage_ = stage;
    linePercent_ = -1;
    return ShowProgressLine(0);
  }
  stage_ = static_cast<int>(stage);
  SetGauge(kGaugeReset);
  ShowStatusLine({});
  screen->PutCell({kMarkerColumn, static_cast<int16_t>(kStageRow + stage)}, glyph::kStageCurrent, colour::kBands);
  Present(true);
}

void ProgressScreen::ClearStageMarkers() {
  Screen* screen = Scr();
  if (screen == nullptr) return dialogs_.Console().ClearProgressLine();
  stage_ = -1;
  for (int16_t row = kStageRow; row < kStageRow + 4; ++row) screen->PutCell({kMarkerColumn, row}, ' ', colour::kBands);
  Present(true);
}

void ProgressScreen::ShowFault(size_t count, const std::string& text) {
  if (Scr() == nullptr) return;
  faultCount_ = count;
  faultText_ = text;
  DrawFaults();
  if (count != 0) Present(false);
}

void ProgressScreen::DrawFaults() {
  Screen* screen = Scr();
  const int16_t row = kStageRow + 5;
  const int width = W() - 2 * kMarkerColumn;
  for (int16_t line = row; line < row + 2; ++line) screen->FillBlanks({kMarkerColumn, line}, width, colour::kMain);
  if (faultCount_ == 0) return;
  screen->WriteText({kMarkerColumn, row}, "Faults found: " + std::to_string(faultCount_));
  screen->WriteTextN({kMarkerColumn, static_cast<int16_t>(row + 1)}, faultText_, static_cast<size_t>(width));
}

void ProgressScreen::CloseProgressScreen() {
  if (Screen* screen = Scr()) {
    screen->ClearScreen(colour::kEnded);
    screen->RestoreCursor();
    Present(true);
    dialogs_.Ui()->windows.currentKind = kNoWindow;
  }
  dialogs_.SetCurrentKind(kNoWindow);
}

}  // namespace tarvos::console
