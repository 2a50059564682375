#include "host/backup_schedule.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace host {
namespace {

BackupSettings Fields(int type, int minute, int hour = 0, int weekday = 0, int day = 1) {
  BackupSettings f;
  f.backup_type = type;
  f.minute = minute;
  f.hour = hour;
  f.weekday = weekday;
  f.day = day;
  return f;
}

struct DueCase {
  const char* name;
  BackupSettings fields;
  ScheduleTime now;  // day, weekday, hour, minute, second
  bool due;
};

TEST(BackupDue, FollowsTheRuleOfEachChoice) {
  const DueCase cases[] = {
      {"不备份 never", Fields(0, 0), {1, 0, 0, 0, 0}, false},
      {"no choice never", Fields(-1, 0), {1, 0, 0, 0, 0}, false},
      {"每小时 at its minute", Fields(1, 15), {9, 2, 10, 15, 0}, true},
      {"每小时 any hour", Fields(1, 15), {9, 2, 23, 15, 0}, true},
      {"每小时 second 1 is too late", Fields(1, 15), {9, 2, 10, 15, 1}, false},
      {"每小时 another minute", Fields(1, 15), {9, 2, 10, 14, 0}, false},
      {"每天 at its hour and minute", Fields(2, 30, 2), {9, 2, 2, 30, 0}, true},
      {"每天 another hour", Fields(2, 30, 2), {9, 2, 3, 30, 0}, false},
      {"每周 Sunday 02:30", Fields(3, 30, 2, 0), {7, 0, 2, 30, 0}, true},
      {"每周 not on Monday", Fields(3, 30, 2, 0), {8, 1, 2, 30, 0}, false},
      {"每周 not at 02:30:01", Fields(3, 30, 2, 0), {7, 0, 2, 30, 1}, false},
      {"每周 Saturday", Fields(3, 0, 23, 6), {13, 6, 23, 0, 0}, true},
      {"每周 without a weekday", Fields(3, 30, 2, -1), {7, 0, 2, 30, 0}, false},
      {"每月 on its day", Fields(4, 0, 3, 0, 9), {9, 5, 3, 0, 0}, true},
      {"每月 the day after", Fields(4, 0, 3, 0, 9), {10, 6, 3, 0, 0}, false},
      {"每月 day 31 on the 30th", Fields(4, 0, 3, 0, 31), {30, 1, 3, 0, 0}, false},
      {"每月 weekday does not matter", Fields(4, 0, 3, 3, 9), {9, 0, 3, 0, 0}, true},
  };
  for (const DueCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(BackupDue(c.now, c.fields), c.due);
  }
}

// Ticks of a timer that drifts, hourly at minute 0: each tick is a time in seconds since the
// epoch; the local parts are taken as UTC-like arithmetic on it.
struct TickCase {
  const char* name;
  std::vector<int64_t> ticks;
  std::vector<bool> due;
};

ScheduleTime PartsOf(int64_t t) {
  ScheduleTime s;
  s.second = static_cast<int>(t % 60);
  s.minute = static_cast<int>(t / 60 % 60);
  s.hour = static_cast<int>(t / 3600 % 24);
  return s;
}

TEST(BackupSchedule, StartsOncePerDueMinuteWhateverTheTimerDrift) {
  const BackupSettings hourly = Fields(1, 0);
  const TickCase cases[] = {
      {"on time", {3598, 3599, 3600, 3601}, {false, false, true, false}},
      {"a late tick skips second 0", {3599, 3601}, {false, true}},
      {"two ticks within second 0", {3599, 3600, 3600}, {false, true, false}},
      {"first tick at second 0", {3600}, {true}},
      {"first tick after second 0", {3605}, {false}},
      {"the next minute is not due", {3599, 3601, 3659, 3661}, {false, true, false, false}},
      {"the next hour is due again", {3600, 7199, 7200}, {true, false, true}},
      {"clock set back to second 0", {7300, 3600}, {false, true}},
      {"clock set back past second 0", {7300, 3605}, {false, false}},
  };
  for (const TickCase& c : cases) {
    SCOPED_TRACE(c.name);
    BackupSchedule schedule;
    std::vector<bool> due;
    for (int64_t t : c.ticks) due.push_back(schedule.Tick(t, PartsOf(t), hourly));
    EXPECT_EQ(due, c.due);
  }
}

TEST(BackupSchedule, ReadsTheFieldsAtEachTick) {
  BackupSchedule schedule;
  EXPECT_FALSE(schedule.Tick(3600, PartsOf(3600), Fields(0, 0)));
  EXPECT_TRUE(schedule.Tick(7200, PartsOf(7200), Fields(1, 0)));
}

}  // namespace
}  // namespace host
