// SIGBUS: a page of a private view whose file was cut short (see platform/mapping.h), or a crash.
#pragma once

namespace tarvos::platform {

// Installs the one SIGBUS handler of the process, once: a fault within a view is taken by the
// view, any other ends the process as a crash does (the terminal given back while the screen
// is up).
void InstallBusHandler();

}  // namespace tarvos::platform
