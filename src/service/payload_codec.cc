#include "service/payload_codec.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace service {
namespace {

constexpr int kWindowBits = 15;  // zlib wrapper, 32 KiB window
constexpr int kMemLevel = 8;
constexpr size_t kInflateChunk = 64 * 1024;

const common::Variant& Dereference(const common::Variant& value) {
  const common::Variant* v = &value;
  while (v->IsReference()) v = &v->referenced();
  return *v;
}

int32_t CheckedCount(size_t n) {
  if (n > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    throw common::Error("Stream of " + std::to_string(n) + " bytes is too large for a byte array");
  }
  return static_cast<int32_t>(n);
}

std::string ZlibMessage(const z_stream& z, int code) {
  if (z.msg != nullptr) return z.msg;
  return zError(code);
}

// Deflate states kept from one stream to the next. deflateInit allocates about 256 KiB (window,
// hash chains, pending buffer) and clears the hash table; a kept state is reset instead, which
// gives the same output as a new one (deflateReset is deflateEnd + deflateInit without freeing)
// and spares the allocation and the page faults of memory the allocator handed back. At most
// kKeptDeflaters states are kept, shared by all threads, so idle threads hold none.
//
// Thread use: any thread; mutex_ guards the kept states.
class DeflaterCache {
 public:
  static constexpr size_t kKeptDeflaters = 16;

  struct Deflater {
    z_stream z{};
    int level = 0;
    ~Deflater() { deflateEnd(&z); }
  };

  // A state ready for a new stream at `level`, kept or new.
  std::unique_ptr<Deflater> Take(int level) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto it = kept_.begin(); it != kept_.end(); ++it) {
        if ((*it)->level == level) {
          std::unique_ptr<Deflater> d = std::move(*it);
          kept_.erase(it);
          return d;
        }
      }
    }
    auto d = std::make_unique<Deflater>();
    d->level = level;
    const int rc =
        deflateInit2(&d->z, level, Z_DEFLATED, kWindowBits, kMemLevel, Z_DEFAULT_STRATEGY);
    if (rc != Z_OK) throw ECompressionError(ZlibMessage(d->z, rc));
    return d;
  }

  // Resets `d` for the next stream and keeps it, or ends it when enough are kept.
  void Give(std::unique_ptr<Deflater> d) {
    if (deflateReset(&d->z) != Z_OK) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (kept_.size() < kKeptDeflaters) kept_.push_back(std::move(d));
  }

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<Deflater>> kept_;  // GUARDED_BY(mutex_)
};

// Never destroyed: connection threads may compress while the process ends.
DeflaterCache& Deflaters() {
  static DeflaterCache* cache = new DeflaterCache;
  return *cache;
}

}  // namespace

common::Variant StreamToByteArray(const common::Bytes& stream) {
  CheckedCount(stream.size());
  return common::Variant::ByteArray(stream, 0);
}

common::Variant StreamToByteArray(common::Bytes&& stream) {
  CheckedCount(stream.size());
  return common::Variant::ByteArray(std::move(stream), 0);
}

std::optional<common::Bytes> ByteArrayToStream(const common::Variant& value) {
  try {
    const common::Variant& v = Dereference(value);
    if (!v.IsArray()) return std::nullopt;
    const common::VariantArray& a = v.array();
    if (a.bounds.empty()) return std::nullopt;
    // Only arrays of fixed-size scalars hold their data as bytes; the data of an array of
    // variants or texts is no payload.
    if (!common::IsRawElementType(a.element_type)) return std::nullopt;
    const int64_t n = a.bounds[0].count();
    if (n <= 0) return common::Bytes();
    if (static_cast<uint64_t>(n) > a.raw.size()) return std::nullopt;
    return common::Bytes(a.raw.begin(), a.raw.begin() + n);
  } catch (...) {
    return std::nullopt;
  }
}

int ZlibLevel(int32_t level) {
  switch (level) {
    case 0:
      return 0;
    case 1:
      return 1;
    case 2:
      return Z_DEFAULT_COMPRESSION;
    default:
      return 9;
  }
}

