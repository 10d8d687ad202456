// The full-screen interface of an interactive run: the screen, the window table on it and the
// input dispatched to its windows. Absent in line mode.
#pragma once

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
};

}  // namespace tarvos::console
