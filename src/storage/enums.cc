#include "storage/enums.h"

#include <array>

#include "common/text.h"

namespace storage {
namespace {

constexpr std::array<std::string_view, common::kDataTypeCount> kDataTypes = {
    "dtUnknown",        "dtBoolean",        "dtSByte",
    "dtInt16",          "dtInt32",          "dtInt64",
    "dtByte",           "dtUInt16",         "dtUInt32",
    "dtUInt64",         "dtSingle",         "dtDouble",
    "dtExtended",       "dtCurrency",       "dtBCD",
    "dtFmtBCD",         "dtDateTime",       "dtTime",
    "dtDate",           "dtDateTimeStamp",  "dtTimeIntervalFull",
    "dtTimeIntervalYM", "dtTimeIntervalDS", "dtAnsiString",
    "dtWideString",     "dtByteString",     "dtBlob",
    "dtMemo",           "dtWideMemo",       "dtXML",
    "dtHBlob",          "dtHMemo",          "dtWideHMemo",
    "dtHBFile",         "dtRowSetRef",      "dtCursorRef",
    "dtRowRef",         "dtArrayRef",       "dtParentRowRef",
    "dtGUID",           "dtObject",
};

constexpr std::array<std::string_view, 14> kRowStates = {
    "rsInitializing",      "rsDetached",          "rsInserted",   "rsDeleted",
    "rsModified",          "rsUnchanged",         "rsEditing",    "rsCalculating",
    "rsChecking",          "rsDestroying",        "rsForceWrite", "rsImportingCurent",
    "rsImportingOriginal", "rsImportingProposed",
};

constexpr std::array<std::string_view, 2> kCheckTimes = {"ctAtEditEnd", "ctAtColumnChange"};
constexpr std::array<std::string_view, 3> kRules = {"crCascade", "crRestrict", "crNullify"};
constexpr std::array<std::string_view, 2> kARRules = {"arNone", "arCascade"};

constexpr std::array<std::string_view, 16> kAttributes = {
    "caSearchable", "caAllowNull", "caFixedLen",   "caBlobData", "caReadOnly",   "caAutoInc",
    "caROWID",      "caDefault",   "caRowVersion", "caInternal", "caCalculated", "caVolatile",
    "caUnnamed",    "caVirtual",   "caBase",       "caExpr",
};

constexpr std::array<std::string_view, 8> kOptions = {
    "coAllowNull", "coUnique", "coReadOnly",        "coInUpdate",
    "coInWhere",   "coInKey",  "coAfterInsChanged", "coAfterUpdChanged",
};

constexpr std::array<std::string_view, 7> kSortOptions = {
    "soNoCase", "soNullFirst", "soDescNullLast", "soDescending",
    "soUnique", "soPrimary",   "soNoSymbols",
};

constexpr std::array<std::string_view, 2> kExpressionOptions = {"ekNoCase", "ekPartial"};

}  // namespace

std::string_view EnumTypeInfo::Identifier(int ordinal) const {
  if (ordinal < 0 || static_cast<size_t>(ordinal) >= identifiers.size()) return {};
  return identifiers[static_cast<size_t>(ordinal)];
}

std::optional<int> EnumTypeInfo::Ordinal(std::string_view identifier) const {
  for (size_t i = 0; i < identifiers.size(); ++i) {
    if (common::EqualsIgnoreAsciiCase(identifiers[i], identifier)) return static_cast<int>(i);
  }
  return std::nullopt;
}

template <>
const EnumTypeInfo& EnumInfo<DataType>() {
  static const EnumTypeInfo info{"TDADataType", kDataTypes, true};
  return info;
}
template <>
const EnumTypeInfo& EnumInfo<TDAMemRowState>() {
  static const EnumTypeInfo info{"TDAMemRowState", kRowStates, false};
  return info;
}
template <>
const EnumTypeInfo& EnumInfo<TDAMemCheckTime>() {
  static const EnumTypeInfo info{"TDAMemCheckTime", kCheckTimes, false};
  return info;
}
template <>
const EnumTypeInfo& EnumInfo<TDAMemConstraintRule>() {
  static const EnumTypeInfo info{"TDAMemConstraintRule", kRules, false};
  return info;
}
template <>
const EnumTypeInfo& EnumInfo<TDAMemConstraintARRule>() {
  static const EnumTypeInfo info{"TDAMemConstraintARRule", kARRules, false};
  return info;
}

std::span<const std::string_view> DataAttributeIdentifiers() { return kAttributes; }
std::span<const std::string_view> DataOptionIdentifiers() { return kOptions; }
std::span<const std::string_view> SortOptionIdentifiers() { return kSortOptions; }
std::span<const std::string_view> ExpressionOptionIdentifiers() { return kExpressionOptions; }

std::string_view RowStateName(TDAMemRowState state) {
  return EnumInfo<TDAMemRowState>().Identifier(static_cast<int>(state));
}

// The older vocabulary lacks dtSingle, dtCurrency, dtTimeIntervalDS, dtAnsiString,
// dtWideString and dtRowSetRef; the steps below are applied in this order.
int DataTypeFromVersion1(int s) {
  if (s >= 29) s += 1;
  if (s >= 20) s += 3;
  if (s >= 12) s += 1;
  if (s >= 10) s += 1;
  return s;
}

std::optional<int> DataTypeToVersion1(int current) {
  // The forward mapping is increasing, so a search over the small range inverts it.
  for (int s = 0; s <= current; ++s) {
    if (DataTypeFromVersion1(s) == current) return s;
  }
  return std::nullopt;
}

}  // namespace storage
