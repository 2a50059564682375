// The native SQLite driver ("DriverID=SQLite").
//
// Parameters of DataBase.CFG it reads:
//   Database     the database file; a relative path is taken from the application folder;
//                ":memory:" is a private in-memory database
//   OpenMode     "ReadOnly", "ReadWrite" (the file must exist) or anything else: create the
//                file when it is missing
//   BusyTimeout  milliseconds to wait for another connection's lock (default 10000); the wait
//                polls in short sleeps, so that an interrupt or a shutdown ends it at once
//   ForeignKeys  "No", "Off", "False" or "0" leaves declared foreign keys unchecked; otherwise
//                every connection enforces them (SQLite itself checks none unless asked)
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <list>
#include <map>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "common/text.h"
#include "pools/database_error.h"
#include "pools/internal/driver.h"
#include "pools/internal/type_maps.h"
#include "pools/internal/value_text.h"

namespace pools::internal {
namespace {

using common::DataType;

constexpr int kDefaultBusyTimeoutMs = 10000;

// Declared column types, by the base name of the declaration:
//   declared type                               data type      size / precision, scale
//   BOOLEAN BOOL BIT                            dtBoolean
//   MONEY SMALLMONEY CURRENCY                   dtCurrency     19, 4
//   DECIMAL(p[,s]) NUMERIC(p[,s]), p 1..64      dtFmtBCD       p, s
//   DECIMAL NUMERIC without a precision         dtDouble
//   DATE                                        dtDate
//   TIME                                        dtTime
//   DATETIME DATETIME2 SMALLDATETIME TIMESTAMP  dtDateTime
//   TIMESTAMP...                                dtDateTime
//   GUID UUID UNIQUEIDENTIFIER                  dtGUID
//   BINARY(n) VARBINARY(n)                      dtByteString   n
// then SQLite's own affinity rules on the name:
//   contains "INT"                              dtInt64        (SQLite integers are 64-bit,
//                                                               whatever width the name says)
//   contains "CHAR" and has a length (n)        dtWideString   n
//   contains "CHAR", "CLOB" or "TEXT"           dtWideMemo
//   contains "BLOB"                             dtBlob
//   anything else ("REAL", "FLOAT", "DOUBLE",   dtDouble
//   other numeric names)
// Text is Unicode in SQLite, so it maps to the wide types. A column declared without a type is
// typed like an expression, by its first value (SqliteValueType).
struct NamedType {
  const char* name;
  DataType type;
};
constexpr NamedType kExactNames[] = {
    {"BOOLEAN", DataType::dtBoolean},
    {"BOOL", DataType::dtBoolean},
    {"BIT", DataType::dtBoolean},
    {"MONEY", DataType::dtCurrency},
    {"SMALLMONEY", DataType::dtCurrency},
    {"CURRENCY", DataType::dtCurrency},
    {"DATE", DataType::dtDate},
    {"TIME", DataType::dtTime},
    {"DATETIME", DataType::dtDateTime},
    {"DATETIME2", DataType::dtDateTime},
    {"SMALLDATETIME", DataType::dtDateTime},
    {"TIMESTAMP", DataType::dtDateTime},
    {"GUID", DataType::dtGUID},
    {"UUID", DataType::dtGUID},
    {"UNIQUEIDENTIFIER", DataType::dtGUID},
};

std::string_view TrimView(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

// The numbers in "(a[, b])", if any.
void DeclaredArgs(std::string_view args, std::optional<int64_t>& a, std::optional<int64_t>& b) {
  size_t comma = args.find(',');
  a = ParseInt64(args.substr(0, comma));
  if (comma != std::string_view::npos) b = ParseInt64(args.substr(comma + 1));
}

bool Contains(std::string_view s, std::string_view part) {
  return s.find(part) != std::string_view::npos;
}

int32_t ClampSize(int64_t v) { return static_cast<int32_t>(std::clamp<int64_t>(v, 0, INT32_MAX)); }

}  // namespace

TypeInfo SqliteDeclaredType(std::string_view declared) {
  std::string upper = common::ToUpperAscii(TrimView(declared));
  std::string_view decl = upper;
  if (decl.empty()) return {};
  std::string_view base = decl;
  std::optional<int64_t> a, b;
  size_t paren = decl.find('(');
  if (paren != std::string_view::npos) {
    base = TrimView(decl.substr(0, paren));
    size_t close = decl.find(')', paren);
    DeclaredArgs(decl.substr(paren + 1, close == std::string_view::npos ? std::string_view::npos
                                                                        : close - paren - 1),
                 a, b);
  }
  for (const NamedType& n : kExactNames) {
    if (base == n.name) {
      if (n.type == DataType::dtCurrency) return {n.type, 0, 19, 4};
      return {n.type};
    }
  }
  if (base.starts_with("TIMESTAMP")) return {DataType::dtDateTime};
  if (base == "DECIMAL" || base == "NUMERIC") {
    if (a && *a >= 1 && *a <= 64) {
      int32_t scale = b ? static_cast<int32_t>(std::clamp<int64_t>(*b, 0, *a)) : 0;
      return {DataType::dtFmtBCD, 0, static_cast<int32_t>(*a), scale};
    }
    return {DataType::dtDouble};
  }
  if ((base == "BINARY" || base == "VARBINARY") && a && *a > 0) {
    return {DataType::dtByteString, ClampSize(*a)};
  }
  if (Contains(base, "INT")) return {DataType::dtInt64};
  if (Contains(base, "CHAR")) {
    if (a && *a > 0) return {DataType::dtWideString, ClampSize(*a)};
    return {DataType::dtWideMemo};
  }
  if (Contains(base, "CLOB") || Contains(base, "TEXT")) return {DataType::dtWideMemo};
  if (Contains(base, "BLOB") || Contains(base, "BINARY")) return {DataType::dtBlob};
  return {DataType::dtDouble};
}

// Expression columns, by the storage class of the first row's value:
//   INTEGER dtInt64; FLOAT dtDouble; TEXT dtWideMemo; BLOB dtBlob; NULL or no row dtWideMemo.
TypeInfo SqliteValueType(int storage_class) {
  switch (storage_class) {
    case SQLITE_INTEGER:
      return {DataType::dtInt64};
    case SQLITE_FLOAT:
      return {DataType::dtDouble};
    case SQLITE_BLOB:
      return {DataType::dtBlob};
    default:
      return {DataType::dtWideMemo};
  }
}

namespace {

[[noreturn]] void ThrowSqliteError(sqlite3* db) {
  throw DatabaseError(sqlite3_errmsg(db), {}, sqlite3_extended_errcode(db));
}

// A statement kept by a connection, with the command text it was prepared from.
struct KeptStatement {
  std::string sql;
  sqlite3_stmt* stmt = nullptr;
  bool in_use = false;
};
using KeptList = std::list<KeptStatement>;

class StatementCache;

// A statement in use: finalized when done, or given back to the cache that keeps it.
struct StmtDeleter {
  StatementCache* cache = nullptr;  // null: finalized
  KeptList::iterator entry{};
  void operator()(sqlite3_stmt* s) const;
};
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtDeleter>;

// Statements of one connection kept after use, by the command text they were prepared from,
// for the next run of the same text: preparing is a good part of a short statement's time, and
// a client's change set runs the same statement for row after row. Only texts that are one
// statement are kept. A statement given back is reset and its bindings cleared, so it holds no
// lock and no value. A kept statement that is in use (an open cursor) is not handed out twice:
// a second user of the same text prepares its own, which is finalized after use. Beyond
// kKeptStatements, the least recently used statements that are not in use are finalized; the
// connection finalizes them all before it closes.
//
// Thread use: the connection's (one thread at a time).
class StatementCache {
 public:
  static constexpr size_t kKeptStatements = 64;

