// The parameter buffer of a connection: where a request's parameter row is received and where
// the reply's row is built (param_value.h has the value encoding).
//
//   length L       the buffer's size (at least M); grows as values need it
//   minimum M      W - 2048 for a writer buffer of W bytes (W when W < 2048): 30720 with 32 KiB
//                  buffers; a received row of n > L bytes raises both L and M to n
//   offset o       where the next value is written
//
// Inline capacity of a string or stream value at o: 1024 when o + 1027 > M, otherwise
// min(L - o - 3, 65535), after L has been made at least o + 1038 (strings) or o + 1027
// (streams). A value up to its capacity travels whole (0x20 + n for strings shorter than 32
// bytes, else 0x10 and a 2-byte length; an empty stream is the single byte 0x20); a longer one
// travels as 0x50, the capacity as 2 bytes and that many bytes, and the Put returns the rest as
// a ValueSource for its continuation pieces, numbered by the buffer's blob counter from 1.
//
// Thread use: one connection's thread; nothing is locked.
#ifndef DATASERVER_PROTOCOL_PARAM_BUFFER_H_
#define DATASERVER_PROTOCOL_PARAM_BUFFER_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "common/bytes.h"
#include "common/variant.h"
#include "protocol/limits.h"
#include "protocol/value_source.h"

namespace protocol {

inline constexpr size_t kMaxInlineSize = 1024;

class ParamBuffer {
 public:
  // `writer_buffer_size` is W, the size of the connection's message writer buffer.
  explicit ParamBuffer(size_t writer_buffer_size = kDefaultBufferSize);

  size_t length() const { return std::max(bytes_.size(), min_size_); }  // L
  size_t min_size() const { return min_size_; }                         // M
  size_t offset() const { return offset_; }

  // --- Receiving.
  // Stores a received row: `fill(bytes)` appends the data block's bytes to the vector it gets
  // (for example TRDBJSonStreamReader::ReadDataArray) and returns its count. A row longer than
  // L raises L and M to its length. Returns the count.
  //
  // The received row is kept apart from the row being built, so that receiving never refills
  // the L bytes of the other (a request costs only its own bytes).
  template <typename Fill>
  int64_t Receive(Fill&& fill) {
    const size_t length = this->length();
    incoming_.clear();
    const int64_t count = fill(incoming_);
    if (incoming_.size() > length) min_size_ = incoming_.size();
    return count;
  }
  // The received row, until the next Receive.
  common::ByteSpan received() const { return incoming_; }

  // --- Building a row (offset 0 after Rewind).
  void Rewind() { offset_ = 0; }
  common::ByteSpan row() const { return {bytes_.data(), offset_}; }

  void PutNull();
  void PutInt32(int32_t value);
  void PutInt64(int64_t value);
  void PutBoolean(bool value);
  void PutDouble(double value);
  void PutSingle(float value);
  void PutDateTime(double value);
  // The continuation of a value longer than its inline capacity, or null.
  std::unique_ptr<ValueSource> PutString(std::u16string_view text);
  std::unique_ptr<ValueSource> PutStream(std::unique_ptr<ValueSource> value);
  // An OleVariant: a null variant as 0xC0, any other as its stream.
  std::unique_ptr<ValueSource> PutVariant(const common::Variant& value);

  int NextBlobHandle() { return ++blob_counter_; }
  // After a command's close: L back to M (the storage is given back until it is needed).
  void TrimToMinimum() {
    bytes_.clear();
    bytes_.shrink_to_fit();
    incoming_.clear();
    incoming_.shrink_to_fit();
  }

 private:
  // L is at least M from the start, but the storage is made only when a value is written, so
  // a connection that never calls costs nothing here.
  void EnsureLength(size_t n) {
    if (bytes_.size() < n) bytes_.resize(std::max(n, min_size_));
  }
  size_t InlineCapacity(size_t min_length);
  // Writes the inline part of a stream value; true when that was all of it.
  bool PutStreamInline(ValueSource& value);
  void PutBytes(const uint8_t* bytes, size_t count);

  common::Bytes bytes_;
  common::Bytes incoming_;  // the received row
  size_t min_size_;
  size_t offset_ = 0;
  int blob_counter_ = 0;
};

}  // namespace protocol

#endif  // DATASERVER_PROTOCOL_PARAM_BUFFER_H_
