#include "service/result_stream.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <span>
#include <unordered_set>

#include "common/text.h"
#include "pools/database_error.h"
#include "service/decimal_text.h"
#include "service/payload_codec.h"
#include "storage/result_writer.h"
#include "storage/value_codec.h"

namespace service {
namespace {

using common::DataType;
using storage::StoredValue;
using storage::TDADataAttribute;
using storage::TDADataOption;

// Declared types whose values always have their full length.
bool IsFixedLengthTypeName(std::string_view name) {
  std::string base = common::ToUpperAscii(name.substr(0, name.find('(')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (const char* fixed : {"CHAR", "NCHAR", "CHARACTER", "BPCHAR", "BINARY"}) {
    if (base == fixed) return true;
  }
  return false;
}

bool IsSearchableType(DataType t) {
  return t != DataType::dtUnknown && !common::IsLongType(t) && t != DataType::dtObject &&
         !(t >= DataType::dtRowSetRef && t <= DataType::dtParentRowRef);
}

// How a column's value is read from the cursor and laid out for the stream.
enum class Kind : uint8_t {
  kNone,
  kBool,
  kSigned,
  kUnsigned,
  kSingle,
  kDouble,
  kExtended,
  kCurrency,
  kDecimal,
  kDateTime,
  kDate,
  kTime,
  kTimeStamp,
  kInterval,
  kAnsiText,
  kWideText,
  kBinary,
  kGuid,
  kPresence,
};

Kind KindOf(DataType t) {
  switch (t) {
    case DataType::dtBoolean:
      return Kind::kBool;
    case DataType::dtSByte:
    case DataType::dtInt16:
    case DataType::dtInt32:
    case DataType::dtInt64:
      return Kind::kSigned;
    case DataType::dtByte:
    case DataType::dtUInt16:
    case DataType::dtUInt32:
    case DataType::dtUInt64:
      return Kind::kUnsigned;
    case DataType::dtSingle:
      return Kind::kSingle;
    case DataType::dtDouble:
      return Kind::kDouble;
    case DataType::dtExtended:
      return Kind::kExtended;
    case DataType::dtCurrency:
      return Kind::kCurrency;
    case DataType::dtBCD:
    case DataType::dtFmtBCD:
      return Kind::kDecimal;
    case DataType::dtDateTime:
      return Kind::kDateTime;
    case DataType::dtDate:
      return Kind::kDate;
    case DataType::dtTime:
      return Kind::kTime;
    case DataType::dtDateTimeStamp:
      return Kind::kTimeStamp;
    case DataType::dtTimeIntervalFull:
    case DataType::dtTimeIntervalYM:
    case DataType::dtTimeIntervalDS:
      return Kind::kInterval;
    case DataType::dtAnsiString:
    case DataType::dtMemo:
    case DataType::dtHMemo:
      return Kind::kAnsiText;
    case DataType::dtWideString:
    case DataType::dtWideMemo:
    case DataType::dtXML:
    case DataType::dtWideHMemo:
      return Kind::kWideText;
    case DataType::dtByteString:
    case DataType::dtBlob:
    case DataType::dtHBlob:
    case DataType::dtHBFile:
      return Kind::kBinary;
    case DataType::dtGUID:
      return Kind::kGuid;
    case DataType::dtObject:
      return Kind::kPresence;
    default:
      return Kind::kNone;
  }
}

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

bool ValidDate(int y, int m, int d) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1) return false;
  return d <= kDays[m - 1] + (m == 2 && IsLeapYear(y) ? 1 : 0);
}

bool ValidTime(const pools::TimeStamp& ts) {
  return ts.hour >= 0 && ts.hour <= 23 && ts.minute >= 0 && ts.minute <= 59 && ts.second >= 0 &&
         ts.second <= 59 && ts.nanosecond >= 0 && ts.nanosecond < 1000000000;
}

// Reads the rows of a cursor in the stored layouts of their columns. Each column has a slot
// whose buffers are reused from row to row; values of variable length point into the
// cursor's own buffers, valid until the next row (the writer copies them before asking again).
class CursorRowSource : public storage::TDARowSource {
 public:
  CursorRowSource(pools::Cursor& cursor, const storage::TDAMemColumnList& columns)
      : cursor_(cursor), ansi_utf8_(common::AnsiCodePage().IsUtf8()) {
    slots_.resize(columns.size());
    for (size_t i = 0; i < columns.size(); ++i) {
      Slot& s = slots_[i];
      s.type = columns[i].DataType;
      s.kind = KindOf(s.type);
      s.precision = columns[i].Precision;
      s.scale = columns[i].Scale;
      s.name = &columns[i].Name();
    }
  }