  ~StatementCache() { Clear(); }

  // The kept statement of `sql`, marked in use; null when there is none free.
  StmtPtr Take(std::string_view sql) {
    auto it = index_.find(sql);
    if (it == index_.end() || it->second->in_use) return StmtPtr(nullptr, StmtDeleter{});
    it->second->in_use = true;
    return StmtPtr(it->second->stmt, StmtDeleter{this, it->second});
  }
  // Keeps `stmt`, prepared from the whole of `sql`, marked in use. When the text is kept
  // already (its statement in use), `stmt` stays the caller's and is finalized after use.
  StmtPtr Keep(std::string_view sql, sqlite3_stmt* stmt) {
    if (index_.count(sql) != 0) return StmtPtr(stmt, StmtDeleter{});
    lru_.push_front(KeptStatement{std::string(sql), stmt, true});
    index_.emplace(lru_.front().sql, lru_.begin());
    Trim();
    return StmtPtr(stmt, StmtDeleter{this, lru_.begin()});
  }
  void Give(KeptList::iterator entry) {
    sqlite3_reset(entry->stmt);
    sqlite3_clear_bindings(entry->stmt);
    entry->in_use = false;
    lru_.splice(lru_.begin(), lru_, entry);  // most recently used first
    Trim();
  }

  void Clear() {
    index_.clear();
    for (KeptStatement& e : lru_) sqlite3_finalize(e.stmt);
    lru_.clear();
  }

