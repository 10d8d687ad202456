// The terminal mode to put back when another process ends the run (see platform/termination.h).
#pragma once

#include <termios.h>

namespace tarvos::platform {

void KeepTerminalModeForTermination(int fd, const struct termios& mode);
void ForgetTerminalModeForTermination();
// While the full screen is up: what puts the user's screen back (written to fd), and handlers
// for the crash signals that write it before the process ends.
void KeepScreenRestoreForTermination(int fd, const char* sequence);
void ForgetScreenRestoreForTermination();
// Ends the process as signal sig would, once the terminal is put back and the files being
// written are removed. Safe in a signal handler.
[[noreturn]] void TerminateOnSignal(int sig);
// Whether the full screen is up (a SIGINT then comes from another process: a typed Ctrl+C is a key).
bool ScreenUpForTermination();

}  // namespace tarvos::platform
