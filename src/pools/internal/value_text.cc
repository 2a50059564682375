#include "pools/internal/value_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "common/datetime.h"
#include "pools/database_error.h"

namespace pools::internal {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads exactly `count` digits.
bool ReadDigits(std::string_view& s, int count, int32_t& out) {
  if (s.size() < static_cast<size_t>(count)) return false;
  int32_t v = 0;
  for (int i = 0; i < count; ++i) {
    if (!IsDigit(s[i])) return false;
    v = v * 10 + (s[i] - '0');
  }
  out = v;
  s.remove_prefix(count);
  return true;
}

bool ReadChar(std::string_view& s, char c) {
  if (s.empty() || s.front() != c) return false;
  s.remove_prefix(1);
  return true;
}

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

bool ReadTime(std::string_view& s, TimeStamp& ts) {
  if (!ReadDigits(s, 2, ts.hour) || !ReadChar(s, ':') || !ReadDigits(s, 2, ts.minute)) {
    return false;
  }
  if (ReadChar(s, ':')) {
    if (!ReadDigits(s, 2, ts.second)) return false;
    if (ReadChar(s, '.')) {
      int digits = 0;
      int32_t ns = 0;
      while (!s.empty() && IsDigit(s.front())) {
        if (digits < 9) {
          ns = ns * 10 + (s.front() - '0');
          ++digits;
        }
        s.remove_prefix(1);
      }
      if (digits == 0) return false;
      for (; digits < 9; ++digits) ns *= 10;
      ts.nanosecond = ns;
    }
  }
  return ts.hour < 24 && ts.minute < 60 && ts.second < 60;
}

}  // namespace

std::optional<int64_t> ParseInt64(std::string_view text) {
  text = Trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  int64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return v;
}

std::optional<uint64_t> ParseUInt64(std::string_view text) {
  text = Trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  uint64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return v;
}

std::optional<double> ParseDouble(std::string_view text) {
  text = Trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  double v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return v;
}

std::optional<int64_t> ParseScaledDecimal(std::string_view text, int scale) {
  text = Trim(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  // value = digits * 10^exponent
  std::string digits;
  int64_t exponent = 0;
  bool seen_point = false;
  bool any_digit = false;
  while (!text.empty()) {
    char c = text.front();
    if (IsDigit(c)) {
      any_digit = true;
      if (!(digits.empty() && c == '0')) digits += c;
      if (seen_point) --exponent;
    } else if (c == '.' && !seen_point) {
      seen_point = true;
    } else {
      break;
    }
    text.remove_prefix(1);
  }
  if (!any_digit) return std::nullopt;
  if (!text.empty()) {
    if (text.front() != 'e' && text.front() != 'E') return std::nullopt;
    text.remove_prefix(1);
    auto e = ParseInt64(text);
    if (!e || *e > 400 || *e < -400) return std::nullopt;
    exponent += *e;
  }
  exponent += scale;
  bool round_up = false;
  if (exponent < 0) {
    int64_t drop = -exponent;
    if (drop > static_cast<int64_t>(digits.size())) {
      digits.clear();
    } else {
      round_up = digits[digits.size() - drop] >= '5';
      digits.resize(digits.size() - drop);
    }
    exponent = 0;
  }
  if (static_cast<int64_t>(digits.size()) + exponent > 19) return std::nullopt;
  unsigned __int128 v = 0;
  for (char c : digits) v = v * 10 + static_cast<unsigned>(c - '0');
  for (int64_t i = 0; i < exponent; ++i) v *= 10;
  if (round_up) ++v;
  const unsigned __int128 limit =
      negative ? static_cast<unsigned __int128>(INT64_MAX) + 1 : INT64_MAX;
  if (v > limit) return std::nullopt;
  if (negative) return static_cast<int64_t>(-static_cast<__int128>(v));
  return static_cast<int64_t>(v);
}

std::string FormatDouble(double value) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, ec == std::errc() ? end : buf);
}

std::string FormatScaledDecimal(int64_t value, int scale) {
  bool negative = value < 0;
  unsigned __int128 magnitude =
      negative ? static_cast<unsigned __int128>(-static_cast<__int128>(value)) : value;
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(magnitude % 10)));
    magnitude /= 10;
  } while (magnitude != 0);
  if (scale > 0) {
    if (digits.size() <= static_cast<size_t>(scale)) {
      digits.insert(0, static_cast<size_t>(scale) + 1 - digits.size(), '0');
    }
    digits.insert(digits.size() - scale, 1, '.');
  }
  return negative ? "-" + digits : digits;
}

