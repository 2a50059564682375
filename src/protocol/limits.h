// Caps on lengths claimed by a peer.
//
// Every length read from the network is compared with its cap before anything is allocated for
// it, and buffers then grow only as the bytes actually arrive, so a peer that claims a large
// length and sends nothing costs nothing. A length above its cap fails with a TRDBError that
// breaks the stream (the bytes that follow cannot be placed).
//
// Thread use: a value, copied into each codec at construction.
#ifndef DATASERVER_PROTOCOL_LIMITS_H_
#define DATASERVER_PROTOCOL_LIMITS_H_

#include <cstddef>
#include <cstdint>

namespace protocol {

inline constexpr uint64_t kDefaultLimit = 256ull << 20;  // 256 MiB

struct Limits {
  // A frame body (and a negotiation block) as claimed by its 5-byte header.
  uint64_t max_frame = kDefaultLimit;
  // The bytes a frame body decompresses to.
  uint64_t max_decompressed_frame = kDefaultLimit;
  // The count of a {"data":[n,...]} block, and a stream value assembled from its inline part
  // and its continuation pieces.
  uint64_t max_data_block = kDefaultLimit;
  // A string of the message text (characters) and a string parameter value (encoded bytes,
  // continuation pieces included).
  uint64_t max_string = kDefaultLimit;
  // Elements of all arrays in one streamed variant that are kept as variants (each costs far
  // more memory than its bytes on the wire), and the nesting depth of arrays and references.
  uint64_t max_variant_elements = 4u << 20;
  int max_variant_depth = 64;
};

// Caps before a connection is admitted: every length a stranger can make the server allocate
// or inflate is held to `cap` bytes, and far fewer variant elements, so thousands of
// connections still in their handshake cost little memory.
inline Limits PreLoginLimits(uint64_t cap) {
  Limits limits;
  limits.max_frame = cap;
  limits.max_decompressed_frame = cap;
  limits.max_data_block = cap;
  limits.max_string = cap;
  limits.max_variant_elements = cap / 16 + 1;
  return limits;
}

inline constexpr uint64_t kDefaultPreLoginLimit = 1u << 20;  // 1 MiB

// Read and write buffer size of a connection from the transport's BufferKBSize: clamped to
// 1..1000 KiB.
inline size_t BufferSizeFromKB(int64_t kb) {
  if (kb < 1) kb = 1;
  if (kb > 1000) kb = 1000;
  return static_cast<size_t>(kb) * 1024;
}

// Buffer size of a reader or writer created without a size.
inline constexpr size_t kDefaultBufferSize = 8192;

}  // namespace protocol

#endif  // DATASERVER_PROTOCOL_LIMITS_H_
