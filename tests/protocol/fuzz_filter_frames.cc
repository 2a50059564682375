// Feeds arbitrary bytes to a filter channel as the bytes a peer sends: the negotiation and
// then frames, read until the channel fails. By the first byte, the channel is a server with
// the compression filter, a server without filters, or a client (its first write negotiates).
//
// Input: byte 0 chooses the role and the largest inner read; the rest is what the peer sends.
#include <cstddef>
#include <cstdint>

#include "memory_channel.h"
#include "protocol/compression_filter.h"
#include "protocol/filter_channel.h"
#include "protocol/rdb_error.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace protocol;
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  test::MemoryChannel inner(common::Bytes(data + 1, data + size));
  inner.set_max_read(1 + (mode >> 2) * 97);
  Limits limits;
  limits.max_frame = 1 << 20;
  limits.max_decompressed_frame = 4 << 20;
  FilterList filters;
  if ((mode & 3) != 1) filters.push_back(std::make_unique<TTransportCompressionFilter>());
  TRDBFilterSocketChannel channel(inner, std::move(filters), limits);
  try {
    if ((mode & 3) == 2) {
      static const uint8_t kMessage[2000] = {'x'};
      channel.Write(kMessage, sizeof kMessage);
    }
    uint8_t buffer[4096];
    for (size_t count = 1;; count = count * 3 % sizeof buffer + 1) {
      const ptrdiff_t got = channel.Read(buffer, count);
      if (got <= 0) break;
      if (static_cast<size_t>(got) > count) __builtin_trap();
    }
  } catch (const TRDBError&) {
  }
  return 0;
}
