// How "dataclient query" shows a result set: the decoded dataset stream as JSON, the same form
// "dataclient dump" prints.
#include <ostream>

#include "dataclient/dump_command.h"
#include "dataclient/server_commands.h"

namespace dataclient {

void RenderResultSet(common::ByteSpan dataset_stream, CommandIo& io) {
  io.out << DumpStream(dataset_stream).dump(2) << "\n";
}

}  // namespace dataclient
