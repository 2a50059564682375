#include "protocol/rdb_error.h"

#include <gtest/gtest.h>

namespace protocol {
namespace {

TEST(RdbError, IsACommonErrorWithItsClassNameAndCode) {
  try {
    throw TRDBError("Invalid command handle:  7", kInvalidHandleErrorCode);
  } catch (const common::Error& e) {
    EXPECT_EQ(e.class_name(), "TRDBError");
    EXPECT_EQ(e.code(), 29);
    EXPECT_STREQ(e.what(), "Invalid command handle:  7");
    EXPECT_FALSE(dynamic_cast<const TRDBError&>(e).breaks_stream());
  }
  const TRDBError lost = ConnectionLostError();
  EXPECT_STREQ(lost.what(), "Connection lost");
  EXPECT_EQ(lost.code(), 0);
  EXPECT_TRUE(lost.breaks_stream());
}

}  // namespace
}  // namespace protocol
