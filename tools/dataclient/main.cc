// dataclient: a command-line client of DataServer. Each command lives in a file of its own;
// this file only dispatches by the first argument. Connection options given before the command
// (dataclient --port 8211 getdatabase) are handed to it with its own arguments.
#include <iostream>
#include <string>
#include <vector>

#include "dataclient/command.h"
#include "dataclient/dump_command.h"
#include "dataclient/server_commands.h"

namespace {

const dataclient::Command* const kCommands[] = {
    &dataclient::kDumpCommand,        &dataclient::kGetDatabaseCommand, &dataclient::kDateTimeCommand, &dataclient::kQueryCommand,
    &dataclient::kExecCommand,        &dataclient::kUploadCommand,   &dataclient::kDownloadCommand};

void Usage(std::ostream& os) {
  os << "usage: dataclient [--host H] [--port P] [--user U] [--password W] COMMAND [ARGS]\n\n"
        "commands:\n";
  for (const auto* c : kCommands) os << "  " << c->usage << "\n      " << c->summary << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::vector<std::string> leading;
  while (args.size() >= 2 && dataclient::IsServerOption(args[0])) {
    leading.insert(leading.end(), args.begin(), args.begin() + 2);
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    Usage(args.empty() ? std::cerr : std::cout);
    return args.empty() ? 2 : 0;
  }
  for (const auto* c : kCommands) {
    if (args[0] == c->name) {
      dataclient::CommandIo io{std::cin, std::cout, std::cerr};
      std::vector<std::string> command_args(args.begin() + 1, args.end());
      command_args.insert(command_args.end(), leading.begin(), leading.end());
      return c->run(command_args, io);
    }
  }
  std::cerr << "dataclient: unknown command '" << args[0] << "'\n";
  Usage(std::cerr);
  return 2;
}
