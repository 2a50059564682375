// The client library: one connection to a DataServer (or any server of this protocol).
//
//   client::ConnectionOptions options;           // host, port, properties, buffer size
//   options.properties = {{"User_Name", "admin"}, {"Password", "tulip"}};
//   client::Connection c(options);
//   c.Open();                                    // TCP connect + "connect" request
//   client::Command cmd = c.Prepare("RemoteDB.ServerMethod", "TServerModule1.ExecSQL");
//   client::ExecuteResult r = c.Execute(cmd, {common::Variant::String(u"delete from t")});
//   r.values[1]                                  // ErrMsg, by ordinal
//   c.CommandClose(cmd.handle);
//
// Values in and out are common::Variant, by parameter ordinal, encoded by the parameter's
// DataType from the prepare reply (string 26, OleVariant 35, Integer 6, Boolean 4, TDateTime
// 11, ...). A value longer than its inline capacity goes in pieces in both directions: inputs
// when the server asks for them during the execute, outputs by "more_blob" requests before
// Execute returns. Tables (the database-properties command) are read whole.
//
// Errors: an error reply throws RemoteError (class name, code and message as sent, the message
// with its "Remote error: " prefix); a broken connection throws protocol::TRDBError or
// protocol::ESocketError. After a TRDBError that breaks the stream the connection is unusable.
//
// Thread use: a Connection belongs to one thread at a time; use one per thread.
#ifndef DATASERVER_CLIENT_CONNECTION_H_
#define DATASERVER_CLIENT_CONNECTION_H_

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "common/error.h"
#include "common/variant.h"
#include "protocol/json_stream_reader.h"
#include "protocol/json_stream_writer.h"
#include "protocol/limits.h"
#include "protocol/method_table.h"
#include "protocol/param_buffer.h"
#include "protocol/param_value.h"
#include "protocol/table_result.h"

namespace protocol {
class ByteChannel;
class Socket;
class TRDBFilterSocketChannel;
}  // namespace protocol

namespace client {

// An error reply of the server.
class RemoteError : public common::Error {
 public:
  RemoteError(const std::string& class_name, const std::string& message, int code)
      : common::Error(class_name, message, code) {}
};

struct ConnectionOptions {
  std::string host = "127.0.0.1";
  uint16_t port = 211;
  // Sent with "connect", in order (UTF-8). Admission reads "User_Name"/"Password" or
  // "RSAuthenticationUser"/"RSAuthenticationPassword".
  std::vector<std::pair<std::string, std::string>> properties;
  int buffer_kb = 32;
  // The compression filter (a DataServer requires it); its threshold is the server's after
  // the negotiation.
  bool compression = true;
  int32_t compress_more_than = 1024;
  protocol::Limits limits;
};

// Properties with the service credentials.
ConnectionOptions LoginOptions(std::string host, uint16_t port, std::string user,
                               std::string password);

struct ConnectResult {
  int32_t handle = 0;
  std::u16string product_name;
  int32_t protocol_version = 0;
};

struct Command {
  int32_t handle = -1;
  std::vector<protocol::TRDBParameter> params;
  // The ordinal of the parameter named `name` (exact), or -1.
  int Ordinal(std::u16string_view name) const;
};

struct Table {
  int32_t command_handle = -1;
  int32_t row_handle = 0;
  std::vector<protocol::TableColumn> columns;
  std::vector<std::vector<common::Variant>> rows;
  // The first column named `name` (exact), or -1.
  int Column(std::u16string_view name) const;
};

struct ExecuteResult {
  // One value per parameter ordinal: outputs decoded, in parameters null.
  std::vector<common::Variant> values;
  std::vector<Table> tables;
  // The handle of the command the server used (an unprepared execute learns it from its
  // table; -1 when the reply does not tell).
  int32_t command_handle = -1;
};

// The database-properties table, by column name.
struct DatabaseProperties {
  std::u16string QuoteChar;
  std::u16string ProcedureQuoteChar;
  int32_t MaxCommands = 0;
  bool SupportsTransactions = false;
  bool SupportsNestedTransactions = false;
  bool SupportsRowSetSize = false;
  std::u16string ProductVersion;
  std::u16string ProductName;
  std::u16string QuotePrefix;
  std::u16string QuoteSuffix;
  bool SupportsLowerCaseIdentifiers = false;
  bool SupportsUpperCaseIdentifiers = false;
  bool SupportsSPReturnCode = false;
  bool SupportsParameterMetadata = false;
  bool SupportsCatalogFunctions = false;
  Table table;
};

class Connection {
 public:
  explicit Connection(ConnectionOptions options);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // TCP connect, then the "connect" request (the filter negotiation happens with the first
  // bytes sent). Throws RemoteError when the server refuses; the connection stays open.
  ConnectResult Open();
  // Only the TCP connect (for sending a "connect" later, or raw bytes).
  void OpenSocket();
  // The "connect" request with the options' properties.
  ConnectResult Connect();
  ConnectResult Connect(const std::vector<std::pair<std::string, std::string>>& properties);

