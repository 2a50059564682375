// Values that cross the database access interface: result column definitions, date-time
// values as drivers deliver them, and the typed parameters of queries and stored procedures.
//
// Thread use: plain values.
#ifndef DATASERVER_POOLS_DB_TYPES_H_
#define DATASERVER_POOLS_DB_TYPES_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/data_type.h"
#include "common/variant.h"

namespace pools {

// Direction of a parameter (TParamType; the codes are those of the packed parameter list).
enum class ParamType : int8_t {
  ptUnknown = 0,  // taken as input
  ptInput = 1,
  ptOutput = 2,
  ptInputOutput = 3,
  ptResult = 4,  // a function's return value
};

// One column of a result set, described in the data types of the dataset stream. Sizes count
// characters for text (8-bit characters, UTF-16 code units for the wide types) and bytes for
// binary columns; 0 means "no declared limit" or "not applicable".
struct ColumnDef {
  std::string name;  // UTF-8, as the result set labels the column
  common::DataType data_type = common::DataType::dtUnknown;
  int32_t size = 0;
  int32_t precision = 0;  // decimal digits of decimal columns
  int32_t scale = 0;      // digits after the point
  bool nullable = true;
  bool auto_increment = false;  // the database generates the value (identity, serial, rowid)
  bool in_key = false;          // part of the origin table's primary key
  bool read_only = false;       // not a plain column of a table (an expression, a computed value)
  std::string origin_table;     // empty for expressions
  std::string origin_column;
  std::string source_type_name;  // the database's own name of the type, e.g. "varchar"

  bool operator==(const ColumnDef&) const = default;
};

// What statement builders need to know of a database's SQL beyond identifier quoting.
struct SqlDialect {
  // Whether an insert may give an auto-increment column an explicit value.
  bool explicit_auto_inc_values = true;
  // How an insert that names no column adds a row of defaults.
  enum class DefaultRow {
    kDefaultValues,  // INSERT INTO t DEFAULT VALUES
    kValuesDefault,  // INSERT INTO t (c) VALUES (DEFAULT)
    kValuesNull,     // INSERT INTO t (c) VALUES (NULL)
  };
  DefaultRow default_row = DefaultRow::kDefaultValues;
};

// A date, time or date-time as the database holds it. A date has the time fields 0; a time of
// day has year, month and day 0.
struct TimeStamp {
  int32_t year = 0;
  int32_t month = 0;
  int32_t day = 0;
  int32_t hour = 0;
  int32_t minute = 0;
  int32_t second = 0;
  int32_t nanosecond = 0;

  bool operator==(const TimeStamp&) const = default;
};

// The date-time value (days since 1899-12-30) of a time stamp, to whole milliseconds (finer
// digits are cut, never rounded up into the next second).
double TimeStampToDateTime(const TimeStamp& ts);
TimeStamp TimeStampFromDateTime(double date_time);

// A parameter of a query or a stored procedure. A query's parameters are positional: the n-th
// parameter binds the n-th "?" marker of the command text. A stored procedure's parameters are
// passed in list order. `data_type` dtUnknown means "take the type from the value".
struct DbParam {
  std::string name;
  common::DataType data_type = common::DataType::dtUnknown;
  ParamType param_type = ParamType::ptInput;
  common::Variant value;  // unassigned or null sends NULL
  int32_t size = 0;       // buffer size in characters or bytes for output values; 0: a default

  bool IsOutput() const {
    return param_type == ParamType::ptOutput || param_type == ParamType::ptInputOutput ||
           param_type == ParamType::ptResult;
  }
  bool IsInput() const {
    return param_type != ParamType::ptOutput && param_type != ParamType::ptResult;
  }
};

// The data type a parameter is sent as: its own, or for dtUnknown the one its value suggests.
common::DataType EffectiveDataType(const DbParam& param);

// An ordered parameter list. Names compare without regard to ASCII case; FindParam finds the
// first parameter of a name.
class DbParams {
 public:
  DbParam& Add(DbParam param);
  DbParam& Add(std::string name, common::DataType data_type, ParamType param_type,
               common::Variant value = {});
  DbParam* FindParam(std::string_view name);
  const DbParam* FindParam(std::string_view name) const;
  // Throws DatabaseError when there is no parameter of that name.
  DbParam& ParamByName(std::string_view name);

  void Clear() { items_.clear(); }
  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  DbParam& operator[](size_t i) { return items_[i]; }
  const DbParam& operator[](size_t i) const { return items_[i]; }
  std::vector<DbParam>::iterator begin() { return items_.begin(); }
  std::vector<DbParam>::iterator end() { return items_.end(); }
  std::vector<DbParam>::const_iterator begin() const { return items_.begin(); }
  std::vector<DbParam>::const_iterator end() const { return items_.end(); }

 private:
  std::vector<DbParam> items_;
};

}  // namespace pools

#endif  // DATASERVER_POOLS_DB_TYPES_H_