  bool Next(std::span<StoredValue> values) override {
    if (!cursor_.Next()) return false;
    ++row_;
    for (size_t i = 0; i < slots_.size(); ++i) {
      Slot& s = slots_[i];
      if (s.kind == Kind::kNone) continue;
      const int c = static_cast<int>(i);
      if (cursor_.IsNull(c)) continue;
      values[i] = Read(c, s);
    }
    return true;
  }

 private:
  struct Slot {
    DataType type = DataType::dtUnknown;
    Kind kind = Kind::kNone;
    int32_t precision = 0;
    int32_t scale = 0;
    const std::string* name = nullptr;
    alignas(8) uint8_t fixed[storage::TBcd::kSize] = {};
    std::string text;     // 8-bit text converted to a code page other than UTF-8
    std::u16string wide;  // wide text swapped to little-endian on big-endian hosts
  };

  [[noreturn]] void Fail(const Slot& s, std::string_view value, const char* what) const {
    throw pools::DatabaseError("Column [" + *s.name + "] of row " + std::to_string(row_) +
                               ": the value '" + std::string(value.substr(0, 64)) + "' is not " +
                               what);
  }

  template <typename T>
  StoredValue Fixed(Slot& s, T v) {
    common::StoreLE(s.fixed, v);
    return StoredValue::Of(s.fixed, sizeof(T));
  }