 private:
  void Trim() {
    auto it = lru_.end();
    while (lru_.size() > kKeptStatements && it != lru_.begin()) {
      --it;
      if (it->in_use) continue;
      index_.erase(it->sql);
      sqlite3_finalize(it->stmt);
      it = lru_.erase(it);
    }
  }

  KeptList lru_;                                                    // most recently used first
  std::unordered_map<std::string_view, KeptList::iterator> index_;  // keys: lru_'s texts
};

void StmtDeleter::operator()(sqlite3_stmt* s) const {
  if (cache != nullptr) {
    cache->Give(entry);
  } else {
    sqlite3_finalize(s);
  }
}

// One statement prepared after another from a command text; `sql_` is kept alive for the tail
// pointers into it. A text of one statement is kept by the cache after its use.
class StatementSequence {
 public:
  StatementSequence(sqlite3* db, std::string sql, StatementCache& cache)
      : db_(db), sql_(std::move(sql)), cache_(cache) {
    tail_ = sql_.c_str();
  }
  // The next statement, or null when the text is used up.
  StmtPtr Next();
  // Whether nothing but blanks and semicolons is left of the text.
  bool OnlyBlanksLeft() const {
    for (const char* p = tail_; p < sql_.c_str() + sql_.size(); ++p) {
      if (*p != ';' && !std::isspace(static_cast<unsigned char>(*p))) return false;
    }
    return true;
  }

