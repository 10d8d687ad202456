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
// Raises sig with its default action, unblocked (a handler of sig runs with it blocked). Safe in a
// signal handler.
void RaiseAsDefault(int sig);
// Whether the full screen is up (a SIGINT then comes from another process: a typed Ctrl+C is a key).
bool ScreenUpForTermination();
// While the full screen is up, a stop (SIGTSTP: Ctrl+Z from a shell, kill -TSTP) first gives the
// terminal back as it was, and a continue (SIGCONT) takes it again with the sequence begin;
// TakeContinued then answers true once, so that the screen is drawn whole again.
void HandleStopsWhileScreenUp(const char* begin);
void StopHandlingStops();
bool TakeContinued();

}  // namespace tarvos::platform
