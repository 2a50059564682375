#include "service/data_methods.h"

#include <optional>

#include "common/text.h"
#include "pools/da_conn_pool.h"
#include "pools/da_query_pool.h"
#include "pools/da_stored_proc_pool.h"
#include "pools/database_error.h"
#include "service/change_apply.h"
#include "service/param_packing.h"
#include "service/payload_codec.h"
#include "service/result_stream.h"
#include "storage/change_set.h"

namespace service {
namespace {

using common::Variant;

std::u16string ToUtf16(std::string_view utf8) { return common::Utf8ToUtf16(utf8); }

pools::TDAConnectionPool& ConnectionPool(const ServiceContext& context) {
  if (context.connection_pool == nullptr) {
    throw EDataMethodError("The database pools of this server are not set up");
  }
  return *context.connection_pool;
}

// Why a connection pool lent nothing, as far as it can tell.
std::string NoConnectionReason(const pools::TDAConnectionPool& pool) {
  if (pool.ShuttingDown()) return "the server is shutting down";
  if (pool.BusyCount() >= pool.MaxCount()) {
    return "all " + std::to_string(pool.MaxCount()) + " database connections are busy";
  }
  const std::string error = pool.LastCreateError();
  if (!error.empty()) return "the database connection cannot be opened: " + error;
  return {};
}

// The message of a failure that happened because the pool lent no connection, with the cause.
std::string WithConnectionReason(const std::string& message, const pools::TDAConnection* conn,
                                 const pools::TDAConnectionPool& pool) {
  if (conn != nullptr) return message;
  const std::string reason = NoConnectionReason(pool);
  return reason.empty() ? message : message + " (" + reason + ")";
}

// Common opening of the query methods: a connection (possibly none), then a query object,
// bound to it. The guards give both back on every path, the query first (members are
// destroyed in reverse order).
struct QueryOpening {
  pools::PooledConnection connection;
  pools::PooledQuery query;

  QueryOpening(const ServiceContext& context, pools::PooledConnection&& conn)
      : connection(std::move(conn)), query(QueryPool(context)) {
    if (!query) {
      connection.reset();
      if (QueryPool(context).ShuttingDown()) throw EDataMethodError(pools::kShuttingDownMessage);
      throw EDataMethodError("No query object is available: all " +
                             std::to_string(QueryPool(context).MaxCount()) + " are busy");
    }
    query->SetConnection(connection.get());
  }

  static pools::TDAQueryPool& QueryPool(const ServiceContext& context) {
    if (context.query_pool == nullptr) {
      throw EDataMethodError("The database pools of this server are not set up");
    }
    return *context.query_pool;
  }
};

// The decompressed bytes of a compressed payload parameter; an error of the call otherwise.
common::Bytes CompressedPayload(const ServiceContext& context, const Variant& value,
                                const char* parameter) {
  std::optional<common::Bytes> stream = ByteArrayToStream(value);
  if (!stream) {
    throw EDataMethodError(std::string(parameter) + " is not a byte array (got " +
                           common::DebugString(value) + ")");
  }
  DecompressStreamInPlace(*stream, context.max_payload_size, context.decompression_budget);
  return std::move(*stream);
}

void AppendUtf16(std::u16string& out, common::ByteSpan bytes, bool big_endian) {
  out.reserve(bytes.size() / 2 + 1);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto hi = big_endian ? bytes[i] : bytes[i + 1];
    const auto lo = big_endian ? bytes[i + 1] : bytes[i];
    out += static_cast<char16_t>((hi << 8) | lo);
  }
  if (bytes.size() % 2 != 0) out += u'\uFFFD';  // half a code unit at the end
}

}  // namespace

