#include "pools/cursor.h"

#include <cmath>

#include "pools/database_error.h"
#include "pools/internal/value_text.h"

namespace pools {

using common::DataType;
using common::Variant;

void Cursor::CheckColumn(int column) const {
  if (column < 0 || column >= ColumnCount()) {
    throw DatabaseError("Column index " + std::to_string(column) + " out of range (0 to " +
                        std::to_string(ColumnCount() - 1) + ")");
  }
}

Variant Cursor::GetVariant(int column) {
  CheckColumn(column);
  if (IsNull(column)) return Variant::Null();
  const ColumnDef& def = Columns()[static_cast<size_t>(column)];
  switch (def.data_type) {
    case DataType::dtBoolean:
      return Variant::Boolean(GetBool(column));
    case DataType::dtSByte:
      return Variant::ShortInt(static_cast<int8_t>(GetInt64(column)));
    case DataType::dtInt16:
      return Variant::Smallint(static_cast<int16_t>(GetInt64(column)));
    case DataType::dtInt32:
      return Variant::Integer(static_cast<int32_t>(GetInt64(column)));
    case DataType::dtInt64:
      return Variant::Int64(GetInt64(column));
    case DataType::dtByte:
      return Variant::Byte(static_cast<uint8_t>(GetUInt64(column)));
    case DataType::dtUInt16:
      return Variant::Word(static_cast<uint16_t>(GetUInt64(column)));
    case DataType::dtUInt32:
      return Variant::LongWord(static_cast<uint32_t>(GetUInt64(column)));
    case DataType::dtUInt64:
      return Variant::UInt64(GetUInt64(column));
    case DataType::dtSingle:
      return Variant::Single(static_cast<float>(GetDouble(column)));
    case DataType::dtDouble:
    case DataType::dtExtended:
      return Variant::Double(GetDouble(column));
    case DataType::dtCurrency: {
      std::string_view text = GetText(column);
      auto scaled = internal::ParseScaledDecimal(text, 4);
      if (!scaled) internal::ThrowConversionError(def, text, "currency");
      return Variant::Currency(*scaled);
    }
    case DataType::dtBCD:
    case DataType::dtFmtBCD: {
      std::u16string_view text = GetWideText(column);
      return Variant::Custom(common::kVarFmtBcd, std::u16string(text));
    }
    case DataType::dtDate:
    case DataType::dtTime:
    case DataType::dtDateTime:
    case DataType::dtDateTimeStamp:
      return Variant::Date(TimeStampToDateTime(GetTimeStamp(column)));
    case DataType::dtByteString:
    case DataType::dtBlob:
    case DataType::dtHBlob:
    case DataType::dtHBFile: {
      common::ByteSpan bytes = GetBytes(column);
      return Variant::ByteArray(common::Bytes(bytes.begin(), bytes.end()));
    }
    default:
      return Variant::String(std::u16string(GetWideText(column)));
  }
}

}  // namespace pools
