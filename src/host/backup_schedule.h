// When the automatic backup starts: the rule of the "自动备份" choice and the fields beside it,
// checked by the console's one-second timer (Timer1) with the fields' current values, not the
// saved settings.
//
//   BackupType        due when (always at second 0)
//   0 "不备份", none   never
//   1 "每小时"         minute = EdtMinute
//   2 "每天"           hour = EdtTime, minute = EdtMinute
//   3 "每周"           weekday = CmbWeek (0 = Sunday), hour, minute; never without a weekday
//   4 "每月"           day of month = EdtDay, hour, minute; a day a month lacks is never due
//
// Threads: BackupDue is a pure function; a BackupSchedule belongs to the UI thread.
#ifndef DATASERVER_HOST_BACKUP_SCHEDULE_H_
#define DATASERVER_HOST_BACKUP_SCHEDULE_H_

#include <cstdint>
#include <ctime>
#include <optional>

#include "host/settings.h"

namespace host {

// The local date and time of a check, split as the rule reads it.
struct ScheduleTime {
  int day = 1;      // day of the month, 1..31
  int weekday = 0;  // 0 = Sunday .. 6 = Saturday
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// The local parts of `t` (seconds since the epoch).
ScheduleTime LocalScheduleTime(std::time_t t);

// Whether a check at `now` starts the backup. `fields` holds the console's current values
// (path unused).
bool BackupDue(const ScheduleTime& now, const BackupSettings& fields);

// The timer's side of the rule. A one-second timer drifts: a tick may land just after second
// 0 (skipping it) or twice within it. Each tick therefore checks second 0 of its minute exactly
// once, on the first tick at or after that second; a backup thus starts at most once per due
// minute and is not lost to a late tick. The first tick only counts when it falls in second 0.
class BackupSchedule {
 public:
  // One tick at `now` (seconds since the epoch) whose local parts are `local`; true when the
  // backup is due.
  bool Tick(int64_t now, const ScheduleTime& local, const BackupSettings& fields);

 private:
  std::optional<int64_t> last_tick_;
};

}  // namespace host

#endif  // DATASERVER_HOST_BACKUP_SCHEDULE_H_
