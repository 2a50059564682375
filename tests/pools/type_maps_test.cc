#include "pools/internal/type_maps.h"

#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>
#include <sqlite3.h>

namespace pools::internal {
namespace {

using common::DataType;

TEST(TypeMaps, SqliteDeclaredTypes) {
  struct Case {
    const char* declared;
    TypeInfo expected;
  };
  const Case cases[] = {
      {"INTEGER", {DataType::dtInt64}},
      {"smallint", {DataType::dtInt64}},  // SQLite stores every integer in 64 bits
      {"BOOLEAN", {DataType::dtBoolean}},
      {"VARCHAR(20)", {DataType::dtWideString, 20}},
      {"nvarchar ( 7 )", {DataType::dtWideString, 7}},
      {"VARCHAR", {DataType::dtWideMemo}},
      {"TEXT", {DataType::dtWideMemo}},
      {"DECIMAL(10, 2)", {DataType::dtFmtBCD, 0, 10, 2}},
      {"NUMERIC(5)", {DataType::dtFmtBCD, 0, 5, 0}},
      {"NUMERIC(99,2)", {DataType::dtDouble}},
      {"DECIMAL", {DataType::dtDouble}},
      {"MONEY", {DataType::dtCurrency, 0, 19, 4}},
      {"REAL", {DataType::dtDouble}},
      {"DOUBLE PRECISION", {DataType::dtDouble}},
      {"DATE", {DataType::dtDate}},
      {"TIME", {DataType::dtTime}},
      {"DATETIME", {DataType::dtDateTime}},
      {"TIMESTAMP WITH TIME ZONE", {DataType::dtDateTime}},
      {"UNIQUEIDENTIFIER", {DataType::dtGUID}},
      {"VARBINARY(16)", {DataType::dtByteString, 16}},
      {"BLOB", {DataType::dtBlob}},
      {"", {DataType::dtUnknown}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.declared);
    EXPECT_EQ(SqliteDeclaredType(c.declared), c.expected);
  }
  EXPECT_EQ(SqliteValueType(SQLITE_INTEGER).data_type, DataType::dtInt64);
  EXPECT_EQ(SqliteValueType(SQLITE_FLOAT).data_type, DataType::dtDouble);
  EXPECT_EQ(SqliteValueType(SQLITE_TEXT).data_type, DataType::dtWideMemo);
  EXPECT_EQ(SqliteValueType(SQLITE_BLOB).data_type, DataType::dtBlob);
  EXPECT_EQ(SqliteValueType(SQLITE_NULL).data_type, DataType::dtWideMemo);
}

TEST(TypeMaps, OdbcColumnTypes) {
  struct Case {
    int sql_type;
    uint64_t size;
    int digits;
    bool is_unsigned;
    const char* type_name;
    TypeInfo expected;
  };
  const Case cases[] = {
      {SQL_BIT, 1, 0, false, "bit", {DataType::dtBoolean}},
      {SQL_TINYINT, 3, 0, true, "tinyint", {DataType::dtByte}},
      {SQL_SMALLINT, 5, 0, false, "int2", {DataType::dtInt16}},
      {SQL_INTEGER, 10, 0, false, "int4", {DataType::dtInt32}},
      {SQL_INTEGER, 10, 0, true, "int unsigned", {DataType::dtUInt32}},
      {SQL_BIGINT, 19, 0, false, "int8", {DataType::dtInt64}},
      {SQL_REAL, 7, 0, false, "float4", {DataType::dtSingle}},
      {SQL_DOUBLE, 15, 0, false, "float8", {DataType::dtDouble}},
      {SQL_NUMERIC, 10, 2, false, "numeric", {DataType::dtFmtBCD, 0, 10, 2}},
      {SQL_NUMERIC, 1000, 900, false, "numeric", {DataType::dtFmtBCD, 0, 64, 64}},
      {SQL_DECIMAL, 19, 4, false, "money", {DataType::dtCurrency, 0, 19, 4}},
      {SQL_TYPE_DATE, 10, 0, false, "date", {DataType::dtDate}},
      {SQL_TYPE_TIME, 8, 6, false, "time", {DataType::dtTime}},
      {-154, 16, 7, false, "time", {DataType::dtTime}},
      {SQL_TYPE_TIMESTAMP, 26, 6, false, "timestamp", {DataType::dtDateTime}},
      {SQL_VARCHAR, 20, 0, false, "varchar", {DataType::dtAnsiString, 20}},
      {SQL_VARCHAR, 0, 0, false, "varchar(max)", {DataType::dtMemo}},
      {SQL_LONGVARCHAR, 8190, 0, false, "text", {DataType::dtMemo}},
      {SQL_WVARCHAR, 50, 0, false, "nvarchar", {DataType::dtWideString, 50}},
      {SQL_WLONGVARCHAR, 1073741823, 0, false, "ntext", {DataType::dtWideMemo}},
      {SQL_VARBINARY, 16, 0, false, "varbinary", {DataType::dtByteString, 16}},
      {SQL_LONGVARBINARY, 0, 0, false, "bytea", {DataType::dtBlob}},
      {SQL_GUID, 36, 0, false, "uuid", {DataType::dtGUID}},
      {SQL_INTERVAL_DAY_TO_SECOND, 20, 6, false, "interval", {DataType::dtWideMemo}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type_name);
    EXPECT_EQ(OdbcColumnType(c.sql_type, c.size, c.digits, c.is_unsigned, c.type_name), c.expected);
  }
}

}  // namespace
}  // namespace pools::internal
