#include "common/datetime.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace common {

int64_t DaysFromCivil(int year, int month, int day) {
  // Howard Hinnant's days_from_civil.
  int64_t y = static_cast<int64_t>(year) - (month <= 2 ? 1 : 0);
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t mp = (month + 9) % 12;
  const int64_t doy = (153 * mp + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t days, int& year, int& month, int& day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = yoe + era * 400;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(y + (month <= 2 ? 1 : 0));
}

double EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                      int millisecond) {
  const int64_t d = DaysFromCivil(year, month, day) + kUnixDateDelta;
  const double t =
      (hour * 3600000.0 + minute * 60000.0 + second * 1000.0 + millisecond) / kMsPerDay;
  return d >= 0 ? static_cast<double>(d) + t : static_cast<double>(d) - t;
}

void SplitDateTime(double value, int64_t& day, int64_t& ms_of_day) {
  double scaled = std::round(value * static_cast<double>(kMsPerDay));
  // Out-of-range and non-finite values are clamped so the conversion stays defined.
  constexpr double kLimit = 9.0e18;
  if (!std::isfinite(scaled)) scaled = 0;
  scaled = std::clamp(scaled, -kLimit, kLimit);
  const int64_t a = static_cast<int64_t>(scaled);
  day = a / kMsPerDay;
  ms_of_day = (a < 0 ? -a : a) % kMsPerDay;
}

DateTimeParts DecodeDateTime(double value) {
  int64_t day = 0;
  int64_t ms = 0;
  SplitDateTime(value, day, ms);
  DateTimeParts p;
  CivilFromDays(day - kUnixDateDelta, p.year, p.month, p.day);
  p.hour = static_cast<int>(ms / 3600000);
  p.minute = static_cast<int>(ms / 60000 % 60);
  p.second = static_cast<int>(ms / 1000 % 60);
  p.millisecond = static_cast<int>(ms % 1000);
  // 1970-01-01 was a Thursday (4).
  const int64_t unix_day = day - kUnixDateDelta;
  p.day_of_week = static_cast<int>(((unix_day % 7) + 7 + 4) % 7);
  return p;
}

double FromTimeTLocal(std::time_t t, int millisecond) {
  std::tm tm{};
  localtime_r(&t, &tm);
  return EncodeDateTime(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                        tm.tm_sec, millisecond);
}

double NowLocal() {
  const auto now = std::chrono::system_clock::now();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
  const std::time_t secs = static_cast<std::time_t>(ms.count() / 1000);
  return FromTimeTLocal(secs, static_cast<int>(ms.count() % 1000));
}

DateTimeParts NowLocalParts() { return DecodeDateTime(NowLocal()); }

}  // namespace common
