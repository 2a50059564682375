// Text forms of values that drivers exchange with databases: strict number parsing, exact
// decimals, date-time texts, GUIDs, and the conversion error every driver raises.
//
// Thread use: pure functions.
#ifndef DATASERVER_POOLS_INTERNAL_VALUE_TEXT_H_
#define DATASERVER_POOLS_INTERNAL_VALUE_TEXT_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/data_type.h"
#include "pools/db_types.h"

namespace pools::internal {

// The whole text (spaces around it allowed) must be the number.
std::optional<int64_t> ParseInt64(std::string_view text);
std::optional<uint64_t> ParseUInt64(std::string_view text);
std::optional<double> ParseDouble(std::string_view text);
// A decimal text as an integer scaled by 10^scale, rounded half away from zero; nullopt when
// it is no number or does not fit (e.g. "12.345" with scale 4 gives 123450).
std::optional<int64_t> ParseScaledDecimal(std::string_view text, int scale);
// The shortest text that reads back as the same double.
std::string FormatDouble(double value);
// A scaled integer as decimal text with `scale` digits after the point ("12.3450").
std::string FormatScaledDecimal(int64_t value, int scale);

// Dates "YYYY-MM-DD", times "HH:MM[:SS[.fffffffff]]" and date-times joining both with a space
// or "T" (a trailing "Z" is allowed). Fields are range-checked; years run from 1 to 9999.
std::optional<TimeStamp> ParseTimeStampText(std::string_view text);
// The form the databases take: a date, a time, or a date-time for the other types;
// milliseconds are written only when there are any.
std::string FormatTimeStampText(const TimeStamp& ts, common::DataType type);
// A Julian day number (SQLite's real form of a date-time); nullopt outside the years 1 to
// 9999 (and for NaN).
std::optional<TimeStamp> TimeStampFromJulianDay(double julian_day);
// Seconds since 1970-01-01 UTC (SQLite's integer form); nullopt outside the years 1 to 9999.
std::optional<TimeStamp> TimeStampFromUnixSeconds(int64_t seconds);

using GuidBytes = std::array<uint8_t, 16>;  // D1 LE32, D2 LE16, D3 LE16, D4[8]
// Accepts 32 hex digits in the 8-4-4-4-12 form, with or without braces, either case.
std::optional<GuidBytes> ParseGuid(std::string_view text);
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
std::string FormatGuid(const GuidBytes& guid);

// Raised when a value cannot be read as its column's type.
[[noreturn]] void ThrowConversionError(const ColumnDef& column, std::string_view value,
                                       std::string_view target);
// The message ThrowConversionError throws with.
std::string ConversionErrorText(const ColumnDef& column, std::string_view value,
                                std::string_view target);

}  // namespace pools::internal

#endif  // DATASERVER_POOLS_INTERNAL_VALUE_TEXT_H_
