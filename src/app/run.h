// The program's run: start-up, the stages of every hive file, clean-up and the exit code.
#pragma once

#include <string>
#include <vector>

#include "platform/console.h"

namespace tarvos::app {

// The exit code is a sum of these bits, as e2fsck's is: 0 when every hive checked is clean.
inline constexpr int kExitNothingChanged = 0;
// Faults were found, repaired and saved; and, as it always was, the single hive of the run was
// changed (also when the change was not saved).
inline constexpr int kExitHiveChanged = 1;
inline constexpr int kExitHelp = 2;
// Faults were found and left: check only, a fault not fixed, the run stopped, the save cancelled
// or failed.
inline constexpr int kExitFaultsLeft = 4;
// A hive could not be checked: it cannot be opened or read, is too small, or memory ran out.
inline constexpr int kExitNotChecked = 8;
// The command line asks for what cannot be done (/n with /o); the run does not start.
inline constexpr int kExitUsage = 16;

// Runs the program on the arguments after its name, on the given console; returns the exit code.
int RunTarvos(const std::vector<std::string>& args, platform::ConsoleDevice& device);

}  // namespace tarvos::app
