#include "storage/value_codec.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "common/datetime.h"
#include "common/text.h"
#include "storage/bin_storage.h"

namespace storage {
namespace {

using common::Variant;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A decimal number as its digits around the point.
struct Decimal {
  bool negative = false;
  std::string int_digits;   // no leading zeros
  std::string frac_digits;  // as written (trailing zeros are significant places)
};

std::optional<Decimal> ParseDecimal(std::string_view text) {
  text = Trim(text);
  Decimal d;
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) d.negative = text[i++] == '-';
  bool any = false;
  while (i < text.size() && IsDigit(text[i])) {
    d.int_digits += text[i++];
    any = true;
  }
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && IsDigit(text[i])) {
      d.frac_digits += text[i++];
      any = true;
    }
  }
  if (!any) return std::nullopt;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool neg_exp = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) neg_exp = text[i++] == '-';
    int exp = 0;
    bool exp_digits = false;
    while (i < text.size() && IsDigit(text[i])) {
      exp = exp * 10 + (text[i++] - '0');
      exp_digits = true;
      if (exp > 1000) return std::nullopt;
    }
    if (!exp_digits) return std::nullopt;
    if (!neg_exp) {
      const size_t moved = std::min<size_t>(static_cast<size_t>(exp), d.frac_digits.size());
      d.int_digits += d.frac_digits.substr(0, moved);
      d.frac_digits.erase(0, moved);
      d.int_digits.append(static_cast<size_t>(exp) - moved, '0');
    } else {
      const size_t moved = std::min<size_t>(static_cast<size_t>(exp), d.int_digits.size());
      d.frac_digits.insert(0, d.int_digits.substr(d.int_digits.size() - moved));
      d.int_digits.erase(d.int_digits.size() - moved);
      d.frac_digits.insert(0, static_cast<size_t>(exp) - moved, '0');
    }
  }
  if (i != text.size()) return std::nullopt;
  const size_t nz = d.int_digits.find_first_not_of('0');
  d.int_digits.erase(0, nz == std::string::npos ? d.int_digits.size() : nz);
  return d;
}

// Keeps `keep` fraction digits, rounding half away from zero (the integer part may grow).
void RoundFraction(Decimal& d, size_t keep) {
  if (d.frac_digits.size() <= keep) return;
  const bool up = d.frac_digits[keep] >= '5';
  d.frac_digits.resize(keep);
  if (!up) return;
  std::string all = d.int_digits + d.frac_digits;
  size_t i = all.size();
  while (i > 0) {
    --i;
    if (all[i] == '9') {
      all[i] = '0';
    } else {
      ++all[i];
      break;
    }
    if (i == 0) all.insert(all.begin(), '1');
  }
  if (all.empty()) all = "1";
  const size_t int_len = all.size() - keep;
  d.int_digits = all.substr(0, int_len);
  d.frac_digits = all.substr(int_len);
}

TBcd MakeBcd(bool negative, const std::string& digits, int places) {
  TBcd b;
  b.Precision = static_cast<uint8_t>(digits.size());
  bool nonzero = false;
  for (size_t i = 0; i < digits.size(); ++i) {
    const int v = digits[i] - '0';
    nonzero = nonzero || v != 0;
    if (i % 2 == 0) {
      b.Fraction[i / 2] = static_cast<uint8_t>(v << 4);
    } else {
      b.Fraction[i / 2] = static_cast<uint8_t>(b.Fraction[i / 2] | v);
    }
  }
  b.SignSpecialPlaces = static_cast<uint8_t>(places | ((negative && nonzero) ? 0x80 : 0));
  return b;
}

// A value for an error message; date-times as their number (any double is safe to show).
std::string Describe(const Variant& v) {
  if (!v.IsArray() && !v.IsReference() &&
      (v.base_type() == common::kVarDate || v.base_type() == common::kVarDouble ||
       v.base_type() == common::kVarSingle)) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v.float_value());
    return std::string(v.base_type() == common::kVarDate ? "Date(" : "Number(") +
           std::string(buf, ec == std::errc() ? end : buf) + ")";
  }
  return common::DebugString(v);
}

[[noreturn]] void ConvertError(DataType type, const Variant& value) {
  throw EDAException(0, "Cannot convert value " + Describe(value) + " to " +
                            std::string(common::DataTypeName(type)));
}

[[noreturn]] void ShortValue() { throw StoreError(kDAErrInvalidFormat); }

std::string TextOf(const Variant& v) {
  if (v.base_type() == common::kVarString && !v.IsArray()) {
    return common::AnsiCodePage().ToUtf8(v.ansi_text());
  }
  auto t = v.ToText();
  return t ? common::Utf16ToUtf8(*t) : std::string();
}

bool IsTextVariant(const Variant& v) { return v.IsText(); }

template <typename T>
common::Bytes LE(T v) {
  common::Bytes b(sizeof(T));
  if constexpr (std::is_floating_point_v<T>) {
    std::memcpy(b.data(), &v, sizeof(T));
  } else {
    common::StoreLE(b.data(), v);
  }
  return b;
}

