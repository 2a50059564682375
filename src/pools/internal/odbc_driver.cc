// The ODBC family of drivers ("MSSQL", "MSAcc", "PG", "ODBC"), through the unixODBC driver
// manager and the wide-character (UTF-16) entry points.
//
// Parameters of DataBase.CFG read here besides those of the connection string
// (odbc_connection_string.h):
//   LoginTimeout  seconds to wait for the database when connecting (default 15)
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "common/text.h"
#include "pools/database_error.h"
#include "pools/internal/driver.h"
#include "pools/internal/memory_cursor.h"
#include "pools/internal/type_maps.h"
#include "pools/internal/value_text.h"
#include "pools/odbc_connection_string.h"

namespace pools::internal {

using common::DataType;

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the driver manager must use UTF-16");

// SQL Server's own type codes, which its drivers report beside the standard ones.
constexpr int kSqlSsVariant = -150;
constexpr int kSqlSsXml = -152;
constexpr int kSqlSsTime2 = -154;

// ODBC column types (SQLDescribeCol), with column size s and decimal digits d:
//   SQL type                         data type                          size, precision, scale
//   SQL_BIT                          dtBoolean
//   SQL_TINYINT                      dtByte unsigned, else dtSByte
//   SQL_SMALLINT                     dtUInt16 unsigned, else dtInt16
//   SQL_INTEGER                      dtUInt32 unsigned, else dtInt32
//   SQL_BIGINT                       dtUInt64 unsigned, else dtInt64
//   SQL_REAL                         dtSingle
//   SQL_FLOAT SQL_DOUBLE             dtDouble
//   SQL_DECIMAL SQL_NUMERIC          dtCurrency for the type names "money" and "smallmoney"
//                                    (19, 4), else dtFmtBCD           -, min(s, 64), d
//   SQL_TYPE_DATE                    dtDate
//   SQL_TYPE_TIME SQL_SS_TIME2       dtTime
//   SQL_TYPE_TIMESTAMP               dtDateTime
//   SQL_CHAR SQL_VARCHAR             dtAnsiString; dtMemo when s is 0   s
//                                    (no limit) or above 1 GiB
//   SQL_LONGVARCHAR                  dtMemo
//   SQL_WCHAR SQL_WVARCHAR           dtWideString; dtWideMemo when s    s
//                                    is 0 or above 1 GiB
//   SQL_WLONGVARCHAR SQL_SS_XML      dtWideMemo
//   SQL_BINARY SQL_VARBINARY         dtByteString; dtBlob when s is 0   s
//                                    or above 1 GiB
//   SQL_LONGVARBINARY                dtBlob
//   SQL_GUID                         dtGUID
//   anything else (intervals, time   dtWideMemo, read as the driver's text
//   zones, variants ...)
TypeInfo OdbcColumnType(int sql_type, uint64_t column_size, int decimal_digits, bool is_unsigned,
                        std::string_view type_name) {
  constexpr uint64_t kMaxSized = 1u << 30;
  const bool sized = column_size > 0 && column_size <= kMaxSized;
  const auto size = static_cast<int32_t>(sized ? column_size : 0);
  switch (sql_type) {
    case SQL_BIT:
      return {DataType::dtBoolean};
    case SQL_TINYINT:
      return {is_unsigned ? DataType::dtByte : DataType::dtSByte};
    case SQL_SMALLINT:
      return {is_unsigned ? DataType::dtUInt16 : DataType::dtInt16};
    case SQL_INTEGER:
      return {is_unsigned ? DataType::dtUInt32 : DataType::dtInt32};
    case SQL_BIGINT:
      return {is_unsigned ? DataType::dtUInt64 : DataType::dtInt64};
    case SQL_REAL:
      return {DataType::dtSingle};
    case SQL_FLOAT:
    case SQL_DOUBLE:
      return {DataType::dtDouble};
    case SQL_DECIMAL:
    case SQL_NUMERIC: {
      if (common::EqualsIgnoreAsciiCase(type_name, "money") ||
          common::EqualsIgnoreAsciiCase(type_name, "smallmoney")) {
        return {DataType::dtCurrency, 0, 19, 4};
      }
      auto precision = static_cast<int32_t>(std::clamp<uint64_t>(column_size, 1, 64));
      return {DataType::dtFmtBCD, 0, precision, std::clamp(decimal_digits, 0, precision)};
    }
    case SQL_TYPE_DATE:
    case SQL_DATE:
      return {DataType::dtDate};
    case SQL_TYPE_TIME:
    case SQL_TIME:
    case kSqlSsTime2:
      return {DataType::dtTime};
    case SQL_TYPE_TIMESTAMP:
    case SQL_TIMESTAMP:
      return {DataType::dtDateTime};
    case SQL_CHAR:
    case SQL_VARCHAR:
      return sized ? TypeInfo{DataType::dtAnsiString, size} : TypeInfo{DataType::dtMemo};
    case SQL_LONGVARCHAR:
      return {DataType::dtMemo};
    case SQL_WCHAR:
    case SQL_WVARCHAR:
      return sized ? TypeInfo{DataType::dtWideString, size} : TypeInfo{DataType::dtWideMemo};
    case SQL_WLONGVARCHAR:
    case kSqlSsXml:
      return {DataType::dtWideMemo};
    case SQL_BINARY:
    case SQL_VARBINARY:
      return sized ? TypeInfo{DataType::dtByteString, size} : TypeInfo{DataType::dtBlob};
    case SQL_LONGVARBINARY:
      return {DataType::dtBlob};
    case SQL_GUID:
      return {DataType::dtGUID};
    case kSqlSsVariant:
    default:
      return {DataType::dtWideMemo};
  }
}

namespace {

// --- Text between UTF-8 and the driver manager's UTF-16 -----------------------------------

std::u16string Wide(std::string_view utf8) { return common::Utf8ToUtf16(utf8); }

SQLWCHAR* W(std::u16string& s) { return reinterpret_cast<SQLWCHAR*>(s.data()); }

std::string Narrow(const SQLWCHAR* text, size_t units) {
  return common::Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), units));
}

// --- Environment and diagnostics -----------------------------------------------------------

// One ODBC environment for the process, made on first use and kept to the end.
SQLHENV Environment() {
  static SQLHENV env = [] {
    SQLHENV h = SQL_NULL_HENV;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &h))) {
      return static_cast<SQLHENV>(SQL_NULL_HENV);
    }
    SQLSetEnvAttr(h, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    return h;
  }();
  if (env == SQL_NULL_HENV) throw DatabaseError("The ODBC driver manager cannot be initialised");
  return env;
}

struct Diagnostics {
  std::string message;  // every record's text, one per line
  std::string state;    // the first record's SQLSTATE
  int native = 0;
  bool lost = false;  // a record of class 08 (connection exception)
};

