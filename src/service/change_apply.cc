#include "service/change_apply.h"

#include <cstring>
#include <optional>
#include <unordered_map>
#include <vector>

#include "common/text.h"
#include "pools/database_error.h"

namespace service {
namespace {

using storage::StoredValue;
using storage::TDADataAttribute;
using storage::TDADataOption;
using storage::TDAMemColumn;
using storage::TDAMemRowState;

constexpr char kNoKeyReasons[] =
    "update table does not have PK or row identifier, record has been changed/deleted by another "
    "user";

bool HasValueType(common::DataType t) {
  return t != common::DataType::dtUnknown &&
         !(t >= common::DataType::dtRowSetRef && t <= common::DataType::dtArrayRef);
}

bool IsWritable(const TDAMemColumn& c) {
  const storage::TDADataAttributes a = c.Attributes();
  return HasValueType(c.DataType) && c.Options().Has(TDADataOption::coInUpdate) &&
         !a.Has(TDADataAttribute::caCalculated) && !a.Has(TDADataAttribute::caInternal) &&
         !a.Has(TDADataAttribute::caReadOnly);
}

// An insert may also give a read-only auto-increment column its value, where the database
// takes explicit values; an auto-increment column is left out where it does not.
bool IsInsertable(const TDAMemColumn& c, const pools::SqlDialect& dialect) {
  if (!c.Attributes().Has(TDADataAttribute::caAutoInc)) return IsWritable(c);
  const storage::TDADataAttributes a = c.Attributes();
  return dialect.explicit_auto_inc_values && HasValueType(c.DataType) &&
         c.Options().Has(TDADataOption::coInUpdate) && !a.Has(TDADataAttribute::caCalculated) &&
         !a.Has(TDADataAttribute::caInternal);
}

bool SameValue(const StoredValue& a, const StoredValue& b) {
  if (a.present != b.present) return false;
  if (!a.present) return true;
  return a.size == b.size && (a.size == 0 || std::memcmp(a.data, b.data, a.size) == 0);
}

std::string ColumnName(const TDAMemColumn& c, const pools::TDAConnection& connection) {
  const std::string& origin = c.ActualOriginColName();
  return connection.QuoteIdentifier(origin.empty() ? c.Name() : origin);
}

void AddParam(pools::DbParams& params, const TDAMemColumn& c, common::Variant value) {
  params.Add(c.Name(), c.DataType, pools::ParamType::ptInput, std::move(value));
}

// Builds the statements of the rows of one change set. What a statement says depends only on
// the table's columns and on the row's shape: which columns an insert names or an update sets,
// and which old key values are null. The column names are quoted once, and each shape's text
// is built once and then reused for every row of that shape; only the parameters are per row.
class RowStatementBuilder {
 public:
  RowStatementBuilder(const storage::TDAMemColumnList& columns, const std::string& quoted_table,
                      const pools::TDAConnection& connection, const pools::SqlDialect& dialect)
      : columns_(columns), table_(quoted_table), dialect_(dialect) {
    info_.reserve(columns.size());
    for (size_t i = 0; i < columns.size(); ++i) {
      const TDAMemColumn& c = columns[i];
      const storage::TDADataOptions o = c.Options();
      Info info;
      info.name = ColumnName(c, connection);
      info.writable = IsWritable(c);
      info.insertable = IsInsertable(c, dialect);
      info.searchable =
          c.Attributes().Has(TDADataAttribute::caSearchable) && HasValueType(c.DataType);
      info.in_key = o.Has(TDADataOption::coInKey);
      info.in_where = info.in_key || o.Has(TDADataOption::coInWhere);
      info.auto_inc = c.Attributes().Has(TDADataAttribute::caAutoInc);
      info_.push_back(std::move(info));
    }
    // The key condition compares the searchable key columns, else every comparable column.
    for (size_t i = 0; i < info_.size(); ++i) {
      if (info_[i].searchable && info_[i].in_key) condition_.push_back(i);
    }
    by_key_ = !condition_.empty();
    if (!by_key_) {
      for (size_t i = 0; i < info_.size(); ++i) {
        if (info_[i].searchable && info_[i].in_where) condition_.push_back(i);
      }
    }
  }

  // The statement of one changed row into `st` (its text and parameters replaced; the
  // parameter list keeps its storage). Throws EApplyError when no statement can find the row.
  void Build(const storage::TDAChange& change, RowStatement& st) {
    st.params.Clear();
    st.sql.clear();
    st.may_match_several = false;
    shape_.clear();
    switch (change.State()) {
      case TDAMemRowState::rsInserted:
        st.verb = "Insert";
        shape_ += 'I';
        for (size_t i = 0; i < info_.size(); ++i) {
          // No old version: a value that is not null differs from it.
          const bool named = info_[i].insertable && change.Current(i).present;
          shape_ += named ? 'v' : '-';
          if (named) AddParam(st.params, columns_[i], change.CurrentValue(i));
        }
        break;
      case TDAMemRowState::rsModified: {
        st.verb = "Update";
        shape_ += 'U';
        bool any = false;
        for (size_t i = 0; i < info_.size(); ++i) {
          const bool set = info_[i].writable && !SameValue(change.Current(i), change.Original(i));
          shape_ += set ? 's' : '-';
          if (set) {
            any = true;
            AddParam(st.params, columns_[i], change.CurrentValue(i));
          }
        }
        // Nothing writable changed: no statement at all.
        if (!any) {
          st.params.Clear();
          return;
        }
        AddCondition(change, st, "Update");
        break;
      }
      case TDAMemRowState::rsDeleted:
        st.verb = "Delete";
        shape_ += 'D';
        AddCondition(change, st, "Delete");
        break;
      default:
        st.verb.clear();
        return;
    }
    auto it = texts_.find(shape_);
    if (it == texts_.end()) it = texts_.emplace(shape_, Text()).first;
    st.sql.assign(it->second);
  }