namespace {

// Compresses the chunks of `input` one after another into one zlib stream; `consumed(i)` is
// called once chunk i has been taken in whole, so the caller may release it.
template <typename Consumed>
common::Bytes Deflate(std::span<common::Bytes> input, int32_t level, Consumed consumed) {
  DeflaterCache& cache = Deflaters();
  std::unique_ptr<DeflaterCache::Deflater> deflater = cache.Take(ZlibLevel(level));
  z_stream& z = deflater->z;
  uint64_t total = 0;
  for (const common::Bytes& chunk : input) total += chunk.size();

  // Room for what datasets typically compress to, grown by half when it runs out: sizing for
  // the worst case (deflateBound, about the input's size) would hold and clear a second copy
  // of the input's size while compressing.
  common::Bytes out;
  const uint64_t bound = deflateBound(&z, static_cast<uLong>(std::min<uint64_t>(total, ULONG_MAX)));
  out.resize(static_cast<size_t>(std::min<uint64_t>(bound, total / 4 + kInflateChunk)));
  size_t out_pos = 0;
  size_t chunk = 0;
  size_t in_pos = 0;
  int rc;
  do {
    while (chunk < input.size() && in_pos == input[chunk].size()) {
      consumed(chunk);
      ++chunk;
      in_pos = 0;
    }
    const bool have = chunk < input.size();
    const size_t in_left = have ? input[chunk].size() - in_pos : 0;
    z.next_in = have ? input[chunk].data() + in_pos : nullptr;
    z.avail_in = static_cast<uInt>(std::min<size_t>(in_left, UINT_MAX));
    if (out.size() - out_pos == 0) out.resize(out.size() + std::max(out.size() / 2, kInflateChunk));
    z.next_out = out.data() + out_pos;
    z.avail_out = static_cast<uInt>(std::min<size_t>(out.size() - out_pos, UINT_MAX));
    const uInt avail_in_before = z.avail_in;
    const uInt avail_out_before = z.avail_out;
    const bool last = chunk + 1 >= input.size() && in_left == z.avail_in;
    rc = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
    in_pos += avail_in_before - z.avail_in;
    out_pos += avail_out_before - z.avail_out;
    if (rc == Z_STREAM_ERROR) throw ECompressionError(ZlibMessage(z, rc));
  } while (rc != Z_STREAM_END);
  for (; chunk < input.size(); ++chunk) consumed(chunk);
  out.resize(out_pos);
  out.shrink_to_fit();  // growing by half leaves room above the compressed size
  cache.Give(std::move(deflater));
  return out;
}

}  // namespace

void CompressStreamInPlace(common::Bytes& stream, int32_t level) {
  stream = Deflate(std::span(&stream, 1), level, [](size_t) {});
}

common::Bytes CompressChunks(common::ChunkedBytes&& stream, int32_t level) {
  common::Bytes out =
      Deflate(stream.chunks, level, [&](size_t i) { common::Bytes().swap(stream.chunks[i]); });
  stream.chunks.clear();
  return out;
}

void DecompressStreamInPlace(common::Bytes& stream, size_t max_size, common::MemoryBudget* budget) {
  z_stream z{};
  int rc = inflateInit2(&z, kWindowBits);
  if (rc != Z_OK) throw EDecompressionError(ZlibMessage(z, rc));

  common::Bytes out;
  common::BudgetShare share(budget);
  try {
    size_t in_pos = 0;
    for (;;) {
      if (z.avail_in == 0 && in_pos < stream.size()) {
        z.next_in = stream.data() + in_pos;
        z.avail_in = static_cast<uInt>(std::min<size_t>(stream.size() - in_pos, UINT_MAX));
        in_pos += z.avail_in;
      }
      const size_t old_size = out.size();
      if (budget != nullptr && old_size + kInflateChunk > out.capacity()) {
        // The room is reserved before it is allocated: grown by doubling, as a vector grows.
        const size_t room = std::max(old_size + kInflateChunk, 2 * out.capacity());
        if (!share.Resize(room)) {
          throw EDecompressionError(
              "The server has no memory free to decompress the payload now; try again later");
        }
        out.reserve(room);
      }
      out.resize(old_size + kInflateChunk);
      z.next_out = out.data() + old_size;
      z.avail_out = static_cast<uInt>(kInflateChunk);
      rc = inflate(&z, Z_NO_FLUSH);
      out.resize(old_size + (kInflateChunk - z.avail_out));
      // Output is bounded by the limit plus one chunk: a bomb is refused, never allocated.
      if (out.size() > max_size) {
        throw EDecompressionError("Decompressed payload exceeds the limit of " +
                                  std::to_string(max_size) + " bytes");
      }
      if (rc == Z_STREAM_END) break;
      if (rc != Z_OK && rc != Z_BUF_ERROR) throw EDecompressionError(ZlibMessage(z, rc));
      const bool input_done = z.avail_in == 0 && in_pos == stream.size();
      // Output room left and no input: the input ended before the zlib stream did. What was
      // decompressed so far is the result (the trailer is never compared).
      if (input_done && z.avail_out != 0) break;
      if (rc == Z_BUF_ERROR) throw EDecompressionError(ZlibMessage(z, rc));
    }
  } catch (...) {
    inflateEnd(&z);
    throw;
  }
  inflateEnd(&z);
  stream = std::move(out);
}

}  // namespace service
