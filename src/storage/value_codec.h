// Column values of the dataset stream: their stored layouts and the conversions between those
// layouts and ordinary values (common::Variant, texts, date-times).
//
// Stored layouts (little-endian), by data type:
//   dtBoolean      2 bytes, 0 false, anything else true (written as 1)
//   dtSByte/dtByte 1; dtInt16/dtUInt16 2; dtInt32/dtUInt32 4; dtInt64/dtUInt64 8
//   dtSingle 4 (binary32); dtDouble 8 (binary64); dtExtended 10 (x87 80-bit)
//   dtCurrency     8, signed, the value x 10000
//   dtBCD/FmtBCD   34-byte decimal record TBcd (the stream keeps (Precision + 1) / 2 + 2 bytes)
//   dtDateTime     binary64 milliseconds: day number x 86 400 000 + milliseconds of the day
//   dtTime         int32 milliseconds since midnight
//   dtDate         int32 day number (0001-01-01 is day 1, 1899-12-30 day 693594)
//   dtDateTimeStamp 16: TSQLTimeStamp; dtTimeInterval* 25: TDASQLTimeInterval
//   8-bit text     bytes in the ANSI code page; wide text UTF-16LE; binary types raw bytes
//   dtParentRowRef 4: the parent row's RowID; dtGUID 16: D1 u32, D2 u16, D3 u16, D4 8 bytes
//   reference types and dtObject carry no bytes.
//
// Variant forms (StoredToVariant / VariantToStored): integers as the variant integer of the
// same width and sign; dtCurrency as kVarCurrency; decimals as the custom kind kVarFmtBcd
// holding the decimal text; dtDateTime, dtDate and dtTime as kVarDate; time stamps as
// kVarSqlTimeStamp text "yyyy-mm-dd hh:nn:ss[.zzz]"; intervals as kVarSqlInterval text
// ("[-]Y-M" or "[-]D hh:nn:ss.zzz"); GUIDs as text "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
// binary types as byte arrays; 8-bit text as kVarString (its bytes); wide text as OLE strings.
//
// Pure functions; thread-safe.
#ifndef DATASERVER_STORAGE_VALUE_CODEC_H_
#define DATASERVER_STORAGE_VALUE_CODEC_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/bytes.h"
#include "common/data_type.h"
#include "common/variant.h"
#include "storage/enums.h"
#include "storage/errors.h"

namespace storage {

using common::DataType;

// --- Decimal record ------------------------------------------------------------------------
// Digits two per byte, most significant first (digit i is the high half of byte i / 2 when i
// is even); the decimal point stands before digit (Precision - places); bit 7 of
// SignSpecialPlaces marks a negative value, bits 0-5 hold the places.
struct TBcd {
  uint8_t Precision = 1;
  uint8_t SignSpecialPlaces = 0;
  uint8_t Fraction[32] = {};

  static constexpr size_t kSize = 34;
  static constexpr int kMaxPrecision = 64;
  static constexpr int kMaxPlaces = 63;

  int Places() const { return SignSpecialPlaces & 0x3F; }
  bool IsNegative() const { return (SignSpecialPlaces & 0x80) != 0; }
  int Digit(int i) const { return (i % 2 == 0) ? Fraction[i / 2] >> 4 : Fraction[i / 2] & 0x0F; }

