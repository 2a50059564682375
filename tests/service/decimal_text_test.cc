#include "service/decimal_text.h"

#include <gtest/gtest.h>

#include <string>

namespace service {
namespace {

struct BcdCase {
  std::string text;
  int precision;
  int scale;
  std::optional<std::string> value;  // BcdToString of the record, nullopt for a refusal
  int record_precision = 0;          // the record's Precision when a format is given
};

class DecimalTextToBcdTest : public ::testing::TestWithParam<BcdCase> {};

TEST_P(DecimalTextToBcdTest, GivesTheRecordOfTheValue) {
  const BcdCase& c = GetParam();
  const std::optional<storage::TBcd> bcd = DecimalTextToBcd(c.text, c.precision, c.scale);
  ASSERT_EQ(bcd.has_value(), c.value.has_value());
  if (!bcd) return;
  EXPECT_EQ(storage::BcdToString(*bcd), *c.value);
  if (c.record_precision > 0) {
    EXPECT_EQ(bcd->Precision, c.record_precision);
    EXPECT_EQ(bcd->Places(), c.scale);
  }
  // The exact form agrees with the storage's own parser.
  if (c.precision == 0) {
    const auto reference = storage::BcdFromString(c.text);
    ASSERT_TRUE(reference.has_value());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bcd->bytes().data()), 34),
              std::string(reinterpret_cast<const char*>(reference->bytes().data()), 34));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, DecimalTextToBcdTest,
    ::testing::Values(
        // As written.
        BcdCase{"0", 0, 0, "0"}, BcdCase{"-0", 0, 0, "0"}, BcdCase{"123.45", 0, 0, "123.45"},
        BcdCase{"-0.050", 0, 0, "-0.050"}, BcdCase{" 7 ", 0, 0, "7"}, BcdCase{"+1.", 0, 0, "1"},
        BcdCase{".5", 0, 0, "0.5"}, BcdCase{"1.5E3", 0, 0, "1500"},
        BcdCase{"2.5e-3", 0, 0, "0.0025"}, BcdCase{"00012.3400", 0, 0, "12.3400"},
        BcdCase{std::string(64, '9'), 0, 0, std::string(64, '9')},
        BcdCase{"1." + std::string(70, '5'), 0, 0, "1." + std::string(62, '5') + "6"},
        // With the column's precision and scale.
        BcdCase{"12.5", 10, 2, "12.50", 10}, BcdCase{"-0.125", 5, 2, "-0.13", 5},
        BcdCase{"0.004", 5, 2, "0.00", 5}, BcdCase{"-0.004", 5, 2, "0.00", 5},
        BcdCase{"999.995", 5, 2, std::nullopt}, BcdCase{"999.994", 5, 2, "999.99", 5},
        BcdCase{"1e-100", 4, 2, "0.00", 4}, BcdCase{"12345", 4, 0, std::nullopt},
        // Refused.
        BcdCase{"", 0, 0, std::nullopt}, BcdCase{"-", 0, 0, std::nullopt},
        BcdCase{"1,5", 0, 0, std::nullopt}, BcdCase{"1e", 0, 0, std::nullopt},
        BcdCase{"NaN", 0, 0, std::nullopt}, BcdCase{"1e65", 0, 0, std::nullopt},
        BcdCase{"1.5", 65, 2, std::nullopt}, BcdCase{"1.5", 2, 3, std::nullopt}));

TEST(DecimalTextToCurrency, ScalesByTenThousandRoundingHalfAway) {
  const std::pair<std::string, std::optional<int64_t>> cases[] = {
      {"0", 0},
      {"12.5", 125000},
      {"-12.34565", -123457},
      {"0.00004", 0},
      {"0.00005", 1},
      {"922337203685477.5807", INT64_MAX},
      {"-922337203685477.5808", INT64_MIN},
      {"922337203685477.5808", std::nullopt},
      {"1e15", std::nullopt},
      {"1.5E2", 1500000},
      {"abc", std::nullopt},
  };
  for (const auto& [text, value] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(DecimalTextToCurrency(text), value);
  }
}

TEST(GuidTextToBytes, ReadsTheRecordLayout) {
  uint8_t out[16];
  ASSERT_TRUE(GuidTextToBytes("{00112233-4455-6677-8899-aAbBcCdDeEfF}", out));
  EXPECT_EQ(storage::GuidToString(out), "{00112233-4455-6677-8899-AABBCCDDEEFF}");
  EXPECT_EQ(out[0], 0x33);  // D1 little-endian
  EXPECT_EQ(out[8], 0x88);  // D4 in order
  ASSERT_TRUE(GuidTextToBytes("00112233-4455-6677-8899-AABBCCDDEEFF", out));
  for (const char* bad :
       {"", "{00112233-4455-6677-8899-AABBCCDDEEF}", "00112233x4455-6677-8899-AABBCCDDEEFF",
        "{00112233-4455-6677-8899-AABBCCDDEEFG}"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(GuidTextToBytes(bad, out));
  }
}

}  // namespace
}  // namespace service
