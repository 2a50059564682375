#include "host/backup_schedule.h"

namespace host {
namespace {

enum BackupType { kNever = 0, kHourly = 1, kDaily = 2, kWeekly = 3, kMonthly = 4 };

}  // namespace

ScheduleTime LocalScheduleTime(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  return ScheduleTime{tm.tm_mday, tm.tm_wday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

bool BackupDue(const ScheduleTime& now, const BackupSettings& fields) {
  if (now.second != 0 || now.minute != fields.minute) return false;
  switch (fields.backup_type) {
    case kHourly:
      return true;
    case kDaily:
      return now.hour == fields.hour;
    case kWeekly:
      return fields.weekday >= 0 && now.weekday == fields.weekday && now.hour == fields.hour;
    case kMonthly:
      return now.day == fields.day && now.hour == fields.hour;
    default:
      return false;
  }
}

bool BackupSchedule::Tick(int64_t now, const ScheduleTime& local, const BackupSettings& fields) {
  const int64_t minute_start = now - local.second;
  // The first tick, or a clock set back: only second 0 itself counts.
  const bool crossed =
      last_tick_ && *last_tick_ <= now ? *last_tick_ < minute_start : local.second == 0;
  last_tick_ = now;
  if (!crossed) return false;
  ScheduleTime at_zero = local;
  at_zero.second = 0;
  return BackupDue(at_zero, fields);
}

}  // namespace host
