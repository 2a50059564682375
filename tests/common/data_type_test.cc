#include "common/data_type.h"

#include <gtest/gtest.h>

namespace common {
namespace {

TEST(DataType, NamesAndOrdinalsAgree) {
  for (int i = 0; i < kDataTypeCount; ++i) {
    auto t = DataTypeFromOrdinal(i);
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(DataTypeFromName(DataTypeName(*t)), t);
  }
  EXPECT_EQ(DataTypeName(DataType::dtInt32), "dtInt32");
  EXPECT_EQ(DataTypeFromName("DTWIDESTRING"), DataType::dtWideString);
  EXPECT_FALSE(DataTypeFromOrdinal(41).has_value());
  EXPECT_FALSE(DataTypeFromName("dtNothing").has_value());
}

TEST(DataType, ClassifiesLayouts) {
  EXPECT_TRUE(IsWideTextType(DataType::dtXML));
  EXPECT_FALSE(IsWideTextType(DataType::dtMemo));
  EXPECT_TRUE(IsVariableLengthType(DataType::dtAnsiString));
  EXPECT_FALSE(IsLongType(DataType::dtWideString));
  EXPECT_TRUE(IsLongType(DataType::dtHBFile));
  EXPECT_EQ(FixedValueSize(DataType::dtExtended), 10);
  EXPECT_EQ(FixedValueSize(DataType::dtTimeIntervalDS), 25);
  EXPECT_EQ(FixedValueSize(DataType::dtObject), 0);
}

}  // namespace
}  // namespace common