int64_t ToSignedInRange(DataType type, const Variant& v, int64_t lo, int64_t hi) {
  if (v.base_type() == common::kVarUInt64 && !v.IsArray()) {
    if (v.uint_value() > static_cast<uint64_t>(hi)) ConvertError(type, v);
    return static_cast<int64_t>(v.uint_value());
  }
  auto i = v.ToInt64();
  if (!i || *i < lo || *i > hi) ConvertError(type, v);
  return *i;
}

uint64_t ToUnsignedInRange(DataType type, const Variant& v, uint64_t hi) {
  if (!v.IsArray() &&
      (v.base_type() == common::kVarUInt64 || v.base_type() == common::kVarByte ||
       v.base_type() == common::kVarWord || v.base_type() == common::kVarLongWord)) {
    if (v.uint_value() > hi) ConvertError(type, v);
    return v.uint_value();
  }
  if (IsTextVariant(v)) {
    const std::string s(Trim(TextOf(v)));
    uint64_t u = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), u);
    if (ec == std::errc() && p == s.data() + s.size()) {
      if (u > hi) ConvertError(type, v);
      return u;
    }
  }
  auto i = v.ToInt64();
  if (!i || *i < 0 || static_cast<uint64_t>(*i) > hi) ConvertError(type, v);
  return static_cast<uint64_t>(*i);
}

// Days since 1899-12-30 beyond which no calendar conversion is attempted.
constexpr double kMaxDays = 1e9;

double ToDateTimeValue(DataType type, const Variant& v) {
  std::optional<double> d;
  if (!v.IsArray() && v.base_type() == common::kVarDate) {
    d = v.float_value();
  } else if (IsTextVariant(v)) {
    d = ParseDateTimeText(TextOf(v));
  } else {
    d = v.ToDouble();
  }
  if (!d || !std::isfinite(*d) || std::fabs(*d) > kMaxDays) ConvertError(type, v);
  return *d;
}

