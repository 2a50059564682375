#include "protocol/compression_filter.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <string>

#include "common/text.h"
#include "protocol/rdb_error.h"

namespace protocol {
namespace {

constexpr char kFilterUnitName[] = "FilterUnit";
constexpr char kCompressMoreThanName[] = "CompressMoreThan";
constexpr size_t kMaxZChunk = 1u << 30;  // keeps avail_in/avail_out inside uInt
constexpr size_t kInflateGrowth = 64 * 1024;

// Strict decimal: optional sign, digits, within 32 bits.
bool ParseInt32(std::string_view text, int32_t& value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return false;
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
    if (v > int64_t{INT32_MAX} + 1) return false;
  }
  if (negative) v = -v;
  if (v > INT32_MAX || v < INT32_MIN) return false;
  value = static_cast<int32_t>(v);
  return true;
}

TRDBError ZlibError(const char* what, const z_stream& s, int rc) {
  std::string message = std::string("Compressed frame ") + what;
  message += " (";
  message += s.msg ? s.msg : ("zlib error " + std::to_string(rc));
  message += ")";
  return TRDBError(message, kReadErrorCode, true);
}

}  // namespace

struct TTransportCompressionFilter::ZStreams {
  z_stream deflate{};
  z_stream inflate{};
  bool deflate_ready = false;
  bool inflate_ready = false;

  ~ZStreams() {
    if (deflate_ready) deflateEnd(&deflate);
    if (inflate_ready) inflateEnd(&inflate);
  }
};

TTransportCompressionFilter::TTransportCompressionFilter() : z_(std::make_unique<ZStreams>()) {}
TTransportCompressionFilter::~TTransportCompressionFilter() = default;

std::vector<std::string> TTransportCompressionFilter::GetParameters() const {
  return {kFilterUnitName, kCompressMoreThanName};
}

std::vector<std::string> TTransportCompressionFilter::GetUserParameters() const {
  return {kCompressMoreThanName};
}

std::string TTransportCompressionFilter::GetParameterValue(std::string_view name) const {
  if (name == kFilterUnitName) return kCompressionFilterUnit;
  if (name == kCompressMoreThanName) return std::to_string(compress_more_than_);
  return std::string();
}

bool TTransportCompressionFilter::SetParameterValue(std::string_view name, std::string_view value) {
  if (name == kFilterUnitName) return common::EqualsIgnoreAsciiCase(value, kCompressionFilterUnit);
  if (name == kCompressMoreThanName) {
    int32_t v = 0;
    if (!ParseInt32(value, v)) {
      throw TRDBError("'" + std::string(value) + "' is not a valid integer value");
    }
    compress_more_than_ = v;
    return true;
  }
  return false;
}

void TTransportCompressionFilter::ProcessInput(common::ByteSpan data, common::Bytes& out) {
  if (static_cast<int64_t>(data.size()) <= compress_more_than_) {
    out.push_back(kPlainMarker);
    out.insert(out.end(), data.begin(), data.end());
    return;
  }
  out.push_back(kCompressedMarker);
  z_stream& s = z_->deflate;
  if (!z_->deflate_ready) {
    if (deflateInit2(&s, 1, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      throw TRDBError("Cannot start compression");
    }
    z_->deflate_ready = true;
  } else {
    deflateReset(&s);
  }
  const uint8_t* in = data.data();
  size_t in_left = data.size();
  size_t out_pos = out.size();
  out.resize(out_pos + deflateBound(&s, static_cast<uLong>(std::min(in_left, kMaxZChunk))) + 16);
  s.avail_in = 0;
  for (;;) {
    if (s.avail_in == 0 && in_left > 0) {
      const size_t chunk = std::min(in_left, kMaxZChunk);
      s.next_in = const_cast<Bytef*>(in);
      s.avail_in = static_cast<uInt>(chunk);
      in += chunk;
      in_left -= chunk;
    }
    if (out_pos == out.size()) out.resize(out.size() + out.size() / 2 + 1024);
    const size_t room = std::min(out.size() - out_pos, kMaxZChunk);
    s.next_out = out.data() + out_pos;
    s.avail_out = static_cast<uInt>(room);
    const int rc = deflate(&s, in_left == 0 ? Z_FINISH : Z_NO_FLUSH);
    out_pos += room - s.avail_out;
    if (rc == Z_STREAM_END) break;
    if (rc != Z_OK && rc != Z_BUF_ERROR) throw TRDBError("Compression failed");
  }
  out.resize(out_pos);
}

void TTransportCompressionFilter::ProcessOutput(common::ByteSpan data, common::Bytes& out,
                                                uint64_t max_output) {
  if (data.empty()) return;
  if (data[0] != kCompressedMarker) {
    if (data.size() - 1 > max_output) {
      throw TRDBError("Frame exceeds the limit of " + std::to_string(max_output) + " bytes",
                      kReadErrorCode, true);
    }
    out.insert(out.end(), data.begin() + 1, data.end());
    return;
  }
  z_stream& s = z_->inflate;
  if (!z_->inflate_ready) {
    if (inflateInit(&s) != Z_OK) throw TRDBError("Cannot start decompression");
    z_->inflate_ready = true;
  } else {
    inflateReset(&s);
  }
  const uint8_t* in = data.data() + 1;
  size_t in_left = data.size() - 1;
  const size_t start = out.size();
  size_t out_pos = start;
  s.avail_in = 0;
  for (;;) {
    if (s.avail_in == 0 && in_left > 0) {
      const size_t chunk = std::min(in_left, kMaxZChunk);
      s.next_in = const_cast<Bytef*>(in);
      s.avail_in = static_cast<uInt>(chunk);
      in += chunk;
      in_left -= chunk;
    }
    if (out_pos == out.size()) {
      // Grow with what has been produced, one byte beyond the cap so that overflow shows.
      const uint64_t produced = out_pos - start;
      if (produced > max_output) {
        throw TRDBError(
            "Decompressed frame exceeds the limit of " + std::to_string(max_output) + " bytes",
            kReadErrorCode, true);
      }
      // A first guess from the input spares zero-filling a large block for a small frame.
      const uint64_t want =
          produced == 0 ? std::min<uint64_t>(kInflateGrowth, 4 * uint64_t{data.size()} + 1024)
                        : std::max<uint64_t>(kInflateGrowth, produced);
      const uint64_t allowed = max_output + 1 - produced;
      out.resize(out_pos + static_cast<size_t>(std::min(want, allowed)));
    }
    const size_t room = std::min(out.size() - out_pos, kMaxZChunk);
    s.next_out = out.data() + out_pos;
    s.avail_out = static_cast<uInt>(room);
    const int rc = inflate(&s, Z_NO_FLUSH);
    out_pos += room - s.avail_out;
    if (rc == Z_STREAM_END) break;
    if (rc == Z_BUF_ERROR && s.avail_in == 0 && in_left == 0) {
      throw ZlibError("is truncated", s, rc);
    }
    if (rc != Z_OK && rc != Z_BUF_ERROR) throw ZlibError("is corrupt", s, rc);
  }
  if (out_pos - start > max_output) {
    throw TRDBError(
        "Decompressed frame exceeds the limit of " + std::to_string(max_output) + " bytes",
        kReadErrorCode, true);
  }
  out.resize(out_pos);
}

}  // namespace protocol
