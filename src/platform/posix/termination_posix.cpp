#include <signal.h>
#include <cerrno>
#include <termios.h>
#include <unistd.h>

#include <atomic>

#include "platform/posix/bus_faults.h"
#include "platform/posix/terminal_mode.h"
#include "platform/termination.h"

namespace tarvos::platform {

namespace {

std::atomic<int> g_terminalFd{-1};
struct termios g_terminalMode;
std::atomic<int> g_screenFd{-1};
char g_screenRestore[128];
size_t g_screenRestoreLength = 0;
// SIGBUS has a handler of its own, which tells the pages of a mapped hive from a crash.
constexpr int kCrashSignals[] = {SIGSEGV, SIGFPE, SIGILL, SIGABRT};

bool Unlink(const char* path) { return ::unlink(path) == 0; }

void OnTermination(int sig) { TerminateOnSignal(sig); }

char g_screenBegin[64];
size_t g_screenBeginLength = 0;
struct termios g_runMode;
volatile sig_atomic_t g_continued = 0;

}  // namespace

void RaiseAsDefault(int sig) {
  ::signal(sig, SIG_DFL);
  sigset_t unblocked;
  sigemptyset(&unblocked);
  sigaddset(&unblocked, sig);
  ::sigprocmask(SIG_UNBLOCK, &unblocked, nullptr);
  ::raise(sig);
}

namespace {

void WriteScreen(const char* text, size_t length) {
  int screen = g_screenFd.load();
  if (screen < 0) return;
  ssize_t written = ::write(screen, text, length);
  (void)written;
}

// A stop: the terminal is given back, the process stops; when it is continued, the terminal is
// taken again.
void OnStop(int) {
  int saved = errno;
  WriteScreen(g_screenRestore, g_screenRestoreLength);
  int fd = g_terminalFd.load();
  bool moded = fd >= 0 && ::tcgetattr(fd, &g_runMode) == 0;
  if (fd >= 0) ::tcsetattr(fd, TCSANOW, &g_terminalMode);
  // Stopped here until continued. SIGSTOP rather than the default of SIGTSTP, which the system
  // drops for a run with no job-control shell above it (a terminal's own command, a script):
  // a stop asked for is a stop.
  ::raise(SIGSTOP);
  if (moded) ::tcsetattr(fd, TCSANOW, &g_runMode);
  WriteScreen(g_screenBegin, g_screenBeginLength);
  g_continued = 1;
  errno = saved;
}

}  // namespace

void HandleStopsWhileScreenUp(const char* begin) {
  size_t length = 0;
  while (begin[length] != '\0' && length < sizeof g_screenBegin) ++length;
  for (size_t i = 0; i < length; ++i) g_screenBegin[i] = begin[i];
  g_screenBeginLength = length;
  struct sigaction action{};
  action.sa_handler = OnStop;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGTSTP, &action, nullptr);
}

void StopHandlingStops() { ::signal(SIGTSTP, SIG_DFL); }

bool TakeContinued() {
  if (!g_continued) return false;
  g_continued = 0;
  return true;
}

void TerminateOnSignal(int sig) {
  RemoveNotedTemporaries(Unlink);
  WriteScreen(g_screenRestore, g_screenRestoreLength);
  int fd = g_terminalFd.load();
  if (fd >= 0) ::tcsetattr(fd, TCSANOW, &g_terminalMode);
  // Ended as the signal asks, so that whoever sent it sees the usual status.
  RaiseAsDefault(sig);
  ::_exit(128 + sig);
}

void KeepScreenRestoreForTermination(int fd, const char* sequence) {
  g_screenFd.store(-1);
  size_t length = 0;
  while (sequence[length] != '\0' && length < sizeof g_screenRestore) ++length;
  for (size_t i = 0; i < length; ++i) g_screenRestore[i] = sequence[i];
  g_screenRestoreLength = length;
  g_screenFd.store(fd);
  struct sigaction action{};
  action.sa_handler = OnTermination;
  sigemptyset(&action.sa_mask);
  for (int sig : kCrashSignals) ::sigaction(sig, &action, nullptr);
  InstallBusHandler();
}

void ForgetScreenRestoreForTermination() {
  g_screenFd.store(-1);
  for (int sig : kCrashSignals) ::signal(sig, SIG_DFL);
}

bool ScreenUpForTermination() { return g_screenFd.load() >= 0; }

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