Diagnostics ReadDiagnostics(SQLSMALLINT handle_type, SQLHANDLE handle) {
  Diagnostics d;
  std::vector<std::string> seen;
  for (SQLSMALLINT i = 1; i <= 50; ++i) {
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    std::vector<SQLWCHAR> text(1024);
    SQLRETURN r = SQLGetDiagRecW(handle_type, handle, i, state, &native, text.data(),
                                 static_cast<SQLSMALLINT>(text.size()), &length);
    if (r == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(text.size())) {
      text.resize(static_cast<size_t>(length) + 1);
      r = SQLGetDiagRecW(handle_type, handle, i, state, &native, text.data(),
                         static_cast<SQLSMALLINT>(text.size()), &length);
    }
    if (!SQL_SUCCEEDED(r)) break;
    std::string state_text = Narrow(state, 5);
    std::string message =
        Narrow(text.data(), std::min<size_t>(static_cast<size_t>(length), text.size() - 1));
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
      message.pop_back();
    if (i == 1) {
      d.state = state_text;
      d.native = native;
    }
    if (state_text.starts_with("08")) d.lost = true;
    // Some drivers repeat a record; the text says it once.
    if (std::find(seen.begin(), seen.end(), message) != seen.end()) continue;
    seen.push_back(message);
    if (!d.message.empty()) d.message += "\n";
    d.message += message;
  }
  return d;
}

// --- Connection ----------------------------------------------------------------------------

enum class Dbms { kOther, kSqlServer, kAccess, kPostgreSql, kSqlite };

// Thread use: the holder's thread, except Interrupt (any thread). `running_mutex_` guards
// `running_`, the statement handle executing or fetching for the holder right now, so that
// Interrupt cancels a handle that is still allocated.
class OdbcConnection : public DriverConnection,
                       public std::enable_shared_from_this<OdbcConnection> {
 public:
  explicit OdbcConnection(StopFlag stop) : stop_(std::move(stop)) {}
  ~OdbcConnection() override {
    if (dbc_ == SQL_NULL_HDBC) return;
    if (connected_) {
      if (in_transaction_) SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK);
      SQLDisconnect(dbc_);
    }
    SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
  }

  void Connect(const ConnectionParams& params);

  // Raises the diagnostics of a failed call as a DatabaseError; keeps informational
  // messages of a call that succeeded with information.
  void Check(SQLRETURN r, SQLSMALLINT handle_type, SQLHANDLE handle) {
    if (r == SQL_SUCCESS || r == SQL_NO_DATA) return;
    if (r == SQL_SUCCESS_WITH_INFO) {
      Diagnostics d = ReadDiagnostics(handle_type, handle);
      if (!d.message.empty()) {
        if (!last_message_.empty()) last_message_ += "\n";
        last_message_ += d.message;
      }
      return;
    }
    if (r == SQL_INVALID_HANDLE) throw DatabaseError("Invalid ODBC handle");
    Diagnostics d = ReadDiagnostics(handle_type, handle);
    if (d.message.empty()) d.message = "The ODBC driver reported an error without a message";
    // The SQLSTATE does not always say so (PostgreSQL's 57P01 when the server ends the
    // session); the driver's own view of the link settles it.
    SQLUINTEGER dead = SQL_CD_FALSE;
    if (!d.lost && connected_ &&
        SQL_SUCCEEDED(SQLGetConnectAttrW(dbc_, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
        dead == SQL_CD_TRUE) {
      d.lost = true;
    }
    if (d.lost) lost_ = true;
    throw DatabaseError(d.message, d.state, d.native, d.lost);
  }

  SQLHDBC dbc() const { return dbc_; }
  Dbms dbms() const { return dbms_; }
  void ClearMessages() { last_message_.clear(); }

  void StartTransaction() override {
    if (in_transaction_) throw DatabaseError("A transaction is already active");
    Check(SQLSetConnectAttrW(dbc_, SQL_ATTR_AUTOCOMMIT,
                             reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), SQL_IS_UINTEGER),
          SQL_HANDLE_DBC, dbc_);
    in_transaction_ = true;
  }
  void Commit() override { EndTransaction(SQL_COMMIT); }
  void Rollback() override { EndTransaction(SQL_ROLLBACK); }
  bool InTransaction() const override { return in_transaction_; }

  std::string QuoteIdentifier(std::string_view name) const override {
    std::string open = quote_, close = quote_;
    if (dbms_ == Dbms::kSqlServer || dbms_ == Dbms::kAccess) open = "[", close = "]";
    if (open.empty()) return std::string(name);
    std::string out = open;
    for (char c : name) {
      out += c;
      if (std::string_view(close) == std::string_view(&c, 1)) out += c;
    }
    return out + close;
  }
  std::string LastMessage() const override { return last_message_; }
  bool IsLost() const override { return lost_ || interrupted_.load(); }
  void Interrupt() noexcept override {
    interrupted_.store(true);
    std::lock_guard lock(running_mutex_);
    if (running_ != SQL_NULL_HSTMT) SQLCancel(running_);
  }

  // Marks a statement handle as the one working for the holder for the length of one driver
  // call (execute, fetch), so that Interrupt can cancel it. A link that was interrupted, or
  // whose pool shuts down, starts nothing: the same test under the same lock as Interrupt's
  // leaves no gap in which a statement could start uncancelled.
  class Running {
   public:
    Running(OdbcConnection& conn, SQLHSTMT stmt) : conn_(conn) {
      std::lock_guard lock(conn_.running_mutex_);
      if (conn_.interrupted_.load() || (conn_.stop_ && conn_.stop_->load())) {
        throw DatabaseError("Operation canceled", "HY008");
      }
      conn_.running_ = stmt;
    }
    ~Running() {
      std::lock_guard lock(conn_.running_mutex_);
      conn_.running_ = SQL_NULL_HSTMT;
    }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

   private:
    OdbcConnection& conn_;
  };

  SqlDialect Dialect() const override {
    SqlDialect d;
    if (dbms_ == Dbms::kSqlServer) d.explicit_auto_inc_values = false;
    if (dbms_ == Dbms::kAccess) d.default_row = SqlDialect::DefaultRow::kValuesNull;
    return d;
  }

  std::unique_ptr<Cursor> Open(const std::string& sql, const DbParams& params) override;
  int64_t Execute(const std::string& sql, const DbParams& params) override;
  std::unique_ptr<Cursor> CallProcedure(const std::string& name, DbParams& params,
                                        bool want_result) override;

  // The primary key columns of a table (empty when the driver cannot tell).
  const std::set<std::string>& PrimaryKey(const std::string& schema, const std::string& table);

 private:
  void EndTransaction(SQLSMALLINT completion) {
    if (!in_transaction_) throw DatabaseError("No transaction is active");
    SQLRETURN r = SQLEndTran(SQL_HANDLE_DBC, dbc_, completion);
    if (completion == SQL_ROLLBACK || SQL_SUCCEEDED(r)) {
      in_transaction_ = false;
      SQLSetConnectAttrW(dbc_, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON),
                         SQL_IS_UINTEGER);
    }
    Check(r, SQL_HANDLE_DBC, dbc_);
  }

  std::string ProcedureCallText(const std::string& name, const DbParams& params);
  SQLRETURN ExecDirect(SQLHSTMT stmt, std::u16string& text) {
    Running running(*this, stmt);
    return SQLExecDirectW(stmt, W(text), SQL_NTS);
  }

  const StopFlag stop_;
  std::atomic<bool> interrupted_{false};
  std::mutex running_mutex_;
  SQLHSTMT running_ = SQL_NULL_HSTMT;  // guarded by running_mutex_
  SQLHDBC dbc_ = SQL_NULL_HDBC;
  bool connected_ = false;
  bool in_transaction_ = false;
  bool lost_ = false;
  Dbms dbms_ = Dbms::kOther;
  std::string quote_ = "\"";
  std::string last_message_;
  // Primary keys by "schema.table", forgotten whenever this connection changes anything.
  std::map<std::string, std::set<std::string>> primary_keys_;
};

