// A small program of the window layer alone, for tests in a real terminal (and under Wine): it
// draws the error window with a long text (so with a scroll bar), waits for the user, and prints
// the result once the screen is given back. "/m" runs it without the mouse.
#include <cstdio>
#include <string>

#include "console/console_state.h"
#include "console/input.h"
#include "console/windows.h"
#include "platform/console.h"
#include "platform/termination.h"

int main(int argc, char** argv) {
  using namespace tarvos;
  bool mouse = !(argc > 1 && std::string(argv[1]) == "/m");
  platform::InstallTerminationCleanup();
  auto device = platform::MakeSystemConsole();
  console::ConsoleState state(*device);
  if (!state.OpenConsoleState(true, !mouse) || !state.PrepareRunScreen()) {
    state.CloseConsoleState();
    return 2;
  }
  console::Screen screen(*device);
  console::WindowTable windows(screen);
  bool abortRequested = false;
  console::InputDispatcher input(*device, windows, abortRequested);
  screen.ClearScreen(console::colour::kMain);
  screen.HideCursor();
  windows.LayoutWindows();
  console::WindowRecord& error = windows.Record(console::kErrorPrompt);
  error.text = "<Invalid frame signature>\n\nThe frame header at this offset does not start with \"hbin\": "
               "a repair writes the signature back. Letters, arrows, the mouse and Enter work here.";
  for (int line = 1; line <= 24; ++line) error.text += "\nline " + std::to_string(line);
  windows.PrepareText(console::kErrorPrompt);
  windows.OpenWindow(console::kErrorPrompt);
  screen.Present();
  while (input.dialogResult == 0) {
    input.PollInput(true);
    screen.Present();
  }
  windows.CloseWindow(console::kErrorPrompt);
  screen.Present();
  state.FinishRunScreen();
  state.CloseConsoleState();
  std::printf("result 0x%08X\n", input.dialogResult);
  return 0;
}
