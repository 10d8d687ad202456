// The console for the whole run: set up at start, put back at the end, and the plain writes to
// standard output (the help banner, the log's echo in line mode).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/console.h"

namespace tarvos::console {

inline constexpr const char* kProductTitle = "Castellan";
inline constexpr uint8_t kRunScreenAttribute = 0x17;

// Swallows Ctrl+C (0) and Ctrl+Break (1) so that they do not end the run; declines the rest.
bool ConsoleCtrlHandler(unsigned event);

class ConsoleState {
 public:
  explicit ConsoleState(platform::ConsoleDevice& device) : device_(device) {}

  // screen: the full-screen interface will draw, which needs a terminal. False when the console
  // cannot be set up; the reason has then been written.
  bool OpenConsoleState(bool screen, bool mouseDisabled);
  // Safe after a failed open and when called twice.
  void CloseConsoleState();

  // The text of line mode: on standard output, or on standard error while standard output
  // carries something else (the report).
  void WriteStdout(std::string_view text) {
    ClearProgressLine();
    textToStderr_ ? device_.WriteStderr(text) : device_.WriteStdout(text);
  }
  // Line mode's progress on standard error, when that is a terminal: one line redrawn in place
  // ("Loading 42%"), wiped before any other text is written and at the end of each hive.
  void ShowProgressLine(const std::string& text);
  void ClearProgressLine();
  void SendTextToStderr(bool on) { textToStderr_ = on; }
  // The full screen of an interactive run: taken over and cleared in the main colour; false
  // when there is none to draw on. FinishRunScreen gives the user's screen back.
  bool PrepareRunScreen();
  void FinishRunScreen();
  // One line on standard error about something the run skipped ("TarvosD: " and the text). While
  // the screen is drawn it is held, and written once the console is put back.
  void Notice(const std::string& text);
  // Title, version and maker lines, an empty line, then the usage text.
  void PrintHelpBanner(const std::string& usageText);

  platform::ConsoleDevice& Device() { return device_; }

 private:
  platform::ConsoleDevice& device_;
  bool deviceOpen_ = false;
  bool handlerInstalled_ = false;
  bool screen_ = false;
  bool mouse_ = true;
  bool runScreen_ = false;
  bool textToStderr_ = false;
  std::string heldNotices_;
  size_t progressWidth_ = 0;  // the columns the progress line covers now, 0 when none is shown
};

}  // namespace tarvos::console
