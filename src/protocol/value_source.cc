#include "protocol/value_source.h"

#include <algorithm>

namespace protocol {

ByteArrayStreamSource::ByteArrayStreamSource(common::Variant value)
    : value_(std::move(value)), payload_(value_.bytes()) {
  // The count is the first dimension's bound count; a payload shorter than that (a malformed
  // array) is sent as what it holds, so reading never leaves the storage.
  const int64_t bounds =
      value_.IsArray() && !value_.array().bounds.empty() ? value_.array().bounds[0].count() : 0;
  const uint64_t n =
      std::min<uint64_t>(bounds > 0 ? static_cast<uint64_t>(bounds) : 0, payload_.size());
  payload_ = payload_.first(static_cast<size_t>(n));
  prefix_[0] = 3;
  common::StoreLE<uint64_t>(prefix_ + 1, n);
  size_ = sizeof prefix_ + n;
}

size_t ByteArrayStreamSource::Read(uint8_t* buffer, size_t count) {
  size_t done = 0;
  while (done < count && pos_ < size_) {
    size_t n;
    if (pos_ < sizeof prefix_) {
      n = std::min<size_t>(count - done, sizeof prefix_ - pos_);
      std::memcpy(buffer + done, prefix_ + pos_, n);
    } else {
      const size_t at = static_cast<size_t>(pos_ - sizeof prefix_);
      n = std::min<size_t>(count - done, payload_.size() - at);
      std::memcpy(buffer + done, payload_.data() + at, n);
    }
    done += n;
    pos_ += n;
  }
  return done;
}

}  // namespace protocol
