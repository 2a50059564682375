#include "client/payload.h"

#include <zlib.h>

#include <algorithm>
#include <string>

#include "common/error.h"

namespace client {

common::Variant BytesPayload(common::ByteSpan bytes) {
  return common::Variant::ByteArray(common::Bytes(bytes.begin(), bytes.end()));
}

common::Variant CompressedPayload(common::ByteSpan bytes) {
  uLongf size = compressBound(static_cast<uLong>(bytes.size()));
  common::Bytes out(size);
  const int rc = compress2(out.data(), &size, bytes.data(), static_cast<uLong>(bytes.size()),
                           Z_DEFAULT_COMPRESSION);
  if (rc != Z_OK) throw common::Error("Compression failed (zlib error " + std::to_string(rc) + ")");
  out.resize(size);
  return common::Variant::ByteArray(std::move(out));
}

std::optional<common::Bytes> PayloadBytes(const common::Variant& value) {
  if (!value.IsByteArray()) return std::nullopt;
  const common::ByteSpan bytes = value.bytes();
  return common::Bytes(bytes.begin(), bytes.end());
}

common::Bytes DecompressPayload(common::ByteSpan compressed, size_t max_size) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) throw common::Error("Decompression failed: no memory");
  common::Bytes out;
  z.next_in = const_cast<Bytef*>(compressed.data());
  z.avail_in = static_cast<uInt>(compressed.size());
  int rc = Z_OK;
  while (rc != Z_STREAM_END) {
    const size_t chunk = 64 * 1024;
    if (out.size() >= max_size) {
      inflateEnd(&z);
      throw common::Error("Decompressed payload exceeds " + std::to_string(max_size) + " bytes");
    }
    const size_t old = out.size();
    out.resize(old + std::min(chunk, max_size - old));
    z.next_out = out.data() + old;
    z.avail_out = static_cast<uInt>(out.size() - old);
    rc = inflate(&z, Z_NO_FLUSH);
    out.resize(out.size() - z.avail_out);
    if (rc != Z_OK && rc != Z_STREAM_END) {
      inflateEnd(&z);
      throw common::Error(std::string("Payload is not a valid zlib stream") +
                          (z.msg ? std::string(" (") + z.msg + ")" : std::string()));
    }
    if (rc == Z_OK && z.avail_in == 0 && z.avail_out != 0) {
      inflateEnd(&z);
      throw common::Error("Payload ends before its zlib stream is complete");
    }
  }
  inflateEnd(&z);
  return out;
}

}  // namespace client