std::string BcdTextOf(DataType type, const Variant& v) {
  if (v.IsArray()) ConvertError(type, v);
  switch (v.base_type()) {
    case common::kVarSingle:
    case common::kVarDouble:
    case common::kVarDate:
      if (!std::isfinite(v.float_value())) ConvertError(type, v);
      return FormatFloatForBcd(v.float_value());
    case common::kVarBoolean:
      return v.bool_value() ? "-1" : "0";
    default:
      break;
  }
  auto t = v.ToText();
  if (!t) ConvertError(type, v);
  return common::Utf16ToUtf8(*t);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Decimals

TBcd TBcd::FromBytes(common::ByteSpan bytes) {
  TBcd b;
  b.Precision = 0;
  const size_t n = std::min(bytes.size(), kSize);
  if (n > 0) b.Precision = bytes[0];
  if (n > 1) b.SignSpecialPlaces = bytes[1];
  if (n > 2) std::memcpy(b.Fraction, bytes.data() + 2, n - 2);
  return b;
}

std::optional<TBcd> BcdFromString(std::string_view text) {
  auto d = ParseDecimal(text);
  if (!d) return std::nullopt;
  if (d->int_digits.size() > TBcd::kMaxPrecision) return std::nullopt;
  size_t keep = std::min<size_t>(TBcd::kMaxPlaces, TBcd::kMaxPrecision - d->int_digits.size());
  RoundFraction(*d, keep);
  if (d->int_digits.size() + d->frac_digits.size() > TBcd::kMaxPrecision) {
    // Rounding carried into a new integer digit.
    if (d->frac_digits.empty()) return std::nullopt;
    RoundFraction(*d, d->frac_digits.size() - 1);
  }
  std::string digits = d->int_digits + d->frac_digits;
  if (digits.empty()) digits = "0";
  return MakeBcd(d->negative, digits, static_cast<int>(d->frac_digits.size()));
}

std::optional<TBcd> BcdFromString(std::string_view text, int precision, int scale) {
  if (precision < 1 || precision > TBcd::kMaxPrecision || scale < 0 ||
      scale > std::min(precision, TBcd::kMaxPlaces)) {
    return std::nullopt;
  }
  auto d = ParseDecimal(text);
  if (!d) return std::nullopt;
  RoundFraction(*d, static_cast<size_t>(scale));
  d->frac_digits.append(static_cast<size_t>(scale) - d->frac_digits.size(), '0');
  const size_t int_room = static_cast<size_t>(precision - scale);
  if (d->int_digits.size() > int_room) return std::nullopt;
  std::string digits(int_room - d->int_digits.size(), '0');
  digits += d->int_digits;
  digits += d->frac_digits;
  return MakeBcd(d->negative, digits, scale);
}

std::string BcdToString(const TBcd& bcd) {
  if (bcd.Precision > TBcd::kMaxPrecision) throw StoreError(kDAErrInvalidFormat);
  const int p = bcd.Precision;
  const int places = bcd.Places();
  std::string digits;
  bool nonzero = false;
  for (int i = 0; i < p; ++i) {
    const int v = bcd.Digit(i);
    if (v > 9) throw StoreError(kDAErrInvalidFormat);
    nonzero = nonzero || v != 0;
    digits += static_cast<char>('0' + v);
  }
  std::string int_part;
  std::string frac_part;
  if (places >= p) {
    frac_part = std::string(static_cast<size_t>(places - p), '0') + digits;
  } else {
    int_part = digits.substr(0, static_cast<size_t>(p - places));
    frac_part = digits.substr(static_cast<size_t>(p - places));
  }
  const size_t nz = int_part.find_first_not_of('0');
  int_part = nz == std::string::npos ? "0" : int_part.substr(nz);
  std::string out = (bcd.IsNegative() && nonzero) ? "-" : "";
  out += int_part;
  if (!frac_part.empty()) out += "." + frac_part;
  return out;
}

std::string FormatFloatForBcd(double value) {
  char buf[512];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  if (ec != std::errc()) return "0";
  auto d = ParseDecimal(std::string_view(buf, static_cast<size_t>(end - buf)));
  if (!d) return "0";
  RoundFraction(*d, 18);
  while (!d->frac_digits.empty() && d->frac_digits.back() == '0') d->frac_digits.pop_back();
  std::string out = d->int_digits.empty() ? "0" : d->int_digits;
  if (!d->frac_digits.empty()) out += "." + d->frac_digits;
  const bool zero = out.find_first_not_of("0.") == std::string::npos;
  return (d->negative && !zero) ? "-" + out : out;
}

// ---------------------------------------------------------------------------------------------
// Dates and times

void DateTimeToDayAndMs(double x, int64_t& day_number, int64_t& ms_of_day) {
  const double scaled = std::round(x * static_cast<double>(kMsPerDay));
  if (!std::isfinite(scaled) || std::fabs(scaled) > 9.0e18) {
    throw EDAException(0, "Date-time value out of range");
  }
  const auto a = static_cast<int64_t>(scaled);
  if (a >= 0) {
    day_number = kDayNumberOf18991230 + a / kMsPerDay;
    ms_of_day = a % kMsPerDay;
  } else {
    day_number = kDayNumberOf18991230 - (-a) / kMsPerDay;
    ms_of_day = (-a) % kMsPerDay;
  }
}

double DayAndMsToDateTime(int64_t day_number, int64_t ms_of_day) {
  const int64_t d = day_number - kDayNumberOf18991230;
  const double numerator = d >= 0 ? static_cast<double>(d) * kMsPerDay + ms_of_day
                                  : static_cast<double>(d) * kMsPerDay - ms_of_day;
  return numerator / static_cast<double>(kMsPerDay);
}

double DateTimeToStored(double x) {
  int64_t day = 0;
  int64_t ms = 0;
  DateTimeToDayAndMs(x, day, ms);
  return static_cast<double>(day * kMsPerDay + ms);
}

double StoredToDateTime(double stored_ms) {
  const double r = std::round(stored_ms);
  if (!std::isfinite(r) || std::fabs(r) > 9.0e18) return 0;
  const auto ms = static_cast<int64_t>(r);
  return DayAndMsToDateTime(ms / kMsPerDay, ms % kMsPerDay);
}

int32_t DateToStored(double x) {
  int64_t day = 0;
  int64_t ms = 0;
  DateTimeToDayAndMs(x, day, ms);
  if (day < std::numeric_limits<int32_t>::min() || day > std::numeric_limits<int32_t>::max()) {
    throw EDAException(0, "Date value out of range");
  }
  return static_cast<int32_t>(day);
}

double StoredToDate(int32_t day_number) {
  return static_cast<double>(int64_t{day_number} - kDayNumberOf18991230);
}

int32_t TimeToStored(double x) {
  int64_t day = 0;
  int64_t ms = 0;
  DateTimeToDayAndMs(x, day, ms);
  return static_cast<int32_t>(ms);
}

double StoredToTime(int32_t ms) { return static_cast<double>(ms) / kMsPerDay; }

double EncodeStoredDateTime(int year, int month, int day, int hour, int minute, int second,
                            int millisecond) {
  // 1970-01-01 is day number 719163.
  const int64_t d = common::DaysFromCivil(year, month, day) + 719163;
  const int64_t t =
      int64_t{hour} * 3600000 + int64_t{minute} * 60000 + int64_t{second} * 1000 + millisecond;
  return static_cast<double>(d * kMsPerDay + t);
}

int32_t EncodeStoredDate(int year, int month, int day) {
  return static_cast<int32_t>(common::DaysFromCivil(year, month, day) + 719163);
}

int32_t EncodeStoredTime(int hour, int minute, int second, int millisecond) {
  return hour * 3600000 + minute * 60000 + second * 1000 + millisecond;
}

std::optional<double> ParseDateTimeText(std::string_view text) {
  text = Trim(text);
  size_t i = 0;
  auto number = [&](size_t min_digits, size_t max_digits, int& out) {
    size_t n = 0;
    out = 0;
    while (i < text.size() && IsDigit(text[i]) && n < max_digits) {
      out = out * 10 + (text[i++] - '0');
      ++n;
    }
    return n >= min_digits;
  };
  int y = 1899;
  int mo = 12;
  int d = 30;
  int h = 0;
  int mi = 0;
  int s = 0;
  int ms = 0;
  bool has_date = text.find('-', 1) != std::string_view::npos;
  if (has_date) {
    if (!number(1, 4, y) || i >= text.size() || text[i++] != '-' || !number(1, 2, mo) ||
        i >= text.size() || text[i++] != '-' || !number(1, 2, d)) {
      return std::nullopt;
    }
    if (i < text.size()) {
      if (text[i] != ' ' && text[i] != 'T') return std::nullopt;
      ++i;
    }
  }
  if (i < text.size()) {
    if (!number(1, 2, h) || i >= text.size() || text[i++] != ':' || !number(1, 2, mi)) {
      return std::nullopt;
    }
    if (i < text.size() && text[i] == ':') {
      ++i;
      if (!number(1, 2, s)) return std::nullopt;
      if (i < text.size() && (text[i] == '.' || text[i] == ',')) {
        ++i;
        int frac = 0;
        const size_t start = i;
        if (!number(1, 3, frac)) return std::nullopt;
        for (size_t k = i - start; k < 3; ++k) frac *= 10;
        ms = frac;
        while (i < text.size() && IsDigit(text[i])) ++i;  // finer digits are dropped
      }
    }
  }
  if (i != text.size()) return std::nullopt;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59) return std::nullopt;
  int cy = 0;
  int cm = 0;
  int cd = 0;
  common::CivilFromDays(common::DaysFromCivil(y, mo, d), cy, cm, cd);
  if (cd != d) return std::nullopt;  // e.g. February 30
  if (!has_date) {
    return (h * 3600000.0 + mi * 60000.0 + s * 1000.0 + ms) / kMsPerDay;
  }
  return common::EncodeDateTime(y, mo, d, h, mi, s, ms);
}