 private:
  sqlite3* db_;
  std::string sql_;
  StatementCache& cache_;
  const char* tail_;
};

StmtPtr StatementSequence::Next() {
  const char* end = sql_.c_str() + sql_.size();
  while (tail_ < end) {
    const bool first = tail_ == sql_.c_str();
    sqlite3_stmt* raw = nullptr;
    const char* next = nullptr;
    int rc = sqlite3_prepare_v2(db_, tail_, static_cast<int>(end - tail_), &raw, &next);
    StmtPtr stmt(raw, StmtDeleter{});
    if (rc != SQLITE_OK) ThrowSqliteError(db_);
    tail_ = next;
    if (!stmt) continue;  // whitespace or a comment
    if (first && OnlyBlanksLeft()) {
      tail_ = end;
      return cache_.Keep(sql_, stmt.release());
    }
    return stmt;
  }
  return StmtPtr(nullptr, StmtDeleter{});
}

// Binds the next parameters to the markers of `stmt`, from `offset` on; advances `offset`.
void BindParams(sqlite3* db, sqlite3_stmt* stmt, const DbParams& params, size_t& offset) {
  int count = sqlite3_bind_parameter_count(stmt);
  for (int i = 1; i <= count && offset < params.size(); ++i, ++offset) {
    const DbParam& p = params[offset];
    const common::Variant& v = p.value.IsReference() ? p.value.referenced() : p.value;
    const DataType type = EffectiveDataType(p);
    int rc = SQLITE_OK;
    if (v.IsEmptyOrNull()) {
      rc = sqlite3_bind_null(stmt, i);
    } else if (v.IsByteArray()) {
      common::ByteSpan bytes = v.bytes();
      // An empty array may have no data pointer, which SQLite would bind as NULL: an empty
      // value is not null.
      rc = bytes.empty()
               ? sqlite3_bind_zeroblob(stmt, i, 0)
               : sqlite3_bind_blob64(stmt, i, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
    } else if (v.IsArray()) {
      throw DatabaseError("Parameter \"" + p.name +
                          "\" holds an array, which the database cannot take");
    } else {
      switch (v.type()) {
        case common::kVarBoolean:
          rc = sqlite3_bind_int(stmt, i, v.bool_value() ? 1 : 0);
          break;
        case common::kVarSmallint:
        case common::kVarInteger:
        case common::kVarShortInt:
        case common::kVarInt64:
          rc = sqlite3_bind_int64(stmt, i, v.int_value());
          break;
        case common::kVarByte:
        case common::kVarWord:
        case common::kVarLongWord:
        case common::kVarUInt64:
          if (v.uint_value() <= static_cast<uint64_t>(INT64_MAX)) {
            rc = sqlite3_bind_int64(stmt, i, static_cast<sqlite3_int64>(v.uint_value()));
          } else {
            std::string text = std::to_string(v.uint_value());
            rc = sqlite3_bind_text64(stmt, i, text.data(), text.size(), SQLITE_TRANSIENT,
                                     SQLITE_UTF8);
          }
          break;
        case common::kVarSingle:
        case common::kVarDouble:
          rc = sqlite3_bind_double(stmt, i, v.float_value());
          break;
        case common::kVarCurrency:
          rc = sqlite3_bind_double(stmt, i, v.int_value() / 10000.0);
          break;
        case common::kVarDate: {
          std::string text = FormatTimeStampText(TimeStampFromDateTime(v.float_value()), type);
          rc =
              sqlite3_bind_text64(stmt, i, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
          break;
        }
        case common::kVarString: {
          std::string text = common::AnsiCodePage().ToUtf8(v.ansi_text());
          rc =
              sqlite3_bind_text64(stmt, i, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
          break;
        }
        case common::kVarOleStr: {
          // Straight from the variant's own text: SQLite copies it.
          const std::u16string& text = v.text();
          rc = sqlite3_bind_text64(stmt, i, reinterpret_cast<const char*>(text.data()),
                                   text.size() * 2, SQLITE_TRANSIENT, SQLITE_UTF16);
          break;
        }
        default: {
          auto text = v.ToText();
          if (!text) {
            throw DatabaseError("Parameter \"" + p.name + "\" holds a value of variant type " +
                                std::to_string(v.type()) + ", which the database cannot take");
          }
          rc = sqlite3_bind_text64(stmt, i, reinterpret_cast<const char*>(text->data()),
                                   text->size() * 2, SQLITE_TRANSIENT, SQLITE_UTF16);
          break;
        }
      }
    }
    if (rc != SQLITE_OK) ThrowSqliteError(db);
  }
}

// The longest sleep of one round of a lock wait: how late an interrupt or a shutdown can be
// noticed by a connection waiting for another one's lock.
constexpr std::chrono::milliseconds kBusyPollStep{10};

// Thread use: the holder's thread, except Interrupt (any thread; `interrupted_` is atomic and
// sqlite3_interrupt may be called from another thread while the handle is open, which the
// caller's reference guarantees).
class SqliteConnection : public DriverConnection,
                         public std::enable_shared_from_this<SqliteConnection> {
 public:
  SqliteConnection(sqlite3* db, StopFlag stop, int busy_timeout_ms)
      : db_(db), stop_(std::move(stop)), busy_timeout_(busy_timeout_ms) {
    sqlite3_busy_handler(db_, &SqliteConnection::BusyHandler, this);
  }
  ~SqliteConnection() override {
    statements_.Clear();
    sqlite3_close_v2(db_);
  }

  sqlite3* db() const { return db_; }

  void StartTransaction() override {
    CheckMayStart();
    Exec("BEGIN IMMEDIATE");
  }
  void Commit() override { Exec("COMMIT"); }
  void Rollback() override { Exec("ROLLBACK"); }
  bool InTransaction() const override { return sqlite3_get_autocommit(db_) == 0; }

  std::string QuoteIdentifier(std::string_view name) const override {
    std::string out = "\"";
    for (char c : name) {
      out += c;
      if (c == '"') out += '"';
    }
    return out + "\"";
  }
  std::string LastMessage() const override { return {}; }
  bool IsLost() const override { return interrupted_.load(); }
  SqlDialect Dialect() const override { return SqlDialect{}; }
  void Interrupt() noexcept override {
    interrupted_.store(true);
    sqlite3_interrupt(db_);
  }

  // Throws SQLite's own "interrupted" once the link was interrupted or its pool shuts down.
  void CheckMayStart() const {
    if (interrupted_.load() || Stopping()) {
      throw DatabaseError(sqlite3_errstr(SQLITE_INTERRUPT), {}, SQLITE_INTERRUPT);
    }
  }

  std::unique_ptr<Cursor> Open(const std::string& sql, const DbParams& params) override;
  int64_t Execute(const std::string& sql, const DbParams& params) override;
  std::unique_ptr<Cursor> CallProcedure(const std::string&, DbParams&, bool) override {
    throw DatabaseError("SQLite databases have no stored procedures");
  }

  // Steps `stmt` to its end; the rows it inserted, updated or deleted.
  int64_t RunToEnd(sqlite3_stmt* stmt) {
    sqlite3_int64 before = sqlite3_total_changes64(db_);
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) ThrowSqliteError(db_);
    // changes() keeps the count of the last data change, so it is read only when this
    // statement changed something (it excludes rows changed by triggers).
    return sqlite3_total_changes64(db_) != before ? sqlite3_changes64(db_) : 0;
  }

  // Runs the rest of a command text.
  int64_t RunAll(StatementSequence& seq, const DbParams& params, size_t& offset) {
    int64_t changes = 0;
    while (StmtPtr stmt = seq.Next()) {
      CheckMayStart();
      BindParams(db_, stmt.get(), params, offset);
      changes += RunToEnd(stmt.get());
    }
    return changes;
  }

 private:
  void Exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) ThrowSqliteError(db_);
  }

  bool Stopping() const { return stop_ && stop_->load(); }

  // SQLite's own busy timeout sleeps without looking at interrupts; this one waits the same
  // time in short rounds and gives up (SQLITE_BUSY) as soon as the link is interrupted or its
  // pool shuts down. Runs on the holder's thread, inside the statement that waits.
  static int BusyHandler(void* self, int count) {
    auto* conn = static_cast<SqliteConnection*>(self);
    const auto now = std::chrono::steady_clock::now();
    if (count == 0) conn->busy_since_ = now;
    if (conn->interrupted_.load() || conn->Stopping()) return 0;
    const auto left = conn->busy_since_ + conn->busy_timeout_ - now;
    if (left <= std::chrono::milliseconds::zero()) return 0;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, kBusyPollStep));
    return 1;
  }

