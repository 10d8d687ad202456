// The full-screen interface of an interactive run: the screen, the window table on it and the
// input dispatched to its windows. Absent in line mode.
#pragma once

#include <functional>

#include "console/input.h"
#include "console/screen.h"
#include "console/windows.h"

namespace tarvos::console {

struct FullScreen {
  FullScreen(platform::ConsoleDevice& device, bool& abortRequested);
  Screen screen;
  WindowTable windows;
  InputDispatcher input;
  // Draws what the progress window holds back between flushes; called before a window opens.
  std::function<void()> drawProgress;
  // Draws the whole screen under the windows (the progress window, or what stands for it while
  // hives are searched and chosen) as it stands now.
  std::function<void()> drawBase;
  // The terminal or console took a new size: at the smallest size or larger, everything is laid
  // out for it and drawn again whole; below it the device says so, and the screen waits.
  void Relayout(int width, int height);
};

}  // namespace tarvos::console
