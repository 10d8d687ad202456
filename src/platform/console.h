// The console device: standard output, the terminal or console screen, and raw key input.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/keys.h"
#include "platform/screen_model.h"

namespace tarvos::platform {

// The smallest screen the full-screen interface is laid out on.
inline constexpr int kMinScreenColumns = 66;
inline constexpr int kMinScreenRows = 24;

enum class ConsoleOpen {
  Ready,      // set up; keys and output work
  NoConsole,  // the full-screen interface was asked for, but there is no terminal or console
  TooSmall,   // the screen cannot be made at least 66 x 24 cells
};

// One input record of the full-screen interface.
struct InputRecord {
  enum class Type : uint8_t { None, Key, Mouse, Resize, Focus };
  Type type = Type::None;
  // A key: down or up, its character (0 for none), virtual key and control-key state.
  bool keyDown = false;
  uint8_t ch = 0;
  uint16_t vk = 0;
  uint32_t control = 0;
  // The mouse: its cell, the buttons held (kMouseLeft, kMouseRight) and what happened (0 a press
  // or a release, or one of the kMouse* flags).
  int16_t x = 0;
  int16_t y = 0;
  uint32_t buttons = 0;
  uint32_t mouseFlags = 0;
  // A resize: the new size of the terminal or console window. Focus: gained or lost.
  int16_t width = 0;
  int16_t height = 0;
  bool focus = false;
};
inline constexpr uint32_t kMouseLeft = 0x1;
inline constexpr uint32_t kMouseRight = 0x2;
inline constexpr uint32_t kMouseMoved = 0x1;
inline constexpr uint32_t kMouseDoubleClick = 0x2;
inline constexpr uint32_t kMouseWheeled = 0x4;
// With kMouseWheeled, buttons tells the way: away from the user (up) or toward (down).
inline constexpr uint32_t kWheelUp = 0x1;
inline constexpr uint32_t kWheelDown = 0x2;

// A key press as an input record.
inline InputRecord KeyInput(const KeyEvent& key) {
  InputRecord record;
  record.type = InputRecord::Type::Key;
  record.keyDown = true;
  record.ch = key.ch;
  record.vk = key.vk;
  record.control = key.control;
  return record;
}

// Called on the system's own thread (Windows) or in a signal handler (POSIX) for Ctrl+C (0) and
// Ctrl+Break or Ctrl+\ (1); true swallows the event.
using CtrlHandler = bool (*)(unsigned event);

class ConsoleDevice {
 public:
  virtual ~ConsoleDevice() = default;

  // Sets the console up for the run. With screen, the full-screen interface will draw and a
  // terminal is required; without it, line mode works on standard input and output alone.
  // Why the full screen cannot be drawn whatever the terminal's size (a terminal that takes no
  // control sequences), or nothing.
  virtual std::string WhyNoScreen() const { return {}; }
  // The size the full screen needs and the size found ("66 x 24 needed, 60 x 20 found"), or
  // nothing where it is not known.
  virtual std::string ScreenSizes() const { return {}; }
  virtual ConsoleOpen Open(bool screen, bool mouse) = 0;
  // Puts back what Open changed. Safe after a failed Open and when called twice.
  virtual void Close() = 0;

  virtual void InstallCtrlHandler(CtrlHandler handler) = 0;
  virtual void RemoveCtrlHandler() = 0;
  virtual void SetTitle(const char* title) = 0;

  virtual void WriteStdout(std::string_view text) = 0;
  virtual void WriteStderr(std::string_view text) = 0;
  // Whether standard error is a terminal or console, where a line redrawn in place can be seen.
  virtual bool StderrIsTerminal() const { return false; }

  // One key. With wait, blocks for up to about a millisecond. Input that is not a terminal or
  // console (a pipe, a file) is read only when waiting: it answers prompts, not polls. End means
  // the input has ended and never delivers another key.
  virtual ReadResult ReadKey(KeyEvent& key, bool wait) = 0;
  virtual void FlushInput() = 0;
  // Whether the keys come from a person at a terminal or console (not a pipe or a file).
  virtual bool InputIsTerminal() const { return false; }

  // The full-screen interface, once Open(screen) succeeded. BeginScreen takes the terminal or
  // console over for drawing (the alternate screen; on Windows a screen buffer of the program's
  // own, the size of the window) and sizes Screen() to it; false when there is none. Drawing goes
  // to Screen(); Present shows what changed since the last call. EndScreen gives the user's
  // screen back as it was. Safe to call when BeginScreen failed or never ran.
  virtual bool BeginScreen(bool mouse) {
    (void)mouse;
    return false;
  }
  virtual void EndScreen() {}
  ScreenModel& Screen() { return cells_; }
  virtual void Present() {}
  // Ctrl+Z typed on the full screen: the terminal is given back and the process stops until it
  // is continued, then the screen is drawn whole again. Nothing where the system has no such stop.
  virtual void Suspend() {}
  // Whether the screen shows no colours: the focus is then drawn on a bright white background
  // (kMonoFocus), which such a screen shows in reverse video, and every other cell plainly.
  virtual bool Monochrome() const { return false; }
  // The next input record, waiting up to timeoutMs; false when none came in that time.
  virtual bool ReadInput(InputRecord& record, int timeoutMs) {
    (void)record;
    (void)timeoutMs;
    return false;
  }

 protected:
  ScreenModel cells_;
};

// The console of this system.
std::unique_ptr<ConsoleDevice> MakeSystemConsole();

}  // namespace tarvos::platform
