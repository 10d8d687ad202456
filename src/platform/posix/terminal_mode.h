// The terminal mode to put back when another process ends the run (see platform/termination.h).
#pragma once

#include <termios.h>

namespace tarvos::platform {

void KeepTerminalModeForTermination(int fd, const struct termios& mode);
void ForgetTerminalModeForTermination();

}  // namespace tarvos::platform