// ---------------------------------------------------------------------------------------------
// 80-bit extended

std::array<uint8_t, 10> DoubleToExtended(double value) {
  const uint64_t bits = common::DoubleBits(value);
  const uint16_t sign = static_cast<uint16_t>((bits >> 63) << 15);
  const int exp = static_cast<int>((bits >> 52) & 0x7FF);
  const uint64_t frac = bits & ((uint64_t{1} << 52) - 1);
  uint64_t mant = 0;
  int e80 = 0;
  if (exp == 0x7FF) {
    e80 = 0x7FFF;
    mant = frac != 0 ? (uint64_t{3} << 62) | (frac << 11) : uint64_t{1} << 63;
  } else if (exp == 0) {
    if (frac != 0) {
      const int lz = std::countl_zero(frac);  // at least 12
      mant = frac << lz;
      e80 = 15372 - lz;  // frac x 2^-1074 = mant x 2^(e80 - 16383 - 63)
    }
  } else {
    e80 = exp - 1023 + 16383;
    mant = (uint64_t{1} << 63) | (frac << 11);
  }
  std::array<uint8_t, 10> out{};
  common::StoreLE(out.data(), mant);
  common::StoreLE(out.data() + 8, static_cast<uint16_t>(sign | e80));
  return out;
}

double ExtendedToDouble(const uint8_t* bytes) {
  uint64_t mant = common::LoadLE<uint64_t>(bytes);
  const uint16_t se = common::LoadLE<uint16_t>(bytes + 8);
  const uint64_t sign = static_cast<uint64_t>(se >> 15) << 63;
  const int e = se & 0x7FFF;
  if (e == 0x7FFF) {
    if ((mant << 1) == 0) return common::DoubleFromBits(sign | (uint64_t{0x7FF} << 52));
    return common::DoubleFromBits(sign | (uint64_t{0x7FF} << 52) | (uint64_t{1} << 51) |
                                  ((mant << 1) >> 12));
  }
  if (mant == 0) return common::DoubleFromBits(sign);
  // value = mant x 2^exp2; normalise so that mant's top bit is set (also for unnormals).
  int exp2 = (e == 0 ? 1 : e) - 16383 - 63;
  const int lz = std::countl_zero(mant);
  mant <<= lz;
  exp2 -= lz;
  int unbiased = exp2 + 63;
  auto shift_round = [](uint64_t m, int shift) -> uint64_t {  // m / 2^shift, ties to even
    if (shift > 64) return 0;
    const uint64_t q = shift == 64 ? 0 : m >> shift;
    const uint64_t r = shift == 64 ? m : m & ((uint64_t{1} << shift) - 1);
    const uint64_t half = uint64_t{1} << (shift - 1);
    return (r > half || (r == half && (q & 1) != 0)) ? q + 1 : q;
  };
  const uint64_t inf = sign | (uint64_t{0x7FF} << 52);
  if (unbiased > 1023) return common::DoubleFromBits(inf);
  if (unbiased >= -1022) {
    uint64_t sig = shift_round(mant, 11);
    if (sig == (uint64_t{1} << 53)) {
      sig >>= 1;
      ++unbiased;
      if (unbiased > 1023) return common::DoubleFromBits(inf);
    }
    return common::DoubleFromBits(sign | (static_cast<uint64_t>(unbiased + 1023) << 52) |
                                  (sig & ((uint64_t{1} << 52) - 1)));
  }
  // Subnormal: a significand of 2^52 after rounding is exactly the smallest normal encoding.
  const uint64_t sig = shift_round(mant, 11 + (-1022 - unbiased));
  return common::DoubleFromBits(sign | sig);
}

