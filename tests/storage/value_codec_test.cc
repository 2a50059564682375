#include "storage/value_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "common/datetime.h"
#include "storage/stream_test_util.h"

namespace storage {
namespace {

using common::Variant;
using testing::Hex;
using testing::ToHex;

struct ConversionCase {
  const char* name;
  DataType type;
  const char* stored;  // hex
  Variant value;
  bool canonical = true;  // the value converts back to exactly these bytes
};

bool SameValue(const Variant& a, const Variant& b) {
  if (a.type() == common::kVarDate && b.type() == common::kVarDate) {
    return std::fabs(a.float_value() - b.float_value()) < 1e-9;
  }
  return a == b;
}

class ValueConversion : public ::testing::TestWithParam<ConversionCase> {};

TEST_P(ValueConversion, StoredBytesAndOrdinaryValuesConvertBothWays) {
  const ConversionCase& c = GetParam();
  common::Bytes stored = Hex(c.stored);
  // A decimal's layout is its whole 34-byte record; the stream keeps only its first bytes.
  if (c.type == DataType::dtBCD || c.type == DataType::dtFmtBCD) stored.resize(TBcd::kSize);
  const Variant value = StoredToVariant(c.type, stored);
  EXPECT_TRUE(SameValue(value, c.value))
      << common::DebugString(value) << " vs " << common::DebugString(c.value);
  if (c.canonical) {
    auto back = VariantToStored(c.type, c.value);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(ToHex(*back), ToHex(stored));
  }
}

Variant Bcd(const char16_t* text) { return Variant::Custom(common::kVarFmtBcd, text); }

INSTANTIATE_TEST_SUITE_P(
    EveryType, ValueConversion,
    ::testing::Values(
        ConversionCase{"BooleanTrue", DataType::dtBoolean, "01 00", Variant::Boolean(true)},
        ConversionCase{"BooleanAnyNonZero", DataType::dtBoolean, "FF FF", Variant::Boolean(true),
                       false},
        ConversionCase{"BooleanFalse", DataType::dtBoolean, "00 00", Variant::Boolean(false)},
        ConversionCase{"SByte", DataType::dtSByte, "FE", Variant::ShortInt(-2)},
        ConversionCase{"Int16", DataType::dtInt16, "FE FF", Variant::Smallint(-2)},
        ConversionCase{"Int32", DataType::dtInt32, "01 00 00 00", Variant::Integer(1)},
        ConversionCase{"Int64", DataType::dtInt64, "00 00 00 00 00 00 00 80",
                       Variant::Int64(std::numeric_limits<int64_t>::min())},
        ConversionCase{"Byte", DataType::dtByte, "FF", Variant::Byte(255)},
        ConversionCase{"UInt16", DataType::dtUInt16, "FF FF", Variant::Word(65535)},
        ConversionCase{"UInt32", DataType::dtUInt32, "FF FF FF FF", Variant::LongWord(0xFFFFFFFF)},
        ConversionCase{"UInt64", DataType::dtUInt64, "FF FF FF FF FF FF FF FF",
                       Variant::UInt64(std::numeric_limits<uint64_t>::max())},
        ConversionCase{"Single", DataType::dtSingle, "00 00 80 3F", Variant::Single(1.0f)},
        ConversionCase{"Double", DataType::dtDouble, "00 00 00 00 00 00 F8 3F",
                       Variant::Double(1.5)},
        ConversionCase{"Extended", DataType::dtExtended, "00 00 00 00 00 00 00 80 FF 3F",
                       Variant::Double(1.0)},
        ConversionCase{"Currency", DataType::dtCurrency, "40 E2 01 00 00 00 00 00",
                       Variant::Currency(123456)},
        ConversionCase{"Bcd", DataType::dtBCD, "05 02 12 34 50", Bcd(u"123.45")},
        ConversionCase{"FmtBcdNegative", DataType::dtFmtBCD, "03 81 12 30", Bcd(u"-12.3")},
        ConversionCase{"DateTime", DataType::dtDateTime, "80 4A 06 6B C2 AF CC 42",
                       Variant::Date(common::EncodeDateTime(2000, 1, 1, 12, 34, 56, 789))},
        ConversionCase{"DateTimeOfDayZero", DataType::dtDateTime, "00 00 2C 84 5D 40 CB 42",
                       Variant::Date(0.0)},
        ConversionCase{"Time", DataType::dtTime, "95 2C B3 02",
                       Variant::Date(45296789.0 / 86400000.0)},
        ConversionCase{"Date", DataType::dtDate, "08 24 0B 00", Variant::Date(36526.0)},
        ConversionCase{"TimeStamp", DataType::dtDateTimeStamp,
                       "D0 07 01 00 02 00 03 00 04 00 05 00 7B 00 00 00",
                       Variant::Custom(common::kVarSqlTimeStamp, u"2000-01-02 03:04:05.123")},
        ConversionCase{"IntervalYM", DataType::dtTimeIntervalYM,
                       "FF 07 00 00 00 01 00 00 00 02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                       Variant::Custom(common::kVarSqlInterval, u"-1-2")},
        ConversionCase{"IntervalDS", DataType::dtTimeIntervalDS,
                       "01 0A 00 00 00 03 00 00 00 04 00 00 00 05 00 00 00 06 00 00 00 15 03 00 00",
                       Variant::Custom(common::kVarSqlInterval, u"3 04:05:06.789")},
        ConversionCase{"AnsiString", DataType::dtAnsiString, "41 42", Variant::AnsiString("AB")},
        ConversionCase{"WideString", DataType::dtWideString, "41 00 42 00", Variant::String(u"AB")},
        ConversionCase{"EmptyWideString", DataType::dtWideString, "", Variant::String(u"")},
        ConversionCase{"ByteString", DataType::dtByteString, "00 FF",
                       Variant::ByteArray({0x00, 0xFF})},
        ConversionCase{"Blob", DataType::dtBlob, "01 02 03", Variant::ByteArray({1, 2, 3})},
        ConversionCase{"Memo", DataType::dtMemo, "61", Variant::AnsiString("a")},
        ConversionCase{"WideMemo", DataType::dtWideMemo, "68 88", Variant::String(u"表")},
        ConversionCase{"XML", DataType::dtXML, "3C 00", Variant::String(u"<")},
        ConversionCase{"HBlob", DataType::dtHBlob, "09", Variant::ByteArray({9})},
        ConversionCase{"HMemo", DataType::dtHMemo, "7A", Variant::AnsiString("z")},
        ConversionCase{"WideHMemo", DataType::dtWideHMemo, "7A 00", Variant::String(u"z")},
        ConversionCase{"HBFile", DataType::dtHBFile, "", Variant::ByteArray({})},
        ConversionCase{"ParentRowRef", DataType::dtParentRowRef, "07 00 00 00",
                       Variant::LongWord(7)},
        ConversionCase{"Guid", DataType::dtGUID, "FF 19 96 6F 86 8B 11 D0 B4 2D 00 CF 4F C9 64 FF",
                       Variant::String(u"{6F9619FF-8B86-D011-B42D-00CF4FC964FF}")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ValueCodec, TypesWithoutBytesHaveNoOrdinaryValue) {
  for (DataType t : {DataType::dtUnknown, DataType::dtRowSetRef, DataType::dtCursorRef,
                     DataType::dtRowRef, DataType::dtArrayRef, DataType::dtObject}) {
    SCOPED_TRACE(std::string(common::DataTypeName(t)));
    EXPECT_TRUE(StoredToVariant(t, {}).IsEmpty());
    EXPECT_THROW(VariantToStored(t, Variant::Integer(1)), EDAException);
  }
}

TEST(ValueCodec, NullAndUnassignedStoreNothing) {
  EXPECT_FALSE(VariantToStored(DataType::dtInt32, Variant::Null()).has_value());
  EXPECT_FALSE(VariantToStored(DataType::dtWideString, Variant()).has_value());
  // Empty text is a value, not null.
  auto empty = VariantToStored(DataType::dtWideString, Variant::String(u""));
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());
}

TEST(ValueCodec, ConvertsOtherKindsOfOrdinaryValues) {
  struct Case {
    DataType type;
    Variant value;
    const char* stored;
  };
  const Case cases[] = {
      {DataType::dtInt32, Variant::String(u" 42 "), "2A 00 00 00"},
      {DataType::dtInt16, Variant::Double(2.6), "03 00"},
      {DataType::dtUInt64, Variant::String(u"18446744073709551615"), "FF FF FF FF FF FF FF FF"},
      {DataType::dtBoolean, Variant::String(u"true"), "01 00"},
      {DataType::dtCurrency, Variant::Double(1.5), "98 3A 00 00 00 00 00 00"},
      {DataType::dtCurrency, Variant::String(u"12.34567"), "41 E2 01 00 00 00 00 00"},
      {DataType::dtBCD, Variant::Double(0.1), "01 01 10"},
      {DataType::dtBCD, Variant::Integer(-7), "01 80 70"},
      {DataType::dtDateTime, Variant::String(u"2000-01-01 12:34:56.789"),
       "80 4A 06 6B C2 AF CC 42"},
      {DataType::dtDate, Variant::String(u"2000-01-01"), "08 24 0B 00"},
      {DataType::dtTime, Variant::String(u"12:34:56.789"), "95 2C B3 02"},
      {DataType::dtDate, Variant::Date(-1.25), "59 95 0A 00"},
      {DataType::dtDateTimeStamp, Variant::Date(common::EncodeDateTime(2000, 1, 2, 3, 4, 5, 123)),
       "D0 07 01 00 02 00 03 00 04 00 05 00 7B 00 00 00"},
      {DataType::dtGUID, Variant::String(u"6f9619ff-8b86-d011-b42d-00cf4fc964ff"),
       "FF 19 96 6F 86 8B 11 D0 B4 2D 00 CF 4F C9 64 FF"},
      {DataType::dtGUID, Variant::ByteArray(Hex("00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F")),
       "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F"},
      {DataType::dtWideString, Variant::Integer(12), "31 00 32 00"},
      {DataType::dtBlob, Variant::AnsiString("\x01\x02"), "01 02"},
      {DataType::dtAnsiString, Variant::ByteArray({0x41}), "41"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(common::DebugString(c.value) + " to " + std::string(common::DataTypeName(c.type)));
    auto stored = VariantToStored(c.type, c.value);
    ASSERT_TRUE(stored.has_value());
    common::Bytes expected = Hex(c.stored);
    if (c.type == DataType::dtBCD) expected.resize(TBcd::kSize);
    EXPECT_EQ(ToHex(*stored), ToHex(expected));
  }
}

TEST(ValueCodec, DecimalsTakeTheColumnsPrecisionAndScale) {
  const DecimalFormat money{12, 2};
  auto stored = VariantToStored(DataType::dtFmtBCD, Variant::String(u"1.005"), &money);
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(ToHex(*stored).substr(0, 23), "0C 02 00 00 00 00 01 01");
  EXPECT_EQ(BcdToString(TBcd::FromBytes(*stored)), "1.01");
  EXPECT_THROW(VariantToStored(DataType::dtFmtBCD, Variant::String(u"12345678901"), &money),
               EDAException);
}

TEST(ValueCodec, DecimalTextRoundTrips) {
  struct Case {
    const char* text;
    int precision;
    int places;
    const char* back;
  };
  const Case cases[] = {
      {"0", 1, 0, "0"},    {"-0.50", 2, 2, "-0.50"}, {"007.10", 3, 2, "7.10"},
      {".5", 1, 1, "0.5"}, {"1.5E3", 4, 0, "1500"},  {"25e-3", 3, 3, "0.025"},
      {"+99", 2, 0, "99"}, {"-0", 1, 0, "0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto b = BcdFromString(c.text);
    ASSERT_TRUE(b.has_value());
    EXPECT_EQ(b->Precision, c.precision);
    EXPECT_EQ(b->Places(), c.places);
    EXPECT_EQ(BcdToString(*b), c.back);
  }
  for (const char* bad : {"", "-", "1.2.3", "abc", "1e", "12x"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(BcdFromString(bad).has_value());
  }
  // 64 digits fit; a 65th integer digit does not; excess fraction digits are rounded away.
  EXPECT_TRUE(BcdFromString(std::string(64, '9')).has_value());
  EXPECT_FALSE(BcdFromString(std::string(65, '9')).has_value());
  auto rounded = BcdFromString(std::string(60, '1') + ".123456");
  ASSERT_TRUE(rounded.has_value());
  EXPECT_EQ(rounded->Precision, 64);
  EXPECT_EQ(rounded->Places(), 4);
}

TEST(ValueCodec, DecimalRecordsAreReadSafelyWhateverTheyHold) {
  TBcd places_beyond_digits = TBcd::FromBytes(Hex("02 04 12"));
  EXPECT_EQ(BcdToString(places_beyond_digits), "0.0012");
  EXPECT_THROW(BcdToString(TBcd::FromBytes(Hex("41 00"))), EDAException);     // precision 65
  EXPECT_THROW(BcdToString(TBcd::FromBytes(Hex("02 00 1A"))), EDAException);  // digit A
  EXPECT_EQ(BcdToString(TBcd::FromBytes(Hex("00 00"))), "0");
}

TEST(ValueCodec, FloatsBecomeDecimalTextWithUpTo18Decimals) {
  EXPECT_EQ(FormatFloatForBcd(0.1), "0.1");
  EXPECT_EQ(FormatFloatForBcd(-2.5), "-2.5");
  EXPECT_EQ(FormatFloatForBcd(1e-20), "0");
  EXPECT_EQ(FormatFloatForBcd(123456789.125), "123456789.125");
  EXPECT_EQ(FormatFloatForBcd(1e20), "100000000000000000000");
}

TEST(ValueCodec, DayNumbersAndMilliseconds) {
  EXPECT_EQ(DateToStored(0.0), 693594);
  EXPECT_EQ(DateToStored(common::EncodeDateTime(2000, 1, 1)), 730120);
  EXPECT_EQ(DateToStored(common::EncodeDateTime(1, 1, 1)), 1);
  EXPECT_EQ(DateTimeToStored(0.0), 59926521600000.0);
  EXPECT_EQ(TimeToStored(common::EncodeDateTime(1899, 12, 30, 12, 34, 56, 789)), 45296789);
  EXPECT_EQ(EncodeStoredDateTime(2000, 1, 1, 12, 34, 56, 789), 63082413296789.0);
  EXPECT_EQ(EncodeStoredDate(2000, 1, 1), 730120);
  EXPECT_EQ(EncodeStoredDate(1899, 12, 30), 693594);
  EXPECT_EQ(EncodeStoredTime(12, 34, 56, 789), 45296789);
  // Before 1899-12-30 the time of day still runs forward: -1.25 is 1899-12-29 06:00.
  int64_t day = 0;
  int64_t ms = 0;
  DateTimeToDayAndMs(-1.25, day, ms);
  EXPECT_EQ(day, 693593);
  EXPECT_EQ(ms, 21600000);
  EXPECT_EQ(DayAndMsToDateTime(day, ms), -1.25);
  EXPECT_EQ(StoredToDateTime(DateTimeToStored(-1.25)), -1.25);
  EXPECT_EQ(StoredToTime(-43200000), -0.5);
  EXPECT_THROW(DateTimeToStored(std::numeric_limits<double>::infinity()), EDAException);
}

TEST(ValueCodec, ExtendedPrecisionRoundTripsEveryDouble) {
  const double cases[] = {0.0,
                          -0.0,
                          1.0,
                          -3.75,
                          1e300,
                          std::numeric_limits<double>::denorm_min(),
                          std::numeric_limits<double>::min() / 3,
                          std::numeric_limits<double>::max(),
                          std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity()};
  for (double d : cases) {
    SCOPED_TRACE(d);
    const auto e = DoubleToExtended(d);
    const double back = ExtendedToDouble(e.data());
    EXPECT_EQ(common::DoubleBits(back), common::DoubleBits(d));
  }
  const auto nan = DoubleToExtended(std::numeric_limits<double>::quiet_NaN());
  EXPECT_TRUE(std::isnan(ExtendedToDouble(nan.data())));
}

TEST(ValueCodec, ExtendedValuesRoundToTheNearestDouble) {
  struct Case {
    const char* bytes;
    double value;
  };
  const Case cases[] = {
      // 1 + 2^-63: below half an ulp.
      {"01 00 00 00 00 00 00 80 FF 3F", 1.0},
      // 1 + 2^-53: a tie, to even.
      {"00 04 00 00 00 00 00 80 FF 3F", 1.0},
      // 1 + 3 x 2^-53: a tie, to even (up).
      {"00 0C 00 00 00 00 00 80 FF 3F", 1.0 + 4 * std::ldexp(1.0, -53)},
      // 2^5000: beyond binary64.
      {"00 00 00 00 00 00 00 80 87 53", std::numeric_limits<double>::infinity()},
      // -2^-5000: below binary64.
      {"00 00 00 00 00 00 00 80 77 AC", -0.0},
      // An unnormal (integer bit clear) with exponent 0x3FFF: 0.5.
      {"00 00 00 00 00 00 00 40 FF 3F", 0.5},
      // The largest double's neighbourhood rounds up to infinity.
      {"00 FC FF FF FF FF FF FF FE 43", std::numeric_limits<double>::infinity()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(ExtendedToDouble(Hex(c.bytes).data()), c.value);
  }
}

TEST(ValueCodec, RecordsAndTheirTexts) {
  EXPECT_EQ(TimeStampToString({2000, 1, 2, 3, 4, 5, 0}), "2000-01-02 03:04:05");
  auto ts = TimeStampFromString("1999-12-31 23:59:59.5");
  ASSERT_TRUE(ts.has_value());
  EXPECT_EQ(*ts, (TSQLTimeStamp{1999, 12, 31, 23, 59, 59, 500}));
  EXPECT_FALSE(TimeStampFromString("12:00").has_value());
  EXPECT_FALSE(TimeStampFromString("2001-02-29").has_value());

  auto ym = IntervalFromString("5", DataType::dtTimeIntervalYM);
  ASSERT_TRUE(ym.has_value());
  EXPECT_EQ(ym->YearsOrDays, 5u);
  EXPECT_EQ(IntervalToString(*ym), "5-0");
  auto ds = IntervalFromString("-12:00:01.5", DataType::dtTimeIntervalFull);
  ASSERT_TRUE(ds.has_value());
  EXPECT_EQ(ds->Sign, -1);
  EXPECT_EQ(ds->Fractions, 500u);
  EXPECT_EQ(IntervalToString(*ds), "-0 12:00:01.500");
  EXPECT_FALSE(IntervalFromString("1 02:03:04", DataType::dtTimeIntervalYM).has_value());
  EXPECT_FALSE(IntervalFromString("1-2", DataType::dtTimeIntervalDS).has_value());

  EXPECT_FALSE(GuidFromString("{6F9619FF-8B86-D011-B42D-00CF4FC964F}").has_value());
  EXPECT_FALSE(GuidFromString("6F9619FF-8B86-D011-B42D-00CF4FC964FG").has_value());
}

TEST(ValueCodec, ValuesThatDoNotFitFailWithAConversionError) {
  struct Case {
    DataType type;
    Variant value;
  };
  const Case cases[] = {
      {DataType::dtInt32, Variant::String(u"abc")},
      {DataType::dtByte, Variant::Integer(256)},
      {DataType::dtByte, Variant::Integer(-1)},
      {DataType::dtInt16, Variant::Int64(40000)},
      {DataType::dtInt64, Variant::UInt64(std::numeric_limits<uint64_t>::max())},
      {DataType::dtGUID, Variant::String(u"xyz")},
      {DataType::dtDateTime, Variant::String(u"2000-13-01")},
      {DataType::dtDateTimeStamp, Variant::Date(1e300)},
      {DataType::dtBCD, Variant::String(u"1,5")},
      {DataType::dtBCD, Variant::Double(std::numeric_limits<double>::infinity())},
      {DataType::dtTimeIntervalYM, Variant::Integer(3)},
      {DataType::dtWideString, Variant::VariantArrayOf({})},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_THROW(VariantToStored(cases[i].type, cases[i].value), EDAException);
  }
}

TEST(ValueCodec, ShortStoredBytesFailInsteadOfReadingPastThem) {
  EXPECT_THROW(StoredToVariant(DataType::dtInt64, Hex("01 02")), EDAException);
  EXPECT_THROW(StoredToVariant(DataType::dtGUID, Hex("01")), EDAException);
  EXPECT_THROW(StoredToVariant(DataType::dtBCD, {}), EDAException);
}

}  // namespace
}  // namespace storage