// A statement handle, freed on every path.
class Statement {
 public:
  explicit Statement(OdbcConnection& conn) {
    conn.Check(SQLAllocHandle(SQL_HANDLE_STMT, conn.dbc(), &h_), SQL_HANDLE_DBC, conn.dbc());
  }
  ~Statement() {
    if (h_ != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, h_);
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  SQLHSTMT get() const { return h_; }

 private:
  SQLHSTMT h_ = SQL_NULL_HSTMT;
};

void OdbcConnection::Connect(const ConnectionParams& params) {
  std::u16string connection_string = Wide(BuildOdbcConnectionString(params));
  SQLHENV env = Environment();
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc_))) {
    Diagnostics d = ReadDiagnostics(SQL_HANDLE_ENV, env);
    throw DatabaseError(d.message.empty() ? "Cannot allocate an ODBC connection" : d.message,
                        d.state, d.native);
  }
  SQLUINTEGER timeout = 15;
  if (auto v = ParseInt64(params.Value("LoginTimeout")); v && *v >= 0 && *v <= 3600) {
    timeout = static_cast<SQLUINTEGER>(*v);
  }
  SQLSetConnectAttrW(dbc_, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(uintptr_t{timeout}),
                     SQL_IS_UINTEGER);
  SQLSMALLINT out_length = 0;
  Check(SQLDriverConnectW(dbc_, nullptr, W(connection_string), SQL_NTS, nullptr, 0, &out_length,
                          SQL_DRIVER_NOPROMPT),
        SQL_HANDLE_DBC, dbc_);
  connected_ = true;

  SQLWCHAR buffer[256] = {};
  SQLSMALLINT length = 0;
  if (SQL_SUCCEEDED(SQLGetInfoW(dbc_, SQL_DBMS_NAME, buffer, sizeof buffer, &length))) {
    std::string name = common::ToUpperAscii(Narrow(buffer, static_cast<size_t>(length) / 2));
    if (name.find("SQL SERVER") != std::string::npos) {
      dbms_ = Dbms::kSqlServer;
    } else if (name.find("ACCESS") != std::string::npos) {
      dbms_ = Dbms::kAccess;
    } else if (name.find("POSTGRES") != std::string::npos) {
      dbms_ = Dbms::kPostgreSql;
    } else if (name.find("SQLITE") != std::string::npos) {
      dbms_ = Dbms::kSqlite;
    }
  }
  if (SQL_SUCCEEDED(SQLGetInfoW(dbc_, SQL_IDENTIFIER_QUOTE_CHAR, buffer, sizeof buffer, &length))) {
    quote_ = Narrow(buffer, static_cast<size_t>(length) / 2);
    if (quote_ == " ") quote_.clear();  // the driver does not quote identifiers
  }
}

// --- Parameters ----------------------------------------------------------------------------

// Default room for output values when a parameter gives no size.
constexpr size_t kDefaultTextOutputChars = 32767;
constexpr size_t kDefaultBinaryOutputBytes = 65535;

// The buffers of one bound parameter; they live until the values have been read back.
struct ParamBuffer {
  SQLSMALLINT io = SQL_PARAM_INPUT;
  SQLSMALLINT c_type = SQL_C_WCHAR;
  SQLSMALLINT sql_type = SQL_WVARCHAR;
  SQLULEN column_size = 0;
  SQLSMALLINT digits = 0;
  std::vector<uint8_t> data;
  SQLLEN indicator = SQL_NULL_DATA;
  DataType type = DataType::dtUnknown;
};

// Room for a time of day as text, "hh:mm:ss.fffffffff" and more, in and out.
constexpr size_t kTimeTextRoom = 32;

template <typename T>
void PutValue(ParamBuffer& b, const T& value) {
  b.data.resize(sizeof(T));
  std::memcpy(b.data.data(), &value, sizeof(T));
  b.indicator = sizeof(T);
}

enum class ValueKind { kBool, kInt, kUInt, kDouble, kDate, kTime, kTimeStamp, kText, kBinary };

ValueKind KindOf(DataType type) {
  switch (type) {
    case DataType::dtBoolean:
      return ValueKind::kBool;
    case DataType::dtSByte:
    case DataType::dtInt16:
    case DataType::dtInt32:
    case DataType::dtInt64:
      return ValueKind::kInt;
    case DataType::dtByte:
    case DataType::dtUInt16:
    case DataType::dtUInt32:
    case DataType::dtUInt64:
      return ValueKind::kUInt;
    case DataType::dtSingle:
    case DataType::dtDouble:
    case DataType::dtExtended:
      return ValueKind::kDouble;
    case DataType::dtDate:
      return ValueKind::kDate;
    case DataType::dtTime:
      return ValueKind::kTime;
    case DataType::dtDateTime:
    case DataType::dtDateTimeStamp:
      return ValueKind::kTimeStamp;
    case DataType::dtByteString:
    case DataType::dtBlob:
    case DataType::dtHBlob:
    case DataType::dtHBFile:
      return ValueKind::kBinary;
    default:
      return ValueKind::kText;
  }
}