  sqlite3* db_;
  const StopFlag stop_;
  const std::chrono::milliseconds busy_timeout_;
  std::chrono::steady_clock::time_point busy_since_{};  // start of the current lock wait
  std::atomic<bool> interrupted_{false};
  StatementCache statements_;
};

class SqliteCursor : public Cursor {
 public:
  // `rerunnable`: the text is this one statement, which only reads, so that reading the result
  // again from its start (with a column retyped) repeats nothing else.
  SqliteCursor(std::shared_ptr<SqliteConnection> conn, StmtPtr stmt,
               std::unique_ptr<StatementSequence> rest, DbParams params, size_t offset,
               bool rerunnable)
      : conn_(std::move(conn)),
        stmt_(std::move(stmt)),
        rest_(std::move(rest)),
        params_(std::move(params)),
        offset_(offset),
        rerunnable_(rerunnable) {
    // The first step runs the statement; expression columns are typed by its first row.
    Step();
    pending_first_ = has_row_;
    DescribeColumns();
  }

  bool Retype(int column, DataType type) override {
    if (column < 0 || column >= ColumnCount()) return false;
    ColumnDef& def = MutableColumn(column);
    def.data_type = type;
    def.size = def.precision = def.scale = 0;
    return true;
  }

  bool Next() override {
    if (pending_first_) {
      pending_first_ = false;
      return true;
    }
    if (!has_row_) return false;
    Step();
    return has_row_;
  }

  bool IsNull(int column) override {
    RowColumn(column);
    return sqlite3_column_type(stmt_.get(), column) == SQLITE_NULL;
  }

  bool GetBool(int column) override {
    int type = RowColumn(column);
    if (type == SQLITE_INTEGER) return sqlite3_column_int64(stmt_.get(), column) != 0;
    if (type == SQLITE_FLOAT) return sqlite3_column_double(stmt_.get(), column) != 0;
    std::string_view text = Text(column);
    if (auto i = ParseInt64(text)) return *i != 0;
    if (common::EqualsIgnoreAsciiCase(text, "true")) return true;
    if (common::EqualsIgnoreAsciiCase(text, "false")) return false;
    Mismatch(column, text, "a boolean");
  }

  int64_t GetInt64(int column) override {
    int type = RowColumn(column);
    if (type == SQLITE_INTEGER) return sqlite3_column_int64(stmt_.get(), column);
    if (type == SQLITE_FLOAT) {
      double d = sqlite3_column_double(stmt_.get(), column);
      if (d == std::trunc(d) && d >= -9.2233720368547758e18 && d < 9.2233720368547758e18) {
        return static_cast<int64_t>(d);
      }
    } else if (auto i = ParseInt64(Text(column))) {
      return *i;
    }
    Mismatch(column, Text(column), "an integer");
  }

  uint64_t GetUInt64(int column) override {
    int type = RowColumn(column);
    if (type == SQLITE_TEXT) {
      if (auto u = ParseUInt64(Text(column))) return *u;
    } else {
      int64_t v = GetInt64(column);
      if (v >= 0) return static_cast<uint64_t>(v);
    }
    Mismatch(column, Text(column), "an unsigned integer");
  }

