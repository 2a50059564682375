// Applying a client's change set to a database table: the apply step of UpdateOleVariant.
//
// Every journalled row becomes one statement on the target table, in journal order (the order
// in which the client made the changes): an inserted row an INSERT, a modified row an UPDATE,
// a deleted row a DELETE; rows in other states are skipped. Values always travel as "?"
// parameters typed from the column definitions; identifiers are quoted as the connection's
// database requires.
//
//   INSERT INTO t (c1, c2) VALUES (?, ?)        writable columns whose value is not null;
//                                               auto-increment columns only where the database
//                                               takes explicit values; none: a row of defaults
//   UPDATE t SET c1 = ? WHERE k1 = ? AND k2 IS NULL   writable columns whose value changed
//   DELETE FROM t WHERE k1 = ?
//
// A column is written when it has coInUpdate and is neither read-only, calculated nor
// internal (a read-only auto-increment column may be written by an insert, as above). Its name
// in the statement is its origin column name, else its name. The key condition compares the
// old values of the searchable columns marked coInKey, else those of every searchable column
// marked coInWhere or coInKey; a null old value is matched with " IS NULL".
//
// All rows run in one transaction. A row that fails (rejected by the database, affecting other
// than one row, or no statement can be built for it) keeps its error and the walk goes on; the
// rows that succeeded are committed. A row whose failure ends the transaction itself (the
// database rolled it back, as SQLite does on a full disk; a serialization failure or deadlock;
// a lost link) stops the walk: its row keeps the database's error, nothing is committed, and
// no COMMIT runs whose own failure would hide that first error. A failed statement undoes itself:
// the databases roll back a failed statement alone (the PostgreSQL ODBC driver by its default
// statement-level rollback); and an update or delete that finds its row by non-key columns, which
// may match several rows, runs inside a savepoint on SQLite and PostgreSQL, so that one that hit
// several rows is undone rather than left applied while its row reports the failure. (Rows found by
// their key columns need no savepoint: a key matches one row.)
//
// Used on the calling thread with a connection and a query object it holds.
#ifndef DATASERVER_SERVICE_CHANGE_APPLY_H_
#define DATASERVER_SERVICE_CHANGE_APPLY_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.h"
#include "pools/da_connection.h"
#include "pools/da_query.h"
#include "pools/db_types.h"
#include "storage/change_set.h"

namespace service {

// A change set that cannot be applied at all (no table name, a name that is no identifier).
class EApplyError : public common::Error {
 public:
  explicit EApplyError(const std::string& message) : common::Error("EApplyError", message) {}
};

// The statement of one changed row; `sql` is empty when the row needs none (a modified row
// in which no writable column changed, or a row in a state that is not applied).
struct RowStatement {
  std::string verb;  // "Insert", "Update" or "Delete"
  std::string sql;
  pools::DbParams params;
  // The row is found by non-key columns, which other rows may share.
  bool may_match_several = false;
};

// The table name as the statements name it: each dot-separated part quoted for the database
// unless the client quoted it already ("dbo.Orders" -> "dbo"."Orders" or [dbo].[Orders]).
// Throws EApplyError for an empty name, an empty part, or a quoted part that is not closed or is
// followed by anything but a dot.
std::string QuoteTableName(const pools::TDAConnection& connection, std::string_view name);

// Builds the statement of one row. Throws EApplyError when the row's statement cannot be built
// (no column to find the row by); the caller counts that as the row's failure.
RowStatement BuildRowStatement(const storage::TDAChange& change,
                               const storage::TDAMemColumnList& columns,
                               const std::string& quoted_table,
                               const pools::TDAConnection& connection,
                               const pools::SqlDialect& dialect);

// "Update command updated [0] instead of [1] record. Possible reasons: ..." for `verb`
// "Insert", "Update" or "Delete"; the reasons are the database's last message when there is one.
std::string AffectedRowsMessage(std::string_view verb, int64_t affected,
                                std::string_view last_message);

struct ApplyResult {
  int error_count = 0;   // rows that failed
  std::string messages;  // the failed rows' messages in row order, nothing between them
};

// Applies every change of `changes` to `table_name` through `query`, which must be bound to
// `connection`. Failures outside the rows (the transaction cannot start or end, the
// connection is gone between rows) roll the transaction back and propagate.
ApplyResult ApplyChangeSet(const storage::TDAChangeSet& changes, std::string_view table_name,
                           pools::TDAConnection& connection, pools::TDAQuery& query);

}  // namespace service

#endif  // DATASERVER_SERVICE_CHANGE_APPLY_H_