// Parameter data types and how they are sent:
//   data type                         C type        SQL type
//   dtBoolean                         SQL_C_BIT     SQL_BIT
//   dtSByte dtByte                    SQL_C_SBIGINT SQL_TINYINT
//   dtInt16                           SQL_C_SBIGINT SQL_SMALLINT
//   dtInt32 dtUInt16                  SQL_C_SBIGINT SQL_INTEGER
//   dtInt64 dtUInt32                  SQL_C_SBIGINT SQL_BIGINT
//   dtUInt64                          SQL_C_UBIGINT SQL_BIGINT
//   dtSingle                          SQL_C_DOUBLE  SQL_REAL
//   dtDouble dtExtended               SQL_C_DOUBLE  SQL_DOUBLE
//   dtCurrency                        SQL_C_WCHAR   SQL_DECIMAL (19, 4)
//   dtBCD dtFmtBCD                    SQL_C_WCHAR   SQL_DECIMAL (digits of the value)
//   dtDate                            SQL_C_TYPE_DATE       SQL_TYPE_DATE
//   dtTime                            SQL_C_CHAR    SQL_TYPE_TIME (12, 3): "hh:mm:ss.fff"
//   dtDateTime dtDateTimeStamp        SQL_C_TYPE_TIMESTAMP  SQL_TYPE_TIMESTAMP (milliseconds)
//   dtAnsiString dtMemo dtHMemo       SQL_C_WCHAR   SQL_VARCHAR, SQL_LONGVARCHAR above 4000
//   dtGUID                            SQL_C_WCHAR   SQL_VARCHAR
//   dtWideString dtWideMemo dtXML ... SQL_C_WCHAR   SQL_WVARCHAR, SQL_WLONGVARCHAR above 4000
//   binary types                      SQL_C_BINARY  SQL_VARBINARY, SQL_LONGVARBINARY above 8000
//   dtUnknown (a null of no type)     SQL_C_WCHAR   SQL_WVARCHAR
ParamBuffer MakeParamBuffer(const DbParam& p) {
  ParamBuffer b;
  b.type = EffectiveDataType(p);
  switch (p.param_type) {
    case ParamType::ptOutput:
    case ParamType::ptResult:
      b.io = SQL_PARAM_OUTPUT;
      break;
    case ParamType::ptInputOutput:
      b.io = SQL_PARAM_INPUT_OUTPUT;
      break;
    default:
      b.io = SQL_PARAM_INPUT;
      break;
  }
  const bool sends = b.io != SQL_PARAM_OUTPUT;
  const common::Variant& v = p.value.IsReference() ? p.value.referenced() : p.value;
  const bool null = !sends || v.IsEmptyOrNull();
  if (sends && v.IsArray() && !v.IsByteArray()) {
    throw DatabaseError("Parameter \"" + p.name +
                        "\" holds an array, which the database cannot take");
  }
  auto bad_value = [&]() -> DatabaseError {
    return DatabaseError("Parameter \"" + p.name + "\" of type " +
                         std::string(common::DataTypeName(b.type)) + " cannot take the value " +
                         common::DebugString(v));
  };

  switch (KindOf(b.type)) {
    case ValueKind::kBool:
      b.c_type = SQL_C_BIT;
      b.sql_type = SQL_BIT;
      b.data.assign(1, 0);
      if (!null) {
        auto flag = v.ToBool();
        if (!flag) throw bad_value();
        PutValue<unsigned char>(b, *flag ? 1 : 0);
      }
      break;
    case ValueKind::kInt:
    case ValueKind::kUInt: {
      switch (b.type) {
        case DataType::dtSByte:
        case DataType::dtByte:
          b.sql_type = SQL_TINYINT;
          break;
        case DataType::dtInt16:
          b.sql_type = SQL_SMALLINT;
          break;
        case DataType::dtInt32:
        case DataType::dtUInt16:
          b.sql_type = SQL_INTEGER;
          break;
        default:
          b.sql_type = SQL_BIGINT;
          break;
      }
      const bool big_unsigned = b.type == DataType::dtUInt64;
      b.c_type = big_unsigned ? SQL_C_UBIGINT : SQL_C_SBIGINT;
      b.data.assign(8, 0);
      if (!null) {
        if (big_unsigned && (v.type() == common::kVarUInt64 || v.type() == common::kVarLongWord)) {
          PutValue<uint64_t>(b, v.uint_value());
        } else {
          auto i = v.ToInt64();
          if (!i) throw bad_value();
          PutValue<int64_t>(b, *i);
        }
      }
      break;
    }
    case ValueKind::kDouble:
      b.c_type = SQL_C_DOUBLE;
      b.sql_type = b.type == DataType::dtSingle ? SQL_REAL : SQL_DOUBLE;
      b.data.assign(8, 0);
      if (!null) {
        auto d = v.ToDouble();
        if (!d) throw bad_value();
        PutValue<double>(b, *d);
      }
      break;
    case ValueKind::kDate:
    case ValueKind::kTime:
    case ValueKind::kTimeStamp: {
      TimeStamp ts;
      if (!null) {
        if (v.type() == common::kVarDate || v.IsIntegral() || v.type() == common::kVarDouble) {
          auto d = v.ToDouble();
          if (!d) throw bad_value();
          ts = TimeStampFromDateTime(*d);
        } else {
          auto text = v.ToText();
          auto parsed = text ? ParseTimeStampText(common::Utf16ToUtf8(*text)) : std::nullopt;
          if (!parsed) throw bad_value();
          ts = *parsed;
        }
      }
      if (b.type == DataType::dtDate) {
        b.c_type = SQL_C_TYPE_DATE;
        b.sql_type = SQL_TYPE_DATE;
        b.column_size = 10;
        SQL_DATE_STRUCT d{static_cast<SQLSMALLINT>(ts.year), static_cast<SQLUSMALLINT>(ts.month),
                          static_cast<SQLUSMALLINT>(ts.day)};
        PutValue(b, d);
      } else if (b.type == DataType::dtTime) {
        // As text: SQL_TIME_STRUCT has no fraction of a second, so the milliseconds would be
        // lost on the way in and, for an output, on the way out.
        b.c_type = SQL_C_CHAR;
        b.sql_type = SQL_TYPE_TIME;
        b.column_size = 12;
        b.digits = 3;
        ts.nanosecond = ts.nanosecond / 1000000 * 1000000;
        const std::string text = null ? std::string() : FormatTimeStampText(ts, DataType::dtTime);
        b.data.assign(kTimeTextRoom, 0);
        std::memcpy(b.data.data(), text.data(), std::min(text.size(), kTimeTextRoom - 1));
        b.indicator = static_cast<SQLLEN>(text.size());
      } else {
        b.c_type = SQL_C_TYPE_TIMESTAMP;
        b.sql_type = SQL_TYPE_TIMESTAMP;
        b.column_size = 23;
        b.digits = 3;
        SQL_TIMESTAMP_STRUCT t{static_cast<SQLSMALLINT>(ts.year),
                               static_cast<SQLUSMALLINT>(ts.month),
                               static_cast<SQLUSMALLINT>(ts.day),
                               static_cast<SQLUSMALLINT>(ts.hour),
                               static_cast<SQLUSMALLINT>(ts.minute),
                               static_cast<SQLUSMALLINT>(ts.second),
                               static_cast<SQLUINTEGER>(ts.nanosecond / 1000000 * 1000000)};
        PutValue(b, t);
      }
      if (null) b.indicator = SQL_NULL_DATA;
      break;
    }
    case ValueKind::kBinary: {
      b.c_type = SQL_C_BINARY;
      common::Bytes bytes;
      if (!null) {
        if (v.IsByteArray()) {
          common::ByteSpan s = v.bytes();
          bytes.assign(s.begin(), s.end());
        } else if (v.type() == common::kVarString) {
          bytes.assign(v.ansi_text().begin(), v.ansi_text().end());
        } else if (auto text = v.ToText()) {
          std::string ansi = common::AnsiCodePage().FromUtf16(*text);
          bytes.assign(ansi.begin(), ansi.end());
        } else {
          throw bad_value();
        }
      }
      const size_t length = bytes.size();
      size_t room = length;
      if (b.io != SQL_PARAM_INPUT) {
        room = std::max(room, p.size > 0 ? static_cast<size_t>(p.size) : kDefaultBinaryOutputBytes);
      }
      b.sql_type = room > 8000 ? SQL_LONGVARBINARY : SQL_VARBINARY;
      b.column_size = std::max<size_t>(room, 1);
      b.data = std::move(bytes);
      b.data.resize(std::max<size_t>(room, 1));
      b.indicator = static_cast<SQLLEN>(length);
      break;
    }
    case ValueKind::kText: {
      std::u16string text;
      if (!null) {
        if (v.type() == common::kVarString) {
          text = common::AnsiCodePage().ToUtf16(v.ansi_text());
        } else if (v.type() == common::kVarCurrency) {
          text = Wide(FormatScaledDecimal(v.int_value(), 4));
        } else if (v.type() == common::kVarDouble || v.type() == common::kVarSingle) {
          text = Wide(FormatDouble(v.float_value()));
        } else if (auto t = v.ToText()) {
          text = std::move(*t);
        } else {
          throw bad_value();
        }
      }
      const size_t length = text.size();
      size_t room = length;
      if (b.io != SQL_PARAM_INPUT) {
        room = std::max(room, p.size > 0 ? static_cast<size_t>(p.size) : kDefaultTextOutputChars);
      }
      b.c_type = SQL_C_WCHAR;
      switch (b.type) {
        case DataType::dtCurrency:
          b.sql_type = SQL_DECIMAL;
          b.column_size = 19;
          b.digits = 4;
          break;
        case DataType::dtBCD:
        case DataType::dtFmtBCD: {
          b.sql_type = SQL_DECIMAL;
          std::string digits = common::Utf16ToUtf8(text);
          size_t point = digits.find('.');
          size_t scale = point == std::string::npos ? 0 : digits.size() - point - 1;
          size_t count = std::count_if(digits.begin(), digits.end(),
                                       [](char c) { return c >= '0' && c <= '9'; });
          b.column_size = null ? 38 : std::clamp<size_t>(count, 1, 38);
          b.digits = static_cast<SQLSMALLINT>(null ? 10 : std::min(scale, b.column_size));
          break;
        }
        case DataType::dtAnsiString:
        case DataType::dtMemo:
        case DataType::dtHMemo:
        case DataType::dtGUID:
          b.sql_type = room > 4000 ? SQL_LONGVARCHAR : SQL_VARCHAR;
          b.column_size = std::max<size_t>(room, 1);
          break;
        default:
          b.sql_type = room > 4000 ? SQL_WLONGVARCHAR : SQL_WVARCHAR;
          b.column_size = std::max<size_t>(room, 1);
          break;
      }
      if (b.io != SQL_PARAM_INPUT) b.column_size = std::max<SQLULEN>(b.column_size, room);
      b.data.assign((room + 1) * sizeof(char16_t), 0);
      std::memcpy(b.data.data(), text.data(), length * sizeof(char16_t));
      b.indicator = null ? SQL_NULL_DATA : static_cast<SQLLEN>(length * sizeof(char16_t));
      break;
    }
  }
  if (null) b.indicator = SQL_NULL_DATA;
  return b;
}

