// A fixed-size byte buffer whose bytes are left uninitialised, so that its memory pages become
// resident only once they are written: an idle connection's 32 KiB read and write buffers then
// cost the few pages its small messages touched, not their whole size.
//
// Thread use: a value owned by one connection's reader or writer.
#ifndef DATASERVER_PROTOCOL_RAW_BUFFER_H_
#define DATASERVER_PROTOCOL_RAW_BUFFER_H_

#include <cstddef>
#include <cstdint>
#include <memory>

namespace protocol {

class RawBuffer {
 public:
  explicit RawBuffer(size_t size) : data_(new uint8_t[size]), size_(size) {}

  uint8_t* data() { return data_.get(); }
  const uint8_t* data() const { return data_.get(); }
  size_t size() const { return size_; }
  uint8_t& operator[](size_t i) { return data_[i]; }
  uint8_t operator[](size_t i) const { return data_[i]; }

 private:
  std::unique_ptr<uint8_t[]> data_;  // deliberately not value-initialised
  size_t size_;
};

}  // namespace protocol

#endif  // DATASERVER_PROTOCOL_RAW_BUFFER_H_
