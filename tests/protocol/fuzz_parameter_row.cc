// Decodes arbitrary parameter rows as values of the method catalogue's types (string,
// OleVariant, Integer, Boolean, TDateTime) and the other scalar types, with continuation
// pieces served from the input; and decodes the input as a variant stream, checking that what
// decodes encodes and decodes back to the same value.
//
// Input: byte 0 = n pieces, bytes 1..8 = the type of each of 8 values; then n pieces, each a
// length byte and that many bytes; the rest is the row.
#include <cstddef>
#include <cstdint>
#include <deque>

#include "protocol/param_buffer.h"
#include "protocol/param_value.h"
#include "protocol/rdb_error.h"
#include "protocol/variant_stream.h"

namespace {

using namespace protocol;

class InputFetcher : public PieceFetcher {
 public:
  explicit InputFetcher(std::deque<common::Bytes> pieces) : pieces_(std::move(pieces)) {}
  bool FetchPiece(int, common::Bytes& out, uint64_t max_bytes) override {
    if (pieces_.empty()) throw TRDBError("no more pieces");
    common::Bytes piece = std::move(pieces_.front());
    pieces_.pop_front();
    if (piece.size() > max_bytes) throw TRDBError("piece too long", kParseErrorCode, true);
    out.insert(out.end(), piece.begin(), piece.end());
    return !pieces_.empty();
  }

 private:
  std::deque<common::Bytes> pieces_;
};

void CheckVariantRoundTrip(common::ByteSpan stream, const Limits& limits) {
  common::Variant v;
  try {
    v = DecodeVariantStream(stream, limits);
  } catch (const TRDBError&) {
    return;
  }
  if (v.IsNull()) return;  // null is never streamed
  // A byte array read from the general form leaves as kind 3, which carries only the bytes:
  // it comes back with bounds 0 .. n - 1, and as null when it has no elements.
  common::Variant expected = v;
  if (v.IsByteArray()) {
    const common::Bytes& bytes = v.array().raw;
    expected = bytes.empty() ? common::Variant::Null() : common::Variant::ByteArray(bytes);
  }
  const common::Bytes again = EncodeVariantStream(v);
  if (!(DecodeVariantStream(again, limits) == expected)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 9) return 0;
  Limits limits;
  limits.max_data_block = 1 << 20;
  limits.max_string = 1 << 20;
  limits.max_variant_elements = 1 << 16;
  const size_t piece_count = data[0] % 8;
  const uint8_t* types = data + 1;
  size_t pos = 9;
  std::deque<common::Bytes> pieces;
  for (size_t i = 0; i < piece_count && pos < size; ++i) {
    const size_t n = std::min<size_t>(data[pos], size - pos - 1);
    pieces.emplace_back(data + pos + 1, data + pos + 1 + n);
    pos += 1 + n;
  }
  const common::ByteSpan row(data + pos, size - pos);
  InputFetcher fetcher(std::move(pieces));
  ParamRowReader reader(row);
  try {
    for (int i = 0; i < 8; ++i) {
      const EncodedValue v = reader.At(static_cast<size_t>(i));
      switch (types[i] % 9) {
        case 0: {
          const std::u16string text = DecodeString(v, &fetcher, i, limits);
          // Strings survive a trip through the encoder.
          common::Bytes bytes(EncodedStringLength(text));
          EncodeStringBytes(text, bytes.data());
          if (DecodeStringBytes(bytes) != text) __builtin_trap();
          break;
        }
        case 1: {
          const common::Variant value = DecodeVariant(v, &fetcher, i, limits);
          ParamBuffer buffer(8192);
          buffer.PutVariant(value);
          break;
        }
        case 2:
          DecodeInt32(v);
          break;
        case 3:
          DecodeBoolean(v);
          break;
        case 4:
          DecodeDateTime(v);
          break;
        case 5:
          DecodeInt64(v);
          break;
        case 6:
          DecodeDouble(v);
          break;
        case 7:
          DecodeSingle(v);
          break;
        default:
          try {
            DecodeJsonText(v);
          } catch (const TRDBError&) {
          }
      }
    }
  } catch (const TRDBError&) {
  }
  CheckVariantRoundTrip(row, limits);
  return 0;
}
