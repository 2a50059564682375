// The payload codec: byte-array variants and in-place zlib compression of memory streams.
//
// Every bulk value of a remote method (a saved dataset, a file, a text of statements, a file
// list) travels as a byte-array variant; some are compressed first. A memory stream is simply
// a byte buffer here.
//
//   compressed payload = one complete zlib stream (RFC 1950 over RFC 1951):
//     78 xx | deflate data | Adler-32 (big-endian)
//   window bits 15, memory level 8, default strategy, no extra framing.
//
// Threads: free functions, safe from any thread. Compression borrows a deflate state from a small
// process-wide cache (its own lock) so that a call need not allocate and clear one.
#ifndef DATASERVER_SERVICE_PAYLOAD_CODEC_H_
#define DATASERVER_SERVICE_PAYLOAD_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/bytes.h"
#include "common/error.h"
#include "common/memory_budget.h"
#include "common/variant.h"

namespace service {

// The largest payload a client may make the server inflate (a zlib bomb is refused, not
// allocated).
constexpr size_t kDefaultMaxPayloadSize = size_t{256} << 20;

// zlib failures (bad header, corrupt data, wrong trailer, output over the limit).
class EDecompressionError : public common::Error {
 public:
  explicit EDecompressionError(const std::string& message)
      : common::Error("EDecompressionError", message) {}
};
class ECompressionError : public common::Error {
 public:
  explicit ECompressionError(const std::string& message)
      : common::Error("ECompressionError", message) {}
};

// The whole stream as a byte array with bounds 0 .. n - 1 (an empty stream gives bounds 0 and
// -1). Throws common::Error when n does not fit a 32-bit signed count.
common::Variant StreamToByteArray(const common::Bytes& stream);
common::Variant StreamToByteArray(common::Bytes&& stream);

// The bytes of a one-dimensional array with any bounds: upper - lower + 1 bytes from the
// array's first element on, whatever the element type. Null (nullopt) for anything that is not
// such an array, and for arrays whose elements are not held as plain bytes (variants, texts).
// Never throws.
std::optional<common::Bytes> ByteArrayToStream(const common::Variant& value);

// The zlib level of a level argument: 0 -> 0, 1 -> 1, 2 -> the library default (6), anything
// else -> 9.
int ZlibLevel(int32_t level);

// Replaces the content of `stream` by its compressed form.
void CompressStreamInPlace(common::Bytes& stream, int32_t level);
// The chunks of `stream`, in order, compressed into one buffer; each chunk is freed as soon as
// it has been compressed, so compressing holds little more than the larger of the two forms.
// `stream` is left empty.
common::Bytes CompressChunks(common::ChunkedBytes&& stream, int32_t level);

// Replaces the compressed content of `stream` by the decompressed bytes. Input that ends before
// the zlib stream is complete is not an error: the result is what was decompressed so far.
// Throws EDecompressionError on data zlib rejects, or when the output would exceed `max_size`
// bytes; `stream` then keeps its compressed content. With a `budget`, the output's room is
// reserved from it before it grows, and given back when the inflation is over; room that the
// budget cannot give within its wait fails with EDecompressionError.
void DecompressStreamInPlace(common::Bytes& stream, size_t max_size = kDefaultMaxPayloadSize,
                             common::MemoryBudget* budget = nullptr);

}  // namespace service

#endif  // DATASERVER_SERVICE_PAYLOAD_CODEC_H_