  common::ByteSpan bytes() const { return {reinterpret_cast<const uint8_t*>(this), kSize}; }
  // A record from (at most 34) stored bytes; missing bytes are zero.
  static TBcd FromBytes(common::ByteSpan bytes);
};
static_assert(sizeof(TBcd) == TBcd::kSize);

// Parses a decimal number ("-123.45", "1.5E3", " 7 "). Without a format the record has just
// the digits the text needs (leading zeros dropped, places as written); with `precision` and
// `scale` it has exactly that precision and those places (the fraction rounded half away from
// zero or padded). nullopt when the text is no number or does not fit (at most 64 digits).
std::optional<TBcd> BcdFromString(std::string_view text);
std::optional<TBcd> BcdFromString(std::string_view text, int precision, int scale);
// The text of a record: "-123.45", "0.50", "7". Never reads past the record, whatever it holds.
std::string BcdToString(const TBcd& bcd);
// Up to 18 decimals, as the text "0.##################" of the value.
std::string FormatFloatForBcd(double value);

// --- Day numbers and milliseconds ----------------------------------------------------------
inline constexpr int64_t kMsPerDay = 86400000;
inline constexpr int64_t kDayNumberOf18991230 = 693594;

// A date-time x (days since 1899-12-30, time of day as the fraction) as its day number and
// milliseconds of the day, and back.
void DateTimeToDayAndMs(double x, int64_t& day_number, int64_t& ms_of_day);
double DayAndMsToDateTime(int64_t day_number, int64_t ms_of_day);
// The stored forms of dtDateTime, dtDate and dtTime.
double DateTimeToStored(double x);
double StoredToDateTime(double stored_ms);
int32_t DateToStored(double x);
double StoredToDate(int32_t day_number);
int32_t TimeToStored(double x);
double StoredToTime(int32_t ms);
// Stored dtDateTime, dtDate and dtTime of calendar fields (as a database driver reports them).
double EncodeStoredDateTime(int year, int month, int day, int hour = 0, int minute = 0,
                            int second = 0, int millisecond = 0);
int32_t EncodeStoredDate(int year, int month, int day);
int32_t EncodeStoredTime(int hour, int minute, int second, int millisecond = 0);

// --- 80-bit extended ---------------------------------------------------------------------
std::array<uint8_t, 10> DoubleToExtended(double value);
// Rounded to the nearest binary64 (ties to even); out-of-range values become infinities or
// zeros; NaNs stay NaNs.
double ExtendedToDouble(const uint8_t* bytes);

// --- Records -------------------------------------------------------------------------------
struct TSQLTimeStamp {
  uint16_t Year = 0;
  uint16_t Month = 0;
  uint16_t Day = 0;
  uint16_t Hour = 0;
  uint16_t Minute = 0;
  uint16_t Second = 0;
  uint32_t Fractions = 0;  // milliseconds

  static constexpr size_t kSize = 16;
  static TSQLTimeStamp Load(const uint8_t* p);
  void Store(uint8_t* p) const;
  bool operator==(const TSQLTimeStamp&) const = default;
};

struct TDASQLTimeInterval {
  int8_t Sign = 1;
  uint32_t Kind = 0;  // TDASQLTimeIntervalKind ordinal
  uint32_t YearsOrDays = 0;
  uint32_t MonthsOrHours = 0;
  uint32_t Minutes = 0;
  uint32_t Seconds = 0;
  uint32_t Fractions = 0;  // milliseconds

  static constexpr size_t kSize = 25;
  static TDASQLTimeInterval Load(const uint8_t* p);
  void Store(uint8_t* p) const;
  bool IsYearMonth() const;
  bool operator==(const TDASQLTimeInterval&) const = default;
};

std::string TimeStampToString(const TSQLTimeStamp& ts);
std::optional<TSQLTimeStamp> TimeStampFromString(std::string_view text);
std::string IntervalToString(const TDASQLTimeInterval& interval);
// `type` picks the kind where the text allows both (dtTimeIntervalYM, dtTimeIntervalDS).
std::optional<TDASQLTimeInterval> IntervalFromString(std::string_view text, DataType type);
std::string GuidToString(const uint8_t* bytes16);
std::optional<std::array<uint8_t, 16>> GuidFromString(std::string_view text);

// Date-time text: "yyyy-mm-dd", "yyyy-mm-dd hh:nn[:ss[.zzz]]" (or with "T"), "hh:nn[:ss[.zzz]]".
std::optional<double> ParseDateTimeText(std::string_view text);

// --- Variants ------------------------------------------------------------------------------
// Optional format of a decimal column: the record gets exactly this precision and scale.
struct DecimalFormat {
  int precision = 0;
  int scale = 0;
};

// The ordinary value of stored bytes (unassigned for types without a value). Fails with
// EDAException (code 710) when the bytes are too short for the type.
common::Variant StoredToVariant(DataType type, common::ByteSpan stored);
// The stored layout of an ordinary value; nullopt for a null or unassigned value. Fails with
// EDAException (code 0, a conversion message) when the value does not fit the type.
std::optional<common::Bytes> VariantToStored(DataType type, const common::Variant& value,
                                             const DecimalFormat* decimal = nullptr);

}  // namespace storage

#endif  // DATASERVER_STORAGE_VALUE_CODEC_H_
