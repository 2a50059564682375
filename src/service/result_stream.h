// A database result as a dataset stream: the cursor's column descriptions become the stream's
// columns, and its rows are encoded straight from the cursor's buffers into the stream, with
// no copy of the whole result in between.
//
// What a result's stream carries (store items siMeta, siData, siDelta, version 15):
//   manager    "UpdatesRegistry" true, everything else at its default
//   table      named after the one table every column with an origin comes from; "Table"
//              (the default, no "Name" property) for results of several tables or expressions
//   columns    one per result column, in result order, named uniquely (below), with the
//              properties of DescribeResultColumn
//   rows       "RowID" 0, 1, 2 ... in fetch order, one "Original" version each
//
// Column names are unique without regard to ASCII case, because a loader matches list items by
// name: the first column keeps its name, a later column whose name is taken becomes
// name + "_" + n with the smallest n >= 1 that is still free (and that no column of the result
// carries); a column without a name is named "Column" + its position from 1. So
// SELECT a.ID, b.ID gives "ID" and "ID_1".
//
// Used on the calling thread; the cursor is read only during the call.
#ifndef DATASERVER_SERVICE_RESULT_STREAM_H_
#define DATASERVER_SERVICE_RESULT_STREAM_H_

#include <cstdint>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/variant.h"
#include "pools/cursor.h"
#include "pools/db_types.h"
#include "storage/mem_manager.h"

namespace service {

// The unique names of the columns, by the rule above.
std::vector<std::string> UniqueColumnNames(const std::vector<pools::ColumnDef>& defs);

// Sets the stream properties of `column` from a driver's description of a result column.
void DescribeResultColumn(const pools::ColumnDef& def, storage::TDAMemColumn& column);

// A manager holding one table whose columns describe `defs` (no rows).
void BuildResultTable(const std::vector<pools::ColumnDef>& defs, storage::TDAMemManager& manager);

// Appends the dataset stream of every row the cursor has not yet given (its columns from the
// cursor) to `out`; returns the number of rows. Errors: pools::DatabaseError when the database
// fails while fetching or a value cannot be read as its column's type; storage errors of the
// writer (EDAException), and std::bad_alloc. `out` keeps its size before the call on failure.
uint64_t WriteCursorStream(pools::Cursor& cursor, common::Bytes& out);
// The same, appended to `out` as new chunks (storage::WriteResultStream).
uint64_t WriteCursorStream(pools::Cursor& cursor, common::ChunkedBytes& out);

// The result as SQL2OleVariant and StoredProc return it: the dataset stream compressed at
// level 2 in a byte-array variant. Errors as WriteCursorStream, and the compressor's.
common::Variant CursorToCompressedByteArray(pools::Cursor& cursor);

}  // namespace service

#endif  // DATASERVER_SERVICE_RESULT_STREAM_H_
