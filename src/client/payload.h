// Payloads as the remote methods carry them: byte-array variants, compressed (one complete zlib
// stream at the default level) or not.
//
// Thread use: pure functions.
#ifndef DATASERVER_CLIENT_PAYLOAD_H_
#define DATASERVER_CLIENT_PAYLOAD_H_

#include <cstddef>
#include <optional>

#include "common/bytes.h"
#include "common/variant.h"

namespace client {

inline constexpr size_t kMaxPayloadSize = size_t{256} << 20;

// `bytes` as a byte array with bounds 0 .. n - 1.
common::Variant BytesPayload(common::ByteSpan bytes);
// `bytes` compressed into a zlib stream, as a byte array.
common::Variant CompressedPayload(common::ByteSpan bytes);
// The bytes of a byte-array variant; nullopt for anything else (null, unassigned, text).
std::optional<common::Bytes> PayloadBytes(const common::Variant& value);
// The inflated bytes of a compressed payload. Throws common::Error for data that is not a
// complete zlib stream, or that inflates past `max_size`.
common::Bytes DecompressPayload(common::ByteSpan compressed, size_t max_size = kMaxPayloadSize);

}  // namespace client

#endif  // DATASERVER_CLIENT_PAYLOAD_H_
