// Input of the full-screen interface: records read in batches and reduced to events, and each
// event dispatched to the focus, the buttons, a list, a scroll bar or the path field of the
// current window. Whoever waits for the user polls; the outcome is left in dialogResult and the
// exit and continue flags.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "console/windows.h"
#include "hive/answers.h"
#include "platform/console.h"

namespace tarvos::console {

inline constexpr uint8_t kEventClick = 0x01;
inline constexpr uint8_t kEventDoubleClick = 0x02;
inline constexpr uint8_t kEventRightButton = 0x04;

// A window leaves its answer (hive/answers.h) in dialogResult.
struct InputEvent {
  uint8_t kind = 0;  // 0 a key; else kEvent* bits of a click
  uint8_t ch = 0;
  uint16_t vk = 0;
  uint32_t control = 0;
  ScreenPos pos;
};

inline constexpr int kBatch = 32;

class InputDispatcher {
 public:
  InputDispatcher(platform::ConsoleDevice& device, WindowTable& windows, bool& abortRequested)
      : device_(device), windows_(windows), abortRequested_(abortRequested) {}

  // Up to kBatch events, the first waited for up to timeoutMs; a resize among them is handled
  // once, before any of them is dispatched.
  int ReadInputEvents(std::array<InputEvent, kBatch>& events, int timeoutMs);
  // One pass: with wait, the input is waited on (up to kWaitMs) rather than polled, so that a
  // dialog waiting for the user takes no processor time.
  void PollInput(bool wait);
  void DispatchEvent(const InputEvent& event);
  void ActivateFocused();
  void HandleEscape();
  void FocusPrev() { MoveFocus(-1); }
  void FocusNext() { MoveFocus(1); }
  void LineUp();
  void LineDown();
  void PageUp();
  void PageDown();
  int HitButton(ScreenPos at);
  int HitListRow(ScreenPos at);
  int HitScrollBar(ScreenPos at);

  uint32_t dialogResult = 0;
  bool exitFlag = false;
  bool continueFlag = false;
  // The main window's buttons: pause or resume (the key P pauses, R resumes, the button either
  // as the run stands: 0), and the exit confirmation.
  std::function<void(char)> pauseOrResume;
  std::function<void()> exitConfirmation;
  // A resize of the terminal or console, once per batch.
  std::function<void(int, int)> onResize;
  std::string path;  // the path field's text, in the file names' own encoding
  // The path field drawn: the end of its text where the text is longer, the cursor after it.
  void DrawPathField();

  static constexpr int kWaitMs = 200;

 private:
  void MoveFocus(int step);
  // Ctrl+C: the exit confirmation, as the main window's Exit; confirmed in another window, that
  // window is cancelled too, so that the run ends.
  void AskToExit();
  bool EditPath(const InputEvent& event);

  platform::ConsoleDevice& device_;
  WindowTable& windows_;
  bool& abortRequested_;
};

}  // namespace tarvos::console
