// Continuation of large values.
//
// A string or stream value longer than its inline capacity travels in two parts: the inline
// part inside the parameter row, and the rest in pieces, each a data block with a fixed-width
// count (json_stream_writer.h, WritePiece) fetched by a "more_blob" exchange.
//
// ValueSource is the sending side: the part of a value not yet sent. ParamBuffer returns one
// for every value it had to split; the holder (the dispatcher for a reply row, the client
// library for a request row) keeps it by ordinal and hands it to WritePiece for each piece.
//
// PieceFetcher is the receiving side: it gets the next piece of a value the decoder is reading
// (param_value.h). blob_exchange.h implements it over the message stream for both directions.
//
// Thread use: owned and used by one connection's thread.
#ifndef DATASERVER_PROTOCOL_VALUE_SOURCE_H_
#define DATASERVER_PROTOCOL_VALUE_SOURCE_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/bytes.h"
#include "common/variant.h"

namespace protocol {

class ValueSource {
 public:
  ValueSource() = default;
  ValueSource(const ValueSource&) = default;
  ValueSource& operator=(const ValueSource&) = default;
  virtual ~ValueSource() = default;
  // Copies up to `count` bytes from where the last read stopped; returns the number copied,
  // 0 only at the end.
  virtual size_t Read(uint8_t* buffer, size_t count) = 0;
  // Bytes not read yet.
  virtual uint64_t Remaining() const = 0;

  // The number the parameter buffer gave this continuation (from 1), 0 when none.
  int blob_handle() const { return blob_handle_; }
  void set_blob_handle(int handle) { blob_handle_ = handle; }

 private:
  int blob_handle_ = 0;
};

// A value held as bytes.
class BytesSource : public ValueSource {
 public:
  explicit BytesSource(common::Bytes bytes, size_t start = 0)
      : bytes_(std::move(bytes)), pos_(start < bytes_.size() ? start : bytes_.size()) {}
  size_t Read(uint8_t* buffer, size_t count) override {
    const size_t n = count < bytes_.size() - pos_ ? count : bytes_.size() - pos_;
    if (n) std::memcpy(buffer, bytes_.data() + pos_, n);
    pos_ += n;
    return n;
  }
  uint64_t Remaining() const override { return bytes_.size() - pos_; }

 private:
  common::Bytes bytes_;
  size_t pos_;
};

// The stream of a one-dimensional byte-array variant (kind byte 3, the count as 8 bytes
// little-endian, the bytes), produced from the variant's own storage without a copy.
class ByteArrayStreamSource : public ValueSource {
 public:
  // `value` must be a byte array (common::Variant::IsByteArray()).
  explicit ByteArrayStreamSource(common::Variant value);
  size_t Read(uint8_t* buffer, size_t count) override;
  uint64_t Remaining() const override { return size_ - pos_; }

 private:
  common::Variant value_;  // keeps the shared payload alive
  common::ByteSpan payload_;
  uint8_t prefix_[9];
  uint64_t size_;
  uint64_t pos_ = 0;
};

class PieceFetcher {
 public:
  virtual ~PieceFetcher() = default;
  // Appends the next piece of the value at `ordinal` (at most `max_bytes` bytes) to `out`.
  // Returns true when further pieces follow, false after the last one.
  virtual bool FetchPiece(int ordinal, common::Bytes& out, uint64_t max_bytes) = 0;
};

}  // namespace protocol

#endif  // DATASERVER_PROTOCOL_VALUE_SOURCE_H_