// ---------------------------------------------------------------------------------------------
// Records

TSQLTimeStamp TSQLTimeStamp::Load(const uint8_t* p) {
  TSQLTimeStamp t;
  t.Year = common::LoadLE<uint16_t>(p);
  t.Month = common::LoadLE<uint16_t>(p + 2);
  t.Day = common::LoadLE<uint16_t>(p + 4);
  t.Hour = common::LoadLE<uint16_t>(p + 6);
  t.Minute = common::LoadLE<uint16_t>(p + 8);
  t.Second = common::LoadLE<uint16_t>(p + 10);
  t.Fractions = common::LoadLE<uint32_t>(p + 12);
  return t;
}

void TSQLTimeStamp::Store(uint8_t* p) const {
  common::StoreLE(p, Year);
  common::StoreLE(p + 2, Month);
  common::StoreLE(p + 4, Day);
  common::StoreLE(p + 6, Hour);
  common::StoreLE(p + 8, Minute);
  common::StoreLE(p + 10, Second);
  common::StoreLE(p + 12, Fractions);
}

TDASQLTimeInterval TDASQLTimeInterval::Load(const uint8_t* p) {
  TDASQLTimeInterval v;
  v.Sign = static_cast<int8_t>(p[0]);
  v.Kind = common::LoadLE<uint32_t>(p + 1);
  v.YearsOrDays = common::LoadLE<uint32_t>(p + 5);
  v.MonthsOrHours = common::LoadLE<uint32_t>(p + 9);
  v.Minutes = common::LoadLE<uint32_t>(p + 13);
  v.Seconds = common::LoadLE<uint32_t>(p + 17);
  v.Fractions = common::LoadLE<uint32_t>(p + 21);
  return v;
}

void TDASQLTimeInterval::Store(uint8_t* p) const {
  p[0] = static_cast<uint8_t>(Sign);
  common::StoreLE(p + 1, Kind);
  common::StoreLE(p + 5, YearsOrDays);
  common::StoreLE(p + 9, MonthsOrHours);
  common::StoreLE(p + 13, Minutes);
  common::StoreLE(p + 17, Seconds);
  common::StoreLE(p + 21, Fractions);
}

bool TDASQLTimeInterval::IsYearMonth() const {
  const auto k = static_cast<TDASQLTimeIntervalKind>(Kind);
  return Kind <= 13 &&
         (k == TDASQLTimeIntervalKind::itYear || k == TDASQLTimeIntervalKind::itMonth ||
          k == TDASQLTimeIntervalKind::itYear2Month);
}

std::string TimeStampToString(const TSQLTimeStamp& ts) {
  char buf[80];
  int n = std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", unsigned{ts.Year},
                        unsigned{ts.Month}, unsigned{ts.Day}, unsigned{ts.Hour},
                        unsigned{ts.Minute}, unsigned{ts.Second});
  if (ts.Fractions != 0) {
    std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), ".%03u", ts.Fractions);
  }
  return buf;
}

std::optional<TSQLTimeStamp> TimeStampFromString(std::string_view text) {
  auto x = ParseDateTimeText(text);
  if (!x || text.find('-', 1) == std::string_view::npos) return std::nullopt;
  const common::DateTimeParts p = common::DecodeDateTime(*x);
  if (p.year < 0 || p.year > 0xFFFF) return std::nullopt;
  TSQLTimeStamp ts;
  ts.Year = static_cast<uint16_t>(p.year);
  ts.Month = static_cast<uint16_t>(p.month);
  ts.Day = static_cast<uint16_t>(p.day);
  ts.Hour = static_cast<uint16_t>(p.hour);
  ts.Minute = static_cast<uint16_t>(p.minute);
  ts.Second = static_cast<uint16_t>(p.second);
  ts.Fractions = static_cast<uint32_t>(p.millisecond);
  return ts;
}

