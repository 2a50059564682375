#include "protocol/param_buffer.h"

#include <algorithm>

#include "protocol/param_value.h"
#include "protocol/variant_stream.h"

namespace protocol {

ParamBuffer::ParamBuffer(size_t writer_buffer_size)
    : min_size_(writer_buffer_size < 2048 ? writer_buffer_size : writer_buffer_size - 2048) {}

size_t ParamBuffer::InlineCapacity(size_t min_length) {
  EnsureLength(offset_ + min_length);
  if (offset_ + 1027 > min_size_) return kMaxInlineSize;
  return std::min<size_t>(bytes_.size() - offset_ - 3, 65535);
}

void ParamBuffer::PutBytes(const uint8_t* bytes, size_t count) {
  // L grows by exactly what is written: it decides the inline capacity of later values.
  EnsureLength(offset_ + count);
  std::copy_n(bytes, count, bytes_.begin() + static_cast<ptrdiff_t>(offset_));
  offset_ += count;
}

void ParamBuffer::PutNull() {
  EnsureLength(offset_ + 1);
  bytes_[offset_++] = kNullHeader;
}

void ParamBuffer::PutInt32(int32_t value) {
  uint8_t encoded[kMaxScalarSize];
  PutBytes(encoded, EncodeInt32(encoded, value));
}

void ParamBuffer::PutInt64(int64_t value) {
  uint8_t encoded[kMaxScalarSize];
  PutBytes(encoded, EncodeInt64(encoded, value));
}

void ParamBuffer::PutBoolean(bool value) {
  uint8_t encoded[kMaxScalarSize];
  PutBytes(encoded, EncodeBoolean(encoded, value));
}

void ParamBuffer::PutDouble(double value) {
  uint8_t encoded[kMaxScalarSize];
  PutBytes(encoded, EncodeDouble(encoded, value));
}

void ParamBuffer::PutSingle(float value) {
  uint8_t encoded[kMaxScalarSize];
  PutBytes(encoded, EncodeSingle(encoded, value));
}

void ParamBuffer::PutDateTime(double value) {
  uint8_t encoded[kMaxScalarSize];
  PutBytes(encoded, EncodeDateTime(encoded, value));
}

std::unique_ptr<ValueSource> ParamBuffer::PutString(std::u16string_view text) {
  const size_t capacity = InlineCapacity(1038);
  const size_t e = EncodedStringLength(text);
  if (e <= capacity) {
    if (e < 32) {
      EnsureLength(offset_ + 1 + e);
      bytes_[offset_++] = static_cast<uint8_t>(kNegativeHeader + e);
    } else {
      EnsureLength(offset_ + 3 + e);
      bytes_[offset_] = kCompleteHeader;
      common::StoreBE(bytes_.data() + offset_ + 1, static_cast<uint16_t>(e));
      offset_ += 3;
    }
    EncodeStringBytes(text, bytes_.data() + offset_);
    offset_ += e;
    return nullptr;
  }
  common::Bytes encoded(e);
  EncodeStringBytes(text, encoded.data());
  EnsureLength(offset_ + 3 + capacity);
  bytes_[offset_] = kContinuedHeader;
  common::StoreBE(bytes_.data() + offset_ + 1, static_cast<uint16_t>(capacity));
  std::copy_n(encoded.begin(), capacity, bytes_.begin() + static_cast<ptrdiff_t>(offset_ + 3));
  offset_ += 3 + capacity;
  auto rest = std::make_unique<BytesSource>(std::move(encoded), capacity);
  rest->set_blob_handle(NextBlobHandle());
  return rest;
}

bool ParamBuffer::PutStreamInline(ValueSource& value) {
  const size_t capacity = InlineCapacity(1027);
  EnsureLength(offset_ + 3 + capacity);
  size_t n = 0;
  while (n < capacity) {
    const size_t got = value.Read(bytes_.data() + offset_ + 3 + n, capacity - n);
    if (got == 0) break;
    n += got;
  }
  if (n == 0) {
    bytes_[offset_++] = kNegativeHeader;
    return true;
  }
  const bool complete = value.Remaining() == 0;
  bytes_[offset_] = complete ? kCompleteHeader : kContinuedHeader;
  common::StoreBE(bytes_.data() + offset_ + 1, static_cast<uint16_t>(n));
  offset_ += 3 + n;
  return complete;
}

std::unique_ptr<ValueSource> ParamBuffer::PutStream(std::unique_ptr<ValueSource> value) {
  if (PutStreamInline(*value)) return nullptr;
  value->set_blob_handle(NextBlobHandle());
  return value;
}

std::unique_ptr<ValueSource> ParamBuffer::PutVariant(const common::Variant& value) {
  if (value.IsNull()) {
    PutNull();
    return nullptr;
  }
  if (value.IsByteArray()) {
    // The usual result: streamed from the array's own storage, kept aside only when it does
    // not fit inline.
    ByteArrayStreamSource source(value);
    if (PutStreamInline(source)) return nullptr;
    auto rest = std::make_unique<ByteArrayStreamSource>(source);
    rest->set_blob_handle(NextBlobHandle());
    return rest;
  }
  return PutStream(MakeVariantStreamSource(value));
}

}  // namespace protocol
