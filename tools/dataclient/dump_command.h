// "dataclient dump FILE|-": decodes a dataset stream (zlib-compressed or not) and prints it as
// JSON: the header, the dictionary, and the object tree (manager, tables with their columns,
// constraints, views and rows with typed values, relations, the updates journal).
#ifndef DATASERVER_TOOLS_DATACLIENT_DUMP_COMMAND_H_
#define DATASERVER_TOOLS_DATACLIENT_DUMP_COMMAND_H_

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "dataclient/command.h"

namespace dataclient {

// The largest stream a compressed input may expand to.
inline constexpr size_t kMaxInflatedSize = size_t{256} << 20;

// Whether the bytes begin with a zlib header (deflate, window of at most 32 KiB, check bits).
bool LooksCompressed(common::ByteSpan bytes);
// Inflates a complete zlib stream; std::runtime_error for corrupt data or more than `limit`.
common::Bytes Inflate(common::ByteSpan bytes, size_t limit = kMaxInflatedSize);

// The JSON form of a dataset stream (not compressed). Throws the storage's EDAException for a
// malformed stream.
nlohmann::ordered_json DumpStream(common::ByteSpan stream);

int RunDump(const std::vector<std::string>& args, CommandIo& io);

inline constexpr Command kDumpCommand{
    "dump", "dump [--compact] FILE|-",
    "decode a dataset stream (compressed or not) to JSON; - reads standard input", &RunDump};

}  // namespace dataclient

#endif  // DATASERVER_TOOLS_DATACLIENT_DUMP_COMMAND_H_
