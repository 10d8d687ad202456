#include "console/console_state.h"

#include "platform/screen_model.h"

namespace tarvos::console {

bool ConsoleCtrlHandler(unsigned event) { return event == 0 || event == 1; }

bool ConsoleState::OpenConsoleState(bool screen, bool mouseDisabled) {
  deviceOpen_ = true;  // whatever Open did, Close puts it back
  switch (device_.Open(screen, !mouseDisabled)) {
    case platform::ConsoleOpen::NoConsole:
      device_.WriteStderr("TarvosD: the full-screen interface needs a terminal; use /t for line mode\n");
      return false;
    case platform::ConsoleOpen::TooSmall: {
      device_.WriteStdout("Console screen is too small");
      device_.WriteStdout("\r\n");
      std::string sizes = device_.ScreenSizes();
      device_.WriteStderr("TarvosD: the console screen is too small" + (sizes.empty() ? std::string() : ": " + sizes) +
                          "; /t runs in line mode\n");
      return false;
    }
    case platform::ConsoleOpen::Ready:
      break;
  }
  device_.InstallCtrlHandler(ConsoleCtrlHandler);
  handlerInstalled_ = true;
  screen_ = screen;
  mouse_ = !mouseDisabled;
  device_.SetTitle(kProductTitle);
  device_.FlushInput();
  return true;
}

bool ConsoleState::PrepareRunScreen() {
  if (runScreen_ || !device_.BeginScreen(mouse_)) return false;
  runScreen_ = true;
  platform::ScreenModel& cells = device_.Screen();
  for (int y = 0; y < cells.Height(); ++y) {
    for (int x = 0; x < cells.Width(); ++x) cells.At(x, y) = platform::Cell{' ', kRunScreenAttribute};
  }
  cells.cursorX = cells.cursorY = 0;
  device_.Present();
  return true;
}

void ConsoleState::FinishRunScreen() {
  if (!runScreen_) return;
  device_.EndScreen();
  runScreen_ = false;
}

void ConsoleState::ShowProgressLine(const std::string& text) {
  if (runScreen_ || !device_.StderrIsTerminal()) return;
  // Kept within 79 columns, so that it never wraps on a terminal of 80 and redraws in place.
  std::vector<uint32_t> chars = platform::DecodeUtf8(text);
  chars.resize(platform::CharsThatFit(chars, 79));
  std::string line;
  for (uint32_t ch : chars) platform::AppendUtf8(line, ch);
  size_t width = platform::TextWidth(chars);
  std::string pad(progressWidth_ > width ? progressWidth_ - width : 0, ' ');
  device_.WriteStderr("\r" + line + pad + std::string(pad.size(), '\b'));
  progressWidth_ = width;
}

void ConsoleState::ClearProgressLine() {
  if (progressWidth_ == 0) return;
  device_.WriteStderr("\r" + std::string(progressWidth_, ' ') + "\r");
  progressWidth_ = 0;
}

void ConsoleState::CloseConsoleState() {
  ClearProgressLine();
  FinishRunScreen();
  if (handlerInstalled_) device_.RemoveCtrlHandler();
  handlerInstalled_ = false;
  if (deviceOpen_) device_.Close();
  deviceOpen_ = false;
  screen_ = false;
  if (!heldNotices_.empty()) device_.WriteStderr(heldNotices_);
  heldNotices_.clear();
}

void ConsoleState::Notice(const std::string& text) {
  std::string line = "TarvosD: " + text + "\n";
  if (screen_) {
    heldNotices_ += line;
  } else {
    ClearProgressLine();
    device_.WriteStderr(line);
  }
}

void ConsoleState::PrintHelpBanner(const std::string& usageText) {
  WriteStdout(kProductTitle);
  WriteStdout(std::string(" v") + TARVOS_VERSION + ", Windows registry hive checker and repairer\r\n");
  WriteStdout("TarvosD project, 2026\r\n");
  WriteStdout("\r\n");
  WriteStdout(usageText);
}

}  // namespace tarvos::console