  // Prepares a new command (handle -1) or prepares an existing one again.
  Command Prepare(std::string_view type, std::string_view text, int32_t handle = -1);
  Command PrepareMethod(std::string_view qualified_name) {
    return Prepare(protocol::kServerMethodType, qualified_name);
  }
  // Executes a prepared command with input values by ordinal (missing ones are null; values
  // at out ordinals are ignored).
  ExecuteResult Execute(const Command& command, const std::vector<common::Variant>& inputs = {});
  // Executes a command given by type and text without preparing it ("fields").
  ExecuteResult ExecuteUnprepared(std::string_view type, std::string_view text);
  // No reply is awaited for these two.
  void CommandClose(int32_t handle);
  void Disconnect();
  // The database-properties command (an unprepared "Rdb.MetaData" / "GetDatabase" execute,
  // its command closed afterwards).
  DatabaseProperties GetDatabase();

  // Sends "\"more_blob\"" for the value at `ordinal` of `command`'s parameter row and returns
  // the next piece's count and bytes (for tests of the exchange).
  int64_t FetchPiece(int32_t command, int32_t ordinal, common::Bytes& out);

  // --- Raw access, for tests: the message stream on top of the negotiated filters.
  // Sends `bytes` as they are, as one frame.
  void SendMessage(std::string_view bytes);
  void SendMessage(common::ByteSpan bytes);
  protocol::TRDBJSonStreamReader& reader() { return *reader_; }
  protocol::TRDBJSonStreamWriter& writer() { return *writer_; }
  // Reads one reply envelope start; an error reply is thrown as RemoteError.
  protocol::ReplyKind ReadReplyStart();
  // The compression threshold after the negotiation.
  int32_t compress_more_than() const;

  void Close();
  bool is_open() const;

 private:
  void WriteInputRow(const Command& command, const std::vector<common::Variant>& inputs);
  ExecuteResult ReadExecuteReply(const Command* command);
  void AnswerPieceRequest();
  Table ReadTableObject();
  void ReadRows(Table& table);
  std::vector<protocol::TRDBParameter> ReadParametersObject();
  void ExpectResult();

  ConnectionOptions options_;
  std::unique_ptr<protocol::Socket> socket_;
  std::unique_ptr<protocol::ByteChannel> socket_channel_;
  std::unique_ptr<protocol::TRDBFilterSocketChannel> filter_channel_;
  std::unique_ptr<protocol::TRDBJSonStreamReader> reader_;
  std::unique_ptr<protocol::TRDBJSonStreamWriter> writer_;
  protocol::ParamBuffer params_;
  std::map<int, std::unique_ptr<protocol::ValueSource>> pending_inputs_;
  common::Bytes row_;
};

// The value at `data_type` decoded (a row's value), continuation pieces fetched by `fetcher`.
common::Variant DecodeTypedValue(const protocol::EncodedValue& value, int32_t data_type,
                                 protocol::PieceFetcher* fetcher, int ordinal,
                                 const protocol::Limits& limits);

}  // namespace client

#endif  // DATASERVER_CLIENT_CONNECTION_H_
