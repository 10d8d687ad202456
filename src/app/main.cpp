#include <string>
#include <vector>

#include "app/run.h"
#include "platform/console.h"

int main(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  auto console = tarvos::platform::MakeSystemConsole();
  return tarvos::app::RunTarvos(args, *console);
}