std::string IntervalToString(const TDASQLTimeInterval& v) {
  char buf[96];
  const char* sign = v.Sign < 0 ? "-" : "";
  if (v.IsYearMonth()) {
    std::snprintf(buf, sizeof buf, "%s%u-%u", sign, v.YearsOrDays, v.MonthsOrHours);
  } else {
    std::snprintf(buf, sizeof buf, "%s%u %02u:%02u:%02u.%03u", sign, v.YearsOrDays, v.MonthsOrHours,
                  v.Minutes, v.Seconds, v.Fractions);
  }
  return buf;
}

std::optional<TDASQLTimeInterval> IntervalFromString(std::string_view text, DataType type) {
  text = Trim(text);
  TDASQLTimeInterval v;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    v.Sign = text[0] == '-' ? -1 : 1;
    text.remove_prefix(1);
  }
  size_t i = 0;
  auto number = [&](uint32_t& out) {
    uint64_t n = 0;
    const size_t start = i;
    while (i < text.size() && IsDigit(text[i])) {
      n = n * 10 + static_cast<uint64_t>(text[i++] - '0');
      if (n > 0xFFFFFFFFu) return false;
    }
    out = static_cast<uint32_t>(n);
    return i > start;
  };
  const bool day_time = text.find(':') != std::string_view::npos ||
                        text.find(' ') != std::string_view::npos ||
                        type == DataType::dtTimeIntervalDS;
  if (!day_time) {
    if (!number(v.YearsOrDays)) return std::nullopt;
    if (i < text.size()) {
      if (text[i++] != '-' || !number(v.MonthsOrHours)) return std::nullopt;
    }
    v.Kind = static_cast<uint32_t>(TDASQLTimeIntervalKind::itYear2Month);
  } else {
    // "[D ]hh:nn:ss[.zzz]"
    if (text.find(' ') != std::string_view::npos) {
      if (!number(v.YearsOrDays) || i >= text.size() || text[i++] != ' ') return std::nullopt;
    }
    if (!number(v.MonthsOrHours) || i >= text.size() || text[i++] != ':' || !number(v.Minutes) ||
        i >= text.size() || text[i++] != ':' || !number(v.Seconds)) {
      return std::nullopt;
    }
    if (i < text.size()) {
      if (text[i++] != '.') return std::nullopt;
      const size_t start = i;
      if (!number(v.Fractions) || i - start > 3) return std::nullopt;
      for (size_t k = i - start; k < 3; ++k) v.Fractions *= 10;
    }
    v.Kind = static_cast<uint32_t>(TDASQLTimeIntervalKind::itDay2Second);
  }
  if (i != text.size()) return std::nullopt;
  if ((type == DataType::dtTimeIntervalYM && day_time) ||
      (type == DataType::dtTimeIntervalDS && !day_time)) {
    return std::nullopt;
  }
  return v;
}

std::string GuidToString(const uint8_t* b) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                common::LoadLE<uint32_t>(b), unsigned{common::LoadLE<uint16_t>(b + 4)},
                unsigned{common::LoadLE<uint16_t>(b + 6)}, b[8], b[9], b[10], b[11], b[12], b[13],
                b[14], b[15]);
  return buf;
}

std::optional<std::array<uint8_t, 16>> GuidFromString(std::string_view text) {
  text = Trim(text);
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') {
    text = text.substr(1, 36);
  }
  if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' ||
      text[23] != '-') {
    return std::nullopt;
  }
  std::string hex;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) continue;
    hex += text[i];
  }
  auto field = [&](size_t at, size_t len, uint64_t& out) {
    auto [p, ec] = std::from_chars(hex.data() + at, hex.data() + at + len, out, 16);
    return ec == std::errc() && p == hex.data() + at + len;
  };
  std::array<uint8_t, 16> g{};
  uint64_t v = 0;
  if (!field(0, 8, v)) return std::nullopt;
  common::StoreLE(g.data(), static_cast<uint32_t>(v));
  if (!field(8, 4, v)) return std::nullopt;
  common::StoreLE(g.data() + 4, static_cast<uint16_t>(v));
  if (!field(12, 4, v)) return std::nullopt;
  common::StoreLE(g.data() + 6, static_cast<uint16_t>(v));
  for (size_t i = 0; i < 8; ++i) {
    if (!field(16 + 2 * i, 2, v)) return std::nullopt;
    g[8 + i] = static_cast<uint8_t>(v);
  }
  return g;
}

// ---------------------------------------------------------------------------------------------
// Variants

