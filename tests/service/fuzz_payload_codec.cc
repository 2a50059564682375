// Decompresses arbitrary client payloads under a small output limit, and checks that what
// decompresses also survives a round trip.
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
  return 0;
}
