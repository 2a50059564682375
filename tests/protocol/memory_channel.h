// In-memory byte channels for the protocol's tests.
//
// MemoryChannel serves scripted input and records every write. Its reads can be shaped the way
// a network shapes them: at most `max_read` bytes per read, never across a cut position (to
// split a message at every byte), and a failure after `fail_after` input bytes (the
// connection drops, or the channel answers -1). When the input runs out the connection is
// gone: reads throw "Connection lost".
#ifndef DATASERVER_TESTS_PROTOCOL_MEMORY_CHANNEL_H_
#define DATASERVER_TESTS_PROTOCOL_MEMORY_CHANNEL_H_

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.h"
#include "protocol/byte_channel.h"
#include "protocol/rdb_error.h"

namespace protocol::test {

inline common::Bytes ToBytes(std::string_view text) {
  return common::Bytes(text.begin(), text.end());
}

inline std::string ToText(common::ByteSpan bytes) {
  return std::string(bytes.begin(), bytes.end());
}

inline common::Bytes Concat(std::initializer_list<common::Bytes> parts) {
  common::Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class MemoryChannel : public ByteChannel {
 public:
  MemoryChannel() = default;
  explicit MemoryChannel(common::Bytes input) : input_(std::move(input)) {}
  explicit MemoryChannel(std::string_view input) : input_(ToBytes(input)) {}

  void AddInput(common::ByteSpan bytes) { input_.insert(input_.end(), bytes.begin(), bytes.end()); }
  void AddInput(std::string_view text) { AddInput(common::AsBytes(text)); }

  void set_max_read(size_t n) { max_read_ = n; }
  void add_cut(size_t position) { cuts_.push_back(position); }
  // After `n` input bytes: reads throw "Connection lost" (or return -1).
  void set_fail_after(size_t n, bool return_minus_one = false) {
    fail_after_ = n;
    fail_with_minus_one_ = return_minus_one;
  }
  // Writes after `n` output bytes throw.
  void set_write_fail_after(size_t n) { write_fail_after_ = n; }

  ptrdiff_t Read(uint8_t* buffer, size_t count) override {
    ++reads_;
    const size_t end = std::min(input_.size(), fail_after_);
    if (pos_ >= end) {
      if (pos_ >= fail_after_ && fail_with_minus_one_) return -1;
      throw ConnectionLostError();
    }
    size_t n = std::min({count, end - pos_, max_read_});
    for (size_t cut : cuts_) {
      if (cut > pos_ && cut < pos_ + n) n = cut - pos_;
    }
    std::memcpy(buffer, input_.data() + pos_, n);
    pos_ += n;
    return static_cast<ptrdiff_t>(n);
  }

  void Write(const uint8_t* buffer, size_t count) override {
    if (output_.size() + count > write_fail_after_) throw ConnectionLostError();
    writes_.emplace_back(buffer, buffer + count);
    output_.insert(output_.end(), buffer, buffer + count);
  }

  const common::Bytes& output() const { return output_; }
  std::string output_text() const { return ToText(output_); }
  const std::vector<common::Bytes>& writes() const { return writes_; }
  std::vector<size_t> write_sizes() const {
    std::vector<size_t> sizes;
    for (const auto& w : writes_) sizes.push_back(w.size());
    return sizes;
  }
  void ClearOutput() {
    output_.clear();
    writes_.clear();
  }
  size_t consumed() const { return pos_; }
  size_t remaining() const { return input_.size() - pos_; }
  int reads() const { return reads_; }

 private:
  common::Bytes input_;
  size_t pos_ = 0;
  size_t max_read_ = std::numeric_limits<size_t>::max();
  std::vector<size_t> cuts_;
  size_t fail_after_ = std::numeric_limits<size_t>::max();
  bool fail_with_minus_one_ = false;
  size_t write_fail_after_ = std::numeric_limits<size_t>::max();
  common::Bytes output_;
  std::vector<common::Bytes> writes_;
  int reads_ = 0;
};

}  // namespace protocol::test

#endif  // DATASERVER_TESTS_PROTOCOL_MEMORY_CHANNEL_H_
