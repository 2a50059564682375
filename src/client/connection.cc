#include "client/connection.h"

#include "common/text.h"
#include "protocol/blob_exchange.h"
#include "protocol/compression_filter.h"
#include "protocol/filter_channel.h"
#include "protocol/rdb_error.h"
#include "protocol/socket.h"

namespace client {
namespace {

using protocol::Token;

// The connection's socket as a byte channel.
class SocketChannel : public protocol::ByteChannel {
 public:
  explicit SocketChannel(protocol::Socket& socket) : socket_(socket) {}
  ptrdiff_t Read(uint8_t* buffer, size_t count) override {
    if (count == 0) return 0;
    const ptrdiff_t n = input_.Receive(socket_, buffer, count);
    if (n <= 0) throw protocol::ConnectionLostError();
    return n;
  }
  bool HasBufferedInput() const override { return input_.buffered() > 0; }
  void Write(const uint8_t* buffer, size_t count) override {
    try {
      socket_.SendAll(buffer, count);
    } catch (const protocol::ESocketError& e) {
      throw protocol::TRDBError(e.what(), protocol::kGeneralErrorCode, true);
    }
  }

 private:
  protocol::Socket& socket_;
  protocol::ReceiveBuffer input_;
};

[[noreturn]] void Unexpected(const std::string& what) {
  throw protocol::TRDBError("Unexpected reply: " + what, protocol::kParseErrorCode, true);
}

bool IsStringType(int32_t t) {
  return t == protocol::kDataTypeWideString || t == protocol::kDataTypeAnsiString;
}
bool IsStreamType(int32_t t) {
  return t == protocol::kDataTypeOleVariant || t == protocol::kDataTypeStream;
}
bool IsInt32Type(int32_t t) {
  return t == protocol::kDataTypeInteger || t == protocol::kDataTypeSmallInt ||
         t == protocol::kDataTypeShortInt || t == protocol::kDataTypeByte ||
         t == protocol::kDataTypeWord || t == protocol::kDataTypeTable;
}
bool IsInt64Type(int32_t t) {
  return t == protocol::kDataTypeInt64 || t == protocol::kDataTypeUInt64 ||
         t == protocol::kDataTypeCardinal;
}
bool IsDateType(int32_t t) {
  return t == protocol::kDataTypeDateTime || t == protocol::kDataTypeTimeStamp ||
         t == protocol::kDataTypeDate || t == protocol::kDataTypeTime;
}
bool IsInput(int32_t direction) {
  return direction == protocol::kDirectionIn || direction == protocol::kDirectionInOut;
}

std::string Utf8(std::u16string_view text) { return common::Utf16ToUtf8(text); }

}  // namespace

ConnectionOptions LoginOptions(std::string host, uint16_t port, std::string user,
                               std::string password) {
  ConnectionOptions options;
  options.host = std::move(host);
  options.port = port;
  options.properties = {{"User_Name", std::move(user)}, {"Password", std::move(password)}};
  return options;
}

int Command::Ordinal(std::u16string_view name) const {
  for (size_t i = 0; i < params.size(); ++i) {
    if (params[i].Name == name) return static_cast<int>(i);
  }
  return -1;
}

int Table::Column(std::u16string_view name) const {
  for (size_t i = 0; i < columns.size(); ++i) {
    if (columns[i].Name == name) return static_cast<int>(i);
  }
  return -1;
}

common::Variant DecodeTypedValue(const protocol::EncodedValue& value, int32_t data_type,
                                 protocol::PieceFetcher* fetcher, int ordinal,
                                 const protocol::Limits& limits) {
  using common::Variant;
  if (value.is_null()) return Variant::Null();
  if (IsStringType(data_type)) {
    return Variant::String(protocol::DecodeString(value, fetcher, ordinal, limits));
  }
  if (IsStreamType(data_type)) return protocol::DecodeVariant(value, fetcher, ordinal, limits);
  if (IsInt32Type(data_type)) return Variant::Integer(protocol::DecodeInt32(value));
  if (IsInt64Type(data_type)) return Variant::Int64(protocol::DecodeInt64(value));
  if (data_type == protocol::kDataTypeBoolean)
    return Variant::Boolean(protocol::DecodeBoolean(value));
  if (IsDateType(data_type)) return Variant::Date(protocol::DecodeDateTime(value));
  if (data_type == protocol::kDataTypeDouble || data_type == protocol::kDataTypeCurrency) {
    return Variant::Double(protocol::DecodeDouble(value));
  }
  if (data_type == protocol::kDataTypeSingle) return Variant::Single(protocol::DecodeSingle(value));
  if (data_type == protocol::kDataTypeJson) {
    return Variant::String(common::Utf8ToUtf16(protocol::DecodeJsonText(value)));
  }
  return Variant();
}

Connection::Connection(ConnectionOptions options)
    : options_(std::move(options)), params_(protocol::BufferSizeFromKB(options_.buffer_kb)) {}

Connection::~Connection() = default;

void Connection::OpenSocket() {
  Close();
  socket_ = std::make_unique<protocol::Socket>(
      protocol::Socket::ConnectTcp(options_.host, options_.port));
  socket_channel_ = std::make_unique<SocketChannel>(*socket_);
  protocol::FilterList filters;
  if (options_.compression) {
    auto filter = std::make_unique<protocol::TTransportCompressionFilter>();
    filter->SetParameterValue("CompressMoreThan", std::to_string(options_.compress_more_than));
    filters.push_back(std::move(filter));
  }
  filter_channel_ = std::make_unique<protocol::TRDBFilterSocketChannel>(
      *socket_channel_, std::move(filters), options_.limits);
  const size_t buffer_size = protocol::BufferSizeFromKB(options_.buffer_kb);
  reader_ = std::make_unique<protocol::TRDBJSonStreamReader>(*filter_channel_, buffer_size,
                                                             options_.limits);
  writer_ = std::make_unique<protocol::TRDBJSonStreamWriter>(*filter_channel_, buffer_size);
}

ConnectResult Connection::Open() {
  OpenSocket();
  return Connect();
}

void Connection::Close() {
  writer_.reset();
  reader_.reset();
  filter_channel_.reset();
  socket_channel_.reset();
  socket_.reset();
  pending_inputs_.clear();
}

bool Connection::is_open() const { return socket_ != nullptr; }

int32_t Connection::compress_more_than() const {
  if (filter_channel_) {
    for (const auto& f : filter_channel_->filters()) {
      if (auto* c = dynamic_cast<const protocol::TTransportCompressionFilter*>(f.get())) {
        return c->compress_more_than();
      }
    }
  }
  return 0;
}

protocol::ReplyKind Connection::ReadReplyStart() {
  const protocol::ReplyKind kind = reader_->ReadReplyStart();
  if (kind == protocol::ReplyKind::kError) {
    const protocol::RemoteErrorInfo info = reader_->ReadErrorBody();
    throw RemoteError(info.class_name, Utf8(info.message), info.code);
  }
  return kind;
}

void Connection::ExpectResult() {
  if (ReadReplyStart() != protocol::ReplyKind::kResult) Unexpected("not a result");
  reader_->Next(Token::kArrayStart);
}

void Connection::SendMessage(std::string_view bytes) { SendMessage(common::AsBytes(bytes)); }

void Connection::SendMessage(common::ByteSpan bytes) {
  writer_->WriteDataBytes(bytes);
  writer_->Flush();
}

ConnectResult Connection::Connect() { return Connect(options_.properties); }

ConnectResult Connection::Connect(
    const std::vector<std::pair<std::string, std::string>>& properties) {
  writer_->WriteRequestStart(protocol::RequestName::kConnect);
  writer_->WriteObjectStart();
  bool first = true;
  for (const auto& [name, value] : properties) {
    if (!first) writer_->WriteValueSeparator();
    first = false;
    writer_->WriteUtf8String(name);
    writer_->WriteNameSeparator();
    writer_->WriteUtf8String(value);
  }
  writer_->WriteObjectEnd();
  writer_->WriteRequestEnd();
  writer_->Flush();
  ExpectResult();
  ConnectResult result;
  result.handle = reader_->ReadInt();
  reader_->NextValueSeparator();
  result.product_name = reader_->ReadString();
  reader_->NextValueSeparator();
  result.protocol_version = reader_->ReadInt();
  reader_->Next(Token::kArrayEnd);
  reader_->Next(Token::kObjectEnd);
  return result;
}

std::vector<protocol::TRDBParameter> Connection::ReadParametersObject() {
  std::vector<protocol::TRDBParameter> params;
  reader_->Next(Token::kArrayStart);
  const int32_t count = reader_->ReadInt();
  for (int32_t i = 0; i < count; ++i) {
    reader_->NextValueSeparator();
    reader_->Next(Token::kArrayStart);
    protocol::TRDBParameter p;
    p.DataType = reader_->ReadInt();
    reader_->NextValueSeparator();
    p.SubType = reader_->ReadInt();
    reader_->NextValueSeparator();
    p.Direction = reader_->ReadInt();
    reader_->NextValueSeparator();
    p.Precision = reader_->ReadLong();
    reader_->NextValueSeparator();
    p.Scale = reader_->ReadInt();
    reader_->NextValueSeparator();
    p.Name = reader_->ReadString();
    reader_->NextValueSeparator();
    p.ChildPosition = reader_->ReadInt();
    reader_->NextValueSeparator();
    p.Size = reader_->ReadInt();
    reader_->NextValueSeparator();
    p.Flags = reader_->ReadInt();
    if (p.Flags & protocol::kParamFlagLiteral) {
      reader_->NextValueSeparator();
      p.Literal = std::u16string(reader_->ReadString());
    }
    reader_->Next(Token::kArrayEnd);
    params.push_back(std::move(p));
  }
  reader_->Next(Token::kArrayEnd);
  reader_->Next(Token::kObjectEnd);
  return params;
}

Command Connection::Prepare(std::string_view type, std::string_view text, int32_t handle) {
  writer_->WriteRequestStart(protocol::RequestName::kPrepare);
  writer_->WriteInt(handle);
  writer_->WriteRaw(",false,");
  writer_->WriteUtf8String(type);
  writer_->WriteValueSeparator();
  writer_->WriteUtf8String(text);
  writer_->WriteRequestEnd();
  writer_->Flush();

  ExpectResult();
  Command command;
  reader_->Next(Token::kObjectStart);
  reader_->ReadKey("handle");
  reader_->Next(Token::kArrayStart);
  command.handle = reader_->ReadInt();
  reader_->Next(Token::kArrayEnd);
  reader_->Next(Token::kObjectEnd);
  for (Token t = reader_->Next(); t != Token::kArrayEnd; t = reader_->Next()) {
    if (t == Token::kComma) continue;
    if (t != Token::kObjectStart) reader_->FailUnexpected(Token::kObjectStart, t);
    if (reader_->Next() != Token::kString) Unexpected("a key in the prepare reply");
    const std::u16string key(reader_->last_string());
    reader_->Next(Token::kColon);
    if (key == u"parameters") {
      command.params = ReadParametersObject();
    } else {
      reader_->SkipToEndOfObject();
    }
  }
  reader_->Next(Token::kObjectEnd);
  return command;
}

void Connection::WriteInputRow(const Command& command, const std::vector<common::Variant>& inputs) {
  params_.Rewind();
  pending_inputs_.clear();
  for (size_t i = 0; i < command.params.size(); ++i) {
    const protocol::TRDBParameter& p = command.params[i];
    const common::Variant value = i < inputs.size() ? inputs[i] : common::Variant::Null();
    const int32_t t = p.DataType;
    std::unique_ptr<protocol::ValueSource> rest;
    if (!IsInput(p.Direction) || (value.IsEmptyOrNull() && !IsStreamType(t))) {
      params_.PutNull();
    } else if (IsStringType(t)) {
      rest = params_.PutString(value.ToText().value_or(std::u16string()));
    } else if (IsStreamType(t)) {
      rest = params_.PutVariant(value);
    } else if (IsInt32Type(t)) {
      params_.PutInt32(static_cast<int32_t>(value.ToInt64().value_or(0)));
    } else if (IsInt64Type(t)) {
      params_.PutInt64(value.ToInt64().value_or(0));
    } else if (t == protocol::kDataTypeBoolean) {
      params_.PutBoolean(value.ToBool().value_or(false));
    } else if (IsDateType(t)) {
      params_.PutDateTime(value.ToDouble().value_or(0));
    } else if (t == protocol::kDataTypeSingle) {
      params_.PutSingle(static_cast<float>(value.ToDouble().value_or(0)));
    } else if (t == protocol::kDataTypeDouble || t == protocol::kDataTypeCurrency) {
      params_.PutDouble(value.ToDouble().value_or(0));
    } else {
      params_.PutNull();
    }
    if (rest) pending_inputs_[static_cast<int>(i)] = std::move(rest);
  }
}

ExecuteResult Connection::Execute(const Command& command,
                                  const std::vector<common::Variant>& inputs) {
  WriteInputRow(command, inputs);
  writer_->WriteRequestStart(protocol::RequestName::kExecute);
  writer_->WriteRaw(protocol::kHandleLiteral);
  writer_->WriteInt(command.handle);
  writer_->WriteRaw("]},");
  writer_->WriteDataBlock(params_.row());
  writer_->WriteRequestEnd();
  writer_->Flush();
  ExecuteResult result = ReadExecuteReply(&command);
  result.command_handle = command.handle;
  return result;
}

ExecuteResult Connection::ExecuteUnprepared(std::string_view type, std::string_view text) {
  pending_inputs_.clear();
  writer_->WriteRequestStart(protocol::RequestName::kExecute);
  writer_->WriteRaw(protocol::kFieldsLiteral);
  writer_->WriteRaw("-1,false,");
  writer_->WriteUtf8String(type);
  writer_->WriteValueSeparator();
  writer_->WriteUtf8String(text);
  writer_->WriteRaw("]}");
  writer_->WriteRequestEnd();
  writer_->Flush();
  return ReadExecuteReply(nullptr);
}

void Connection::AnswerPieceRequest() {
  // {"more_blob":[<command>,<blob>,<row>,<ordinal>,<row handle>]}
  reader_->Next(Token::kArrayStart);
  reader_->ReadInt();
  reader_->NextValueSeparator();
  reader_->ReadInt();
  reader_->NextValueSeparator();
  reader_->ReadLong();
  reader_->NextValueSeparator();
  const int ordinal = reader_->ReadInt();
  reader_->SkipToEndOfObject();
  const size_t max_piece = writer_->buffer_size() - protocol::kPieceReserve;
  auto it = pending_inputs_.find(ordinal);
  if (it == pending_inputs_.end()) {
    protocol::BytesSource none({});
    writer_->WritePiece(none, max_piece);
    return;
  }
  if (writer_->WritePiece(*it->second, max_piece) <= 0) pending_inputs_.erase(it);
}

Table Connection::ReadTableObject() {
  // [{"fields":[<command>,false,<row handle>,0,true]},{"columns":[<n>,<column>...]}]}
  Table table;
  reader_->Next(Token::kArrayStart);
  reader_->Next(Token::kObjectStart);
  reader_->ReadKey("fields");
  reader_->Next(Token::kArrayStart);
  table.command_handle = reader_->ReadInt();
  reader_->NextValueSeparator();
  reader_->ReadBoolean();
  reader_->NextValueSeparator();
  table.row_handle = reader_->ReadInt();
  reader_->SkipToEndOfArray();
  reader_->Next(Token::kObjectEnd);
  reader_->NextValueSeparator();
  reader_->Next(Token::kObjectStart);
  reader_->ReadKey("columns");
  reader_->Next(Token::kArrayStart);
  const int32_t count = reader_->ReadInt();
  for (int32_t i = 0; i < count; ++i) {
    reader_->NextValueSeparator();
    reader_->Next(Token::kArrayStart);
    protocol::TableColumn c;
    c.Name = reader_->ReadString();
    reader_->NextValueSeparator();
    c.DataType = reader_->ReadInt();
    reader_->NextValueSeparator();
    c.SubType = reader_->ReadInt();
    reader_->NextValueSeparator();
    c.Precision = reader_->ReadLong();
    reader_->NextValueSeparator();
    c.Scale = reader_->ReadInt();
    reader_->NextValueSeparator();
    c.Size = reader_->ReadInt();
    reader_->NextValueSeparator();
    c.Flags = reader_->ReadInt();
    reader_->NextValueSeparator();
    c.Direction = reader_->ReadInt();
    reader_->Next(Token::kArrayEnd);
    table.columns.push_back(std::move(c));
  }
  reader_->Next(Token::kArrayEnd);
  reader_->Next(Token::kObjectEnd);
  reader_->Next(Token::kArrayEnd);
  reader_->Next(Token::kObjectEnd);
  return table;
}

void Connection::ReadRows(Table& table) {
  common::Bytes block;
  for (;;) {
    if (ReadReplyStart() != protocol::ReplyKind::kData) Unexpected("not a rows block");
    block.clear();
    const int64_t count = reader_->ReadDataArray(block);
    reader_->Next(Token::kObjectEnd);
    size_t at = 0;
    while (at < block.size()) {
      std::vector<common::Variant> row;
      for (size_t c = 0; c < table.columns.size(); ++c) {
        size_t size = 0;
        const protocol::EncodedValue v =
            protocol::SplitValue(common::ByteSpan(block).subspan(at), size);
        row.push_back(DecodeTypedValue(v, table.columns[c].DataType, nullptr, static_cast<int>(c),
                                       options_.limits));
        at += size;
      }
      table.rows.push_back(std::move(row));
    }
    if (count <= 0) return;
    // The block stopped at its size limit: ask for the next one.
    writer_->WriteRequestStart(protocol::RequestName::kNext);
    writer_->WriteInt(table.row_handle);
    writer_->WriteRaw(",0,");
    writer_->WriteInt(table.command_handle);
    writer_->WriteRequestEnd();
    writer_->Flush();
  }
}

ExecuteResult Connection::ReadExecuteReply(const Command* command) {
  protocol::ReplyKind kind;
  while ((kind = ReadReplyStart()) == protocol::ReplyKind::kMoreBlob) AnswerPieceRequest();
  if (kind != protocol::ReplyKind::kResult) Unexpected("not a result");
  reader_->Next(Token::kArrayStart);
  reader_->Next(Token::kObjectStart);
  reader_->ReadKey("rows");
  reader_->SkipToEndOfObject();

  ExecuteResult result;
  bool have_row = false;
  row_.clear();
  for (Token t = reader_->Next(); t != Token::kArrayEnd; t = reader_->Next()) {
    if (t == Token::kComma) continue;
    if (t != Token::kObjectStart) reader_->FailUnexpected(Token::kObjectStart, t);
    if (reader_->Next() != Token::kString) Unexpected("a key in the execute reply");
    const std::u16string key(reader_->last_string());
    reader_->Next(Token::kColon);
    if (key == u"data") {
      reader_->ReadDataArray(row_);
      reader_->Next(Token::kObjectEnd);
      have_row = true;
    } else if (key == u"table") {
      result.tables.push_back(ReadTableObject());
    } else {
      reader_->SkipToEndOfObject();
    }
  }
  reader_->Next(Token::kObjectEnd);
  for (Table& table : result.tables) {
    ReadRows(table);
    result.command_handle = table.command_handle;
  }
  if (!command || !have_row) return result;

  // Outputs, with the pieces of values that did not fit inline.
  protocol::ParamRowReader row(row_);
  protocol::ClientPieceFetcher fetcher(*reader_, *writer_, command->handle);
  result.values.resize(command->params.size(), common::Variant::Null());
  for (size_t i = 0; i < command->params.size(); ++i) {
    const protocol::TRDBParameter& p = command->params[i];
    if (p.Direction == protocol::kDirectionIn) continue;
    result.values[i] =
        DecodeTypedValue(row.At(i), p.DataType, &fetcher, static_cast<int>(i), options_.limits);
  }
  return result;
}

int64_t Connection::FetchPiece(int32_t command, int32_t ordinal, common::Bytes& out) {
  writer_->WriteRequestStart(protocol::RequestName::kMoreBlob);
  writer_->WriteInt(command);
  writer_->WriteRaw(",1,0,");
  writer_->WriteInt(ordinal);
  writer_->WriteRaw(",true,0");
  writer_->WriteRequestEnd();
  writer_->Flush();
  ExpectResult();
  const int64_t count = reader_->ReadDataBlock(out);
  reader_->Next(Token::kArrayEnd);
  reader_->Next(Token::kObjectEnd);
  return count;
}

void Connection::CommandClose(int32_t handle) {
  writer_->WriteRequestStart(protocol::RequestName::kCommandClose);
  writer_->WriteInt(handle);
  writer_->WriteRequestEnd();
  writer_->Flush();
}

void Connection::Disconnect() {
  writer_->WriteRequestStart(protocol::RequestName::kDisconnect);
  writer_->WriteInt(0);
  writer_->WriteRequestEnd();
  writer_->Flush();
}

DatabaseProperties Connection::GetDatabase() {
  ExecuteResult r = ExecuteUnprepared(protocol::kMetaDataType, "GetDatabase");
  if (r.tables.empty()) Unexpected("the database-properties reply has no table");
  if (r.command_handle >= 0) CommandClose(r.command_handle);
  DatabaseProperties p;
  p.table = std::move(r.tables.front());
  const Table& t = p.table;
  if (t.rows.empty()) return p;
  const std::vector<common::Variant>& row = t.rows.front();
  auto text = [&](std::u16string_view name, std::u16string& out) {
    const int c = t.Column(name);
    if (c >= 0 && row[c].IsText()) out = row[c].text();
  };
  auto flag = [&](std::u16string_view name, bool& out) {
    const int c = t.Column(name);
    if (c >= 0) out = row[c].ToBool().value_or(false);
  };
  text(u"QuoteChar", p.QuoteChar);
  text(u"ProcedureQuoteChar", p.ProcedureQuoteChar);
  if (const int c = t.Column(u"MaxCommands"); c >= 0) {
    p.MaxCommands = static_cast<int32_t>(row[c].ToInt64().value_or(0));
  }
  flag(u"SupportsTransactions", p.SupportsTransactions);
  flag(u"SupportsNestedTransactions", p.SupportsNestedTransactions);
  flag(u"SupportsRowSetSize", p.SupportsRowSetSize);
  text(u"ProductVersion", p.ProductVersion);
  text(u"ProductName", p.ProductName);
  text(u"QuotePrefix", p.QuotePrefix);
  text(u"QuoteSuffix", p.QuoteSuffix);
  flag(u"SupportsLowerCaseIdentifiers", p.SupportsLowerCaseIdentifiers);
  flag(u"SupportsUpperCaseIdentifiers", p.SupportsUpperCaseIdentifiers);
  flag(u"SupportsSPReturnCode", p.SupportsSPReturnCode);
  flag(u"SupportsParameterMetadata", p.SupportsParameterMetadata);
  flag(u"SupportsCatalogFunctions", p.SupportsCatalogFunctions);
  return p;
}

}  // namespace client
