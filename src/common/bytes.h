// Byte buffers and fixed-width integer access in both byte orders.
//
// The dataset stream and the streamed variant are little-endian; the protocol's binary parts
// (filter headers, parameter values) are big-endian. These helpers never check bounds: callers
// check the length first (decoders use their own bounded readers).
#ifndef DATASERVER_COMMON_BYTES_H_
#define DATASERVER_COMMON_BYTES_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

namespace common {

using Bytes = std::vector<uint8_t>;
using ByteSpan = std::span<const uint8_t>;

// One byte sequence held as consecutive chunks. It grows without moving what it already holds,
// so a writer that does not know its final size never needs room for two copies of it.
struct ChunkedBytes {
  std::vector<Bytes> chunks;

  uint64_t size() const {
    uint64_t n = 0;
    for (const Bytes& c : chunks) n += c.size();
    return n;
  }
  // The sequence in one buffer (a copy).
  Bytes Join() const {
    Bytes out;
    out.reserve(static_cast<size_t>(size()));
    for (const Bytes& c : chunks) out.insert(out.end(), c.begin(), c.end());
    return out;
  }
};

inline ByteSpan AsBytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

template <typename T>
inline T LoadLE(const uint8_t* p) {
  static_assert(std::is_integral_v<T>);
  std::make_unsigned_t<T> v = 0;
  for (size_t i = 0; i < sizeof(T); ++i) v |= static_cast<std::make_unsigned_t<T>>(p[i]) << (8 * i);
  return static_cast<T>(v);
}

template <typename T>
inline T LoadBE(const uint8_t* p) {
  static_assert(std::is_integral_v<T>);
  std::make_unsigned_t<T> v = 0;
  for (size_t i = 0; i < sizeof(T); ++i) v = static_cast<std::make_unsigned_t<T>>((v << 8) | p[i]);
  return static_cast<T>(v);
}

template <typename T>
inline void StoreLE(uint8_t* p, T value) {
  static_assert(std::is_integral_v<T>);
  auto v = static_cast<std::make_unsigned_t<T>>(value);
  for (size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

template <typename T>
inline void StoreBE(uint8_t* p, T value) {
  static_assert(std::is_integral_v<T>);
  auto v = static_cast<std::make_unsigned_t<T>>(value);
  for (size_t i = 0; i < sizeof(T); ++i) p[sizeof(T) - 1 - i] = static_cast<uint8_t>(v >> (8 * i));
}

template <typename T>
inline void AppendLE(Bytes& out, T value) {
  uint8_t b[sizeof(T)];
  StoreLE(b, value);
  out.insert(out.end(), b, b + sizeof(T));
}

template <typename T>
inline void AppendBE(Bytes& out, T value) {
  uint8_t b[sizeof(T)];
  StoreBE(b, value);
  out.insert(out.end(), b, b + sizeof(T));
}

// Bit patterns of IEEE floating-point values.
inline uint64_t DoubleBits(double d) {
  uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  return u;
}
inline double DoubleFromBits(uint64_t u) {
  double d;
  std::memcpy(&d, &u, sizeof d);
  return d;
}
inline uint32_t SingleBits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}
inline float SingleFromBits(uint32_t u) {
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

}  // namespace common

#endif  // DATASERVER_COMMON_BYTES_H_
