#include "protocol/param_value.h"

#include <cmath>
#include <string>

#include "common/datetime.h"
#include "protocol/rdb_error.h"
#include "protocol/variant_stream.h"

namespace protocol {
namespace {

constexpr int64_t kUnixEpochMs = common::kUnixDateDelta * common::kMsPerDay;
// Beyond this many days a date-time has no whole-millisecond form in 64 bits (and is far
// outside years 1..9999 anyway).
constexpr double kMaxDateTimeDays = 1e11;

[[noreturn]] void Malformed(const std::string& what) {
  throw TRDBError("Malformed parameter row: " + what, kParseErrorCode);
}

template <typename U>
size_t PutMagnitude(uint8_t* out, uint8_t sign_header, U magnitude) {
  size_t n = 0;
  for (U m = magnitude; m != 0; m >>= 8) ++n;
  out[0] = static_cast<uint8_t>(sign_header | n);
  for (size_t i = 0; i < n; ++i) out[n - i] = static_cast<uint8_t>(magnitude >> (8 * i));
  return n + 1;
}

template <typename U>
U Assemble(common::ByteSpan bytes) {
  U v = 0;
  for (uint8_t b : bytes) v = static_cast<U>((v << 8) | b);
  return v;
}

// Trailing zero bytes of the big-endian pattern are dropped.
template <typename U>
size_t PutFloatBits(uint8_t* out, U bits) {
  constexpr size_t kSize = sizeof(U);
  size_t n = kSize;
  while (n > 0 && static_cast<uint8_t>(bits >> (8 * (kSize - n))) == 0) --n;
  const bool negative = (bits >> (8 * kSize - 1)) != 0;
  out[0] = static_cast<uint8_t>((negative ? kNegativeHeader : kPositiveHeader) | n);
  for (size_t i = 0; i < n; ++i) out[1 + i] = static_cast<uint8_t>(bits >> (8 * (kSize - 1 - i)));
  return n + 1;
}

template <typename U>
U FloatBits(common::ByteSpan body) {
  constexpr size_t kSize = sizeof(U);
  U bits = 0;
  for (size_t i = 0; i < kSize; ++i)
    bits = static_cast<U>((bits << 8) | (i < body.size() ? body[i] : 0));
  return bits;
}

}  // namespace

size_t EncodeInt32(uint8_t* out, int32_t value) {
  // The most negative value keeps its own bit pattern as "magnitude", which reads back right.
  return value >= 0 ? PutMagnitude(out, kPositiveHeader, static_cast<uint32_t>(value))
                    : PutMagnitude(out, kNegativeHeader, 0u - static_cast<uint32_t>(value));
}

size_t EncodeInt64(uint8_t* out, int64_t value) {
  return value >= 0
             ? PutMagnitude(out, kPositiveHeader, static_cast<uint64_t>(value))
             : PutMagnitude(out, kNegativeHeader, uint64_t{0} - static_cast<uint64_t>(value));
}

size_t EncodeBoolean(uint8_t* out, bool value) {
  out[0] = value ? kPositiveHeader : kNegativeHeader;
  return 1;
}

size_t EncodeDouble(uint8_t* out, double value) {
  return PutFloatBits(out, common::DoubleBits(value));
}

size_t EncodeSingle(uint8_t* out, float value) {
  return PutFloatBits(out, common::SingleBits(value));
}

size_t EncodeDateTime(uint8_t* out, double value) {
  if (!std::isfinite(value) || std::fabs(value) > kMaxDateTimeDays) {
    throw TRDBError("Invalid date-time value");
  }
  int64_t day = 0;
  int64_t ms_of_day = 0;
  common::SplitDateTime(value, day, ms_of_day);
  const int64_t f = ms_of_day % 1000;
  const int64_t t = (day - common::kUnixDateDelta) * common::kMsPerDay + (ms_of_day - f);
  size_t n = 1 + EncodeInt64(out + 1, t);
  if (f != 0) {
    common::StoreBE(out + n, static_cast<uint32_t>(f * 1000000));
    n += 4;
  }
  out[0] = static_cast<uint8_t>(kNegativeHeader + (n - 1));
  return n;
}

size_t EncodedStringLength(std::u16string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] >= 255) return i + 1 + 2 * (text.size() - i);
  }
  return text.size();
}