// Binds `params` in order to the markers of `stmt`; the buffers must outlive the execution.
std::vector<ParamBuffer> BindParams(OdbcConnection& conn, SQLHSTMT stmt, const DbParams& params) {
  std::vector<ParamBuffer> buffers;
  buffers.reserve(params.size());
  for (const DbParam& p : params) buffers.push_back(MakeParamBuffer(p));
  for (size_t i = 0; i < buffers.size(); ++i) {
    ParamBuffer& b = buffers[i];
    conn.Check(SQLBindParameter(stmt, static_cast<SQLUSMALLINT>(i + 1), b.io, b.c_type, b.sql_type,
                                b.column_size, b.digits, b.data.data(),
                                static_cast<SQLLEN>(b.data.size()), &b.indicator),
               SQL_HANDLE_STMT, stmt);
  }
  return buffers;
}

// The value an output parameter came back with.
common::Variant OutputValue(const DbParam& p, const ParamBuffer& b) {
  using common::Variant;
  if (b.indicator == SQL_NULL_DATA) return Variant::Null();
  const uint8_t* d = b.data.data();
  auto load = [&](auto value) {
    std::memcpy(&value, d, sizeof value);
    return value;
  };
  switch (b.c_type) {
    case SQL_C_BIT:
      return Variant::Boolean(d[0] != 0);
    case SQL_C_SBIGINT: {
      int64_t i = load(int64_t{});
      switch (b.type) {
        case DataType::dtSByte:
          return Variant::ShortInt(static_cast<int8_t>(i));
        case DataType::dtByte:
          return Variant::Byte(static_cast<uint8_t>(i));
        case DataType::dtInt16:
          return Variant::Smallint(static_cast<int16_t>(i));
        case DataType::dtUInt16:
          return Variant::Word(static_cast<uint16_t>(i));
        case DataType::dtInt32:
          return Variant::Integer(static_cast<int32_t>(i));
        case DataType::dtUInt32:
          return Variant::LongWord(static_cast<uint32_t>(i));
        default:
          return Variant::Int64(i);
      }
    }
    case SQL_C_UBIGINT:
      return Variant::UInt64(load(uint64_t{}));
    case SQL_C_CHAR: {  // a time of day, as text
      const size_t length = b.indicator >= 0
                                ? std::min(static_cast<size_t>(b.indicator), b.data.size() - 1)
                                : ::strnlen(reinterpret_cast<const char*>(d), b.data.size());
      std::optional<TimeStamp> ts =
          ParseTimeStampText(std::string_view(reinterpret_cast<const char*>(d), length));
      if (!ts) {
        throw DatabaseError("Output parameter \"" + p.name + "\" is not a time of day: " +
                            std::string(reinterpret_cast<const char*>(d), length));
      }
      ts->year = ts->month = ts->day = 0;
      return Variant::Date(TimeStampToDateTime(*ts));
    }
    case SQL_C_DOUBLE: {
      double x = load(double{});
      return b.type == DataType::dtSingle ? Variant::Single(static_cast<float>(x))
                                          : Variant::Double(x);
    }
    case SQL_C_TYPE_DATE: {
      auto s = load(SQL_DATE_STRUCT{});
      return Variant::Date(TimeStampToDateTime(TimeStamp{s.year, s.month, s.day}));
    }
    case SQL_C_TYPE_TIME: {
      auto s = load(SQL_TIME_STRUCT{});
      return Variant::Date(TimeStampToDateTime(TimeStamp{0, 0, 0, s.hour, s.minute, s.second}));
    }
    case SQL_C_TYPE_TIMESTAMP: {
      auto s = load(SQL_TIMESTAMP_STRUCT{});
      return Variant::Date(TimeStampToDateTime(TimeStamp{
          s.year, s.month, s.day, s.hour, s.minute, s.second, static_cast<int32_t>(s.fraction)}));
    }
    case SQL_C_BINARY: {
      if (b.indicator == SQL_NO_TOTAL || static_cast<size_t>(b.indicator) > b.data.size()) {
        throw DatabaseError("The value of output parameter \"" + p.name + "\" is larger than " +
                            std::to_string(b.data.size()) + " bytes");
      }
      return Variant::ByteArray(common::Bytes(d, d + b.indicator));
    }
    default: {
      size_t room = b.data.size() / sizeof(char16_t) - 1;
      if (b.indicator == SQL_NO_TOTAL ||
          static_cast<size_t>(b.indicator) / sizeof(char16_t) > room) {
        throw DatabaseError("The value of output parameter \"" + p.name + "\" is longer than " +
                            std::to_string(room) + " characters");
      }
      std::u16string text(reinterpret_cast<const char16_t*>(d),
                          static_cast<size_t>(b.indicator) / sizeof(char16_t));
      if (b.type == DataType::dtCurrency) {
        if (auto scaled = ParseScaledDecimal(common::Utf16ToUtf8(text), 4)) {
          return Variant::Currency(*scaled);
        }
      }
      if (b.type == DataType::dtBCD || b.type == DataType::dtFmtBCD) {
        return Variant::Custom(common::kVarFmtBcd, std::move(text));
      }
      return Variant::String(std::move(text));
    }
  }
}

// Moves past every remaining result of `stmt`, so that all its statements have run; adds the
// rows changed by statements without a result set to `changes`.
void DrainResults(OdbcConnection& conn, SQLHSTMT stmt, int64_t* changes) {
  while (true) {
    SQLRETURN r = SQLMoreResults(stmt);
    if (r == SQL_NO_DATA) return;
    conn.Check(r, SQL_HANDLE_STMT, stmt);
    if (changes != nullptr) {
      SQLSMALLINT columns = 0;
      SQLNumResultCols(stmt, &columns);
      SQLLEN count = -1;
      if (columns == 0 && SQL_SUCCEEDED(SQLRowCount(stmt, &count)) && count > 0) *changes += count;
    }
  }
}

