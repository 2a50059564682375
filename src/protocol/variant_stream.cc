#include "protocol/variant_stream.h"

#include <cstdio>
#include <string>

#include "protocol/rdb_error.h"

namespace protocol {
namespace {

using common::Variant;
using common::VariantArray;

constexpr int kMaxDimensions = 64;
constexpr int kWriteDepth = Limits{}.max_variant_depth;

[[noreturn]] void Unsupported(uint32_t type) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%04X", type);
  throw TRDBError(std::string("Unsupported variant type: ") + hex);
}

[[noreturn]] void Malformed(const char* what) {
  throw TRDBError(std::string("Malformed variant stream: ") + what, kParseErrorCode);
}

template <typename T>
void Put(common::Bytes& out, T value) {
  common::AppendLE(out, value);
}

void PutText(common::Bytes& out, std::u16string_view text) {
  Put<uint32_t>(out, common::kVarOleStr);
  Put<uint32_t>(out, static_cast<uint32_t>(text.size()));
  const size_t at = out.size();
  out.resize(at + 2 * text.size());
  for (size_t i = 0; i < text.size(); ++i)
    common::StoreLE<uint16_t>(out.data() + at + 2 * i, text[i]);
}

// Elements of an array: 0 when any dimension is empty; throws when the product cannot be
// counted (VariantArray::ElementCount overflows on such bounds).
uint64_t ElementCount(const VariantArray& a) {
  if (a.bounds.empty()) return 0;
  for (const auto& b : a.bounds) {
    if (b.count() <= 0) return 0;
  }
  uint64_t n = 1;
  for (const auto& b : a.bounds) {
    const auto c = static_cast<uint64_t>(b.count());
    if (n > UINT32_MAX / c) throw TRDBError("Array variant has too many elements to stream");
    n *= c;
  }
  return n;
}

void Append(common::Bytes& out, const Variant& v, int depth) {
  if (depth > kWriteDepth) throw TRDBError("Variant nesting is too deep to stream");
  if (v.IsReference()) {
    Put<uint32_t>(out, common::kVarByRef);
    Append(out, v.referenced(), depth + 1);
    return;
  }
  if (v.IsArray()) {
    const VariantArray& a = v.array();
    if (a.element_type == common::kVarDispatch || a.element_type == common::kVarUnknown) {
      Unsupported(v.type());
    }
    Put<uint32_t>(out, common::kVarArray | a.element_type);
    Put<uint32_t>(out, static_cast<uint32_t>(a.bounds.size()));
    for (const auto& b : a.bounds) Put<int32_t>(out, b.low);
    for (const auto& b : a.bounds) Put<int32_t>(out, b.high);
    const uint64_t count = ElementCount(a);
    if (common::IsRawElementType(a.element_type)) {
      const uint64_t size = count * common::RawElementSize(a.element_type);
      if (a.raw.size() != size || size > UINT32_MAX) {
        throw TRDBError("Array variant holds " + std::to_string(a.raw.size()) +
                        " bytes for its bounds of " + std::to_string(size));
      }
      Put<uint32_t>(out, static_cast<uint32_t>(size));
      out.insert(out.end(), a.raw.begin(), a.raw.end());
    } else {
      if (a.items.size() != count) {
        throw TRDBError("Array variant holds " + std::to_string(a.items.size()) +
                        " elements for its bounds of " + std::to_string(count));
      }
      for (const Variant& item : a.items) Append(out, item, depth + 1);
    }
    return;
  }
  const uint16_t t = v.type();
  switch (t) {
    case common::kVarEmpty:
    case common::kVarNull:
      Put<uint32_t>(out, t);
      return;
    case common::kVarSmallint:
      Put<uint32_t>(out, t);
      Put<int16_t>(out, static_cast<int16_t>(v.int_value()));
      return;
    case common::kVarInteger:
    case common::kVarError:
      Put<uint32_t>(out, t);
      Put<int32_t>(out, static_cast<int32_t>(v.int_value()));
      return;
    case common::kVarSingle:
      Put<uint32_t>(out, t);
      Put<uint32_t>(out, common::SingleBits(static_cast<float>(v.float_value())));
      return;
    case common::kVarDouble:
    case common::kVarDate:
      Put<uint32_t>(out, t);
      Put<uint64_t>(out, common::DoubleBits(v.float_value()));
      return;
    case common::kVarCurrency:
    case common::kVarInt64:
      Put<uint32_t>(out, t);
      Put<int64_t>(out, v.int_value());
      return;
    case common::kVarBoolean:
      Put<uint32_t>(out, t);
      Put<int16_t>(out, v.bool_value() ? -1 : 0);
      return;
    case common::kVarShortInt:
      Put<uint32_t>(out, t);
      Put<int8_t>(out, static_cast<int8_t>(v.int_value()));
      return;
    case common::kVarByte:
      Put<uint32_t>(out, t);
      Put<uint8_t>(out, static_cast<uint8_t>(v.uint_value()));
      return;
    case common::kVarWord:
      Put<uint32_t>(out, t);
      Put<uint16_t>(out, static_cast<uint16_t>(v.uint_value()));
      return;
    case common::kVarLongWord:
      Put<uint32_t>(out, t);
      Put<uint32_t>(out, static_cast<uint32_t>(v.uint_value()));
      return;
    case common::kVarUInt64:
      Put<uint32_t>(out, t);
      Put<uint64_t>(out, v.uint_value());
      return;
    case common::kVarOleStr:
      PutText(out, v.text());
      return;
    default:
      break;
  }
  if (v.IsText()) {
    // ANSI strings and the custom kinds travel as their text.
    PutText(out, v.ToText().value_or(std::u16string()));
    return;
  }
  Unsupported(t);
}

// Bounded reads over the stream.
class Cursor {
 public:
  Cursor(common::ByteSpan bytes, const Limits& limits) : bytes_(bytes), limits_(limits) {}

