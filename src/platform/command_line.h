// The program's command line.
#pragma once

#include <string>
#include <vector>

namespace tarvos::platform {

// The arguments after the program's name, in UTF-8: on Windows read from the wide command line,
// so that a name in any script arrives whole whatever the ANSI code page; on POSIX argv itself.
std::vector<std::string> ProgramArguments(int argc, char** argv);

}  // namespace tarvos::platform
