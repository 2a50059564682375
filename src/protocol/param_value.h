// The binary encoding of parameter values: one value per parameter, each starting with a header
// byte h, concatenated in ordinal order into a parameter row.
//
//   h            form                                       bytes after h
//   0xC0         null (any h with bit 7 reads as null)      none
//   0x02         callback placeholder                       none
//   0x60 + n     integer >= 0, float with sign clear, true  n
//   0x20 + n     integer < 0, float with sign set, false,   n
//                short string/bytes, date-time body
//   0x10         complete string or bytes                   m (2 bytes BE), m bytes
//   0x50         inline part of a continued string/bytes    m (2 bytes BE), m bytes
//   0x40         JSON text                                  m (4 bytes BE), m bytes
//
// Integers: magnitude big-endian without leading zero bytes (0 -> no bytes); the low 5 bits of
// h count them. Floats: the IEEE bit pattern big-endian without trailing zero bytes. Date-time:
// 0x20 + body length, body = the integer t (ms since 1970-01-01, without the ms part), then,
// when the ms part f is not 0, f * 1000000 as 4 bytes BE. Strings: characters below 255 as
// one byte each until the first character >= 255; from there a 0xFF byte and every remaining
// character as 2 bytes, high byte first.
//
// Decoding never reads outside the row: a value whose bytes run past its end, or an invalid
// header, throws TRDBError (code 2). A value of the wrong form for its type reads as some value
// of that type; a null value reads as the type's empty value (0, false, empty text).
//
// Thread use: pure functions; ParamRowReader belongs to one connection's thread.
#ifndef DATASERVER_PROTOCOL_PARAM_VALUE_H_
#define DATASERVER_PROTOCOL_PARAM_VALUE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.h"
#include "common/variant.h"
#include "protocol/limits.h"
#include "protocol/value_source.h"

namespace protocol {

inline constexpr uint8_t kNullHeader = 0xC0;
inline constexpr uint8_t kCallbackHeader = 0x02;
inline constexpr uint8_t kPositiveHeader = 0x60;
inline constexpr uint8_t kNegativeHeader = 0x20;
inline constexpr uint8_t kCompleteHeader = 0x10;
inline constexpr uint8_t kContinuedHeader = 0x50;
inline constexpr uint8_t kJsonHeader = 0x40;

// Longest encoding of a scalar value (a date-time: 1 + 9 + 4).
inline constexpr size_t kMaxScalarSize = 14;

// Scalar encoders: write at `out` (room for kMaxScalarSize bytes), return the bytes written.
size_t EncodeInt32(uint8_t* out, int32_t value);
size_t EncodeInt64(uint8_t* out, int64_t value);
size_t EncodeBoolean(uint8_t* out, bool value);
size_t EncodeDouble(uint8_t* out, double value);
size_t EncodeSingle(uint8_t* out, float value);
// `value` is a date-time (days since 1899-12-30).
size_t EncodeDateTime(uint8_t* out, double value);

// The encoded bytes of a text (the 0xFF rule), without a header.
size_t EncodedStringLength(std::u16string_view text);
void EncodeStringBytes(std::u16string_view text, uint8_t* out);
std::u16string DecodeStringBytes(common::ByteSpan bytes);

// One value of a row: its header and the bytes after the header that belong to it (for 0x10,
// 0x50 and 0x40 the m bytes after the length).
struct EncodedValue {
  uint8_t header = kNullHeader;
  common::ByteSpan body;

  bool is_null() const { return (header & 0x80) != 0; }
  bool continues() const { return header == kContinuedHeader; }
};

// Splits the value starting at `row[0]`; `size` receives the bytes it occupies in the row.
// Throws TRDBError (code 2) for an invalid header or a value running past the row.
EncodedValue SplitValue(common::ByteSpan row, size_t& size);

// Values of a received row by ordinal; the values before an ordinal are skipped by their
// headers (the offsets found are kept, so reading the values in order costs one pass).
class ParamRowReader {
 public:
  // `row` must stay valid while the reader is used.
  explicit ParamRowReader(common::ByteSpan row = {}) : row_(row) {}
  // Starts over on another row, keeping the offsets' storage (one reader per connection reads
  // every request without allocating).
  void Reset(common::ByteSpan row) {
    row_ = row;
    starts_.resize(1);
  }
  EncodedValue At(size_t ordinal);

 private:
  common::ByteSpan row_;
  std::vector<size_t> starts_{0};  // starts_[k] = offset of value k, for the values found
};

int32_t DecodeInt32(const EncodedValue& value);
int64_t DecodeInt64(const EncodedValue& value);
bool DecodeBoolean(const EncodedValue& value);
double DecodeDouble(const EncodedValue& value);
float DecodeSingle(const EncodedValue& value);
double DecodeDateTime(const EncodedValue& value);

// The whole bytes of a string or stream value: the inline part, then, for 0x50, the pieces
// `fetcher` gets for `ordinal`. More than `max_bytes` in total throws a TRDBError that breaks
// the stream. A continued value without a fetcher throws TRDBError (code 2).
void ReadValueBytes(const EncodedValue& value, PieceFetcher* fetcher, int ordinal,
                    uint64_t max_bytes, common::Bytes& out);
// A string value (Limits::max_string caps its encoded bytes).
std::u16string DecodeString(const EncodedValue& value, PieceFetcher* fetcher, int ordinal,
                            const Limits& limits = {});
// An OleVariant value: null -> null variant; otherwise its stream (variant_stream.h), capped by
// Limits::max_data_block. An empty stream reads as unassigned.
common::Variant DecodeVariant(const EncodedValue& value, PieceFetcher* fetcher, int ordinal,
                              const Limits& limits = {});
// A JSON value: its text; null -> empty. Any other header fails with "Invalid JSON header byte
// encountered".
std::string DecodeJsonText(const EncodedValue& value);

}  // namespace protocol

#endif  // DATASERVER_PROTOCOL_PARAM_VALUE_H_
