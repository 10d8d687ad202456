// The program's run: start-up, the stages of every hive file, clean-up and the exit code.
#pragma once

#include <string>
#include <vector>

#include "platform/console.h"

namespace tarvos::app {

inline constexpr int kExitNothingChanged = 0;
inline constexpr int kExitHiveChanged = 1;
inline constexpr int kExitHelp = 2;

// Runs the program on the arguments after its name, on the given console; returns the exit code.
int RunTarvos(const std::vector<std::string>& args, platform::ConsoleDevice& device);

}  // namespace tarvos::app
