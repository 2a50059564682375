#include "pools/internal/value_text.h"

#include <gtest/gtest.h>

#include <cmath>

#include "pools/database_error.h"

namespace pools::internal {
namespace {

TEST(ValueText, ScalesDecimalTextExactly) {
  struct Case {
    const char* text;
    int scale;
    std::optional<int64_t> expected;
  };
  const Case cases[] = {
      {"12.345", 4, 123450},
      {"-0.00005", 4, -1},  // half away from zero
      {"0.00004", 4, 0},
      {"1.5e3", 4, 15000000},
      {"2E-2", 4, 200},
      {" 7 ", 0, 7},
      {"922337203685477.5807", 4, INT64_MAX},
      {"-922337203685477.5808", 4, INT64_MIN},
      {"922337203685477.5808", 4, std::nullopt},  // one past the range
      {"1e400", 4, std::nullopt},
      {"12.3.4", 4, std::nullopt},
      {"abc", 4, std::nullopt},
      {"", 4, std::nullopt},
      {"-", 4, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseScaledDecimal(c.text, c.scale), c.expected);
  }
  EXPECT_EQ(FormatScaledDecimal(123450, 4), "12.3450");
  EXPECT_EQ(FormatScaledDecimal(-5, 4), "-0.0005");
  EXPECT_EQ(FormatScaledDecimal(INT64_MIN, 4), "-922337203685477.5808");
}

TEST(ValueText, ParsesDateAndTimeTexts) {
  struct Case {
    const char* text;
    std::optional<TimeStamp> expected;
  };
  const Case cases[] = {
      {"2024-02-29", TimeStamp{2024, 2, 29}},
      {"2024-02-29 23:59:58", TimeStamp{2024, 2, 29, 23, 59, 58}},
      {"2024-02-29T01:02", TimeStamp{2024, 2, 29, 1, 2, 0}},
      {"2024-02-29 01:02:03.5", TimeStamp{2024, 2, 29, 1, 2, 3, 500000000}},
      {"2024-02-29 01:02:03.123456789123Z", TimeStamp{2024, 2, 29, 1, 2, 3, 123456789}},
      {"12:34:56.789", TimeStamp{0, 0, 0, 12, 34, 56, 789000000}},
      {"2023-02-29", std::nullopt},  // not a leap year
      {"2024-13-01", std::nullopt},
      {"2024-01-01 24:00:00", std::nullopt},
      {"0000-01-01", std::nullopt},
      {"2024-01-01 10:00:00+02:00", std::nullopt},
      {"2024-01-01 10:00:00.", std::nullopt},
      {"yesterday", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseTimeStampText(c.text), c.expected);
  }
  TimeStamp ts{2024, 2, 29, 1, 2, 3, 45000000};
  EXPECT_EQ(FormatTimeStampText(ts, common::DataType::dtDateTime), "2024-02-29 01:02:03.045");
  EXPECT_EQ(FormatTimeStampText(ts, common::DataType::dtDate), "2024-02-29");
  EXPECT_EQ(FormatTimeStampText({0, 0, 0, 1, 2, 3}, common::DataType::dtTime), "01:02:03");
}

TEST(ValueText, ReadsSqliteNumericDateForms) {
  EXPECT_EQ(TimeStampFromJulianDay(2440587.5), (TimeStamp{1970, 1, 1}));
  EXPECT_EQ(TimeStampFromJulianDay(2451545.0), (TimeStamp{2000, 1, 1, 12, 0, 0}));
  EXPECT_EQ(TimeStampFromJulianDay(1721425.5), (TimeStamp{1, 1, 1}));
  EXPECT_EQ(TimeStampFromUnixSeconds(951782400 + 3661), (TimeStamp{2000, 2, 29, 1, 1, 1}));
  EXPECT_EQ(TimeStampFromUnixSeconds(-1), (TimeStamp{1969, 12, 31, 23, 59, 59}));
  EXPECT_EQ(TimeStampFromUnixSeconds(253402300799), (TimeStamp{9999, 12, 31, 23, 59, 59}));
  // Numbers that are no date of the years 1 to 9999.
  for (double jd : {1721425.4, 5373484.5, std::nan(""), 1e300, -1e300}) {
    SCOPED_TRACE(jd);
    EXPECT_FALSE(TimeStampFromJulianDay(jd).has_value());
  }
  EXPECT_FALSE(TimeStampFromUnixSeconds(253402300800).has_value());
  EXPECT_FALSE(TimeStampFromUnixSeconds(INT64_MIN).has_value());
}

TEST(ValueText, GuidsKeepTheRecordLayout) {
  // D1, D2 and D3 little-endian; D4 as written.
  const GuidBytes bytes{0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66,
                        0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
  for (const char* text :
       {"{00112233-4455-6677-8899-AABBCCDDEEFF}", "00112233-4455-6677-8899-aabbccddeeff"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(ParseGuid(text), bytes);
  }
  EXPECT_EQ(FormatGuid(bytes), "{00112233-4455-6677-8899-AABBCCDDEEFF}");
  for (const char* bad :
       {"{00112233-4455-6677-8899-AABBCCDDEEF}", "00112233445566778899AABBCCDDEEFF",
        "{00112233-4455-6677-8899-AABBCCDDEEFG}"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(ParseGuid(bad).has_value());
  }
}

TEST(ValueText, ConversionErrorNamesTheColumnAndACutValue) {
  ColumnDef column;
  column.name = "qty";
  try {
    ThrowConversionError(column, std::string(100, '9') + "x", "an integer");
  } catch (const DatabaseError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot convert value \"" + std::string(64, '9') +
                                         "...\" of column \"qty\" to an integer");
  }
}

}  // namespace
}  // namespace pools::internal