  StoredValue Read(int c, Slot& s) {
    switch (s.kind) {
      case Kind::kBool:
        return Fixed<uint16_t>(s, cursor_.GetBool(c) ? 1 : 0);
      case Kind::kSigned: {
        const int64_t v = cursor_.GetInt64(c);
        switch (s.type) {
          case DataType::dtSByte:
            if (v < INT8_MIN || v > INT8_MAX) Fail(s, std::to_string(v), "an 8-bit integer");
            return Fixed<int8_t>(s, static_cast<int8_t>(v));
          case DataType::dtInt16:
            if (v < INT16_MIN || v > INT16_MAX) Fail(s, std::to_string(v), "a 16-bit integer");
            return Fixed<int16_t>(s, static_cast<int16_t>(v));
          case DataType::dtInt32:
            if (v < INT32_MIN || v > INT32_MAX) Fail(s, std::to_string(v), "a 32-bit integer");
            return Fixed<int32_t>(s, static_cast<int32_t>(v));
          default:
            return Fixed<int64_t>(s, v);
        }
      }
      case Kind::kUnsigned: {
        const uint64_t v = cursor_.GetUInt64(c);
        switch (s.type) {
          case DataType::dtByte:
            if (v > UINT8_MAX) Fail(s, std::to_string(v), "an 8-bit unsigned integer");
            return Fixed<uint8_t>(s, static_cast<uint8_t>(v));
          case DataType::dtUInt16:
            if (v > UINT16_MAX) Fail(s, std::to_string(v), "a 16-bit unsigned integer");
            return Fixed<uint16_t>(s, static_cast<uint16_t>(v));
          case DataType::dtUInt32:
            if (v > UINT32_MAX) Fail(s, std::to_string(v), "a 32-bit unsigned integer");
            return Fixed<uint32_t>(s, static_cast<uint32_t>(v));
          default:
            return Fixed<uint64_t>(s, v);
        }
      }
      case Kind::kSingle:
        return Fixed<uint32_t>(s, common::SingleBits(static_cast<float>(cursor_.GetDouble(c))));
      case Kind::kDouble:
        return Fixed<uint64_t>(s, common::DoubleBits(cursor_.GetDouble(c)));
      case Kind::kExtended: {
        const auto x = storage::DoubleToExtended(cursor_.GetDouble(c));
        std::memcpy(s.fixed, x.data(), x.size());
        return StoredValue::Of(s.fixed, x.size());
      }
      case Kind::kCurrency: {
        const std::string_view text = cursor_.GetText(c);
        const std::optional<int64_t> v = DecimalTextToCurrency(text);
        if (!v) Fail(s, text, "a currency value");
        return Fixed<int64_t>(s, *v);
      }
      case Kind::kDecimal: {
        const std::string_view text = cursor_.GetText(c);
        std::optional<storage::TBcd> v;
        if (s.precision > 0) v = DecimalTextToBcd(text, s.precision, s.scale);
        // A value wider than the declared precision (SQLite does not enforce it) keeps its
        // own digits rather than being refused.
        if (!v) v = DecimalTextToBcd(text);
        if (!v) Fail(s, text, "a decimal number of at most 64 digits");
        std::memcpy(s.fixed, &*v, storage::TBcd::kSize);
        return StoredValue::Of(s.fixed, storage::TBcd::kSize);
      }
      case Kind::kDateTime:
      case Kind::kDate:
      case Kind::kTime:
      case Kind::kTimeStamp:
        return DateTime(c, s);
      case Kind::kInterval: {
        const std::string_view text = cursor_.GetText(c);
        const auto v = storage::IntervalFromString(text, s.type);
        if (!v) Fail(s, text, "an interval");
        v->Store(s.fixed);
        return StoredValue::Of(s.fixed, storage::TDASQLTimeInterval::kSize);
      }
      case Kind::kAnsiText: {
        const std::string_view utf8 = cursor_.GetText(c);
        // ASCII is the same in every ANSI code page.
        if (ansi_utf8_ || std::all_of(utf8.begin(), utf8.end(), [](char ch) {
              return static_cast<unsigned char>(ch) < 0x80;
            })) {
          return StoredValue::Of(common::AsBytes(utf8));
        }
        s.text = common::AnsiCodePage().FromUtf8(utf8);
        return StoredValue::Of(common::AsBytes(s.text));
      }
      case Kind::kWideText: {
        const std::u16string_view text = cursor_.GetWideText(c);
        if constexpr (std::endian::native == std::endian::little) {
          return StoredValue::Of(reinterpret_cast<const uint8_t*>(text.data()), text.size() * 2);
        } else {
          s.wide.resize(text.size());
          for (size_t i = 0; i < text.size(); ++i) {
            s.wide[i] = static_cast<char16_t>((text[i] >> 8) | (text[i] << 8));
          }
          return StoredValue::Of(reinterpret_cast<const uint8_t*>(s.wide.data()),
                                 s.wide.size() * 2);
        }
      }
      case Kind::kBinary:
        return StoredValue::Of(cursor_.GetBytes(c));
      case Kind::kGuid: {
        const std::string_view text = cursor_.GetText(c);
        if (!GuidTextToBytes(text, s.fixed)) Fail(s, text, "a GUID");
        return StoredValue::Of(s.fixed, 16);
      }
      case Kind::kPresence:
        return StoredValue::Of(s.fixed, 0);
      case Kind::kNone:
        break;
    }
    return StoredValue::Null();
  }

