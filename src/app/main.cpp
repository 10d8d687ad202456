#include <string>
#include <vector>

#include "app/run.h"
#include "platform/command_line.h"
#include "platform/console.h"

int main(int argc, char** argv) {
  std::vector<std::string> args = tarvos::platform::ProgramArguments(argc, argv);
  auto console = tarvos::platform::MakeSystemConsole();
  return tarvos::app::RunTarvos(args, *console);
}
