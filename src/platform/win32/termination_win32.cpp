#include <windows.h>

#include "platform/termination.h"
#include "platform/win32/wide.h"

namespace tarvos::platform {

namespace {

// The handler runs on a thread of its own, where converting the name may allocate.
bool Delete(const char* path) { return ::DeleteFileW(WidePath(path).c_str()) != 0; }

// Installed before the console's own handler, so it is reached only by events that end the
// process (closing the console window, logging off, shutting down; Ctrl+C while the console does
// not swallow it): the files being written go first.
BOOL WINAPI OnEnd(DWORD) {
  RemoveNotedTemporaries(Delete);
  return FALSE;
}

}  // namespace

void InstallTerminationCleanup() { ::SetConsoleCtrlHandler(OnEnd, TRUE); }

}  // namespace tarvos::platform
