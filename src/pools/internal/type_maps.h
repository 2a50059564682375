// How each driver's column types become data types of the dataset stream. The tables
// themselves sit beside the code, in sqlite_driver.cc and odbc_driver.cc.
#ifndef DATASERVER_POOLS_INTERNAL_TYPE_MAPS_H_
#define DATASERVER_POOLS_INTERNAL_TYPE_MAPS_H_

#include <cstdint>
#include <string_view>

#include "common/data_type.h"

namespace pools::internal {

struct TypeInfo {
  common::DataType data_type = common::DataType::dtUnknown;
  int32_t size = 0;
  int32_t precision = 0;
  int32_t scale = 0;

  bool operator==(const TypeInfo&) const = default;
};

// A SQLite declared column type ("VARCHAR(20)", "decimal(10, 2)"); empty for an expression.
TypeInfo SqliteDeclaredType(std::string_view declared);
// An expression column (no declared type), by the storage class of its first value
// (SQLITE_INTEGER 1, SQLITE_FLOAT 2, SQLITE_TEXT 3, SQLITE_BLOB 4, SQLITE_NULL 5 or no row).
TypeInfo SqliteValueType(int storage_class);

// An ODBC column as SQLDescribeCol and SQLColAttribute describe it.
TypeInfo OdbcColumnType(int sql_type, uint64_t column_size, int decimal_digits, bool is_unsigned,
                        std::string_view type_name);

}  // namespace pools::internal

#endif  // DATASERVER_POOLS_INTERNAL_TYPE_MAPS_H_
