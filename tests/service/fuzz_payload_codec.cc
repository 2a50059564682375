// Decompresses arbitrary client payloads under a small output limit, and checks that what
// decompresses also survives a round trip, in one piece and cut into chunks.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "service/payload_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const common::Variant wire = common::Variant::ByteArray(common::Bytes(data, data + size), 3);
  std::optional<common::Bytes> stream = service::ByteArrayToStream(wire);
  if (!stream || stream->size() != size) __builtin_trap();
  try {
    service::DecompressStreamInPlace(*stream, 1 << 20);
  } catch (const service::EDecompressionError&) {
    return 0;
  }
  common::Bytes copy = *stream;
  service::CompressStreamInPlace(copy, static_cast<int32_t>(size % 5));
  service::DecompressStreamInPlace(copy, 1 << 20);
  if (copy != *stream) __builtin_trap();

  // The same bytes in chunks cut at lengths taken from the input.
  common::ChunkedBytes chunked;
  for (size_t at = 0, i = 0; at < stream->size(); ++i) {
    const size_t n = std::min<size_t>((data[i % size] + 1u) * 37u, stream->size() - at);
    chunked.chunks.emplace_back(stream->begin() + at, stream->begin() + at + n);
    at += n;
  }
  common::Bytes joined = service::CompressChunks(std::move(chunked), 2);
  service::DecompressStreamInPlace(joined, 1 << 20);
  if (joined != *stream) __builtin_trap();
  return 0;
}