  double GetDouble(int column) override {
    int type = RowColumn(column);
    if (type == SQLITE_INTEGER || type == SQLITE_FLOAT) {
      return sqlite3_column_double(stmt_.get(), column);
    }
    if (auto d = ParseDouble(Text(column))) return *d;
    Mismatch(column, Text(column), "a number");
  }

  std::string_view GetText(int column) override {
    const int type = RowColumn(column);
    if (Def(column).data_type == DataType::dtGUID) return GuidText(column);
    if (type == SQLITE_FLOAT) return RealText(column);
    if (type == SQLITE_BLOB) Mismatch(column, "<blob>", "text");
    const std::string_view text = Text(column);
    // Decimal columns are read as text: a text that is no number does not fit them.
    if (type == SQLITE_TEXT && IsDecimalType(Def(column).data_type) && !ParseDouble(text)) {
      Mismatch(column, text, "a number");
    }
    return text;
  }

  std::u16string_view GetWideText(int column) override {
    const int type = RowColumn(column);
    if (Def(column).data_type == DataType::dtGUID) {
      wide_scratch_ = common::Utf8ToUtf16(GuidText(column));
      return wide_scratch_;
    }
    if (type == SQLITE_BLOB) Mismatch(column, "<blob>", "text");
    if (type == SQLITE_FLOAT) {
      wide_scratch_ = common::Utf8ToUtf16(RealText(column));
      return wide_scratch_;
    }
    auto* p = static_cast<const char16_t*>(sqlite3_column_text16(stmt_.get(), column));
    int bytes = sqlite3_column_bytes16(stmt_.get(), column);
    return p == nullptr ? std::u16string_view()
                        : std::u16string_view(p, static_cast<size_t>(bytes) / 2);
  }

  common::ByteSpan GetBytes(int column) override {
    RowColumn(column);
    auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_.get(), column));
    int bytes = sqlite3_column_bytes(stmt_.get(), column);
    return p == nullptr ? common::ByteSpan() : common::ByteSpan(p, static_cast<size_t>(bytes));
  }

  TimeStamp GetTimeStamp(int column) override {
    int type = RowColumn(column);
    std::optional<TimeStamp> ts;
    if (type == SQLITE_FLOAT) {
      ts = TimeStampFromJulianDay(sqlite3_column_double(stmt_.get(), column));
    } else if (type == SQLITE_INTEGER) {
      ts = TimeStampFromUnixSeconds(sqlite3_column_int64(stmt_.get(), column));
    } else {
      ts = ParseTimeStampText(Text(column));
    }
    if (!ts) Mismatch(column, Text(column), "a date or time");
    DataType t = Def(column).data_type;
    if (t == DataType::dtDate) {
      ts->hour = ts->minute = ts->second = ts->nanosecond = 0;
    } else if (t == DataType::dtTime) {
      ts->year = ts->month = ts->day = 0;
    }
    return *ts;
  }

 private:
  void Step() {
    int rc = sqlite3_step(stmt_.get());
    if (rc == SQLITE_ROW) {
      has_row_ = true;
      return;
    }
    has_row_ = false;
    if (rc != SQLITE_DONE) ThrowSqliteError(conn_->db());
    // Past the last row: the statements after this one run now.
    if (rest_) {
      std::unique_ptr<StatementSequence> rest = std::move(rest_);
      conn_->RunAll(*rest, params_, offset_);
    }
  }

  void DescribeColumns();

  // Checks that a row is current and the index valid; the column's storage class.
  int RowColumn(int column) {
    CheckColumn(column);
    if (!has_row_ || pending_first_) throw DatabaseError("The cursor is not on a row");
    return sqlite3_column_type(stmt_.get(), column);
  }

  const ColumnDef& Def(int column) const { return Columns()[static_cast<size_t>(column)]; }

  std::string_view Text(int column) {
    auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_.get(), column));
    int bytes = sqlite3_column_bytes(stmt_.get(), column);
    return p == nullptr ? std::string_view() : std::string_view(p, static_cast<size_t>(bytes));
  }

  static bool IsDecimalType(DataType t) {
    return t == DataType::dtBCD || t == DataType::dtFmtBCD || t == DataType::dtCurrency;
  }

  // A value the column's type cannot carry: SQLite lets a column hold values of any storage
  // class. A text column carries every class but BLOB unaltered (numbers as their exact text),
  // a blob column every class.
  [[noreturn]] void Mismatch(int column, std::string_view value, std::string_view target) {
    if (!rerunnable_) ThrowConversionError(Def(column), value, target);
    const DataType wider = sqlite3_column_type(stmt_.get(), column) == SQLITE_BLOB
                               ? DataType::dtBlob
                               : DataType::dtWideMemo;
    throw EColumnRetype(ConversionErrorText(Def(column), value, target), column, wider);
  }

  // A REAL read as text. SQLite's own text keeps 15 significant digits, so a double that needs
  // more (0.1 + 0.2) would arrive altered: such a value takes the shortest text that reads back
  // as the same double; every other keeps SQLite's text ("2.0", "2.5").
  std::string_view RealText(int column) {
    const double value = sqlite3_column_double(stmt_.get(), column);
    const std::string_view own = Text(column);
    if (const std::optional<double> back = ParseDouble(own); back && *back == value) return own;
    char buffer[32];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    scratch_.assign(buffer, ec == std::errc() ? end : buffer);
    return scratch_;
  }

  std::string_view GuidText(int column) {
    std::optional<GuidBytes> guid;
    if (sqlite3_column_type(stmt_.get(), column) == SQLITE_BLOB) {
      common::ByteSpan b = GetBytes(column);
      if (b.size() == 16) {
        guid.emplace();
        std::copy(b.begin(), b.end(), guid->begin());
      }
    } else {
      guid = ParseGuid(Text(column));
    }
    if (!guid) Mismatch(column, Text(column), "a GUID");
    scratch_ = FormatGuid(*guid);
    return scratch_;
  }

  std::shared_ptr<SqliteConnection> conn_;
  StmtPtr stmt_;
  std::unique_ptr<StatementSequence> rest_;
  DbParams params_;
  size_t offset_;
  bool has_row_ = false;
  bool pending_first_ = false;
  std::string scratch_;
  std::u16string wide_scratch_;
  const bool rerunnable_;
};

