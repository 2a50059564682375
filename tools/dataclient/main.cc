// dataclient: a command-line client of DataServer. Each command lives in a file of its own;
// this file only dispatches by the first argument.
#include <iostream>
#include <string>
#include <vector>

#include "dataclient/command.h"
#include "dataclient/dump_command.h"

namespace {

const dataclient::Command* const kCommands[] = {&dataclient::kDumpCommand};

void Usage(std::ostream& os) {
  os << "usage: dataclient COMMAND [ARGS]\n\ncommands:\n";
  for (const auto* c : kCommands) os << "  " << c->usage << "\n      " << c->summary << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    Usage(args.empty() ? std::cerr : std::cout);
    return args.empty() ? 2 : 0;
  }
  for (const auto* c : kCommands) {
    if (args[0] == c->name) {
      dataclient::CommandIo io{std::cin, std::cout, std::cerr};
      return c->run(std::vector<std::string>(args.begin() + 1, args.end()), io);
    }
  }
  std::cerr << "dataclient: unknown command '" << args[0] << "'\n";
  Usage(std::cerr);
  return 2;
}