void EncodeStringBytes(std::u16string_view text, uint8_t* out) {
  size_t i = 0;
  for (; i < text.size() && text[i] < 255; ++i) *out++ = static_cast<uint8_t>(text[i]);
  if (i == text.size()) return;
  *out++ = 0xFF;
  for (; i < text.size(); ++i) {
    *out++ = static_cast<uint8_t>(text[i] >> 8);
    *out++ = static_cast<uint8_t>(text[i]);
  }
}

std::u16string DecodeStringBytes(common::ByteSpan bytes) {
  std::u16string text;
  size_t i = 0;
  while (i < bytes.size() && bytes[i] != 0xFF) ++i;
  const size_t wide = i < bytes.size() ? (bytes.size() - i - 1) / 2 : 0;
  text.resize(i + wide);
  for (size_t k = 0; k < i; ++k) text[k] = bytes[k];
  // An odd byte left at the end belongs to no character and is ignored.
  for (size_t k = 0, at = i + 1; k < wide; ++k, at += 2) {
    text[i + k] = static_cast<char16_t>((bytes[at] << 8) | bytes[at + 1]);
  }
  return text;
}

EncodedValue SplitValue(common::ByteSpan row, size_t& size) {
  if (row.empty()) Malformed("the row ends before a value");
  const uint8_t h = row[0];
  uint64_t header_size = 1;
  uint64_t body_size = 0;
  if (h & 0x80) {
  } else if (h & 0x20) {
    body_size = h & 0x1F;
  } else if (h == kCallbackHeader) {
  } else if (h & 0x10) {
    header_size = 3;
    if (row.size() < header_size) Malformed("a value runs past the end of the row");
    body_size = common::LoadBE<uint16_t>(row.data() + 1);
  } else if (h & 0x40) {
    header_size = 5;
    if (row.size() < header_size) Malformed("a value runs past the end of the row");
    body_size = common::LoadBE<uint32_t>(row.data() + 1);
  } else if (h & 0x08) {
    if (h == 8) {
      body_size = 4;
    } else {
      if (row.size() < 6) Malformed("a value runs past the end of the row");
      body_size = 5 + (row[5] & 0x1F);
    }
  } else if (h == 0) {
    size_t end = 1;
    while (end < row.size() && row[end] != 0) ++end;
    if (end == row.size()) Malformed("a value runs past the end of the row");
    size = end + 1;
    return {h, row.subspan(1, end - 1)};
  } else {
    Malformed("invalid header byte " + std::to_string(h));
  }
  if (header_size + body_size > row.size()) Malformed("a value runs past the end of the row");
  size = static_cast<size_t>(header_size + body_size);
  return {h, row.subspan(static_cast<size_t>(header_size), static_cast<size_t>(body_size))};
}

EncodedValue ParamRowReader::At(size_t ordinal) {
  size_t size = 0;
  while (starts_.size() <= ordinal) {
    const size_t start = starts_.back();
    if (start >= row_.size()) Malformed("the row holds fewer values than its parameters");
    SplitValue(row_.subspan(start), size);
    starts_.push_back(start + size);
  }
  const size_t start = starts_[ordinal];
  if (start >= row_.size()) Malformed("the row holds fewer values than its parameters");
  return SplitValue(row_.subspan(start), size);
}

int32_t DecodeInt32(const EncodedValue& value) {
  if (value.is_null()) return 0;
  const uint32_t v = Assemble<uint32_t>(value.body);
  if ((value.header & 0x40) || static_cast<int32_t>(v) <= 0) return static_cast<int32_t>(v);
  return static_cast<int32_t>(0u - v);
}