void SqliteCursor::DescribeColumns() {
  sqlite3* db = conn_->db();
  sqlite3_stmt* stmt = stmt_.get();
  // Primary key columns per origin table ("PRAGMA table_info" column pk > 0), for the
  // auto-increment rule: a sole INTEGER PRIMARY KEY is the rowid, which the database fills.
  std::map<std::string, int> key_counts;
  auto key_count = [&](const char* schema, const char* table) {
    std::string key = std::string(schema) + "." + table;
    auto it = key_counts.find(key);
    if (it != key_counts.end()) return it->second;
    int count = 0;
    std::string sql = "PRAGMA " + conn_->QuoteIdentifier(schema) + ".table_info(" +
                      conn_->QuoteIdentifier(table) + ")";
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) == SQLITE_OK) {
      StmtPtr info(raw, StmtDeleter{});
      while (sqlite3_step(info.get()) == SQLITE_ROW) {
        if (sqlite3_column_int(info.get(), 5) > 0) ++count;
      }
    }
    key_counts.emplace(key, count);
    return count;
  };

  std::vector<ColumnDef> columns;
  int n = sqlite3_column_count(stmt);
  for (int i = 0; i < n; ++i) {
    ColumnDef def;
    const char* name = sqlite3_column_name(stmt, i);
    def.name = name ? name : "";
    const char* declared = sqlite3_column_decltype(stmt, i);
    def.source_type_name = declared ? declared : "";
    TypeInfo info = SqliteDeclaredType(def.source_type_name);
    if (info.data_type == DataType::dtUnknown) {
      info = SqliteValueType(has_row_ ? sqlite3_column_type(stmt, i) : SQLITE_NULL);
    }
    def.data_type = info.data_type;
    def.size = info.size;
    def.precision = info.precision;
    def.scale = info.scale;

    const char* schema = sqlite3_column_database_name(stmt, i);
    const char* table = sqlite3_column_table_name(stmt, i);
    const char* origin = sqlite3_column_origin_name(stmt, i);
    if (schema && table && origin) {
      def.origin_table = table;
      def.origin_column = origin;
      const char* decl = nullptr;
      const char* collation = nullptr;
      int not_null = 0, primary_key = 0, auto_inc = 0;
      if (sqlite3_table_column_metadata(db, schema, table, origin, &decl, &collation, &not_null,
                                        &primary_key, &auto_inc) == SQLITE_OK) {
        def.in_key = primary_key != 0;
        bool rowid_alias = primary_key != 0 && decl != nullptr &&
                           common::EqualsIgnoreAsciiCase(decl, "INTEGER") &&
                           key_count(schema, table) == 1;
        def.nullable = not_null == 0 && !rowid_alias;
        def.auto_increment = auto_inc != 0 || rowid_alias;
      }
    } else {
      def.read_only = true;
    }
    columns.push_back(std::move(def));
  }
  SetColumns(std::move(columns));
}

