// Enumerations and sets of the dataset stream, with the identifiers the stream stores.
//
// From stream version 5 on an enumeration value travels as the dictionary id of its
// identifier ("rsModified"); versions 3 and 4 store the identifier without its two-letter
// prefix ("Modified"); versions 1 and 2 store the ordinal. Sets (attributes, options, sort
// options ...) travel as one true Boolean property per member. The ordinals below are part of
// the format. Plain constants: no thread concerns.
#ifndef DATASERVER_STORAGE_ENUMS_H_
#define DATASERVER_STORAGE_ENUMS_H_

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>

#include "common/data_type.h"

namespace storage {

using common::DataType;

enum class TDAMemRowState : uint8_t {
  rsInitializing = 0,
  rsDetached = 1,
  rsInserted = 2,
  rsDeleted = 3,
  rsModified = 4,
  rsUnchanged = 5,
  rsEditing = 6,
  rsCalculating = 7,
  rsChecking = 8,
  rsDestroying = 9,
  rsForceWrite = 10,
  rsImportingCurent = 11,
  rsImportingOriginal = 12,
  rsImportingProposed = 13,
};

enum class TDAMemRowVersion : uint8_t {
  rvDefault = 0,
  rvCurrent = 1,
  rvOriginal = 2,
  rvPrevious = 3,
  rvProposed = 4,
};

enum class TDADataAttribute : uint8_t {
  caSearchable = 0,
  caAllowNull = 1,
  caFixedLen = 2,
  caBlobData = 3,
  caReadOnly = 4,
  caAutoInc = 5,
  caROWID = 6,
  caDefault = 7,
  caRowVersion = 8,
  caInternal = 9,
  caCalculated = 10,
  caVolatile = 11,
  caUnnamed = 12,
  caVirtual = 13,
  caBase = 14,
  caExpr = 15,
};

enum class TDADataOption : uint8_t {
  coAllowNull = 0,
  coUnique = 1,
  coReadOnly = 2,
  coInUpdate = 3,
  coInWhere = 4,
  coInKey = 5,
  coAfterInsChanged = 6,
  coAfterUpdChanged = 7,
};

enum class TDAMemCheckTime : uint8_t { ctAtEditEnd = 0, ctAtColumnChange = 1 };
enum class TDAMemConstraintRule : uint8_t { crCascade = 0, crRestrict = 1, crNullify = 2 };
enum class TDAMemConstraintARRule : uint8_t { arNone = 0, arCascade = 1 };

enum class TDASortOption : uint8_t {
  soNoCase = 0,
  soNullFirst = 1,
  soDescNullLast = 2,
  soDescending = 3,
  soUnique = 4,
  soPrimary = 5,
  soNoSymbols = 6,
};

enum class TDAExpressionOption : uint8_t { ekNoCase = 0, ekPartial = 1 };

// Items a storage writes or expects; the set itself is not recorded in the stream.
enum class TDAStoreItem : uint8_t { siMeta = 0, siData = 1, siDelta = 2, siVisible = 3 };

enum class TDAStorageMode : uint8_t { smRead = 0, smWrite = 1 };
enum class TDAStorageObjectStyle : uint8_t { osObject = 0, osFlatArray = 1, osTypedArray = 2 };
enum class TDAStorageFormat : uint8_t { sfAuto = 0, sfXML = 1, sfBinary = 2, sfJSON = 3 };

enum class TDASQLTimeIntervalKind : uint8_t {
  itUnknown = 0,
  itYear = 1,
  itMonth = 2,
  itDay = 3,
  itHour = 4,
  itMinute = 5,
  itSecond = 6,
  itYear2Month = 7,
  itDay2Hour = 8,
  itDay2Minute = 9,
  itDay2Second = 10,
  itHour2Minute = 11,
  itHour2Second = 12,
  itMinute2Second = 13,
};

// A set over an enumeration of at most 32 members.
template <typename E>
class EnumSet {
 public:
  constexpr EnumSet() = default;
  constexpr EnumSet(std::initializer_list<E> members) {
    for (E m : members) Include(m);
  }
  static constexpr EnumSet FromBits(uint32_t bits) {
    EnumSet s;
    s.bits_ = bits;
    return s;
  }

  constexpr bool Has(E m) const { return (bits_ >> static_cast<unsigned>(m)) & 1u; }
  constexpr EnumSet& Include(E m) {
    bits_ |= 1u << static_cast<unsigned>(m);
    return *this;
  }
  constexpr EnumSet& Exclude(E m) {
    bits_ &= ~(1u << static_cast<unsigned>(m));
    return *this;
  }
  constexpr EnumSet& Set(E m, bool on) { return on ? Include(m) : Exclude(m); }
  constexpr uint32_t bits() const { return bits_; }
  constexpr bool empty() const { return bits_ == 0; }
  constexpr bool operator==(const EnumSet&) const = default;

 private:
  uint32_t bits_ = 0;
};

using TDADataAttributes = EnumSet<TDADataAttribute>;
using TDADataOptions = EnumSet<TDADataOption>;
using TDASortOptions = EnumSet<TDASortOption>;
using TDAExpressionOptions = EnumSet<TDAExpressionOption>;
using TDAMemRowStates = EnumSet<TDAMemRowState>;
using TDAStoreItems = EnumSet<TDAStoreItem>;

// What the storage needs of an enumeration type: its identifiers in ordinal order (each with
// the enumeration's two-letter prefix) and whether version 1 streams store its ordinals in
// the older data type vocabulary.
struct EnumTypeInfo {
  std::string_view type_name;
  std::span<const std::string_view> identifiers;
  bool data_type_v1 = false;

  std::string_view Identifier(int ordinal) const;  // empty when out of range
  // Case-insensitive (ASCII) lookup.
  std::optional<int> Ordinal(std::string_view identifier) const;
};

template <typename E>
const EnumTypeInfo& EnumInfo();

template <>
const EnumTypeInfo& EnumInfo<DataType>();
template <>
const EnumTypeInfo& EnumInfo<TDAMemRowState>();
template <>
const EnumTypeInfo& EnumInfo<TDAMemCheckTime>();
template <>
const EnumTypeInfo& EnumInfo<TDAMemConstraintRule>();
template <>
const EnumTypeInfo& EnumInfo<TDAMemConstraintARRule>();

// Member identifiers of the sets (with prefixes), in ordinal order.
std::span<const std::string_view> DataAttributeIdentifiers();
std::span<const std::string_view> DataOptionIdentifiers();
std::span<const std::string_view> SortOptionIdentifiers();
std::span<const std::string_view> ExpressionOptionIdentifiers();

std::string_view RowStateName(TDAMemRowState state);

// Version 1 streams store data type ordinals of an older vocabulary: the current ordinal of a
// stored one, and the stored ordinal of a current one (nullopt where the older vocabulary has
// no such type).
int DataTypeFromVersion1(int stored);
std::optional<int> DataTypeToVersion1(int current);

}  // namespace storage

#endif  // DATASERVER_STORAGE_ENUMS_H_
