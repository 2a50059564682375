// Writing a query result straight from a database cursor into a dataset stream.
//
// The writer pulls rows from a TDARowSource and encodes each value once, from the source's
// buffer into the stream; no table model of the rows is built. The stream has exactly the
// outline of a saved query result:
//
//   header | "Manager" ("UpdatesRegistry" true) > "TableList" > "Table" (its properties,
//   "ColumnList", "ConstraintList", an empty "ViewList", "RowList" with one "Row" per row:
//   "RowID" 0, 1, 2 ... and one "Original" object with the non-null values) | an empty
//   "RelationList" | "UpdatesJournal" with an empty "Changes" | dictionary
//
// The table (name, properties, columns, constraints) is taken from a TDAMemTable without rows;
// the manager's properties from the table's manager when it has one, else the defaults with
// UpdatesRegistry true. Memory: when the source knows its row count, the output is sized once
// after the 100th row of a list of 500 or more (estimate = bytes so far x (rows / 100 + 1)).
//
// Used on the calling thread; the row source is used only during the call.
#ifndef DATASERVER_STORAGE_RESULT_WRITER_H_
#define DATASERVER_STORAGE_RESULT_WRITER_H_

#include <cstdint>
#include <optional>
#include <span>

#include "common/bytes.h"
#include "storage/bin_storage.h"
#include "storage/mem_table.h"

namespace storage {

// A forward-only source of rows, e.g. a database cursor.
class TDARowSource {
 public:
  virtual ~TDARowSource() = default;
  // Moves to the next row and fills `values`, one per column (all start null): the value's
  // bytes in the stored layout of its column's type (value_codec.h; sizes in bytes, UTF-16LE
  // for wide text). The bytes must stay valid until the next call. False after the last row.
  virtual bool Next(std::span<StoredValue> values) = 0;
  // The number of rows when it is known in advance.
  virtual std::optional<uint64_t> RowCountHint() const { return std::nullopt; }
};

// Appends the complete stream of the result to `out` and returns the number of rows written.
// Errors: 4 when the table has no columns and 3 for a column of type dtUnknown (both only
// once there is a row, as when a table prepares its first row); std::invalid_argument for a
// value that does not fit its type's layout; any error of the source. On failure `out` is
// restored to its size before the call.
uint64_t WriteResultStream(const TDAMemTable& table, TDARowSource& rows, common::Bytes& out,
                           const TDAResOptions* options = nullptr);
// The same stream appended to `out` as new chunks (TDABinStorage::OpenWrite): for results of
// unknown length, it holds little more than the stream while writing. On failure the chunks
// added are removed.
uint64_t WriteResultStream(const TDAMemTable& table, TDARowSource& rows, common::ChunkedBytes& out,
                           const TDAResOptions* options = nullptr);

}  // namespace storage

#endif  // DATASERVER_STORAGE_RESULT_WRITER_H_
