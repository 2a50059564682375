// How "dataclient query" shows a result set. Kept apart so that the dataset decoder can take
// over the rendering without touching the command.
#include <ostream>

#include "dataclient/server_commands.h"

namespace dataclient {

void RenderResultSet(common::ByteSpan dataset_stream, CommandIo& io) {
  io.out << "result set: a dataset stream of " << dataset_stream.size()
         << " bytes; keep it with --out FILE and read it with \"dataclient dump FILE\"\n";
}

}  // namespace dataclient
