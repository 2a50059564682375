#include "common/variant.h"

#include <gtest/gtest.h>

namespace common {
namespace {

TEST(Variant, DefaultIsUnassigned) {
  Variant v;
  EXPECT_TRUE(v.IsEmpty());
  EXPECT_EQ(v.type(), kVarEmpty);
  EXPECT_EQ(Variant::Null().type(), kVarNull);
}

TEST(Variant, ByteArrayKeepsBoundsAndBytes) {
  Variant v = Variant::ByteArray({1, 2, 3, 4, 5}, 5);
  EXPECT_EQ(v.type(), kVarArray | kVarByte);
  ASSERT_TRUE(v.IsByteArray());
  EXPECT_EQ(v.array().bounds[0].low, 5);
  EXPECT_EQ(v.array().bounds[0].high, 9);
  EXPECT_EQ(v.bytes().size(), 5u);

  Variant empty = Variant::ByteArray({});
  EXPECT_EQ(empty.array().bounds[0].low, 0);
  EXPECT_EQ(empty.array().bounds[0].high, -1);
  EXPECT_TRUE(empty.bytes().empty());
}

TEST(Variant, CopiesShareArraysAndCompareDeeply) {
  Variant a = Variant::VariantArrayOf({Variant::String(u"x"), Variant::Integer(5), Variant::Null()});
  Variant b = a;
  EXPECT_EQ(a, b);
  EXPECT_EQ(&a.array(), &b.array());
  EXPECT_NE(a, Variant::VariantArrayOf({Variant::String(u"x"), Variant::Integer(6), Variant::Null()}));
  EXPECT_NE(Variant::Integer(1), Variant::Smallint(1));
}

TEST(Variant, ConvertsBetweenKinds) {
  struct Case {
    Variant v;
    std::optional<int64_t> i;
    std::u16string text;
  };
  const Case cases[] = {
      {Variant::Integer(-7), -7, u"-7"},
      {Variant::String(u" 42 "), 42, u" 42 "},
      {Variant::String(u"abc"), std::nullopt, u"abc"},
      {Variant::Double(2.5), 2, u"2.5"},
      {Variant::Currency(123450), 12, u"12.345"},
      {Variant::Boolean(true), -1, u"True"},
      {Variant::Byte(200), 200, u"200"},
      {Variant::Null(), std::nullopt, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(DebugString(c.v));
    EXPECT_EQ(c.v.ToInt64(), c.i);
    EXPECT_EQ(c.v.ToText(), c.text);
  }
  EXPECT_EQ(Variant::Date(36526.5).ToText(), u"2000-01-01 12:00:00");
  EXPECT_FALSE(Variant::ByteArray({1}).ToText().has_value());
}

TEST(Variant, CustomKindsHoldText) {
  Variant bcd = Variant::Custom(kVarFmtBcd, u"123.45");
  EXPECT_TRUE(bcd.IsCustom());
  EXPECT_EQ(bcd.ToText(), u"123.45");
  EXPECT_EQ(bcd.ToDouble(), 123.45);
}

}  // namespace
}  // namespace common

namespace common {
namespace {

TEST(Variant, ElementCountSaturatesOnHugeBounds) {
  VariantArray a;
  a.bounds = {{0, 2147483646}, {0, 2147483646}, {0, 2147483646}};
  EXPECT_EQ(a.ElementCount(), INT64_MAX);
  a.bounds.push_back({1, 0});
  EXPECT_EQ(a.ElementCount(), 0);
}

}  // namespace
}  // namespace common