  StoredValue DateTime(int c, Slot& s) {
    pools::TimeStamp ts = cursor_.GetTimeStamp(c);
    bool valid = ValidTime(ts);
    if (ts.year == 0 && ts.month == 0 && ts.day == 0) {
      // A time of day without a date: a time stamp keeps it so; the other types put it on the
      // day the date-times count from.
      if (s.kind != Kind::kTimeStamp) {
        ts.year = 1899;
        ts.month = 12;
        ts.day = 30;
      }
    } else {
      valid = valid && ValidDate(ts.year, ts.month, ts.day);
    }
    if (!valid) {
      Fail(s,
           std::to_string(ts.year) + "-" + std::to_string(ts.month) + "-" + std::to_string(ts.day) +
               " " + std::to_string(ts.hour) + ":" + std::to_string(ts.minute) + ":" +
               std::to_string(ts.second),
           "a date and time from the years 1 to 9999");
    }
    const int ms = ts.nanosecond / 1000000;
    switch (s.kind) {
      case Kind::kDateTime:
        return Fixed<uint64_t>(
            s, common::DoubleBits(storage::EncodeStoredDateTime(ts.year, ts.month, ts.day, ts.hour,
                                                                ts.minute, ts.second, ms)));
      case Kind::kDate:
        return Fixed<int32_t>(s, storage::EncodeStoredDate(ts.year, ts.month, ts.day));
      case Kind::kTime:
        return Fixed<int32_t>(s, storage::EncodeStoredTime(ts.hour, ts.minute, ts.second, ms));
      default: {
        storage::TSQLTimeStamp v;
        v.Year = static_cast<uint16_t>(ts.year);
        v.Month = static_cast<uint16_t>(ts.month);
        v.Day = static_cast<uint16_t>(ts.day);
        v.Hour = static_cast<uint16_t>(ts.hour);
        v.Minute = static_cast<uint16_t>(ts.minute);
        v.Second = static_cast<uint16_t>(ts.second);
        v.Fractions = static_cast<uint32_t>(ms);
        v.Store(s.fixed);
        return StoredValue::Of(s.fixed, storage::TSQLTimeStamp::kSize);
      }
    }
  }