 private:
  struct Info {
    std::string name;  // quoted
    bool writable = false;
    bool insertable = false;
    bool searchable = false;
    bool in_key = false;
    bool in_where = false;
    bool auto_inc = false;
  };

  // The old values of the condition's columns, and their part of the shape ('=' compared, 'n'
  // null); the conditions come after any set values.
  void AddCondition(const storage::TDAChange& change, RowStatement& st, const char* verb) {
    if (condition_.empty()) {
      throw EApplyError(std::string("Cannot build the ") + verb +
                        " command: no column identifies the row");
    }
    shape_ += '|';
    for (size_t i : condition_) {
      const bool is_null = !change.Original(i).present;
      shape_ += is_null ? 'n' : '=';
      if (!is_null) AddParam(st.params, columns_[i], change.OriginalValue(i));
    }
    st.may_match_several = !by_key_;
  }

  // The text of the current shape.
  std::string Text() const {
    std::string sql;
    switch (shape_[0]) {
      case 'I': {
        std::string names;
        std::string markers;
        for (size_t i = 0; i < info_.size(); ++i) {
          if (shape_[1 + i] != 'v') continue;
          if (!names.empty()) {
            names += ", ";
            markers += ", ";
          }
          names += info_[i].name;
          markers += "?";
        }
        if (!names.empty())
          return "INSERT INTO " + table_ + " (" + names + ") VALUES (" + markers + ")";
        if (dialect_.default_row == pools::SqlDialect::DefaultRow::kDefaultValues ||
            info_.empty()) {
          return "INSERT INTO " + table_ + " DEFAULT VALUES";
        }
        // One column for the forms that need one; an auto-increment column takes it best.
        size_t one = 0;
        for (size_t i = 0; i < info_.size(); ++i) {
          if (info_[i].auto_inc) {
            one = i;
            break;
          }
        }
        const char* value = dialect_.default_row == pools::SqlDialect::DefaultRow::kValuesDefault
                                ? "DEFAULT"
                                : "NULL";
        return "INSERT INTO " + table_ + " (" + info_[one].name + ") VALUES (" + value + ")";
      }
      case 'U': {
        sql = "UPDATE " + table_ + " SET ";
        bool first = true;
        for (size_t i = 0; i < info_.size(); ++i) {
          if (shape_[1 + i] != 's') continue;
          if (!first) sql += ", ";
          first = false;
          sql += info_[i].name + " = ?";
        }
        AppendCondition(sql, 1 + info_.size() + 1);
        return sql;
      }
      default:  // 'D'
        sql = "DELETE FROM " + table_;
        AppendCondition(sql, 2);
        return sql;
    }
  }

  // " WHERE k1 = ? AND k2 IS NULL" from the condition's part of the shape at `at`.
  void AppendCondition(std::string& sql, size_t at) const {
    for (size_t k = 0; k < condition_.size(); ++k) {
      sql += k == 0 ? " WHERE " : " AND ";
      sql += info_[condition_[k]].name;
      sql += shape_[at + k] == 'n' ? " IS NULL" : " = ?";
    }
  }