std::unique_ptr<Cursor> SqliteConnection::Open(const std::string& sql, const DbParams& params) {
  CheckMayStart();
  if (StmtPtr kept = statements_.Take(sql)) {
    size_t offset = 0;
    BindParams(db_, kept.get(), params, offset);
    if (sqlite3_column_count(kept.get()) > 0) {
      const bool rerunnable = sqlite3_stmt_readonly(kept.get()) != 0;
      return std::make_unique<SqliteCursor>(shared_from_this(), std::move(kept), nullptr, params,
                                            offset, rerunnable);
    }
    RunToEnd(kept.get());
    throw DatabaseError("The command text returned no result set");
  }
  auto seq = std::make_unique<StatementSequence>(db_, sql, statements_);
  size_t offset = 0;
  bool first = true;
  while (StmtPtr stmt = seq->Next()) {
    BindParams(db_, stmt.get(), params, offset);
    if (sqlite3_column_count(stmt.get()) > 0) {
      const bool rerunnable =
          first && seq->OnlyBlanksLeft() && sqlite3_stmt_readonly(stmt.get()) != 0;
      return std::make_unique<SqliteCursor>(shared_from_this(), std::move(stmt), std::move(seq),
                                            params, offset, rerunnable);
    }
    RunToEnd(stmt.get());
    first = false;
  }
  throw DatabaseError("The command text returned no result set");
}

int64_t SqliteConnection::Execute(const std::string& sql, const DbParams& params) {
  CheckMayStart();
  if (StmtPtr kept = statements_.Take(sql)) {
    size_t offset = 0;
    BindParams(db_, kept.get(), params, offset);
    return RunToEnd(kept.get());
  }
  StatementSequence seq(db_, sql, statements_);
  size_t offset = 0;
  return RunAll(seq, params, offset);
}

bool ForeignKeysWanted(std::string_view value) {
  for (const char* off : {"No", "Off", "False", "0"}) {
    if (common::EqualsIgnoreAsciiCase(TrimView(value), off)) return false;
  }
  return true;
}

}  // namespace

std::shared_ptr<DriverConnection> OpenSqliteConnection(const ConnectionParams& params,
                                                       const std::filesystem::path& base_folder,
                                                       StopFlag stop) {
  std::string database = params.Value("Database");
  if (database.empty()) {
    throw DatabaseError("The SQLite connection parameters name no database file (Database)");
  }
  std::filesystem::path path(database);
  if (database != ":memory:" && path.is_relative()) path = base_folder / path;

  std::string mode = params.Value("OpenMode");
  int flags = SQLITE_OPEN_FULLMUTEX;
  if (common::EqualsIgnoreAsciiCase(mode, "ReadOnly")) {
    flags |= SQLITE_OPEN_READONLY;
  } else if (common::EqualsIgnoreAsciiCase(mode, "ReadWrite")) {
    flags |= SQLITE_OPEN_READWRITE;
  } else {
    flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  }

  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.string().c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    int code = db ? sqlite3_extended_errcode(db) : rc;
    sqlite3_close_v2(db);
    throw DatabaseError(message, {}, code);
  }
  int busy_ms = kDefaultBusyTimeoutMs;
  if (auto v = ParseInt64(params.Value("BusyTimeout")); v && *v >= 0 && *v <= INT32_MAX) {
    busy_ms = static_cast<int>(*v);
  }
  auto conn = std::make_shared<SqliteConnection>(db, std::move(stop), busy_ms);
  sqlite3_extended_result_codes(db, 1);
  // Opening does not read the file; reading the schema now makes a file that is not a
  // database fail here, with SQLite's own message.
  if (sqlite3_exec(db, "PRAGMA schema_version", nullptr, nullptr, nullptr) != SQLITE_OK) {
    ThrowSqliteError(db);
  }
  // Declared constraints hold: foreign keys are checked on this connection from now on.
  const char* foreign_keys = ForeignKeysWanted(params.Value("ForeignKeys"))
                                 ? "PRAGMA foreign_keys = ON"
                                 : "PRAGMA foreign_keys = OFF";
  if (sqlite3_exec(db, foreign_keys, nullptr, nullptr, nullptr) != SQLITE_OK) {
    ThrowSqliteError(db);
  }
  return conn;
}

}  // namespace pools::internal
