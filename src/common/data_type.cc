#include "common/data_type.h"

#include <array>

#include "common/text.h"

namespace common {
namespace {

constexpr std::array<std::string_view, kDataTypeCount> kNames = {
    "dtUnknown",       "dtBoolean",          "dtSByte",          "dtInt16",
    "dtInt32",         "dtInt64",            "dtByte",           "dtUInt16",
    "dtUInt32",        "dtUInt64",           "dtSingle",         "dtDouble",
    "dtExtended",      "dtCurrency",         "dtBCD",            "dtFmtBCD",
    "dtDateTime",      "dtTime",             "dtDate",           "dtDateTimeStamp",
    "dtTimeIntervalFull", "dtTimeIntervalYM", "dtTimeIntervalDS", "dtAnsiString",
    "dtWideString",    "dtByteString",       "dtBlob",           "dtMemo",
    "dtWideMemo",      "dtXML",              "dtHBlob",          "dtHMemo",
    "dtWideHMemo",     "dtHBFile",           "dtRowSetRef",      "dtCursorRef",
    "dtRowRef",        "dtArrayRef",         "dtParentRowRef",   "dtGUID",
    "dtObject",
};

}  // namespace

std::string_view DataTypeName(DataType type) {
  const auto i = static_cast<size_t>(type);
  return i < kNames.size() ? kNames[i] : std::string_view();
}

std::optional<DataType> DataTypeFromName(std::string_view name) {
  for (size_t i = 0; i < kNames.size(); ++i) {
    if (EqualsIgnoreAsciiCase(kNames[i], name)) return static_cast<DataType>(i);
  }
  return std::nullopt;
}

std::optional<DataType> DataTypeFromOrdinal(int ordinal) {
  if (ordinal < 0 || ordinal >= kDataTypeCount) return std::nullopt;
  return static_cast<DataType>(ordinal);
}

bool IsWideTextType(DataType t) {
  return t == DataType::dtWideString || t == DataType::dtWideMemo || t == DataType::dtXML ||
         t == DataType::dtWideHMemo;
}

bool IsVariableLengthType(DataType t) {
  return t >= DataType::dtAnsiString && t <= DataType::dtHBFile;
}

bool IsLongType(DataType t) { return t >= DataType::dtByteString && t <= DataType::dtHBFile; }

int FixedValueSize(DataType t) {
  switch (t) {
    case DataType::dtSByte:
    case DataType::dtByte:
      return 1;
    case DataType::dtBoolean:
    case DataType::dtInt16:
    case DataType::dtUInt16:
      return 2;
    case DataType::dtInt32:
    case DataType::dtUInt32:
    case DataType::dtSingle:
    case DataType::dtTime:
    case DataType::dtDate:
    case DataType::dtParentRowRef:
      return 4;
    case DataType::dtInt64:
    case DataType::dtUInt64:
    case DataType::dtDouble:
    case DataType::dtCurrency:
    case DataType::dtDateTime:
      return 8;
    case DataType::dtExtended:
      return 10;
    case DataType::dtDateTimeStamp:
    case DataType::dtGUID:
      return 16;
    case DataType::dtTimeIntervalFull:
    case DataType::dtTimeIntervalYM:
    case DataType::dtTimeIntervalDS:
      return 25;
    case DataType::dtBCD:
    case DataType::dtFmtBCD:
      return 34;
    default:
      return 0;
  }
}

}  // namespace common
