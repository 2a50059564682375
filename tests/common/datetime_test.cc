#include "common/datetime.h"

#include <gtest/gtest.h>

#include <limits>

namespace common {
namespace {

TEST(DateTime, EncodesKnownDays) {
  EXPECT_EQ(EncodeDateTime(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDateTime(1970, 1, 1), 25569.0);
  EXPECT_EQ(EncodeDateTime(2000, 1, 1), 36526.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime(1970, 1, 2, 12, 0, 0, 250), 25570.5 + 250.0 / kMsPerDay);
}

TEST(DateTime, DecodesNegativeValuesWithForwardTimeOfDay) {
  // -1.25 is one day before the epoch, at 06:00.
  DateTimeParts p = DecodeDateTime(-1.25);
  EXPECT_EQ(p.year, 1899);
  EXPECT_EQ(p.month, 12);
  EXPECT_EQ(p.day, 29);
  EXPECT_EQ(p.hour, 6);
  EXPECT_DOUBLE_EQ(EncodeDateTime(1899, 12, 29, 6), -1.25);
}

TEST(DateTime, RoundTripsPartsAndWeekday) {
  struct Case {
    int y, mo, d, h, mi, s, ms, dow;
  };
  const Case cases[] = {
      {2000, 1, 1, 12, 34, 56, 789, 6}, {1970, 1, 1, 0, 0, 0, 0, 4}, {2026, 12, 10, 23, 59, 59, 999, 4},
      {1, 1, 1, 0, 0, 0, 0, 1},         {2024, 2, 29, 2, 30, 0, 0, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.y);
    DateTimeParts p = DecodeDateTime(EncodeDateTime(c.y, c.mo, c.d, c.h, c.mi, c.s, c.ms));
    EXPECT_EQ(p.year, c.y);
    EXPECT_EQ(p.month, c.mo);
    EXPECT_EQ(p.day, c.d);
    EXPECT_EQ(p.hour, c.h);
    EXPECT_EQ(p.minute, c.mi);
    EXPECT_EQ(p.second, c.s);
    EXPECT_EQ(p.millisecond, c.ms);
    EXPECT_EQ(p.day_of_week, c.dow);
  }
}

TEST(DateTime, SplitsIntoDayAndMilliseconds) {
  int64_t day = 0;
  int64_t ms = 0;
  SplitDateTime(EncodeDateTime(2000, 1, 1, 12, 34, 56, 789), day, ms);
  EXPECT_EQ(day + kDateDelta, 730120);
  EXPECT_EQ(ms, 45296789);
}

}  // namespace
}  // namespace common

namespace common {
namespace {

TEST(DateTime, SplitsOutOfRangeValuesWithoutOverflow) {
  int64_t day = 1;
  int64_t ms = 1;
  SplitDateTime(1e300, day, ms);
  EXPECT_GT(day, 0);
  SplitDateTime(std::numeric_limits<double>::infinity(), day, ms);
  EXPECT_EQ(day, 0);
  EXPECT_EQ(ms, 0);
}

}  // namespace
}  // namespace common
