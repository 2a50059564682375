// A forward-only cursor over the rows of a result set, with its column definitions.
//
// Each column is read with the getter of its data type's family (below); a value view stays
// valid until the next call of Next(), until another getter reads the same column (SQLite
// converts in place), or until the cursor is destroyed. Getters never allocate
// for the native family of a driver (SQLite text in both encodings, ODBC wide text), so reading
// a value is cheap. A value that the column's family cannot represent (text that is no number
// in an integer column, which SQLite permits) raises DatabaseError rather than turning into
// something else.
//
//   data type                                   getter
//   dtBoolean                                   GetBool
//   dtSByte dtInt16 dtInt32 dtInt64             GetInt64
//   dtByte dtUInt16 dtUInt32 dtUInt64           GetUInt64
//   dtSingle dtDouble dtExtended                GetDouble
//   dtCurrency dtBCD dtFmtBCD                   GetText (the exact decimal, "-123.45")
//   dtDate dtTime dtDateTime dtDateTimeStamp    GetTimeStamp
//   dtAnsiString dtMemo dtHMemo                 GetText (UTF-8) or GetWideText
//   dtWideString dtWideMemo dtXML dtWideHMemo   GetWideText (UTF-16) or GetText
//   dtByteString dtBlob dtHBlob                 GetBytes
//   dtGUID                                      GetText ("{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}")
// GetVariant gives any column as a variant of the matching kind.
//
// Thread use: one thread at a time, like the connection it reads from. A cursor keeps its
// driver connection alive on its own, so it may outlive the TDAConnection it came from.
#ifndef DATASERVER_POOLS_CURSOR_H_
#define DATASERVER_POOLS_CURSOR_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.h"
#include "common/variant.h"
#include "pools/database_error.h"
#include "pools/db_types.h"

namespace pools {

// A value its column's described type cannot carry unaltered: a database with dynamic typing
// (SQLite) may hold 7, 'text' and 2.5 in one column, while the column was described from its
// declaration or its first value. `type` is a type that carries every value of the column's
// storage classes met so far; a caller that wants every value reads the result again from its
// start with the column retyped (TDAQuery::Retype). The message is the conversion's own.
class EColumnRetype : public DatabaseError {
 public:
  EColumnRetype(const std::string& message, int column, common::DataType type)
      : DatabaseError(message), column_(column), type_(type) {}
  int column() const { return column_; }
  common::DataType type() const { return type_; }

 private:
  int column_;
  common::DataType type_;
};

class Cursor {
 public:
  virtual ~Cursor() = default;
  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;

  const std::vector<ColumnDef>& Columns() const { return columns_; }
  int ColumnCount() const { return static_cast<int>(columns_.size()); }

  // Moves to the next row (the first on the first call); false past the last row. Throws
  // DatabaseError when the database fails while fetching.
  virtual bool Next() = 0;

  // Column indexes count from 0; an index out of range throws DatabaseError.
  virtual bool IsNull(int column) = 0;
  virtual bool GetBool(int column) = 0;
  virtual int64_t GetInt64(int column) = 0;
  virtual uint64_t GetUInt64(int column) = 0;
  virtual double GetDouble(int column) = 0;
  virtual std::string_view GetText(int column) = 0;
  virtual std::u16string_view GetWideText(int column) = 0;
  virtual common::ByteSpan GetBytes(int column) = 0;
  virtual TimeStamp GetTimeStamp(int column) = 0;

  // Before the first Next(): reads `column` as `type` from now on. False (changing nothing)
  // where the cursor cannot.
  virtual bool Retype(int /*column*/, common::DataType /*type*/) { return false; }

  // Null for a null value; otherwise the kind of the column's data type (integers of their
  // width, Currency, decimals as kVarFmtBcd text, dates as kVarDate, texts as OLE strings,
  // binary as a byte array).
  common::Variant GetVariant(int column);

 protected:
  Cursor() = default;
  explicit Cursor(std::vector<ColumnDef> columns) : columns_(std::move(columns)) {}
  void SetColumns(std::vector<ColumnDef> columns) { columns_ = std::move(columns); }
  ColumnDef& MutableColumn(int column) { return columns_[static_cast<size_t>(column)]; }
  // Throws DatabaseError for an index out of range.
  void CheckColumn(int column) const;

 private:
  std::vector<ColumnDef> columns_;
};

}  // namespace pools

#endif  // DATASERVER_POOLS_CURSOR_H_