  pools::Cursor& cursor_;
  const bool ansi_utf8_;
  std::vector<Slot> slots_;
  uint64_t row_ = 0;
};

}  // namespace

std::vector<std::string> UniqueColumnNames(const std::vector<pools::ColumnDef>& defs) {
  std::vector<std::string> names;
  names.reserve(defs.size());
  for (size_t i = 0; i < defs.size(); ++i) {
    names.push_back(defs[i].name.empty() ? "Column" + std::to_string(i + 1) : defs[i].name);
  }
  // Every name a column carries, so that a renamed column never takes a later column's name.
  std::unordered_set<std::string> carried;
  for (const std::string& n : names) carried.insert(common::ToUpperAscii(n));
  std::unordered_set<std::string> used;
  for (std::string& name : names) {
    std::string upper = common::ToUpperAscii(name);
    if (used.insert(upper).second) continue;
    for (int n = 1;; ++n) {
      std::string candidate = name + "_" + std::to_string(n);
      std::string key = common::ToUpperAscii(candidate);
      if (used.count(key) == 0 && carried.count(key) == 0) {
        used.insert(std::move(key));
        name = std::move(candidate);
        break;
      }
    }
  }
  return names;
}

// Column properties of a result, from the driver's description (every driver maps its own
// types to the data types first: the tables are in sqlite_driver.cc and odbc_driver.cc):
//   DataType, Size, Precision, Scale     as described (Size: characters or bytes, 0 = no limit)
//   SourceDataType, SourceSize,          the same values (SourceDataType equals DataType and
//   SourcePrecision, SourceScale         so is not stored)
//   SourceDataTypeName                   the database's own type name ("varchar", "INTEGER")
//   OriginTabName, OriginColName         the table and column the value comes from; empty for
//                                        expressions
//   AutoIncrement                        the database generates the value
//   caSearchable + coInWhere             every type but the long ones (blobs, memos) and those
//                                        without a value: the columns a row can be found by
//   caAllowNull + coAllowNull            the column accepts nulls
//   caFixedLen                           declared CHAR, NCHAR, CHARACTER, BPCHAR or BINARY
//   caBlobData                           long types, and text or bytes longer than the table's
//                                        InlineDataSize (1000)
//   caReadOnly + coReadOnly              expressions and computed values, and auto-increment
//                                        columns (the database fills them)
//   caAutoInc                            auto-increment columns
//   coInUpdate                           every column that is not an expression or computed
//                                        (an auto-increment column keeps it: an insert may give
//                                        it a value where the database accepts one)
//   coInKey                              columns of the origin table's primary key
void DescribeResultColumn(const pools::ColumnDef& def, storage::TDAMemColumn& column) {
  const DataType t = def.data_type;
  column.DataType = t;
  column.Size = def.size;
  column.Precision = def.precision;
  column.Scale = def.scale;
  column.SourceDataType = t;
  column.SourceSize = def.size;
  column.SourcePrecision = def.precision;
  column.SourceScale = def.scale;
  column.SourceDataTypeName = def.source_type_name;
  column.OriginTabName = def.origin_table;
  column.OriginColName = def.origin_column;
  column.AutoIncrement = def.auto_increment;

  const bool searchable = IsSearchableType(t);
  const bool long_inline =
      (t == DataType::dtAnsiString || t == DataType::dtWideString || t == DataType::dtByteString) &&
      def.size > 1000;
  const bool read_only = def.read_only || def.auto_increment;

  storage::TDADataAttributes attributes;
  attributes.Set(TDADataAttribute::caSearchable, searchable);
  attributes.Set(TDADataAttribute::caAllowNull, def.nullable);
  attributes.Set(TDADataAttribute::caFixedLen, IsFixedLengthTypeName(def.source_type_name));
  attributes.Set(TDADataAttribute::caBlobData, common::IsLongType(t) || long_inline);
  attributes.Set(TDADataAttribute::caReadOnly, read_only);
  attributes.Set(TDADataAttribute::caAutoInc, def.auto_increment);

  storage::TDADataOptions options;
  options.Set(TDADataOption::coAllowNull, def.nullable);
  options.Set(TDADataOption::coReadOnly, read_only);
  options.Set(TDADataOption::coInUpdate, !def.read_only);
  options.Set(TDADataOption::coInWhere, searchable);
  options.Set(TDADataOption::coInKey, def.in_key);

  column.SetAttributes(attributes);
  column.SetOptions(options);
}

void BuildResultTable(const std::vector<pools::ColumnDef>& defs, storage::TDAMemManager& manager) {
  manager.UpdatesRegistry = true;
  // The one table every column with an origin comes from, if there is one.
  std::string origin;
  bool single = true;
  for (const pools::ColumnDef& def : defs) {
    if (def.origin_table.empty()) continue;
    if (origin.empty()) {
      origin = def.origin_table;
    } else if (origin != def.origin_table) {
      single = false;
    }
  }
  storage::TDAMemTable& table = manager.AddTable(single && !origin.empty() ? origin : "Table");
  const std::vector<std::string> names = UniqueColumnNames(defs);
  for (size_t i = 0; i < defs.size(); ++i) {
    DescribeResultColumn(defs[i], table.Columns().Add(names[i], defs[i].data_type));
  }
}

namespace {

template <typename Output>
uint64_t WriteCursorStreamTo(pools::Cursor& cursor, Output& out) {
  storage::TDAMemManager manager;
  BuildResultTable(cursor.Columns(), manager);
  storage::TDAMemTable& table = manager.Tables()[0];
  CursorRowSource rows(cursor, table.Columns());
  return storage::WriteResultStream(table, rows, out);
}

}  // namespace

uint64_t WriteCursorStream(pools::Cursor& cursor, common::Bytes& out) {
  return WriteCursorStreamTo(cursor, out);
}

uint64_t WriteCursorStream(pools::Cursor& cursor, common::ChunkedBytes& out) {
  return WriteCursorStreamTo(cursor, out);
}

common::Variant CursorToCompressedByteArray(pools::Cursor& cursor) {
  // A result's length is not known before its last row: chunks keep the stream from being
  // moved and held twice while it grows.
  common::ChunkedBytes stream;
  WriteCursorStream(cursor, stream);
  return StreamToByteArray(CompressChunks(std::move(stream), 2));
}

}  // namespace service