  const storage::TDAMemColumnList& columns_;
  const std::string table_;
  const pools::SqlDialect dialect_;
  std::vector<Info> info_;
  std::vector<size_t> condition_;
  bool by_key_ = false;
  std::string shape_;
  std::unordered_map<std::string, std::string> texts_;
};

// Runs one statement of the apply's own (savepoints) through the query object.
void RunPlain(pools::TDAQuery& query, const std::string& sql) {
  query.Params().Clear();
  query.SQL().assign(1, sql);
  query.Execute();
}

// Whether the database has savepoints in the standard form (SAVEPOINT, ROLLBACK TO SAVEPOINT,
// RELEASE SAVEPOINT).
bool HasSavepoints(const pools::TDAConnection& connection) {
  const std::string driver = connection.DriverName();
  return common::EqualsIgnoreAsciiCase(driver, "PG") ||
         common::EqualsIgnoreAsciiCase(driver, "SQLite");
}

// Whether a row's failure ended the whole transaction: the database rolled it back on its own
// (SQLite after a full disk, an I/O error or an interrupt), said so by its SQLSTATE (class 40:
// serialization failure, deadlock), or the link to it is gone. Nothing after it can be applied
// within the transaction, and a row run after it would commit by itself.
bool EndsTransaction(const pools::DatabaseError& error, const pools::TDAConnection& connection,
                     bool was_active) {
  if (error.poisons_connection() || error.sql_state().starts_with("40")) return true;
  return !was_active && !connection.InTransaction();
}

}  // namespace

std::string QuoteTableName(const pools::TDAConnection& connection, std::string_view name) {
  if (name.empty()) throw EApplyError("No table is named to apply the changes to");
  std::optional<std::string> quoted = connection.QuoteQualifiedName(name);
  if (!quoted) {
    throw EApplyError("The table name [" + std::string(name) + "] is not a valid table name");
  }
  return std::move(*quoted);
}

RowStatement BuildRowStatement(const storage::TDAChange& change,
                               const storage::TDAMemColumnList& columns,
                               const std::string& quoted_table,
                               const pools::TDAConnection& connection,
                               const pools::SqlDialect& dialect) {
  RowStatementBuilder builder(columns, quoted_table, connection, dialect);
  RowStatement st;
  builder.Build(change, st);
  return st;
}

std::string AffectedRowsMessage(std::string_view verb, int64_t affected,
                                std::string_view last_message) {
  std::string lower;
  for (char c : verb) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  lower += !lower.empty() && lower.back() == 'e' ? "d" : "ed";
  return std::string(verb) + " command " + lower + " [" + std::to_string(affected) +
         "] instead of [1] record. Possible reasons: " +
         (last_message.empty() ? std::string(kNoKeyReasons) : std::string(last_message));
}

ApplyResult ApplyChangeSet(const storage::TDAChangeSet& changes, std::string_view table_name,
                           pools::TDAConnection& connection, pools::TDAQuery& query) {
  ApplyResult result;
  const std::string table = QuoteTableName(connection, table_name);
  const pools::SqlDialect dialect = connection.Dialect();
  const bool savepoints = HasSavepoints(connection);
  const storage::TDAMemColumnList& columns = changes.Columns();
  // Messages by row, gathered in journal order and reported in row order.
  std::unordered_map<const storage::TDAMemRow*, std::string> failed;
  RowStatementBuilder builder(columns, table, connection, dialect);
  RowStatement st;

  // A transaction the holder started stays the holder's to end.
  const bool was_active = connection.InTransaction();
  if (!was_active) connection.StartTransaction();
  // Set when the database ended the transaction during a row: the walk stops there, nothing is
  // committed, and that row's message is the database's own first error.
  bool aborted = false;
  try {
    for (const storage::TDAChange& change : changes.Changes()) {
      try {
        builder.Build(change, st);
      } catch (const EApplyError& e) {
        ++result.error_count;
        failed.emplace(&change.Row(), e.what());
        continue;
      }
      if (st.sql.empty()) continue;

      // A statement that may match several rows runs inside a savepoint: if it does, its row
      // fails and the savepoint undoes it, rather than leaving changes its row reports failed.
      const bool guarded = savepoints && st.may_match_several;
      if (guarded) RunPlain(query, "SAVEPOINT ds_apply_row");
      try {
        // Swapped in and out: both lists keep their storage from row to row.
        std::swap(query.Params(), st.params);
        query.SQL().resize(1);
        query.SQL()[0].assign(st.sql);
        const int64_t affected = query.Execute();
        if (affected != 1) {
          throw EApplyError(AffectedRowsMessage(st.verb, affected, connection.LastMessage()));
        }
      } catch (const common::Error& e) {
        ++result.error_count;
        const auto* db = dynamic_cast<const pools::DatabaseError*>(&e);
        if (db != nullptr && EndsTransaction(*db, connection, was_active)) {
          // Even a lost connection's text is kept here: without it the caller would see the
          // rows before it as applied, and they are not.
          failed.emplace(&change.Row(), e.what());
          aborted = true;
          break;
        }
        // A lost connection is counted, but its text is no row's error.
        if (db == nullptr || !db->poisons_connection()) failed.emplace(&change.Row(), e.what());
        if (guarded) {
          RunPlain(query, "ROLLBACK TO SAVEPOINT ds_apply_row");
          RunPlain(query, "RELEASE SAVEPOINT ds_apply_row");
        }
        continue;
      }
      if (guarded) RunPlain(query, "RELEASE SAVEPOINT ds_apply_row");
    }
  } catch (...) {
    if (!was_active) {
      try {
        connection.Rollback();
      } catch (const common::Error&) {
        // The original failure is the one to report.
      }
    }
    throw;
  }
  if (aborted) {
    if (!was_active && connection.InTransaction()) {
      try {
        connection.Rollback();
      } catch (const common::Error&) {
        // The database's first error is the one to report; a lost link rolls back by itself.
      }
    }
  } else if (!was_active) {
    connection.Commit();
  }

  if (!failed.empty()) {
    for (const storage::TDAMemRow* row : changes.Table().Rows()) {
      auto it = failed.find(row);
      if (it != failed.end()) result.messages += it->second;
    }
  }
  return result;
}

}  // namespace service
