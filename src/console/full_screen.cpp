#include "console/full_screen.h"

namespace tarvos::console {

FullScreen::FullScreen(platform::ConsoleDevice& device, bool& abortRequested)
    : screen(device), windows(screen), input(device, windows, abortRequested) {
  drawBase = [this] { screen.ClearScreen(colour::kMain); };
  input.onResize = [this](int width, int height) { Relayout(width, height); };
}

void FullScreen::Relayout(int width, int height) {
  if (width < platform::kMinScreenColumns || height < platform::kMinScreenRows) return;
  if (width == screen.Width() && height == screen.Height()) return;
  screen.Resize(width, height);
  windows.LayoutAgain();
  drawBase();
  windows.ReopenWindows();
  if (windows.textEntry) {
    const WindowRecord& path = windows.Record(kManualPath);
    windows.entryField = {static_cast<int16_t>(path.pos.x + 2), static_cast<int16_t>(path.pos.y + 2)};
    windows.entryWidth = path.TextWidth();
    input.DrawPathField();
  }
  screen.Present();
}

}  // namespace tarvos::console