Variant StoredToVariant(DataType type, common::ByteSpan s) {
  const int fixed = common::FixedValueSize(type);
  const bool decimal = type == DataType::dtBCD || type == DataType::dtFmtBCD;
  if (!decimal && fixed > 0 && s.size() < static_cast<size_t>(fixed)) ShortValue();
  if (decimal && s.empty()) ShortValue();
  const uint8_t* p = s.data();
  switch (type) {
    case DataType::dtBoolean:
      return Variant::Boolean(common::LoadLE<uint16_t>(p) != 0);
    case DataType::dtSByte:
      return Variant::ShortInt(static_cast<int8_t>(p[0]));
    case DataType::dtInt16:
      return Variant::Smallint(common::LoadLE<int16_t>(p));
    case DataType::dtInt32:
      return Variant::Integer(common::LoadLE<int32_t>(p));
    case DataType::dtInt64:
      return Variant::Int64(common::LoadLE<int64_t>(p));
    case DataType::dtByte:
      return Variant::Byte(p[0]);
    case DataType::dtUInt16:
      return Variant::Word(common::LoadLE<uint16_t>(p));
    case DataType::dtUInt32:
    case DataType::dtParentRowRef:
      return Variant::LongWord(common::LoadLE<uint32_t>(p));
    case DataType::dtUInt64:
      return Variant::UInt64(common::LoadLE<uint64_t>(p));
    case DataType::dtSingle:
      return Variant::Single(common::SingleFromBits(common::LoadLE<uint32_t>(p)));
    case DataType::dtDouble:
      return Variant::Double(LoadDoubleLE(p));
    case DataType::dtExtended:
      return Variant::Double(ExtendedToDouble(p));
    case DataType::dtCurrency:
      return Variant::Currency(common::LoadLE<int64_t>(p));
    case DataType::dtBCD:
    case DataType::dtFmtBCD:
      return Variant::Custom(common::kVarFmtBcd,
                             common::Utf8ToUtf16(BcdToString(TBcd::FromBytes(s))));
    case DataType::dtDateTime:
      return Variant::Date(StoredToDateTime(LoadDoubleLE(p)));
    case DataType::dtTime:
      return Variant::Date(StoredToTime(common::LoadLE<int32_t>(p)));
    case DataType::dtDate:
      return Variant::Date(StoredToDate(common::LoadLE<int32_t>(p)));
    case DataType::dtDateTimeStamp:
      return Variant::Custom(common::kVarSqlTimeStamp,
                             common::Utf8ToUtf16(TimeStampToString(TSQLTimeStamp::Load(p))));
    case DataType::dtTimeIntervalFull:
    case DataType::dtTimeIntervalYM:
    case DataType::dtTimeIntervalDS:
      return Variant::Custom(common::kVarSqlInterval,
                             common::Utf8ToUtf16(IntervalToString(TDASQLTimeInterval::Load(p))));
    case DataType::dtGUID:
      return Variant::String(common::Utf8ToUtf16(GuidToString(p)));
    case DataType::dtAnsiString:
    case DataType::dtMemo:
    case DataType::dtHMemo:
      return Variant::AnsiString(std::string(reinterpret_cast<const char*>(p), s.size()));
    case DataType::dtWideString:
    case DataType::dtWideMemo:
    case DataType::dtXML:
    case DataType::dtWideHMemo: {
      std::u16string w(s.size() / 2, u'\0');
      for (size_t i = 0; i < w.size(); ++i) w[i] = common::LoadLE<char16_t>(p + 2 * i);
      return Variant::String(std::move(w));
    }
    case DataType::dtByteString:
    case DataType::dtBlob:
    case DataType::dtHBlob:
    case DataType::dtHBFile:
      return Variant::ByteArray(common::Bytes(s.begin(), s.end()));
    default:
      return Variant();
  }
}

