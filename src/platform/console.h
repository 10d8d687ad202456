// The console device: standard output, the terminal or console screen, and raw key input.
#pragma once

#include <memory>
#include <string_view>

#include "platform/keys.h"

namespace tarvos::platform {

enum class ConsoleOpen {
  Ready,      // set up; keys and output work
  NoConsole,  // the full-screen interface was asked for, but there is no terminal or console
  TooSmall,   // the screen cannot be made at least 66 x 25 cells
};

// Called on the system's own thread (Windows) or in a signal handler (POSIX) for Ctrl+C (0) and
// Ctrl+Break or Ctrl+\ (1); true swallows the event.
using CtrlHandler = bool (*)(unsigned event);

class ConsoleDevice {
 public:
  virtual ~ConsoleDevice() = default;

  // Sets the console up for the run. With screen, the full-screen interface will draw and a
  // terminal is required; without it, line mode works on standard input and output alone.
  virtual ConsoleOpen Open(bool screen, bool mouse) = 0;
  // Puts back what Open changed. Safe after a failed Open and when called twice.
  virtual void Close() = 0;

  virtual void InstallCtrlHandler(CtrlHandler handler) = 0;
  virtual void RemoveCtrlHandler() = 0;
  virtual void SetTitle(const char* title) = 0;

  virtual void WriteStdout(std::string_view text) = 0;
  virtual void WriteStderr(std::string_view text) = 0;

  // One key. With wait, blocks for up to about a millisecond. Input that is not a terminal or
  // console (a pipe, a file) is read only when waiting: it answers prompts, not polls. End means
  // the input has ended and never delivers another key.
  virtual ReadResult ReadKey(KeyEvent& key, bool wait) = 0;
  virtual void FlushInput() = 0;
};

// The console of this system.
std::unique_ptr<ConsoleDevice> MakeSystemConsole();

}  // namespace tarvos::platform