  template <typename T>
  T Get() {
    Need(sizeof(T));
    const T v = common::LoadLE<T>(bytes_.data() + pos_);
    pos_ += sizeof(T);
    return v;
  }
  common::ByteSpan Take(uint64_t n) {
    Need(n);
    const common::ByteSpan s = bytes_.subspan(pos_, static_cast<size_t>(n));
    pos_ += static_cast<size_t>(n);
    return s;
  }
  uint64_t remaining() const { return bytes_.size() - pos_; }

  Variant General(int depth) {
    if (depth > limits_.max_variant_depth) Malformed("nesting is too deep");
    const uint32_t type = Get<uint32_t>();
    if (type > 0xFFFF) Unsupported(type);
    if (type & common::kVarByRef) return Variant::Reference(General(depth + 1));
    if (type & common::kVarArray)
      return Array(static_cast<uint16_t>(type & ~common::kVarArray), depth);
    switch (type) {
      case common::kVarEmpty:
        return Variant();
      case common::kVarNull:
        return Variant::Null();
      case common::kVarSmallint:
        return Variant::Smallint(Get<int16_t>());
      case common::kVarInteger:
        return Variant::Integer(Get<int32_t>());
      case common::kVarSingle:
        return Variant::Single(common::SingleFromBits(Get<uint32_t>()));
      case common::kVarDouble:
        return Variant::Double(common::DoubleFromBits(Get<uint64_t>()));
      case common::kVarCurrency:
        return Variant::Currency(Get<int64_t>());
      case common::kVarDate:
        return Variant::Date(common::DoubleFromBits(Get<uint64_t>()));
      case common::kVarOleStr: {
        const uint32_t n = Get<uint32_t>();
        const common::ByteSpan chars = Take(uint64_t{n} * 2);
        std::u16string text(n, u'\0');
        for (uint32_t i = 0; i < n; ++i) text[i] = common::LoadLE<uint16_t>(chars.data() + 2 * i);
        return Variant::String(std::move(text));
      }
      case common::kVarError:
        return Variant::Error(Get<int32_t>());
      case common::kVarBoolean:
        return Variant::Boolean(Get<int16_t>() != 0);
      case common::kVarShortInt:
        return Variant::ShortInt(Get<int8_t>());
      case common::kVarByte:
        return Variant::Byte(Get<uint8_t>());
      case common::kVarWord:
        return Variant::Word(Get<uint16_t>());
      case common::kVarLongWord:
        return Variant::LongWord(Get<uint32_t>());
      case common::kVarInt64:
        return Variant::Int64(Get<int64_t>());
      case common::kVarUInt64:
        return Variant::UInt64(Get<uint64_t>());
      default:
        Unsupported(type);
    }
  }

 private:
  void Need(uint64_t n) const {
    if (n > remaining()) Malformed("the stream ends inside a value");
  }

