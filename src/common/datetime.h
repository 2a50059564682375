// Date-time values of the system.
//
// A date-time (TDateTime) is a double counting days since 1899-12-30 00:00, the fraction being
// the time of day. Negative values count backwards by whole days while the fraction still
// runs forward: -1.25 is 1899-12-29 06:00. Splitting follows one rule everywhere: round the
// value to whole milliseconds a = round(x * 86400000); the day is a div 86400000 (truncated
// toward zero) and the time of day |a| mod 86400000.
#ifndef DATASERVER_COMMON_DATETIME_H_
#define DATASERVER_COMMON_DATETIME_H_

#include <cstdint>
#include <ctime>

namespace common {

constexpr int64_t kMsPerDay = 86400000;
// Days from 0001-01-01 (day 1) to 1899-12-30.
constexpr int64_t kDateDelta = 693594;
// Days from 1899-12-30 to 1970-01-01.
constexpr int64_t kUnixDateDelta = 25569;

struct DateTimeParts {
  int year = 1899;
  int month = 12;
  int day = 30;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  int day_of_week = 6;  // 0 = Sunday
};

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t DaysFromCivil(int year, int month, int day);
void CivilFromDays(int64_t days, int& year, int& month, int& day);

double EncodeDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                      int millisecond = 0);
DateTimeParts DecodeDateTime(double value);

// Whole milliseconds of a date-time per the rule above: day (relative to 1899-12-30) and
// time of day. Non-finite values count as 0 and values beyond about 290 million years are
// clamped (no real date comes near either).
void SplitDateTime(double value, int64_t& day, int64_t& ms_of_day);

// The current local date-time, and a time_t (seconds since the epoch, UTC) as local date-time.
double NowLocal();
DateTimeParts NowLocalParts();
double FromTimeTLocal(std::time_t t, int millisecond = 0);

}  // namespace common

#endif  // DATASERVER_COMMON_DATETIME_H_