std::string DecodeSqlText(common::ByteSpan bytes) {
  auto starts = [&](std::initializer_list<uint8_t> bom) {
    return bytes.size() >= bom.size() && std::equal(bom.begin(), bom.end(), bytes.begin());
  };
  if (starts({0xEF, 0xBB, 0xBF})) {
    // Through UTF-16 and back: malformed sequences become U+FFFD before they reach a driver.
    const auto* p = reinterpret_cast<const char*>(bytes.data()) + 3;
    return common::Utf16ToUtf8(common::Utf8ToUtf16(std::string_view(p, bytes.size() - 3)));
  }
  if (starts({0xFF, 0xFE}) || starts({0xFE, 0xFF})) {
    std::u16string text;
    AppendUtf16(text, bytes.subspan(2), bytes[0] == 0xFE);
    return common::Utf16ToUtf8(text);
  }
  return common::AnsiCodePage().ToUtf8(
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

Variant SQL2OleVariant(const ServiceContext& context, std::u16string_view SQLStr,
                       std::u16string& ErrMsg) {
  ErrMsg.clear();
  pools::TDAConnectionPool& pool = ConnectionPool(context);
  QueryOpening open(context, pools::PooledConnection(pool));
  pools::TDAQuery& query = *open.query;
  try {
    query.Close();
    query.SetSQLText(common::Utf16ToUtf8(SQLStr));
    query.Open();
  } catch (const std::exception& e) {
    ErrMsg = ToUtf16(WithConnectionReason(e.what(), open.connection.get(), pool));
    query.Close();
    return Variant();
  }
  Variant result;
  // A database with dynamic typing may hold values in a column that its described type cannot
  // carry (SQLite: 7, 'text' and 2.5 in one column): the result is read again from its start
  // with that column retyped to one that carries them. Each retype widens a column (to text,
  // then to blob), so this ends.
  std::vector<std::pair<int, common::DataType>> retyped;
  for (;;) {
    try {
      result = CursorToCompressedByteArray(query.Result());
      break;
    } catch (const pools::EColumnRetype& e) {
      if (retyped.size() >= 2 * static_cast<size_t>(query.Result().ColumnCount())) {
        ErrMsg = ToUtf16(e.what());
        break;
      }
      retyped.emplace_back(e.column(), e.type());
      try {
        query.Close();
        for (const auto& [column, type] : retyped) query.Retype(column, type);
        query.Open();
      } catch (const std::exception& again) {
        ErrMsg = ToUtf16(WithConnectionReason(again.what(), open.connection.get(), pool));
        break;
      }
    } catch (const pools::DatabaseError& e) {
      // The database failed while the rows were fetched: a failure of the query.
      ErrMsg = ToUtf16(e.what());
      break;
    }
  }
  query.Close();
  return result;
}

void ExecSQL(const ServiceContext& context, std::u16string_view SQLStr, std::u16string& ErrMsg) {
  ErrMsg.clear();
  pools::TDAConnectionPool& pool = ConnectionPool(context);
  pools::PooledConnection connection(pool);
  if (!connection) {
    const std::string reason = NoConnectionReason(pool);
    throw EDataMethodError("No database connection is available" +
                           (reason.empty() ? std::string() : ": " + reason));
  }
  // A transaction left open on any path is rolled back when the connection goes back.
  connection->StartTransaction();
  QueryOpening open(context, std::move(connection));
  pools::TDAQuery& query = *open.query;
  try {
    query.Close();
    query.SetSQLText(common::Utf16ToUtf8(SQLStr));
    query.Execute();
  } catch (const std::exception& e) {
    ErrMsg = ToUtf16(e.what());
    try {
      open.connection->Rollback();
    } catch (const pools::DatabaseError&) {
      // The guard rolls back again, or drops a connection that is gone.
    }
    return;
  }
  open.connection->Commit();
}

void UpdateSQL(const ServiceContext& context, const Variant& SQLList, std::u16string& ErrMsg) {
  ErrMsg.clear();
  pools::TDAConnectionPool& pool = ConnectionPool(context);
  QueryOpening open(context, pools::PooledConnection(pool));
  pools::TDAQuery& query = *open.query;
  std::string text;
  {
    const common::Bytes bytes = CompressedPayload(context, SQLList, "SQLList");
    text = DecodeSqlText(bytes);
  }
  // One command text of all the lines, run once.
  query.SetSQLText(text);
  try {
    query.Execute();
  } catch (const std::exception& e) {
    ErrMsg = ToUtf16(WithConnectionReason(e.what(), open.connection.get(), pool));
  }
}

void UpdateOleVariant(const ServiceContext& context, std::u16string_view UpdateTableName,
                      const Variant& SourceOleVariant, std::u16string& ErrMsg) {
  ErrMsg.clear();
  pools::TDAConnectionPool& pool = ConnectionPool(context);
  QueryOpening open(context, pools::PooledConnection(pool));
  pools::TDAQuery& query = *open.query;
  query.UpdateTableName = common::Utf16ToUtf8(UpdateTableName);

  std::optional<storage::TDAChangeSet> changes;
  {
    const common::Bytes stream = CompressedPayload(context, SourceOleVariant, "SourceOleVariant");
    changes.emplace(storage::TDAChangeSet::Load(stream));
  }
  if (!changes->JournalFound()) {
    throw EDataMethodError("SourceOleVariant is not a change set: it carries no updates journal");
  }
  // A journal without changes: nothing to apply, and nothing is an error.
  if (!changes->CachedUpdates() || changes->Changes().empty()) return;
  if (!open.connection) {
    const std::string reason = NoConnectionReason(pool);
    throw EDataMethodError("No database connection is available to apply the changes" +
                           (reason.empty() ? std::string() : ": " + reason));
  }
  const ApplyResult applied =
      ApplyChangeSet(*changes, query.UpdateTableName, *open.connection, query);
  if (applied.error_count > 0) ErrMsg = ToUtf16(applied.messages);
}

Variant StoredProc(const ServiceContext& context, std::u16string_view StoredProcName,
                   const Variant& InPutPack, Variant& OutPutPack, std::u16string& ErrMsg,
                   bool ResultDataSet) {
  OutPutPack = Variant();
  ErrMsg.clear();
  pools::TDAConnectionPool& pool = ConnectionPool(context);
  if (context.stored_proc_pool == nullptr) {
    throw EDataMethodError("The database pools of this server are not set up");
  }
  pools::PooledConnection connection(pool);
  pools::PooledStoredProc proc(*context.stored_proc_pool);
  if (!proc) {
    connection.reset();
    if (context.stored_proc_pool->ShuttingDown()) {
      throw EDataMethodError(pools::kShuttingDownMessage);
    }
    throw EDataMethodError("No stored procedure object is available: all " +
                           std::to_string(context.stored_proc_pool->MaxCount()) + " are busy");
  }
  proc->SetConnection(connection.get());
  proc->Close();
  // Naming the procedure empties its parameter list: the call passes its own parameters only.
  proc->SetStoredProcName(common::Utf16ToUtf8(StoredProcName));

  TParams input;
  OleVariantToParams(InPutPack, input);
  TParams output;
  for (const TParam& p : input) {
    // Size, precision and scale are not passed on.
    proc->Params().Add(common::Utf16ToUtf8(p.Name), FieldTypeToDataType(p.DataType), p.ParamType,
                       p.Value);
    if (p.ParamType == TParamType::ptOutput) {
      TParam out;
      out.Name = p.Name;
      out.DataType = p.DataType;
      out.ParamType = TParamType::ptOutput;
      output.Add(std::move(out));
    }
  }

  Variant result;
  try {
    if (ResultDataSet) {
      proc->Open();
      result = CursorToCompressedByteArray(proc->Result());
    } else {
      proc->ExecProc();
    }
    if (!output.empty()) {
      for (TParam& p : output) {
        const pools::DbParam* sent = proc->Params().FindParam(common::Utf16ToUtf8(p.Name));
        p.SetValue(sent != nullptr ? sent->value : Variant());
      }
      OutPutPack = ParamsToOleVariant(output, kAllParamTypes);
    }
  } catch (const std::exception& e) {
    ErrMsg = ToUtf16(WithConnectionReason(e.what(), connection.get(), pool));
  }
  proc.reset();
  return result;
}

}  // namespace service