int64_t DecodeInt64(const EncodedValue& value) {
  if (value.is_null()) return 0;
  const uint64_t v = Assemble<uint64_t>(value.body);
  if ((value.header & 0x40) || static_cast<int64_t>(v) <= 0) return static_cast<int64_t>(v);
  return static_cast<int64_t>(uint64_t{0} - v);
}

bool DecodeBoolean(const EncodedValue& value) {
  return !value.is_null() && (value.header & 0x40) != 0;
}

double DecodeDouble(const EncodedValue& value) {
  if (value.is_null()) return 0;
  return common::DoubleFromBits(FloatBits<uint64_t>(value.body));
}

float DecodeSingle(const EncodedValue& value) {
  if (value.is_null()) return 0;
  return common::SingleFromBits(FloatBits<uint32_t>(value.body));
}

double DecodeDateTime(const EncodedValue& value) {
  if (value.is_null() || value.body.empty()) return 0;
  const common::ByteSpan body = value.body;
  const EncodedValue integer{body[0],
                             body.subspan(1, std::min<size_t>(body[0] & 0x1F, body.size() - 1))};
  const int64_t t = DecodeInt64(integer);
  const size_t after = 1 + integer.body.size();
  int64_t ms = 0;
  if (body.size() >= after + 4) ms = common::LoadBE<uint32_t>(body.data() + after) / 1000000;
  // Floor division, so the time of day r is never negative.
  const __int128 total = static_cast<__int128>(t) + kUnixEpochMs;
  __int128 days = total / common::kMsPerDay;
  __int128 r = total % common::kMsPerDay;
  if (r < 0) {
    r += common::kMsPerDay;
    --days;
  }
  const double fraction = static_cast<double>(r + ms) / common::kMsPerDay;
  const double d = static_cast<double>(days);
  return days >= 0 ? d + fraction : d - fraction;
}

void ReadValueBytes(const EncodedValue& value, PieceFetcher* fetcher, int ordinal,
                    uint64_t max_bytes, common::Bytes& out) {
  if (value.is_null()) return;
  auto too_long = [&] {
    return TRDBError("Value " + std::to_string(ordinal) + " exceeds the limit of " +
                         std::to_string(max_bytes) + " bytes",
                     kParseErrorCode, true);
  };
  if (value.body.size() > max_bytes) throw too_long();
  out.insert(out.end(), value.body.begin(), value.body.end());
  if (!value.continues()) return;
  if (!fetcher) {
    throw TRDBError("Value " + std::to_string(ordinal) + " continues but its pieces cannot be read",
                    kParseErrorCode);
  }
  const size_t start = out.size() - value.body.size();
  while (fetcher->FetchPiece(ordinal, out, max_bytes - (out.size() - start))) {
    if (out.size() - start > max_bytes) throw too_long();
  }
  if (out.size() - start > max_bytes) throw too_long();
}

std::u16string DecodeString(const EncodedValue& value, PieceFetcher* fetcher, int ordinal,
                            const Limits& limits) {
  if (value.is_null()) return std::u16string();
  if (!value.continues()) return DecodeStringBytes(value.body);
  common::Bytes bytes;
  ReadValueBytes(value, fetcher, ordinal, limits.max_string, bytes);
  return DecodeStringBytes(bytes);
}

common::Variant DecodeVariant(const EncodedValue& value, PieceFetcher* fetcher, int ordinal,
                              const Limits& limits) {
  if (value.is_null()) return common::Variant::Null();
  if (!value.continues()) return DecodeVariantStream(value.body, limits);
  common::Bytes bytes;
  ReadValueBytes(value, fetcher, ordinal, limits.max_data_block, bytes);
  return DecodeVariantStream(std::move(bytes), limits);
}

std::string DecodeJsonText(const EncodedValue& value) {
  if (value.is_null()) return std::string();
  if (value.header != kJsonHeader) throw TRDBError("Invalid JSON header byte encountered");
  return std::string(value.body.begin(), value.body.end());
}

}  // namespace protocol
