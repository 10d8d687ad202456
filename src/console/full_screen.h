// The full-screen interface of an interactive run: the screen, the window table on it and the
// input dispatched to its windows. Absent in line mode.
#pragma once

#include <functional>

#include "console/input.h"
#include "console/screen.h"
#include "console/windows.h"

namespace tarvos::console {

struct FullScreen {
  FullScreen(platform::ConsoleDevice& device, bool& abortRequested)
      : screen(device), windows(screen), input(device, windows, abortRequested) {}
  Screen screen;
  WindowTable windows;
  InputDispatcher input;
  // Draws what the progress window holds back between flushes; called before a window opens.
  std::function<void()> drawProgress;
};

}  // namespace tarvos::console