  Variant Array(uint16_t element_type, int depth) {
    if (element_type == common::kVarDispatch || element_type == common::kVarUnknown ||
        element_type > common::kVarTypeMask) {
      Unsupported(common::kVarArray | element_type);
    }
    const int32_t k = Get<int32_t>();
    if (k < 0 || k > kMaxDimensions) Malformed("bad number of array dimensions");
    VariantArray a;
    a.element_type = element_type;
    a.bounds.resize(static_cast<size_t>(k));
    for (auto& b : a.bounds) b.low = Get<int32_t>();
    for (auto& b : a.bounds) b.high = Get<int32_t>();
    // The element count: 0 when any dimension is empty, otherwise refused as soon as it
    // exceeds what the rest of the stream could hold (every element takes at least one byte).
    uint64_t count = k > 0 ? 1 : 0;
    for (const auto& b : a.bounds) {
      if (b.count() <= 0) count = 0;
    }
    for (const auto& b : a.bounds) {
      if (count == 0) break;
      count *= static_cast<uint64_t>(b.count());
      if (count > remaining()) Malformed("array bounds exceed the stream");
    }
    if (common::IsRawElementType(element_type)) {
      const uint32_t size = Get<uint32_t>();
      if (size != count * common::RawElementSize(element_type)) {
        Malformed("array byte size does not match its bounds");
      }
      const common::ByteSpan raw = Take(size);
      a.raw.assign(raw.begin(), raw.end());
    } else {
      if (count * 4 > remaining()) Malformed("array bounds exceed the stream");
      if (count > limits_.max_variant_elements - elements_) {
        Malformed("too many array elements");
      }
      elements_ += count;
      a.items.reserve(static_cast<size_t>(count));
      for (uint64_t i = 0; i < count; ++i) a.items.push_back(General(depth + 1));
    }
    return Variant::Array(std::move(a));
  }

  common::ByteSpan bytes_;
  const Limits& limits_;
  size_t pos_ = 0;
  uint64_t elements_ = 0;
};

// n of a kind-3 stream, or 0 when it reads as null.
uint32_t ByteArrayCount(common::ByteSpan stream) {
  if (stream.size() < 9) Malformed("the stream ends inside the byte count");
  const int32_t n = common::LoadLE<int32_t>(stream.data() + 1);
  if (n <= 0) return 0;
  if (static_cast<uint64_t>(n) > stream.size() - 9) Malformed("the byte array is truncated");
  return static_cast<uint32_t>(n);
}

}  // namespace

void AppendGeneralVariant(common::Bytes& out, const Variant& value) { Append(out, value, 0); }

common::Bytes EncodeVariantStream(const Variant& value) {
  common::Bytes out;
  if (value.IsByteArray()) {
    ByteArrayStreamSource source(value);
    out.resize(static_cast<size_t>(source.Remaining()));
    source.Read(out.data(), out.size());
    return out;
  }
  out.push_back(kVariantKindGeneral);
  Append(out, value, 0);
  return out;
}

std::unique_ptr<ValueSource> MakeVariantStreamSource(const Variant& value) {
  if (value.IsByteArray()) return std::make_unique<ByteArrayStreamSource>(value);
  return std::make_unique<BytesSource>(EncodeVariantStream(value));
}

Variant DecodeVariantStream(common::ByteSpan stream, const Limits& limits) {
  if (stream.empty()) return Variant();
  switch (stream[0]) {
    case kVariantKindByteArray: {
      const uint32_t n = ByteArrayCount(stream);
      if (n == 0) return Variant::Null();
      return Variant::ByteArray(common::Bytes(stream.begin() + 9, stream.begin() + 9 + n));
    }
    case kVariantKindGeneral: {
      Cursor cursor(stream.subspan(1), limits);
      return cursor.General(0);
    }
    default:
      return Variant();
  }
}

Variant DecodeVariantStream(common::Bytes&& stream, const Limits& limits) {
  if (stream.empty() || stream[0] != kVariantKindByteArray) {
    return DecodeVariantStream(common::ByteSpan(stream), limits);
  }
  const uint32_t n = ByteArrayCount(stream);
  if (n == 0) return Variant::Null();
  stream.erase(stream.begin(), stream.begin() + 9);
  stream.resize(n);
  return Variant::ByteArray(std::move(stream));
}

}  // namespace protocol