std::optional<TimeStamp> ParseTimeStampText(std::string_view text) {
  std::string_view s = Trim(text);
  TimeStamp ts;
  if (s.size() >= 5 && s[2] == ':') {
    if (!ReadTime(s, ts)) return std::nullopt;
  } else {
    if (!ReadDigits(s, 4, ts.year) || !ReadChar(s, '-') || !ReadDigits(s, 2, ts.month) ||
        !ReadChar(s, '-') || !ReadDigits(s, 2, ts.day)) {
      return std::nullopt;
    }
    if (ts.year < 1 || ts.month < 1 || ts.month > 12 || ts.day < 1 ||
        ts.day > DaysInMonth(ts.year, ts.month)) {
      return std::nullopt;
    }
    if (ReadChar(s, ' ') || ReadChar(s, 'T')) {
      if (!ReadTime(s, ts)) return std::nullopt;
    }
  }
  ReadChar(s, 'Z');
  if (!s.empty()) return std::nullopt;
  return ts;
}

std::string FormatTimeStampText(const TimeStamp& ts, common::DataType type) {
  char buf[64];
  int ms = ts.nanosecond / 1000000;
  std::string date;
  std::string time;
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", ts.year, ts.month, ts.day);
  date = buf;
  if (ms != 0) {
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", ts.hour, ts.minute, ts.second, ms);
  } else {
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", ts.hour, ts.minute, ts.second);
  }
  time = buf;
  if (type == common::DataType::dtDate) return date;
  if (type == common::DataType::dtTime) return time;
  return date + " " + time;
}

namespace {

// Days from 1970-01-01 to 0001-01-01 and to 9999-12-31: the years a date may have.
constexpr int64_t kFirstDay = -719162;
constexpr int64_t kLastDay = 2932896;

TimeStamp FromUnixMilliseconds(int64_t ms) {
  int64_t days =
      ms >= 0 ? ms / common::kMsPerDay : -((-ms + common::kMsPerDay - 1) / common::kMsPerDay);
  int64_t ms_of_day = ms - days * common::kMsPerDay;
  TimeStamp ts;
  common::CivilFromDays(days, ts.year, ts.month, ts.day);
  ts.hour = static_cast<int32_t>(ms_of_day / 3600000);
  ts.minute = static_cast<int32_t>(ms_of_day / 60000 % 60);
  ts.second = static_cast<int32_t>(ms_of_day / 1000 % 60);
  ts.nanosecond = static_cast<int32_t>(ms_of_day % 1000) * 1000000;
  return ts;
}

}  // namespace

std::optional<TimeStamp> TimeStampFromJulianDay(double julian_day) {
  // Julian day 2440587.5 is 1970-01-01 00:00.
  double days = julian_day - 2440587.5;
  if (!(days >= kFirstDay && days < kLastDay + 1)) return std::nullopt;
  return FromUnixMilliseconds(static_cast<int64_t>(std::llround(days * 86400000.0)));
}

std::optional<TimeStamp> TimeStampFromUnixSeconds(int64_t seconds) {
  if (seconds < kFirstDay * 86400 || seconds >= (kLastDay + 1) * 86400) return std::nullopt;
  return FromUnixMilliseconds(seconds * 1000);
}

std::optional<GuidBytes> ParseGuid(std::string_view text) {
  text = Trim(text);
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') {
    text = text.substr(1, 36);
  }
  if (text.size() != 36) return std::nullopt;
  uint8_t nibbles[32];
  int n = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return std::nullopt;
      continue;
    }
    int v;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      v = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      v = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    nibbles[n++] = static_cast<uint8_t>(v);
  }
  uint8_t be[16];  // the bytes in text order
  for (int i = 0; i < 16; ++i)
    be[i] = static_cast<uint8_t>(nibbles[2 * i] << 4 | nibbles[2 * i + 1]);
  // D1, D2 and D3 are little-endian in the record; D4 keeps text order.
  return GuidBytes{be[3], be[2], be[1],  be[0],  be[5],  be[4],  be[7],  be[6],
                   be[8], be[9], be[10], be[11], be[12], be[13], be[14], be[15]};
}

std::string FormatGuid(const GuidBytes& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf,
                "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g[3],
                g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13],
                g[14], g[15]);
  return buf;
}

std::string ConversionErrorText(const ColumnDef& column, std::string_view value,
                                std::string_view target) {
  constexpr size_t kShown = 64;
  std::string shown(value.substr(0, kShown));
  if (value.size() > kShown) shown += "...";
  return "Cannot convert value \"" + shown + "\" of column \"" + column.name + "\" to " +
         std::string(target);
}

void ThrowConversionError(const ColumnDef& column, std::string_view value,
                          std::string_view target) {
  throw DatabaseError(ConversionErrorText(column, value, target));
}

}  // namespace pools::internal
