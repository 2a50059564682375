// libFuzzer target: unpacks variant trees built from arbitrary bytes as packed parameter lists.
// A malformed list must end in EPackedParamsError and leave the collection as it was; a list
// that unpacks must pack and unpack again to the same names, types, directions and sizes.
//
// The bytes describe the tree: each variant starts with a kind byte; arrays give their lower
// bound and element count (kept small) and then their elements.
#include <cstddef>
#include <cstdint>
#include <string>

#include "service/param_packing.h"

namespace {

using common::Variant;

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  uint8_t Byte() { return p_ < end_ ? *p_++ : 0; }
  int32_t Int() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | Byte();
    return static_cast<int32_t>(v);
  }

  Variant Next(int depth) {
    switch (Byte() % 14) {
      case 0:
        return Variant();
      case 1:
        return Variant::Null();
      case 2:
        return Variant::Integer(Int());
      case 3:
        return Variant::ShortInt(static_cast<int8_t>(Byte()));
      case 4:
        return Variant::Double(static_cast<double>(Int()) / 3);
      case 5: {
        std::u16string s;
        for (int n = Byte() % 8; n > 0; --n) s += static_cast<char16_t>(0x20 + Byte());
        return Variant::String(s);
      }
      case 6:
        return Variant::Boolean(Byte() & 1);
      case 7:
        return Variant::Int64(static_cast<int64_t>(Int()) << 20);
      case 8:
        return Variant::Custom(common::kVarFmtBcd, u"12.5");
      case 9:
        return Variant::AnsiString(std::string(Byte() % 4, 'a'));
      case 10: {
        common::Bytes bytes(Byte() % 8, 0x41);
        return Variant::ByteArray(bytes, static_cast<int8_t>(Byte()));
      }
      default: {
        if (depth > 3) return Variant::Integer(depth);
        common::VariantArray a;
        const int low = static_cast<int8_t>(Byte()) % 3;
        const int count = Byte() % 9;
        a.bounds = {{low, low + count - 1}};
        // Sometimes fewer elements than the bounds say, as a hostile encoder might send.
        const int held = (Byte() % 5 == 0) ? count / 2 : count;
        for (int i = 0; i < held; ++i) a.items.push_back(Next(depth + 1));
        return Variant::Array(std::move(a));
      }
    }
  }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader reader(data, size);
  const Variant source = reader.Next(0);
  service::TParams params;
  service::TParam kept;
  kept.Name = u"kept";
  params.Add(kept);
  try {
    service::OleVariantToParams(source, params);
  } catch (const service::EPackedParamsError&) {
    if (params.size() != 1 || params[0].Name != u"kept") __builtin_trap();
    return 0;
  }
  const Variant packed = service::ParamsToOleVariant(params, service::kAllParamTypes);
  service::TParams again;
  service::OleVariantToParams(packed, again);
  if (packed.IsNull() ? !again.empty() : again.size() != params.size()) __builtin_trap();
  for (size_t i = 0; i < again.size(); ++i) {
    if (again[i].Name != params[i].Name || again[i].DataType != params[i].DataType ||
        again[i].ParamType != params[i].ParamType || again[i].Size != params[i].Size ||
        again[i].Precision != params[i].Precision ||
        again[i].NumericScale != params[i].NumericScale) {
      __builtin_trap();
    }
  }
  return 0;
}