// --- Cursor --------------------------------------------------------------------------------

class OdbcCursor : public Cursor {
 public:
  // Takes over `stmt`, positioned on a result set with columns.
  OdbcCursor(std::shared_ptr<OdbcConnection> conn, std::unique_ptr<Statement> stmt,
             std::vector<ParamBuffer> params)
      : conn_(std::move(conn)), stmt_(std::move(stmt)), params_(std::move(params)) {
    Describe();
  }

  // After the last row, the cursor has moved past every other result too; the parameter
  // buffers then hold the output values.
  const std::vector<ParamBuffer>& Params() const { return params_; }

  bool Next() override {
    if (done_) return false;
    SQLRETURN r;
    {
      OdbcConnection::Running running(*conn_, stmt_->get());
      r = SQLFetch(stmt_->get());
    }
    if (r == SQL_NO_DATA) {
      on_row_ = false;
      done_ = true;
      DrainResults(*conn_, stmt_->get(), nullptr);
      return false;
    }
    conn_->Check(r, SQL_HANDLE_STMT, stmt_->get());
    on_row_ = true;
    for (size_t i = 0; i < cells_.size(); ++i) ReadCell(i);
    return true;
  }

  bool IsNull(int column) override { return Cell(column).null; }
  bool GetBool(int column) override {
    const CellData& c = Cell(column);
    if (c.kind == ValueKind::kBool || c.kind == ValueKind::kInt) return c.i != 0;
    if (c.kind == ValueKind::kUInt) return c.u != 0;
    if (c.kind == ValueKind::kDouble) return c.d != 0;
    std::string_view text = Utf8(column);
    if (auto i = ParseInt64(text)) return *i != 0;
    if (common::EqualsIgnoreAsciiCase(text, "true")) return true;
    if (common::EqualsIgnoreAsciiCase(text, "false")) return false;
    ThrowConversionError(Def(column), text, "a boolean");
  }
  int64_t GetInt64(int column) override {
    const CellData& c = Cell(column);
    if (c.kind == ValueKind::kInt || c.kind == ValueKind::kBool) return c.i;
    if (c.kind == ValueKind::kUInt && c.u <= static_cast<uint64_t>(INT64_MAX)) {
      return static_cast<int64_t>(c.u);
    }
    if (c.kind == ValueKind::kText) {
      if (auto i = ParseInt64(Utf8(column))) return *i;
    }
    ThrowConversionError(Def(column), Utf8(column), "an integer");
  }
  uint64_t GetUInt64(int column) override {
    const CellData& c = Cell(column);
    if (c.kind == ValueKind::kUInt) return c.u;
    if ((c.kind == ValueKind::kInt || c.kind == ValueKind::kBool) && c.i >= 0) {
      return static_cast<uint64_t>(c.i);
    }
    if (c.kind == ValueKind::kText) {
      if (auto u = ParseUInt64(Utf8(column))) return *u;
    }
    ThrowConversionError(Def(column), Utf8(column), "an unsigned integer");
  }
  double GetDouble(int column) override {
    const CellData& c = Cell(column);
    if (c.kind == ValueKind::kDouble) return c.d;
    if (c.kind == ValueKind::kInt || c.kind == ValueKind::kBool) return static_cast<double>(c.i);
    if (c.kind == ValueKind::kUInt) return static_cast<double>(c.u);
    if (c.kind == ValueKind::kText) {
      if (auto d = ParseDouble(Utf8(column))) return *d;
    }
    ThrowConversionError(Def(column), Utf8(column), "a number");
  }
  std::string_view GetText(int column) override { return Utf8(column); }
  std::u16string_view GetWideText(int column) override {
    CellData& c = Cell(column);
    if (c.kind != ValueKind::kText) {
      c.wide = common::Utf8ToUtf16(Utf8(column));
    }
    return c.wide;
  }
  common::ByteSpan GetBytes(int column) override {
    CellData& c = Cell(column);
    if (c.kind == ValueKind::kBinary) return c.bytes;
    std::string_view text = Utf8(column);
    return common::AsBytes(text);
  }
  TimeStamp GetTimeStamp(int column) override {
    CellData& c = Cell(column);
    if (c.kind == ValueKind::kDate || c.kind == ValueKind::kTimeStamp) return c.ts;
    if (c.kind == ValueKind::kText || c.kind == ValueKind::kTime) {
      if (auto ts = ParseTimeStampText(Utf8(column))) {
        if (Def(column).data_type == DataType::dtTime) ts->year = ts->month = ts->day = 0;
        return *ts;
      }
    }
    ThrowConversionError(Def(column), Utf8(column), "a date or time");
  }

 private:
  struct CellData {
    ValueKind kind = ValueKind::kText;
    bool null = true;
    int64_t i = 0;
    uint64_t u = 0;
    double d = 0;
    TimeStamp ts;
    std::u16string wide;  // kText and kTime as read; other kinds when asked for text
    std::string utf8;     // the text in UTF-8, made on demand
    bool utf8_ready = false;
    common::Bytes bytes;
    size_t chunk = 256;  // characters or bytes asked for per SQLGetData call
  };

  void Describe();
  void ReadCell(size_t i);
  template <typename Unit>
  void ReadLong(size_t i, SQLSMALLINT c_type, std::basic_string<Unit>* text, common::Bytes* bytes);

  const ColumnDef& Def(int column) const { return Columns()[static_cast<size_t>(column)]; }
  CellData& Cell(int column) {
    CheckColumn(column);
    if (!on_row_) throw DatabaseError("The cursor is not on a row");
    return cells_[static_cast<size_t>(column)];
  }
  // The value as UTF-8 text, whatever its kind.
  std::string_view Utf8(int column) {
    CellData& c = Cell(column);
    if (c.utf8_ready) return c.utf8;
    switch (c.kind) {
      case ValueKind::kText:
      case ValueKind::kTime:
        c.utf8 = common::Utf16ToUtf8(c.wide);
        break;
      case ValueKind::kBool:
      case ValueKind::kInt:
        c.utf8 = std::to_string(c.i);
        break;
      case ValueKind::kUInt:
        c.utf8 = std::to_string(c.u);
        break;
      case ValueKind::kDouble:
        c.utf8 = FormatDouble(c.d);
        break;
      case ValueKind::kDate:
        c.utf8 = FormatTimeStampText(c.ts, DataType::dtDate);
        break;
      case ValueKind::kTimeStamp:
        c.utf8 = FormatTimeStampText(c.ts, DataType::dtDateTime);
        break;
      case ValueKind::kBinary:
        c.utf8.assign(c.bytes.begin(), c.bytes.end());
        break;
    }
    if (Def(column).data_type == DataType::dtGUID && !c.null) {
      auto guid = ParseGuid(c.utf8);
      if (!guid) ThrowConversionError(Def(column), c.utf8, "a GUID");
      c.utf8 = FormatGuid(*guid);
    }
    c.utf8_ready = true;
    return c.utf8;
  }

  std::shared_ptr<OdbcConnection> conn_;
  std::unique_ptr<Statement> stmt_;
  std::vector<ParamBuffer> params_;
  std::vector<CellData> cells_;
  bool on_row_ = false;
  bool done_ = false;
};

