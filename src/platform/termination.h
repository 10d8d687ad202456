// What another process ending the run must not leave behind: a file half written beside its
// target, a terminal without echo and line editing.
#pragma once

#include <string>

namespace tarvos::platform {

// Installs the handlers: SIGTERM and SIGHUP on POSIX (the files being written are removed, the
// terminal is put back, and the process ends as the signal asks); console close, log-off and
// shut-down on Windows (the files being written are removed).
void InstallTerminationCleanup();

// A file being written, to be removed when the process is ended before it is put in place or
// removed. File::CreateBeside, PutInPlace and RemoveFile keep this list.
void NoteTemporary(const std::string& path);
void ForgetTemporary(const std::string& path);

// For the handlers: calls remove on every noted file. Safe in a signal handler.
void RemoveNotedTemporaries(bool (*remove)(const char* path));

}  // namespace tarvos::platform
