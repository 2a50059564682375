#include "storage/enums.h"

#include <gtest/gtest.h>

namespace storage {
namespace {

TEST(Enums, Version1DataTypesMapToTheCurrentOrdinals) {
  // The older vocabulary has no dtSingle (10), dtCurrency (13), dtTimeIntervalDS (22),
  // dtAnsiString (23), dtWideString (24) or dtRowSetRef (34).
  const int expected[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  11, 12, 14, 15, 16, 17, 18, 19,
                          20, 21, 25, 26, 27, 28, 29, 30, 31, 32, 33, 35, 36, 37, 38, 39, 40};
  for (int s = 0; s < static_cast<int>(std::size(expected)); ++s) {
    SCOPED_TRACE(s);
    EXPECT_EQ(DataTypeFromVersion1(s), expected[s]);
    EXPECT_EQ(DataTypeToVersion1(expected[s]), s);
  }
  for (int missing : {10, 13, 22, 23, 24, 34}) EXPECT_FALSE(DataTypeToVersion1(missing));
}

TEST(Enums, IdentifiersAreFoundWithoutRegardToCase) {
  const EnumTypeInfo& states = EnumInfo<TDAMemRowState>();
  EXPECT_EQ(states.Identifier(4), "rsModified");
  EXPECT_EQ(states.Ordinal("RSMODIFIED"), 4);
  EXPECT_EQ(states.Identifier(14), "");
  EXPECT_FALSE(states.Ordinal("rsNothing"));
  EXPECT_EQ(EnumInfo<DataType>().Ordinal("dtguid"), 39);
  EXPECT_EQ(EnumInfo<TDAMemConstraintARRule>().Identifier(1), "arCascade");
}

TEST(Enums, SetsHoldTheirMembers) {
  TDADataOptions o{TDADataOption::coInKey};
  o.Include(TDADataOption::coUnique).Exclude(TDADataOption::coInKey);
  EXPECT_TRUE(o.Has(TDADataOption::coUnique));
  EXPECT_FALSE(o.Has(TDADataOption::coInKey));
  EXPECT_EQ(o.bits(), 2u);
}

}  // namespace
}  // namespace storage