void OdbcCursor::Describe() {
  SQLHSTMT st = stmt_->get();
  SQLSMALLINT count = 0;
  conn_->Check(SQLNumResultCols(st, &count), SQL_HANDLE_STMT, st);
  std::vector<ColumnDef> columns;
  std::vector<std::string> schemas;
  auto text_attribute = [&](SQLUSMALLINT column, SQLUSMALLINT field) {
    SQLWCHAR buffer[512] = {};
    SQLSMALLINT length = 0;
    if (!SQL_SUCCEEDED(
            SQLColAttributeW(st, column, field, buffer, sizeof buffer, &length, nullptr))) {
      return std::string();
    }
    size_t units = std::min<size_t>(static_cast<size_t>(std::max<SQLSMALLINT>(length, 0)) / 2, 511);
    return Narrow(buffer, units);
  };
  auto number_attribute = [&](SQLUSMALLINT column, SQLUSMALLINT field, SQLLEN fallback) {
    SQLLEN value = fallback;
    if (!SQL_SUCCEEDED(SQLColAttributeW(st, column, field, nullptr, 0, nullptr, &value))) {
      return fallback;
    }
    return value;
  };
  for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(count); ++i) {
    SQLWCHAR name[512] = {};
    SQLSMALLINT name_length = 0, sql_type = 0, digits = 0, nullable = SQL_NULLABLE_UNKNOWN;
    SQLULEN size = 0;
    conn_->Check(
        SQLDescribeColW(st, i, name, 512, &name_length, &sql_type, &size, &digits, &nullable),
        SQL_HANDLE_STMT, st);
    ColumnDef def;
    def.name = Narrow(name, std::min<size_t>(static_cast<size_t>(name_length), 511));
    def.source_type_name = text_attribute(i, SQL_DESC_TYPE_NAME);
    bool is_unsigned = number_attribute(i, SQL_DESC_UNSIGNED, SQL_FALSE) == SQL_TRUE;
    TypeInfo info = OdbcColumnType(sql_type, size, digits, is_unsigned, def.source_type_name);
    def.data_type = info.data_type;
    def.size = info.size;
    def.precision = info.precision;
    def.scale = info.scale;
    def.nullable = nullable != SQL_NO_NULLS;
    def.auto_increment = number_attribute(i, SQL_DESC_AUTO_UNIQUE_VALUE, SQL_FALSE) == SQL_TRUE;
    def.origin_table = text_attribute(i, SQL_DESC_BASE_TABLE_NAME);
    if (!def.origin_table.empty()) {
      def.origin_column = text_attribute(i, SQL_DESC_BASE_COLUMN_NAME);
      if (def.origin_column.empty()) def.origin_column = def.name;
    }
    def.read_only =
        def.origin_table.empty() ||
        number_attribute(i, SQL_DESC_UPDATABLE, SQL_ATTR_READWRITE_UNKNOWN) == SQL_ATTR_READONLY;
    schemas.push_back(def.origin_table.empty() ? std::string()
                                               : text_attribute(i, SQL_DESC_SCHEMA_NAME));
    columns.push_back(std::move(def));
  }
  for (size_t i = 0; i < columns.size(); ++i) {
    if (columns[i].origin_table.empty()) continue;
    const std::set<std::string>& key = conn_->PrimaryKey(schemas[i], columns[i].origin_table);
    columns[i].in_key = key.count(columns[i].origin_column) > 0;
  }
  cells_.resize(columns.size());
  for (size_t i = 0; i < columns.size(); ++i) {
    cells_[i].kind = KindOf(columns[i].data_type);
    if (columns[i].size > 0)
      cells_[i].chunk = std::clamp<size_t>(static_cast<size_t>(columns[i].size) + 1, 16, 65536);
  }
  SetColumns(std::move(columns));
}

template <typename Unit>
void OdbcCursor::ReadLong(size_t i, SQLSMALLINT c_type, std::basic_string<Unit>* text,
                          common::Bytes* bytes) {
  CellData& c = cells_[i];
  SQLHSTMT st = stmt_->get();
  const size_t unit = text ? sizeof(Unit) : 1;
  const size_t terminator = text ? 1 : 0;
  size_t used = 0;
  if (text) text->clear();
  if (bytes) bytes->clear();
  while (true) {
    // Room for a chunk (and the driver's terminator) at the end of the value so far.
    size_t room = c.chunk + terminator;
    if (text)
      text->resize(used + room);
    else
      bytes->resize(used + room);
    void* target =
        text ? static_cast<void*>(text->data() + used) : static_cast<void*>(bytes->data() + used);
    SQLLEN indicator = 0;
    SQLRETURN r = SQLGetData(st, static_cast<SQLUSMALLINT>(i + 1), c_type, target,
                             static_cast<SQLLEN>(room * unit), &indicator);
    if (r == SQL_NO_DATA) break;
    conn_->Check(r, SQL_HANDLE_STMT, st);
    if (indicator == SQL_NULL_DATA) {
      c.null = true;
      used = 0;
      break;
    }
    c.null = false;
    const bool truncated =
        indicator == SQL_NO_TOTAL || static_cast<size_t>(indicator) > (room - terminator) * unit;
    if (!truncated) {
      used += static_cast<size_t>(indicator) / unit;
      break;
    }
    used += room - terminator;
    // Long values: read the rest in larger pieces, up to 1 Mi units per call.
    c.chunk = std::min<size_t>(c.chunk * 4, 1 << 20);
  }
  if (text)
    text->resize(used);
  else
    bytes->resize(used);
}

void OdbcCursor::ReadCell(size_t i) {
  CellData& c = cells_[i];
  c.utf8_ready = false;
  SQLHSTMT st = stmt_->get();
  SQLLEN indicator = 0;
  SQLRETURN r = SQL_SUCCESS;
  auto read_fixed = [&](SQLSMALLINT c_type, void* target, SQLLEN length) {
    r = SQLGetData(st, static_cast<SQLUSMALLINT>(i + 1), c_type, target, length, &indicator);
    conn_->Check(r, SQL_HANDLE_STMT, st);
    c.null = indicator == SQL_NULL_DATA || r == SQL_NO_DATA;
  };
  switch (c.kind) {
    case ValueKind::kBool: {
      unsigned char b = 0;
      read_fixed(SQL_C_BIT, &b, 1);
      c.i = b != 0;
      break;
    }
    case ValueKind::kInt:
      read_fixed(SQL_C_SBIGINT, &c.i, sizeof c.i);
      break;
    case ValueKind::kUInt:
      read_fixed(SQL_C_UBIGINT, &c.u, sizeof c.u);
      break;
    case ValueKind::kDouble:
      read_fixed(SQL_C_DOUBLE, &c.d, sizeof c.d);
      break;
    case ValueKind::kDate: {
      SQL_DATE_STRUCT d{};
      read_fixed(SQL_C_TYPE_DATE, &d, sizeof d);
      c.ts = TimeStamp{d.year, d.month, d.day};
      break;
    }
    case ValueKind::kTimeStamp: {
      SQL_TIMESTAMP_STRUCT t{};
      read_fixed(SQL_C_TYPE_TIMESTAMP, &t, sizeof t);
      c.ts = TimeStamp{
          t.year, t.month, t.day, t.hour, t.minute, t.second, static_cast<int32_t>(t.fraction)};
      break;
    }
    case ValueKind::kBinary:
      ReadLong<char>(i, SQL_C_BINARY, nullptr, &c.bytes);
      break;
    case ValueKind::kText:
    case ValueKind::kTime:
      ReadLong<char16_t>(i, SQL_C_WCHAR, &c.wide, nullptr);
      break;
  }
}

