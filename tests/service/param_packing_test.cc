#include "service/param_packing.h"

#include <gtest/gtest.h>

namespace service {
namespace {

using common::Variant;

Variant List(std::vector<Variant> elements) { return Variant::VariantArrayOf(std::move(elements)); }

TParam Param(std::u16string name, TFieldType type, TParamType direction, Variant value,
             int32_t size = 0, int32_t precision = 0, int32_t scale = 0) {
  TParam p;
  p.Name = std::move(name);
  p.DataType = type;
  p.ParamType = direction;
  p.Size = size;
  p.Precision = precision;
  p.NumericScale = scale;
  p.SetValue(value);
  return p;
}

TEST(ParamsToOleVariant, PacksSevenEntriesPerSelectedParameter) {
  TParams params;
  params.Add(Param(u"a", TFieldType::ftInteger, TParamType::ptInput, Variant::Integer(5), 4));
  params.Add(
      Param(u"b", TFieldType::ftWideString, TParamType::ptOutput, Variant::Null(), 50, 1, 2));
  params.Add(Param(u"d", TFieldType::ftFMTBcd, TParamType::ptResult,
                   Variant::Custom(common::kVarFmtBcd, u"12.50")));

  const Variant expected = List({
      List({Variant::String(u"a"), Variant::Integer(5), Variant::ShortInt(3), Variant::ShortInt(1),
            Variant::Integer(4), Variant::Integer(0), Variant::Integer(0)}),
      List({Variant::String(u"b"), Variant::Null(), Variant::ShortInt(24), Variant::ShortInt(2),
            Variant::Integer(50), Variant::Integer(1), Variant::Integer(2)}),
      // A custom value travels as its text.
      List({Variant::String(u"d"), Variant::String(u"12.50"), Variant::ShortInt(37),
            Variant::ShortInt(4), Variant::Integer(0), Variant::Integer(0), Variant::Integer(0)}),
  });
  EXPECT_EQ(ParamsToOleVariant(params, kAllParamTypes), expected);

  // Only outputs selected (bit 2): one element.
  const Variant outputs = ParamsToOleVariant(params, 1 << 2);
  ASSERT_TRUE(outputs.IsArray());
  ASSERT_EQ(outputs.array().items.size(), 1u);
  EXPECT_EQ(outputs.array().items[0], expected.array().items[1]);

  // Nothing selected, or nothing at all: null, not an empty array.
  EXPECT_EQ(ParamsToOleVariant(params, 1 << 3), Variant::Null());
  EXPECT_EQ(ParamsToOleVariant(TParams(), kAllParamTypes), Variant::Null());
}

TEST(OleVariantToParams, ReadsElementsOfTwoToSevenEntries) {
  struct Case {
    const char* name;
    Variant element;
    TFieldType type;
    TParamType direction;
    Variant value;
    int32_t size, precision, scale;
  };
  const Case cases[] = {
      {"NameAndValue", List({Variant::String(u"p"), Variant::Integer(7)}), TFieldType::ftInteger,
       TParamType::ptUnknown, Variant::Integer(7), 0, 0, 0},
      {"CodeBeforeValue", List({Variant::String(u"p"), Variant::String(u"7"), Variant::Integer(3)}),
       TFieldType::ftInteger, TParamType::ptUnknown, Variant::String(u"7"), 0, 0, 0},
      {"CodesAsTextAndUnassigned",
       List({Variant::String(u"p"), Variant::Double(1.5), Variant(), Variant::String(u"3"),
             Variant::String(u"8")}),
       TFieldType::ftFloat, TParamType::ptInputOutput, Variant::Double(1.5), 8, 0, 0},
      {"AllSeven",
       List({Variant::String(u"p"), Variant::Null(), Variant::ShortInt(24), Variant::ShortInt(2),
             Variant::Integer(20), Variant::Integer(5), Variant::Integer(1), Variant::Integer(99)}),
       TFieldType::ftWideString, TParamType::ptOutput, Variant::Null(), 20, 5, 1},
      {"UntypedNull", List({Variant::String(u"p"), Variant::Null()}), TFieldType::ftUnknown,
       TParamType::ptUnknown, Variant::Null(), 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TParams params;
    OleVariantToParams(List({c.element}), params);
    ASSERT_EQ(params.size(), 1u);
    const TParam& p = params[0];
    EXPECT_EQ(p.Name, u"p");
    EXPECT_EQ(p.DataType, c.type);
    EXPECT_EQ(p.ParamType, c.direction);
    EXPECT_EQ(p.Value, c.value);
    EXPECT_EQ(p.Size, c.size);
    EXPECT_EQ(p.Precision, c.precision);
    EXPECT_EQ(p.NumericScale, c.scale);
  }
}

TEST(OleVariantToParams, WhatIsNoListLeavesTheParametersAsTheyWere) {
  common::VariantArray from_minus_one;
  from_minus_one.bounds = {{-1, 0}};
  from_minus_one.items = {List({Variant::String(u"skipped"), Variant::Integer(1)}),
                          List({Variant::String(u"read"), Variant::Integer(2)})};
  const Variant cases[] = {Variant(), Variant::Null(), Variant::String(u"x"),
                           List({Variant::Integer(1)}), List({})};
  for (const Variant& source : cases) {
    SCOPED_TRACE(common::DebugString(source));
    TParams params;
    params.Add(Param(u"kept", TFieldType::ftInteger, TParamType::ptInput, Variant::Integer(1)));
    OleVariantToParams(source, params);
    ASSERT_EQ(params.size(), 1u);
    EXPECT_EQ(params[0].Name, u"kept");
  }
  // The list is read from index 0 whatever its lower bound.
  TParams params;
  OleVariantToParams(Variant::Array(from_minus_one), params);
  ASSERT_EQ(params.size(), 1u);
  EXPECT_EQ(params[0].Name, u"read");
}

TEST(OleVariantToParams, MalformedListsFailAndLeaveTheParameters) {
  common::VariantArray from_one;
  from_one.bounds = {{1, 1}};
  from_one.items = {List({Variant::String(u"p"), Variant::Integer(1)})};
  const Variant p_ok = List({Variant::String(u"ok"), Variant::Integer(1)});
  struct Case {
    const char* name;
    Variant source;
  };
  const Case cases[] = {
      {"OneEntry", List({List({Variant::String(u"p")})})},
      {"CodeNotANumber",
       List({List({Variant::String(u"p"), Variant::Integer(1), Variant::Null()})})},
      {"CodeText",
       List({List({Variant::String(u"p"), Variant::Integer(1), Variant::String(u"x")})})},
      {"DataTypeOutOfRange",
       List({List({Variant::String(u"p"), Variant::Integer(1), Variant::Integer(52)})})},
      {"DirectionOutOfRange", List({List({Variant::String(u"p"), Variant::Integer(1),
                                          Variant::Integer(3), Variant::Integer(5)})})},
      {"SizeBeyond32Bits",
       List({List({Variant::String(u"p"), Variant::Integer(1), Variant::Integer(3),
                   Variant::Integer(1), Variant::Int64(int64_t{1} << 40)})})},
      {"LaterElementNoArray", List({p_ok, Variant::Integer(4)})},
      {"NameIsAnArray", List({List({List({}), Variant::Integer(1)})})},
      {"LowerBoundAboveZero", Variant::Array(from_one)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TParams params;
    params.Add(Param(u"kept", TFieldType::ftInteger, TParamType::ptInput, Variant::Integer(1)));
    EXPECT_THROW(OleVariantToParams(c.source, params), EPackedParamsError);
    ASSERT_EQ(params.size(), 1u);
    EXPECT_EQ(params[0].Name, u"kept");
  }
}

TEST(OleVariantToParams, UnpacksWhatWasPacked) {
  TParams params;
  params.Add(Param(u"count", TFieldType::ftLargeint, TParamType::ptInputOutput,
                   Variant::Int64(-9000000000), 8, 19, 0));
  params.Add(
      Param(u"名字", TFieldType::ftWideString, TParamType::ptInput, Variant::String(u"张三"), 20));
  params.Add(Param(u"when", TFieldType::ftTimeStamp, TParamType::ptOutput,
                   Variant::Custom(common::kVarSqlTimeStamp, u"2024-02-29 10:00:00")));
  TParams back;
  OleVariantToParams(ParamsToOleVariant(params, kAllParamTypes), back);
  ASSERT_EQ(back.size(), params.size());
  for (size_t i = 0; i < params.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(back[i].Name, params[i].Name);
    EXPECT_EQ(back[i].DataType, params[i].DataType);
    EXPECT_EQ(back[i].ParamType, params[i].ParamType);
    EXPECT_EQ(back[i].Size, params[i].Size);
    EXPECT_EQ(back[i].Precision, params[i].Precision);
    EXPECT_EQ(back[i].NumericScale, params[i].NumericScale);
  }
  EXPECT_EQ(back[0].Value, Variant::Int64(-9000000000));
  EXPECT_EQ(back[1].Value, Variant::String(u"张三"));
  EXPECT_EQ(back[2].Value, Variant::String(u"2024-02-29 10:00:00"));  // custom kinds as text
}

TEST(TParam, UnknownTypeIsTakenFromTheValue) {
  const std::pair<Variant, TFieldType> cases[] = {
      {Variant::Smallint(1), TFieldType::ftSmallint},
      {Variant::Integer(1), TFieldType::ftInteger},
      {Variant::Single(1), TFieldType::ftSingle},
      {Variant::Double(1), TFieldType::ftFloat},
      {Variant::Currency(1), TFieldType::ftBCD},
      {Variant::Date(1), TFieldType::ftDateTime},
      {Variant::String(u"x"), TFieldType::ftWideString},
      {Variant::Boolean(true), TFieldType::ftBoolean},
      {Variant::ShortInt(1), TFieldType::ftShortint},
      {Variant::Byte(1), TFieldType::ftByte},
      {Variant::Word(1), TFieldType::ftWord},
      {Variant::LongWord(1), TFieldType::ftLongWord},
      {Variant::Int64(1), TFieldType::ftLargeint},
      {Variant::AnsiString("x"), TFieldType::ftString},
      {Variant::Custom(common::kVarSqlTimeStamp, u"2024-01-01"), TFieldType::ftTimeStamp},
      {Variant::Custom(common::kVarSqlTimeStampOffset, u"x"), TFieldType::ftTimeStampOffset},
      {Variant::Custom(common::kVarFmtBcd, u"1"), TFieldType::ftFMTBcd},
      {Variant::UInt64(1), TFieldType::ftUnknown},
      {Variant::ByteArray({1}), TFieldType::ftUnknown},
  };
  for (const auto& [value, type] : cases) {
    SCOPED_TRACE(common::DebugString(value));
    TParam p;
    p.SetValue(value);
    EXPECT_EQ(p.DataType, type);
    EXPECT_TRUE(p.Bound);
    // A type already set stays.
    TParam typed;
    typed.DataType = TFieldType::ftMemo;
    typed.SetValue(value);
    EXPECT_EQ(typed.DataType, TFieldType::ftMemo);
  }
  TParam unassigned;
  unassigned.SetValue(Variant());
  EXPECT_FALSE(unassigned.Bound);
  EXPECT_TRUE(unassigned.IsNull());
}

}  // namespace
}  // namespace service
