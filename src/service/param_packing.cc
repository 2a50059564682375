#include "service/param_packing.h"

#include <limits>
#include <optional>

#include "common/text.h"

namespace service {
namespace {

using common::DataType;
using common::Variant;
using common::VariantArray;

const Variant& Deref(const Variant& v) {
  const Variant* p = &v;
  while (p->IsReference()) p = &p->referenced();
  return *p;
}

// Element `index` (an index of the array's own bounds) of a one-dimensional array; nullopt when
// the index is outside the bounds or the array holds fewer elements than its bounds say.
std::optional<Variant> ElementAt(const VariantArray& a, int64_t index) {
  if (a.bounds.size() != 1) return std::nullopt;
  const common::ArrayBound b = a.bounds[0];
  if (index < b.low || index > b.high) return std::nullopt;
  const auto pos = static_cast<uint64_t>(index - b.low);
  const size_t width = common::RawElementSize(a.element_type);
  if (width == 0) {
    if (pos >= a.items.size()) return std::nullopt;
    return a.items[pos];
  }
  if (pos >= a.raw.size() / width) return std::nullopt;
  const uint8_t* p = a.raw.data() + pos * width;
  switch (a.element_type) {
    case common::kVarShortInt:
      return Variant::ShortInt(static_cast<int8_t>(p[0]));
    case common::kVarByte:
      return Variant::Byte(p[0]);
    case common::kVarSmallint:
      return Variant::Smallint(common::LoadLE<int16_t>(p));
    case common::kVarBoolean:
      return Variant::Boolean(common::LoadLE<int16_t>(p) != 0);
    case common::kVarWord:
      return Variant::Word(common::LoadLE<uint16_t>(p));
    case common::kVarInteger:
      return Variant::Integer(common::LoadLE<int32_t>(p));
    case common::kVarLongWord:
      return Variant::LongWord(common::LoadLE<uint32_t>(p));
    case common::kVarSingle:
      return Variant::Single(common::SingleFromBits(common::LoadLE<uint32_t>(p)));
    case common::kVarDouble:
      return Variant::Double(common::DoubleFromBits(common::LoadLE<uint64_t>(p)));
    case common::kVarDate:
      return Variant::Date(common::DoubleFromBits(common::LoadLE<uint64_t>(p)));
    case common::kVarCurrency:
      return Variant::Currency(common::LoadLE<int64_t>(p));
    default:
      return std::nullopt;
  }
}

std::string Where(int64_t element) {
  return "Invalid packed parameter list: element " + std::to_string(element);
}

// Entry `k` of an element; a missing entry is a malformed list.
Variant Entry(const VariantArray& element, int64_t element_index, int64_t k) {
  std::optional<Variant> v = ElementAt(element, k);
  if (!v) {
    throw EPackedParamsError(Where(element_index) + " has no entry " + std::to_string(k));
  }
  return *v;
}

// An entry converted to an integer in [low, high]. Unassigned converts to 0, as variants do.
int32_t IntEntry(const VariantArray& element, int64_t element_index, int64_t k, int64_t low,
                 int64_t high) {
  const Variant v = Entry(element, element_index, k);
  std::optional<int64_t> n = Deref(v).IsEmpty() ? std::optional<int64_t>(0) : v.ToInt64();
  if (!n) {
    throw EPackedParamsError(Where(element_index) + ": entry " + std::to_string(k) + " (" +
                             common::DebugString(v) + ") is not an integer");
  }
  if (*n < low || *n > high) {
    throw EPackedParamsError(Where(element_index) + ": entry " + std::to_string(k) + " (" +
                             std::to_string(*n) + ") is outside " + std::to_string(low) + " .. " +
                             std::to_string(high));
  }
  return static_cast<int32_t>(*n);
}

// The value as the list carries it: custom kinds and 8-bit strings become OLE strings.
Variant PackedValue(const Variant& value) {
  if (value.IsCustom()) return Variant::String(value.text());
  if (value.type() == common::kVarString) {
    return Variant::String(common::AnsiCodePage().ToUtf16(value.ansi_text()));
  }
  if (value.type() == common::kVarUString) return Variant::String(value.ToText().value_or(u""));
  return value;
}

}  // namespace

TFieldType FieldTypeOfValue(const Variant& value) {
  const Variant& v = Deref(value);
  if (v.IsArray()) return TFieldType::ftUnknown;
  switch (v.type()) {
    case common::kVarSmallint:
      return TFieldType::ftSmallint;
    case common::kVarInteger:
      return TFieldType::ftInteger;
    case common::kVarSingle:
      return TFieldType::ftSingle;
    case common::kVarDouble:
      return TFieldType::ftFloat;
    case common::kVarCurrency:
      return TFieldType::ftBCD;
    case common::kVarDate:
      return TFieldType::ftDateTime;
    case common::kVarOleStr:
    case common::kVarUString:
      return TFieldType::ftWideString;
    case common::kVarBoolean:
      return TFieldType::ftBoolean;
    case common::kVarShortInt:
      return TFieldType::ftShortint;
    case common::kVarByte:
      return TFieldType::ftByte;
    case common::kVarWord:
      return TFieldType::ftWord;
    case common::kVarLongWord:
      return TFieldType::ftLongWord;
    case common::kVarInt64:
      return TFieldType::ftLargeint;
    case common::kVarString:
      return TFieldType::ftString;
    case common::kVarSqlTimeStamp:
      return TFieldType::ftTimeStamp;
    case common::kVarSqlTimeStampOffset:
      return TFieldType::ftTimeStampOffset;
    case common::kVarFmtBcd:
      return TFieldType::ftFMTBcd;
    default:
      return TFieldType::ftUnknown;
  }
}

// Field types as the drivers are asked to send them:
//   ftString ftFixedChar                     dtAnsiString
//   ftWideString ftFixedWideChar             dtWideString
//   ftTimeStampOffset                        dtWideString (its text; the database converts)
//   ftMemo ftFmtMemo ftOraClob               dtMemo
//   ftWideMemo                               dtWideMemo
//   ftSmallint dtInt16; ftInteger ftAutoInc dtInt32; ftLargeint dtInt64; ftShortint dtSByte
//   ftByte dtByte; ftWord dtUInt16; ftLongWord dtUInt32
//   ftBoolean dtBoolean; ftFloat dtDouble; ftSingle dtSingle; ftExtended dtExtended
//   ftCurrency dtCurrency; ftBCD dtBCD; ftFMTBcd dtFmtBCD
//   ftDate dtDate; ftTime dtTime; ftDateTime dtDateTime; ftTimeStamp ftOraTimeStamp
//   dtDateTimeStamp; ftOraInterval dtTimeIntervalFull; ftGuid dtGUID
//   ftBytes ftVarBytes                       dtByteString
//   ftBlob ftGraphic ftParadoxOle ftDBaseOle ftTypedBinary ftOraBlob ftStream   dtBlob
//   ftUnknown ftVariant and the object kinds (ftCursor, ftADT, ftArray, ftReference,
//   ftDataSet, ftInterface, ftIDispatch, ftConnection, ftParams, ftObject)
//                                            dtUnknown: the driver goes by the value
DataType FieldTypeToDataType(TFieldType type) {
  switch (type) {
    case TFieldType::ftString:
    case TFieldType::ftFixedChar:
      return DataType::dtAnsiString;
    case TFieldType::ftWideString:
    case TFieldType::ftFixedWideChar:
    case TFieldType::ftTimeStampOffset:
      return DataType::dtWideString;
    case TFieldType::ftMemo:
    case TFieldType::ftFmtMemo:
    case TFieldType::ftOraClob:
      return DataType::dtMemo;
    case TFieldType::ftWideMemo:
      return DataType::dtWideMemo;
    case TFieldType::ftSmallint:
      return DataType::dtInt16;
    case TFieldType::ftInteger:
    case TFieldType::ftAutoInc:
      return DataType::dtInt32;
    case TFieldType::ftLargeint:
      return DataType::dtInt64;
    case TFieldType::ftShortint:
      return DataType::dtSByte;
    case TFieldType::ftByte:
      return DataType::dtByte;
    case TFieldType::ftWord:
      return DataType::dtUInt16;
    case TFieldType::ftLongWord:
      return DataType::dtUInt32;
    case TFieldType::ftBoolean:
      return DataType::dtBoolean;
    case TFieldType::ftFloat:
      return DataType::dtDouble;
    case TFieldType::ftSingle:
      return DataType::dtSingle;
    case TFieldType::ftExtended:
      return DataType::dtExtended;
    case TFieldType::ftCurrency:
      return DataType::dtCurrency;
    case TFieldType::ftBCD:
      return DataType::dtBCD;
    case TFieldType::ftFMTBcd:
      return DataType::dtFmtBCD;
    case TFieldType::ftDate:
      return DataType::dtDate;
    case TFieldType::ftTime:
      return DataType::dtTime;
    case TFieldType::ftDateTime:
      return DataType::dtDateTime;
    case TFieldType::ftTimeStamp:
    case TFieldType::ftOraTimeStamp:
      return DataType::dtDateTimeStamp;
    case TFieldType::ftOraInterval:
      return DataType::dtTimeIntervalFull;
    case TFieldType::ftGuid:
      return DataType::dtGUID;
    case TFieldType::ftBytes:
    case TFieldType::ftVarBytes:
      return DataType::dtByteString;
    case TFieldType::ftBlob:
    case TFieldType::ftGraphic:
    case TFieldType::ftParadoxOle:
    case TFieldType::ftDBaseOle:
    case TFieldType::ftTypedBinary:
    case TFieldType::ftOraBlob:
    case TFieldType::ftStream:
      return DataType::dtBlob;
    default:
      return DataType::dtUnknown;
  }
}

void TParam::SetValue(const Variant& value) {
  Value = value;
  Bound = !value.IsEmpty();
  if (DataType == TFieldType::ftUnknown) DataType = FieldTypeOfValue(value);
}

TParam& TParams::Add(TParam param) {
  items_.push_back(std::move(param));
  return items_.back();
}

TParam* TParams::FindParam(std::u16string_view name) {
  for (TParam& p : items_) {
    if (common::EqualsIgnoreAsciiCase(p.Name, name)) return &p;
  }
  return nullptr;
}

Variant ParamsToOleVariant(const TParams& Params, uint8_t Types) {
  auto selected = [Types](const TParam& p) {
    const int code = static_cast<int>(p.ParamType);
    return code >= 0 && code <= 7 && ((Types >> code) & 1) != 0;
  };
  std::vector<Variant> packed;
  for (const TParam& p : Params) {
    if (!selected(p)) continue;
    packed.push_back(Variant::VariantArrayOf({
        Variant::String(p.Name),
        PackedValue(p.Value),
        Variant::ShortInt(static_cast<int8_t>(p.DataType)),
        Variant::ShortInt(static_cast<int8_t>(p.ParamType)),
        Variant::Integer(p.Size),
        Variant::Integer(p.Precision),
        Variant::Integer(p.NumericScale),
    }));
  }
  if (packed.empty()) return Variant::Null();
  return Variant::VariantArrayOf(std::move(packed));
}

void OleVariantToParams(const Variant& Source, TParams& Dest) {
  const Variant& source = Deref(Source);
  if (!source.IsArray()) return;
  const VariantArray& outer = source.array();
  if (outer.bounds.size() != 1) {
    throw EPackedParamsError("Invalid packed parameter list: an array of " +
                             std::to_string(outer.bounds.size()) + " dimensions");
  }
  const common::ArrayBound bounds = outer.bounds[0];
  // An empty list (sent by clients that do not send null) has no parameters.
  if (bounds.count() <= 0) return;
  // The list is indexed from 0, whatever its lower bound says.
  std::optional<Variant> first = ElementAt(outer, 0);
  if (!first) {
    throw EPackedParamsError("Invalid packed parameter list: no element 0 within bounds " +
                             std::to_string(bounds.low) + " .. " + std::to_string(bounds.high));
  }
  if (!Deref(*first).IsArray()) return;

  TParams params;
  for (int64_t i = 0; i <= bounds.high; ++i) {
    std::optional<Variant> item = ElementAt(outer, i);
    if (!item) throw EPackedParamsError(Where(i) + " is missing");
    const Variant& element = Deref(*item);
    if (!element.IsArray() || element.array().bounds.size() != 1) {
      throw EPackedParamsError(Where(i) + " is not a one-dimensional array");
    }
    const VariantArray& entries = element.array();
    const int64_t h = entries.bounds[0].high;
    if (h < 1) throw EPackedParamsError(Where(i) + " has fewer than two entries");

    TParam p;
    std::optional<std::u16string> name = Entry(entries, i, 0).ToText();
    if (!name) throw EPackedParamsError(Where(i) + ": the name (entry 0) is not a text");
    p.Name = std::move(*name);
    constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
    constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
    if (h > 1)
      p.DataType = static_cast<TFieldType>(IntEntry(entries, i, 2, 0, kFieldTypeCount - 1));
    if (h > 2)
      p.ParamType = static_cast<TParamType>(IntEntry(entries, i, 3, 0, kParamTypeCount - 1));
    if (h > 3) p.Size = IntEntry(entries, i, 4, kMin, kMax);
    if (h > 4) p.Precision = IntEntry(entries, i, 5, kMin, kMax);
    if (h > 5) p.NumericScale = IntEntry(entries, i, 6, kMin, kMax);
    // Last, so that an ftUnknown type is taken from the value only when no code was given.
    p.SetValue(Entry(entries, i, 1));
    params.Add(std::move(p));
  }
  Dest = std::move(params);
}

}  // namespace service