// --- Connection operations -----------------------------------------------------------------

const std::set<std::string>& OdbcConnection::PrimaryKey(const std::string& schema,
                                                        const std::string& table) {
  std::string key = schema + "." + table;
  auto it = primary_keys_.find(key);
  if (it != primary_keys_.end()) return it->second;
  std::set<std::string>& columns = primary_keys_[key];
  // Best effort: a driver that cannot list keys now (one busy statement per connection) leaves
  // the columns unmarked.
  try {
    Statement stmt(*this);
    std::u16string wschema = Wide(schema), wtable = Wide(table);
    SQLRETURN r = SQLPrimaryKeysW(stmt.get(), nullptr, 0, schema.empty() ? nullptr : W(wschema),
                                  schema.empty() ? 0 : SQL_NTS, W(wtable), SQL_NTS);
    if (!SQL_SUCCEEDED(r)) return columns;
    while (SQL_SUCCEEDED(SQLFetch(stmt.get()))) {
      SQLWCHAR name[512] = {};
      SQLLEN length = 0;
      if (SQL_SUCCEEDED(SQLGetData(stmt.get(), 4, SQL_C_WCHAR, name, sizeof name, &length)) &&
          length >= 0) {
        columns.insert(Narrow(name, std::min<size_t>(static_cast<size_t>(length) / 2, 511)));
      }
    }
  } catch (const DatabaseError&) {
  }
  return columns;
}

std::unique_ptr<Cursor> OdbcConnection::Open(const std::string& sql, const DbParams& params) {
  ClearMessages();
  auto stmt = std::make_unique<Statement>(*this);
  std::vector<ParamBuffer> buffers = BindParams(*this, stmt->get(), params);
  std::u16string text = Wide(sql);
  Check(ExecDirect(stmt->get(), text), SQL_HANDLE_STMT, stmt->get());
  while (true) {
    SQLSMALLINT columns = 0;
    Check(SQLNumResultCols(stmt->get(), &columns), SQL_HANDLE_STMT, stmt->get());
    if (columns > 0) {
      return std::make_unique<OdbcCursor>(shared_from_this(), std::move(stmt), std::move(buffers));
    }
    SQLRETURN r = SQLMoreResults(stmt->get());
    if (r == SQL_NO_DATA) break;
    Check(r, SQL_HANDLE_STMT, stmt->get());
  }
  throw DatabaseError("The command text returned no result set");
}

int64_t OdbcConnection::Execute(const std::string& sql, const DbParams& params) {
  ClearMessages();
  primary_keys_.clear();
  Statement stmt(*this);
  std::vector<ParamBuffer> buffers = BindParams(*this, stmt.get(), params);
  std::u16string text = Wide(sql);
  SQLRETURN r = ExecDirect(stmt.get(), text);
  Check(r, SQL_HANDLE_STMT, stmt.get());
  int64_t changes = 0;
  SQLSMALLINT columns = 0;
  SQLNumResultCols(stmt.get(), &columns);
  SQLLEN count = -1;
  if (columns == 0 && SQL_SUCCEEDED(SQLRowCount(stmt.get(), &count)) && count > 0) changes += count;
  DrainResults(*this, stmt.get(), &changes);
  return changes;
}

std::string OdbcConnection::ProcedureCallText(const std::string& name, const DbParams& params) {
  bool has_result = false;
  size_t markers = 0;
  for (const DbParam& p : params) {
    if (p.param_type == ParamType::ptResult) {
      has_result = true;
    } else {
      ++markers;
    }
  }
  std::string list;
  for (size_t i = 0; i < markers; ++i) list += i == 0 ? "?" : ", ?";
  if (dbms_ == Dbms::kPostgreSql && !has_result) {
    // PostgreSQL runs functions through the call escape (a SELECT) and procedures only
    // through CALL; its catalogue tells which a name is (null when unknown or overloaded).
    try {
      DbParams lookup;
      lookup.Add("name", DataType::dtWideString, ParamType::ptInput,
                 common::Variant::String(Wide(name)));
      std::unique_ptr<Cursor> kind =
          Open("SELECT prokind FROM pg_catalog.pg_proc WHERE oid = to_regproc(?)", lookup);
      if (kind->Next() && !kind->IsNull(0) && kind->GetText(0) == "p") {
        return "CALL " + name + "(" + list + ")";
      }
    } catch (const DatabaseError& e) {
      if (e.poisons_connection()) throw;
    }
  }
  return std::string(has_result ? "{? = call " : "{call ") + name + "(" + list + ")}";
}

std::unique_ptr<Cursor> OdbcConnection::CallProcedure(const std::string& name, DbParams& params,
                                                      bool want_result) {
  if (name.empty()) throw DatabaseError("No stored procedure name is set");
  // The return value's marker comes first in the call text.
  DbParams ordered;
  for (const DbParam& p : params) {
    if (p.param_type == ParamType::ptResult) ordered.Add(p);
  }
  for (const DbParam& p : params) {
    if (p.param_type != ParamType::ptResult) ordered.Add(p);
  }
  std::string sql = ProcedureCallText(name, ordered);
  ClearMessages();
  primary_keys_.clear();
  auto stmt = std::make_unique<Statement>(*this);
  std::vector<ParamBuffer> buffers = BindParams(*this, stmt->get(), ordered);
  std::u16string text = Wide(sql);
  Check(ExecDirect(stmt->get(), text), SQL_HANDLE_STMT, stmt->get());

  std::unique_ptr<Cursor> result;
  const std::vector<ParamBuffer>* outputs = &buffers;
  std::unique_ptr<OdbcCursor> reader;
  if (want_result) {
    while (true) {
      SQLSMALLINT columns = 0;
      Check(SQLNumResultCols(stmt->get(), &columns), SQL_HANDLE_STMT, stmt->get());
      if (columns > 0) break;
      SQLRETURN r = SQLMoreResults(stmt->get());
      if (r == SQL_NO_DATA) throw DatabaseError("The stored procedure returned no result set");
      Check(r, SQL_HANDLE_STMT, stmt->get());
    }
    reader = std::make_unique<OdbcCursor>(shared_from_this(), std::move(stmt), std::move(buffers));
    result = MemoryCursor::ReadAll(*reader);  // reads past every result
    outputs = &reader->Params();
  } else {
    DrainResults(*this, stmt->get(), nullptr);
  }

  // Output values go back to the caller's parameters; `ordered` has the return value first.
  size_t result_index = 0, other_index = 0;
  size_t result_count = 0;
  for (const DbParam& p : params) result_count += p.param_type == ParamType::ptResult;
  for (DbParam& p : params) {
    size_t slot =
        p.param_type == ParamType::ptResult ? result_index++ : result_count + other_index++;
    if (p.IsOutput()) p.value = OutputValue(p, (*outputs)[slot]);
  }
  return result;
}

}  // namespace

std::shared_ptr<DriverConnection> OpenOdbcConnection(const ConnectionParams& params,
                                                     StopFlag stop) {
  auto conn = std::make_shared<OdbcConnection>(std::move(stop));
  conn->Connect(params);
  return conn;
}

}  // namespace pools::internal