std::optional<common::Bytes> VariantToStored(DataType type, const Variant& value,
                                             const DecimalFormat* decimal) {
  const Variant& v = value.IsReference() ? value.referenced() : value;
  if (v.IsEmptyOrNull()) return std::nullopt;
  switch (type) {
    case DataType::dtBoolean: {
      auto b = v.ToBool();
      if (!b) ConvertError(type, v);
      return LE<uint16_t>(*b ? 1 : 0);
    }
    case DataType::dtSByte:
      return LE(static_cast<int8_t>(ToSignedInRange(type, v, INT8_MIN, INT8_MAX)));
    case DataType::dtInt16:
      return LE(static_cast<int16_t>(ToSignedInRange(type, v, INT16_MIN, INT16_MAX)));
    case DataType::dtInt32:
      return LE(static_cast<int32_t>(ToSignedInRange(type, v, INT32_MIN, INT32_MAX)));
    case DataType::dtInt64:
      return LE(ToSignedInRange(type, v, INT64_MIN, INT64_MAX));
    case DataType::dtByte:
      return LE(static_cast<uint8_t>(ToUnsignedInRange(type, v, UINT8_MAX)));
    case DataType::dtUInt16:
      return LE(static_cast<uint16_t>(ToUnsignedInRange(type, v, UINT16_MAX)));
    case DataType::dtUInt32:
    case DataType::dtParentRowRef:
      return LE(static_cast<uint32_t>(ToUnsignedInRange(type, v, UINT32_MAX)));
    case DataType::dtUInt64:
      return LE(ToUnsignedInRange(type, v, UINT64_MAX));
    case DataType::dtSingle:
    case DataType::dtDouble:
    case DataType::dtExtended: {
      auto d = v.ToDouble();
      if (!d) ConvertError(type, v);
      if (type == DataType::dtSingle) return LE(common::SingleBits(static_cast<float>(*d)));
      if (type == DataType::dtDouble) return LE(common::DoubleBits(*d));
      const auto e = DoubleToExtended(*d);
      return common::Bytes(e.begin(), e.end());
    }
    case DataType::dtCurrency: {
      if (!v.IsArray() && v.base_type() == common::kVarCurrency) return LE(v.int_value());
      if (IsTextVariant(v) || v.base_type() == common::kVarFmtBcd) {
        auto b = BcdFromString(TextOf(v), 64, 4);
        if (!b) ConvertError(type, v);
        std::string t = BcdToString(*b);
        t.erase(t.find('.'), 1);
        int64_t scaled = 0;
        auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), scaled);
        if (ec != std::errc() || p != t.data() + t.size()) ConvertError(type, v);
        return LE(scaled);
      }
      auto d = v.ToDouble();
      if (!d || !std::isfinite(*d) || std::fabs(*d * 10000) > 9.2e18) ConvertError(type, v);
      return LE(static_cast<int64_t>(std::llround(*d * 10000)));
    }
    case DataType::dtBCD:
    case DataType::dtFmtBCD: {
      const std::string text = BcdTextOf(type, v);
      auto b = decimal != nullptr && decimal->precision > 0
                   ? BcdFromString(text, decimal->precision, decimal->scale)
                   : BcdFromString(text);
      if (!b) ConvertError(type, v);
      return common::Bytes(b->bytes().begin(), b->bytes().end());
    }
    case DataType::dtDateTime:
      return LE(common::DoubleBits(DateTimeToStored(ToDateTimeValue(type, v))));
    case DataType::dtTime:
      return LE(TimeToStored(ToDateTimeValue(type, v)));
    case DataType::dtDate:
      return LE(DateToStored(ToDateTimeValue(type, v)));
    case DataType::dtDateTimeStamp: {
      TSQLTimeStamp ts;
      if (IsTextVariant(v)) {
        auto parsed = TimeStampFromString(TextOf(v));
        if (!parsed) ConvertError(type, v);
        ts = *parsed;
      } else {
        const common::DateTimeParts p = common::DecodeDateTime(ToDateTimeValue(type, v));
        if (p.year < 0 || p.year > 0xFFFF) ConvertError(type, v);
        ts = {static_cast<uint16_t>(p.year),       static_cast<uint16_t>(p.month),
              static_cast<uint16_t>(p.day),        static_cast<uint16_t>(p.hour),
              static_cast<uint16_t>(p.minute),     static_cast<uint16_t>(p.second),
              static_cast<uint32_t>(p.millisecond)};
      }
      common::Bytes b(TSQLTimeStamp::kSize);
      ts.Store(b.data());
      return b;
    }
    case DataType::dtTimeIntervalFull:
    case DataType::dtTimeIntervalYM:
    case DataType::dtTimeIntervalDS: {
      if (!IsTextVariant(v)) ConvertError(type, v);
      auto iv = IntervalFromString(TextOf(v), type);
      if (!iv) ConvertError(type, v);
      common::Bytes b(TDASQLTimeInterval::kSize);
      iv->Store(b.data());
      return b;
    }
    case DataType::dtGUID: {
      if (v.IsByteArray()) {
        if (v.bytes().size() != 16) ConvertError(type, v);
        return common::Bytes(v.bytes().begin(), v.bytes().end());
      }
      auto g = IsTextVariant(v) ? GuidFromString(TextOf(v)) : std::nullopt;
      if (!g) ConvertError(type, v);
      return common::Bytes(g->begin(), g->end());
    }
    case DataType::dtAnsiString:
    case DataType::dtMemo:
    case DataType::dtHMemo:
    case DataType::dtByteString:
    case DataType::dtBlob:
    case DataType::dtHBlob:
    case DataType::dtHBFile: {
      if (v.IsArray()) {
        if (!v.IsByteArray()) ConvertError(type, v);
        return common::Bytes(v.bytes().begin(), v.bytes().end());
      }
      if (v.base_type() == common::kVarString) {
        return common::Bytes(v.ansi_text().begin(), v.ansi_text().end());
      }
      auto t = v.ToText();
      if (!t) ConvertError(type, v);
      const std::string ansi = common::AnsiCodePage().FromUtf16(*t);
      return common::Bytes(ansi.begin(), ansi.end());
    }
    case DataType::dtWideString:
    case DataType::dtWideMemo:
    case DataType::dtXML:
    case DataType::dtWideHMemo: {
      std::u16string w;
      if (!v.IsArray() && v.base_type() == common::kVarString) {
        w = common::AnsiCodePage().ToUtf16(v.ansi_text());
      } else {
        auto t = v.ToText();
        if (!t) ConvertError(type, v);
        w = std::move(*t);
      }
      common::Bytes b(w.size() * 2);
      for (size_t i = 0; i < w.size(); ++i) common::StoreLE(b.data() + 2 * i, w[i]);
      return b;
    }
    default:
      ConvertError(type, v);
  }
}

}  // namespace storage
