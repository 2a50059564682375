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

// " WHERE k1 = ? AND k2 IS NULL" over the old values; empty when no column can find the row.
// `by_key` tells whether the key columns made it (else the row is found by every comparable
// column, which other rows may share).
std::string KeyCondition(const storage::TDAChange& change, const storage::TDAMemColumnList& columns,
                         const pools::TDAConnection& connection, pools::DbParams& params,
                         bool& by_key) {
  auto build = [&](bool keys_only) {
    std::string where;
    for (size_t i = 0; i < columns.size(); ++i) {
      const TDAMemColumn& c = columns[i];
      const storage::TDADataOptions o = c.Options();
      if (!c.Attributes().Has(TDADataAttribute::caSearchable) || !HasValueType(c.DataType)) {
        continue;
      }
      const bool in_key = o.Has(TDADataOption::coInKey);
      if (keys_only ? !in_key : !(in_key || o.Has(TDADataOption::coInWhere))) continue;
      where += where.empty() ? " WHERE " : " AND ";
      where += ColumnName(c, connection);
      if (!change.Original(i).present) {
        where += " IS NULL";
      } else {
        where += " = ?";
        AddParam(params, c, change.OriginalValue(i));
      }
    }
    return where;
  };
  std::string where = build(true);
  by_key = !where.empty();
  if (!by_key) where = build(false);
  return where;
}

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
  RowStatement st;
  switch (change.State()) {
    case TDAMemRowState::rsInserted: {
      st.verb = "Insert";
      std::string names;
      std::string markers;
      for (size_t i = 0; i < columns.size(); ++i) {
        const TDAMemColumn& c = columns[i];
        // No old version: a value that is not null differs from it.
        if (!IsInsertable(c, dialect) || !change.Current(i).present) continue;
        if (!names.empty()) {
          names += ", ";
          markers += ", ";
        }
        names += ColumnName(c, connection);
        markers += "?";
        AddParam(st.params, c, change.CurrentValue(i));
      }
      if (!names.empty()) {
        st.sql = "INSERT INTO " + quoted_table + " (" + names + ") VALUES (" + markers + ")";
        return st;
      }
      if (dialect.default_row == pools::SqlDialect::DefaultRow::kDefaultValues || columns.empty()) {
        st.sql = "INSERT INTO " + quoted_table + " DEFAULT VALUES";
        return st;
      }
      // One column for the forms that need one; an auto-increment column takes it best.
      size_t one = 0;
      for (size_t i = 0; i < columns.size(); ++i) {
        if (columns[i].Attributes().Has(TDADataAttribute::caAutoInc)) {
          one = i;
          break;
        }
      }
      const char* value =
          dialect.default_row == pools::SqlDialect::DefaultRow::kValuesDefault ? "DEFAULT" : "NULL";
      st.sql = "INSERT INTO " + quoted_table + " (" + ColumnName(columns[one], connection) +
               ") VALUES (" + value + ")";
      return st;
    }
    case TDAMemRowState::rsModified: {
      st.verb = "Update";
      std::string sets;
      for (size_t i = 0; i < columns.size(); ++i) {
        const TDAMemColumn& c = columns[i];
        if (!IsWritable(c) || SameValue(change.Current(i), change.Original(i))) continue;
        if (!sets.empty()) sets += ", ";
        sets += ColumnName(c, connection) + " = ?";
        AddParam(st.params, c, change.CurrentValue(i));
      }
      // Nothing writable changed: no statement at all.
      if (sets.empty()) {
        st.params.Clear();
        return st;
      }
      bool by_key = false;
      const std::string where = KeyCondition(change, columns, connection, st.params, by_key);
      if (where.empty()) {
        throw EApplyError("Cannot build the Update command: no column identifies the row");
      }
      st.may_match_several = !by_key;
      st.sql = "UPDATE " + quoted_table + " SET " + sets + where;
      return st;
    }
    case TDAMemRowState::rsDeleted: {
      st.verb = "Delete";
      bool by_key = false;
      const std::string where = KeyCondition(change, columns, connection, st.params, by_key);
      if (where.empty()) {
        throw EApplyError("Cannot build the Delete command: no column identifies the row");
      }
      st.may_match_several = !by_key;
      st.sql = "DELETE FROM " + quoted_table + where;
      return st;
    }
    default:
      return st;
  }
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

  // A transaction the holder started stays the holder's to end.
  const bool was_active = connection.InTransaction();
  if (!was_active) connection.StartTransaction();
  try {
    for (const storage::TDAChange& change : changes.Changes()) {
      RowStatement st;
      try {
        st = BuildRowStatement(change, columns, table, connection, dialect);
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
        query.Params() = std::move(st.params);
        query.SQL().assign(1, std::move(st.sql));
        const int64_t affected = query.Execute();
        if (affected != 1) {
          throw EApplyError(AffectedRowsMessage(st.verb, affected, connection.LastMessage()));
        }
      } catch (const common::Error& e) {
        ++result.error_count;
        const auto* db = dynamic_cast<const pools::DatabaseError*>(&e);
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
  if (!was_active) connection.Commit();

  if (!failed.empty()) {
    for (const storage::TDAMemRow* row : changes.Table().Rows()) {
      auto it = failed.find(row);
      if (it != failed.end()) result.messages += it->second;
    }
  }
  return result;
}

}  // namespace service
