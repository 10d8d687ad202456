#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>

#include "platform/posix/terminal_mode.h"
#include "platform/termination.h"

namespace tarvos::platform {

namespace {

std::atomic<int> g_terminalFd{-1};
struct termios g_terminalMode;

bool Unlink(const char* path) { return ::unlink(path) == 0; }

void OnTermination(int sig) {
  RemoveNotedTemporaries(Unlink);
  int fd = g_terminalFd.load();
  if (fd >= 0) ::tcsetattr(fd, TCSANOW, &g_terminalMode);
  // Ended as the signal asks, so that whoever sent it sees the usual status.
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

}  // namespace

void KeepTerminalModeForTermination(int fd, const struct termios& mode) {
  g_terminalFd.store(-1);
  g_terminalMode = mode;
  g_terminalFd.store(fd);
}

void ForgetTerminalModeForTermination() { g_terminalFd.store(-1); }

void InstallTerminationCleanup() {
  struct sigaction action{};
  action.sa_handler = OnTermination;
  sigemptyset(&action.sa_mask);
  sigaddset(&action.sa_mask, SIGTERM);
  sigaddset(&action.sa_mask, SIGHUP);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGHUP, &action, nullptr);
}

}  // namespace tarvos::platform
