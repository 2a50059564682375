// What a dataclient command is to the dispatcher in main.cc: a function of its arguments
// (the words after the command's name) and the process's standard streams, returning the exit
// code (0 success, 1 failure, 2 bad usage).
#ifndef DATASERVER_TOOLS_DATACLIENT_COMMAND_H_
#define DATASERVER_TOOLS_DATACLIENT_COMMAND_H_

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace dataclient {

struct CommandIo {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
};

struct Command {
  std::string_view name;
  std::string_view usage;  // e.g. "dump [--compact] FILE|-"
  std::string_view summary;
  int (*run)(const std::vector<std::string>& args, CommandIo& io);
};

}  // namespace dataclient

#endif  // DATASERVER_TOOLS_DATACLIENT_COMMAND_H_
