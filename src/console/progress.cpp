#include "console/progress.h"

namespace tarvos::console {

bool ProgressScreen::PollProgress(uint32_t) {
  if (dialogs_.AbortRequested()) return false;  // the run is being stopped: no more input for it
  dialogs_.PollInput(false);
  while (dialogs_.RunPaused() && !dialogs_.AbortRequested()) dialogs_.PollInput(true);  // held, not spinning
  return !dialogs_.AbortRequested();
}

void ProgressScreen::SetStage(uint32_t) { PollProgress(0); }

}  // namespace tarvos::console
