// Column data types of the dataset stream (TDADataType), shared by the storage (which encodes
// values of these types), the database drivers (which describe result columns in them) and the
// service (which joins the two).
//
// The ordinals are part of the stream format (versions 1 and 2 store them; later versions
// store the identifiers). Value layouts per type:
//   dtBoolean 2 bytes (0 false, other true); dtSByte/dtByte 1; dtInt16/dtUInt16 2;
//   dtInt32/dtUInt32 4; dtInt64/dtUInt64 8; dtSingle 4; dtDouble 8; dtExtended 10 (x87);
//   dtCurrency 8 (value * 10000); dtBCD/dtFmtBCD decimal record (34 bytes in memory);
//   dtDateTime 8 (binary64 milliseconds: day number * 86400000 + ms of day);
//   dtTime 4 (ms since midnight); dtDate 4 (day number, 0001-01-01 = 1);
//   dtDateTimeStamp 16; dtTimeInterval* 25; dtAnsiString/dtMemo/dtHMemo 8-bit text;
//   dtWideString/dtWideMemo/dtXML/dtWideHMemo UTF-16LE; dtByteString/dtBlob/dtHBlob/dtHBFile
//   bytes; dtParentRowRef 4; dtGUID 16; reference types and dtObject carry no bytes.
#ifndef DATASERVER_COMMON_DATA_TYPE_H_
#define DATASERVER_COMMON_DATA_TYPE_H_

#include <cstdint>
#include <optional>
#include <string_view>

namespace common {

enum class DataType : uint8_t {
  dtUnknown = 0,
  dtBoolean = 1,
  dtSByte = 2,
  dtInt16 = 3,
  dtInt32 = 4,
  dtInt64 = 5,
  dtByte = 6,
  dtUInt16 = 7,
  dtUInt32 = 8,
  dtUInt64 = 9,
  dtSingle = 10,
  dtDouble = 11,
  dtExtended = 12,
  dtCurrency = 13,
  dtBCD = 14,
  dtFmtBCD = 15,
  dtDateTime = 16,
  dtTime = 17,
  dtDate = 18,
  dtDateTimeStamp = 19,
  dtTimeIntervalFull = 20,
  dtTimeIntervalYM = 21,
  dtTimeIntervalDS = 22,
  dtAnsiString = 23,
  dtWideString = 24,
  dtByteString = 25,
  dtBlob = 26,
  dtMemo = 27,
  dtWideMemo = 28,
  dtXML = 29,
  dtHBlob = 30,
  dtHMemo = 31,
  dtWideHMemo = 32,
  dtHBFile = 33,
  dtRowSetRef = 34,
  dtCursorRef = 35,
  dtRowRef = 36,
  dtArrayRef = 37,
  dtParentRowRef = 38,
  dtGUID = 39,
  dtObject = 40,
};

constexpr int kDataTypeCount = 41;

// The identifier, e.g. "dtInt32"; empty for an ordinal outside the enumeration.
std::string_view DataTypeName(DataType type);
// Case-insensitive (ASCII) lookup of an identifier.
std::optional<DataType> DataTypeFromName(std::string_view name);
std::optional<DataType> DataTypeFromOrdinal(int ordinal);

// Text whose length counts UTF-16 code units (stream length field: bytes = 2 x units).
bool IsWideTextType(DataType type);
// Types whose values carry a 32-bit length field (dtAnsiString .. dtHBFile).
bool IsVariableLengthType(DataType type);
// The long types written in their own pass after the short ones (dtByteString .. dtHBFile).
bool IsLongType(DataType type);
// Size of a fixed-size value, 0 for variable-length types and for types without a value.
int FixedValueSize(DataType type);

}  // namespace common

#endif  // DATASERVER_COMMON_DATA_TYPE_H_
