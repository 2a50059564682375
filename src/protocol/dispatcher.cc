#include "protocol/dispatcher.h"

#include <exception>
#include <new>
#include <string>

#include "common/text.h"
#include "protocol/blob_exchange.h"
#include "protocol/rdb_error.h"

namespace protocol {
namespace {

constexpr int kMaxCauseDepth = 10;
constexpr std::string_view kConnectReply = "{\"result\":[0,\"RemoteDB\",2]}";

bool KeyIs(std::u16string_view key, std::u16string_view expected) { return key == expected; }

// The text of an error reply: the message, then each nested cause not already in it.
void AppendCauses(const std::exception& e, std::string& text, int depth) {
  if (depth >= kMaxCauseDepth) return;
  try {
    std::rethrow_if_nested(e);
  } catch (const std::exception& inner) {
    const std::string message = inner.what();
    if (text.find(message) == std::string::npos) text += "\nCaused by: " + message;
    AppendCauses(inner, text, depth + 1);
  } catch (...) {
  }
}

std::string ErrorText(const std::exception& e, const std::string& class_name) {
  std::string text = e.what();
  if (text.empty()) text = class_name;
  AppendCauses(e, text, 0);
  return text;
}

// A literal argument ("Name('x', 3)") as the argument of a parameter of `type`.
common::Variant LiteralValue(common::DeclaredType type, const std::u16string& literal) {
  const common::Variant text = common::Variant::String(literal);
  switch (type) {
    case common::DeclaredType::kString:
    case common::DeclaredType::kOleVariant:
      return text;
    case common::DeclaredType::kInteger:
      return common::Variant::Integer(static_cast<int32_t>(text.ToInt64().value_or(0)));
    case common::DeclaredType::kBoolean:
      return common::Variant::Boolean(text.ToBool().value_or(false));
    case common::DeclaredType::kDateTime:
      return common::Variant::Date(text.ToDouble().value_or(0));
  }
  return text;
}

}  // namespace

struct Dispatcher::Command {
  explicit Command(int32_t h) : handle(h) {}

  const int32_t handle;
  const MethodEntry* method = nullptr;
  // The instance of a "Session" or "Server" class (not owned here).
  common::RemoteInstance* instance = nullptr;
  std::vector<TRDBParameter> params;
  bool executed = false;
  // The rest of each output value of the parameter row that did not fit inline, by ordinal.
  std::map<int32_t, std::unique_ptr<ValueSource>> pending;
  // Tables returned by the last execute; row handles from 1.
  std::vector<TableResult> tables;
};

Dispatcher::Dispatcher(TRSServer& server, TRDBJSonStreamReader& reader,
                       TRDBJSonStreamWriter& writer, TRSTCPChannel* channel, TRSTCPSession* session)
    : server_(server),
      reader_(reader),
      writer_(writer),
      channel_(channel),
      session_(session),
      limits_(server.limits),
      params_(writer.buffer_size()) {
  commands_.resize(kInitialCommandSlots);
}

Dispatcher::~Dispatcher() {
  commands_.clear();
  ReleaseInstances();
}

void Dispatcher::ReleaseInstances() {
  for (auto& [name, entry] : instances_) {
    try {
      entry.owner->DestroyInstance(entry.instance);
    } catch (...) {
      // A class that cannot take its instance back must not stop the others.
    }
  }
  instances_.clear();
}

void Dispatcher::Run() {
  for (;;) {
    RequestName name;
    try {
      name = reader_.ReadRequestName();
    } catch (const TRDBInputRefused&) {
      ReplyError(std::current_exception());  // the client learns why before the end
      return;
    } catch (...) {
      return;  // the connection ended, or a request cannot even start: no reply
    }
    if (!Handle(name)) return;
  }
}

bool Dispatcher::Handle(RequestName name) {
  try {
    switch (name) {
      case RequestName::kUnknown:
      case RequestName::kMetadata:
        return true;  // read to its end; no reply
      default:
        break;
    }
    reader_.ReadArgumentsStart();
    switch (name) {
      case RequestName::kConnect:
        HandleConnect();
        break;
      case RequestName::kDisconnect:
        // The disconnect steps write nothing and leave the connect state as it is; the client
        // closes the socket when it is done.
        reader_.ReadInt();
        reader_.SkipToEndOfObject();
        break;
      case RequestName::kPrepare:
        HandlePrepare();
        break;
      case RequestName::kExecute:
        HandleExecute();
        break;
      case RequestName::kMoreBlob:
        HandleMoreBlob();
        break;
      case RequestName::kCommandClose:
        HandleCommandClose();
        break;
      case RequestName::kReaderClose:
        HandleReaderClose();
        break;
      case RequestName::kNext:
        HandleNext();
        break;
      case RequestName::kNextResult:
        reader_.ReadInt();
        reader_.SkipToEndOfObject();
        writer_.WriteRaw("{\"result\":[false,0,false,-1]}");
        writer_.Flush();
        break;
      case RequestName::kTxBegin:
        reader_.ReadInt();
        reader_.SkipToEndOfObject();
        writer_.WriteRaw("{\"result\":[0]}");
        writer_.Flush();
        break;
      case RequestName::kTxEnd:
        reader_.ReadBoolean();
        reader_.NextValueSeparator();
        reader_.ReadInt();
        reader_.SkipToEndOfObject();
        writer_.WriteRaw("{\"result\":[]}");
        writer_.Flush();
        break;
      case RequestName::kVendorProperty:
        reader_.ReadString();
        reader_.SkipToEndOfObject();
        writer_.WriteRaw("{\"result\":[\"\"]}");
        writer_.Flush();
        break;
      default:
        break;
    }
    return true;
  } catch (...) {
    return ReplyError(std::current_exception());
  }
}

bool Dispatcher::ReplyError(std::exception_ptr error) {
  std::string class_name = "Exception";
  int32_t code = kForeignErrorCode;
  std::string message;
  bool breaks = false;
  try {
    std::rethrow_exception(error);
  } catch (const TRDBError& e) {
    class_name = e.class_name();
    code = e.code();
    breaks = e.breaks_stream();
    message = ErrorText(e, class_name);
  } catch (const common::Error& e) {
    class_name = e.class_name();
    message = ErrorText(e, class_name);
  } catch (const std::bad_alloc&) {
    class_name = "EOutOfMemory";
    message = "Out of memory";
  } catch (const std::exception& e) {
    message = ErrorText(e, class_name);
  } catch (...) {
    message = "Unknown error";
  }
  // A reply that failed half-way was never flushed: drop its bytes.
  writer_.DiscardBuffered();
  try {
    writer_.WriteErrorReply(class_name, code, message);
    writer_.Flush();
  } catch (...) {
    return false;
  }
  return !breaks;
}

void Dispatcher::RequireConnected() const {
  if (!connected_) throw TRDBError(kNotConnectedMessage);
}

void Dispatcher::HandleConnect() {
  TRDBProperties properties;
  size_t pairs = 0;
  size_t bytes = 0;
  reader_.Next(Token::kObjectStart);
  for (Token t = reader_.Next(); t != Token::kObjectEnd; t = reader_.Next()) {
    if (t == Token::kComma) continue;
    if (t != Token::kString) reader_.FailUnexpected(Token::kString, t);
    if (++pairs > kMaxConnectProperties) {
      throw TRDBError("The connect request carries more than " +
                          std::to_string(kMaxConnectProperties) + " properties",
                      kParseErrorCode, true);
    }
    const std::string name = common::Utf16ToUtf8(reader_.last_string());
    reader_.Next(Token::kColon);
    std::string value;
    switch (const Token v = reader_.Next()) {
      case Token::kString:
        value = common::Utf16ToUtf8(reader_.last_string());
        break;
      case Token::kNumber:
        value = std::to_string(reader_.last_number());
        break;
      case Token::kTrue:
        value = "true";
        break;
      case Token::kFalse:
        value = "false";
        break;
      case Token::kNull:
        break;
      default:
        reader_.FailUnexpected(Token::kString, v);
    }
    bytes += name.size() + value.size();
    if (bytes > kMaxConnectPropertyBytes) {
      throw TRDBError("The connect request's properties exceed " +
                          std::to_string(kMaxConnectPropertyBytes) + " bytes",
                      kParseErrorCode, true);
    }
    properties.Set(name, value);
  }
  reader_.SkipToEndOfObject();

  properties_ = std::move(properties);
  connected_ = true;
  try {
    if (session_ && !session_->Authenticate(properties_)) {
      throw TRDBError(
          "Authentication manager rejected user credentials. This may due to invalid "
          "combination of RS user name and password");
    }
    if (server_.OnConnect) {
      const TRDBSocketChannelInfo* info =
          channel_ && channel_->ChannelInfo() ? &*channel_->ChannelInfo() : nullptr;
      const TRSConnectEventObject event{properties_, info, nullptr, server_};
      server_.OnConnect(event);
    }
    // "ServerConnection" would name a method supplying the session's database connection;
    // every client of this server uses the default handler, whose product is "RemoteDB".
  } catch (...) {
    connected_ = false;
    if (OnAdmissionChanged) OnAdmissionChanged(false);
    throw;
  }
  if (OnAdmissionChanged) OnAdmissionChanged(true);
  writer_.WriteRaw(kConnectReply);
  writer_.Flush();
}

Dispatcher::Command& Dispatcher::NewCommand(std::u16string_view type, std::u16string_view text) {
  const CommandSelection selection = SelectCommand(type, text, server_.methods());
  size_t slot = lowest_free_;
  while (slot < commands_.size() && commands_[slot]) ++slot;
  if (slot == commands_.size()) commands_.resize(commands_.size() + kCommandSlotGrowth);
  commands_[slot] = std::make_unique<Command>(static_cast<int32_t>(slot));
  lowest_free_ = slot + 1;
  try {
    PrepareCommand(*commands_[slot], selection.method_text);
  } catch (...) {
    // A command that cannot be prepared does not keep its slot.
    FreeCommand(static_cast<int32_t>(slot));
    throw;
  }
  return *commands_[slot];
}

Dispatcher::Command& Dispatcher::FindCommand(int32_t handle) {
  if (handle < 0) throw TRDBError("Command closed or executed again", kCommandClosedErrorCode);
  if (static_cast<size_t>(handle) >= commands_.size() || !commands_[handle]) {
    throw TRDBError("Invalid command handle:  " + std::to_string(handle), kInvalidHandleErrorCode);
  }
  return *commands_[handle];
}

void Dispatcher::FreeCommand(int32_t handle) {
  FindCommand(handle);
  commands_[handle].reset();
  if (static_cast<size_t>(handle) < lowest_free_) lowest_free_ = static_cast<size_t>(handle);
}

common::RemoteInstance* Dispatcher::InstanceFor(const MethodEntry& method) {
  common::RemoteClass& owner = *method.remote_class;
  switch (method.lifecycle) {
    case common::InstanceLifecycle::kServer:
      return server_.SharedInstance(owner);
    case common::InstanceLifecycle::kInvocation:
      return nullptr;  // a fresh one for every execute
    case common::InstanceLifecycle::kSession:
      break;
  }
  auto it = instances_.find(method.class_name);
  if (it != instances_.end()) return it->second.instance;
  common::RemoteInstance* instance = owner.CreateInstance();
  if (!instance) {
    throw TRDBError("OnGetClass event not set or it did not provide a class reference",
                    kInvalidHandleErrorCode);
  }
  instances_.emplace(method.class_name, SessionInstance{&owner, instance});
  return instance;
}

void Dispatcher::PrepareCommand(Command& command, std::u16string_view method_text) {
  command.method = nullptr;
  command.instance = nullptr;
  command.pending.clear();
  command.tables.clear();
  command.executed = false;

  std::string scanned;
  const MethodEntry* method = server_.methods().Lookup(method_text, &scanned);
  if (!method) {
    throw TRDBError(scanned + " method not found in the server method list",
                    kMethodNotFoundErrorCode);
  }
  if (method->remote_class) command.instance = InstanceFor(*method);
  command.params = method->params;
  const std::vector<std::u16string> literals = LiteralArguments(method_text);
  size_t next = 0;
  for (TRDBParameter& p : command.params) {
    if (next == literals.size()) break;
    if (p.Direction == kDirectionReturn) continue;
    p.Flags |= kParamFlagLiteral;
    p.Literal = literals[next++];
  }
  command.method = method;
}

void Dispatcher::WriteParametersObject(const std::vector<TRDBParameter>& params) {
  writer_.WriteRaw(kParametersLiteral);
  writer_.WriteInt(static_cast<int32_t>(params.size()));
  for (const TRDBParameter& p : params) {
    writer_.WriteRaw(",[");
    writer_.WriteInt(p.DataType);
    writer_.WriteValueSeparator();
    writer_.WriteInt(p.SubType);
    writer_.WriteValueSeparator();
    writer_.WriteInt(p.Direction);
    writer_.WriteValueSeparator();
    writer_.WriteLong(p.Precision);
    writer_.WriteValueSeparator();
    writer_.WriteInt(p.Scale);
    writer_.WriteValueSeparator();
    writer_.WriteString(p.Name);
    writer_.WriteValueSeparator();
    writer_.WriteInt(p.ChildPosition);
    writer_.WriteValueSeparator();
    writer_.WriteInt(p.Size);
    writer_.WriteValueSeparator();
    writer_.WriteInt(p.Flags);
    if (p.Literal) {
      writer_.WriteValueSeparator();
      writer_.WriteString(*p.Literal);
    }
    writer_.WriteArrayEnd();
  }
  writer_.WriteRaw("]}");
}

void Dispatcher::HandlePrepare() {
  const int32_t handle = reader_.ReadInt();
  reader_.NextValueSeparator();
  reader_.ReadBoolean();
  reader_.NextValueSeparator();
  const std::u16string type(reader_.ReadString());
  reader_.NextValueSeparator();
  const std::u16string text(reader_.ReadString());
  // An optional "parameters" object is read and not used.
  reader_.SkipToEndOfObject();
  RequireConnected();

  Command* command;
  if (handle == -1) {
    command = &NewCommand(type, text);
  } else {
    command = &FindCommand(handle);
    PrepareCommand(*command, SelectCommand(type, text, server_.methods()).method_text);
  }
  writer_.WriteResultStart();
  writer_.WriteRaw(kHandleLiteral);
  writer_.WriteInt(command->handle);
  writer_.WriteRaw("]},");
  writer_.WriteRaw(kFieldsLiteral);
  writer_.WriteRaw("0,false]}");
  if (!command->params.empty()) {
    writer_.WriteValueSeparator();
    WriteParametersObject(command->params);
  }
  writer_.WriteResultEnd();
  writer_.Flush();
}

void Dispatcher::HandleExecute() {
  int32_t handle = -1;
  bool have_fields = false;
  bool row_received = false;
  std::u16string type;
  std::u16string text;
  for (Token t = reader_.Next(); t != Token::kArrayEnd; t = reader_.Next()) {
    if (t == Token::kComma) continue;
    if (t != Token::kObjectStart) reader_.FailUnexpected(Token::kObjectStart, t);
    const Token k = reader_.Next();
    if (k != Token::kString) reader_.FailUnexpected(Token::kString, k);
    const std::u16string_view key = reader_.last_string();
    if (KeyIs(key, u"handle")) {
      reader_.Next(Token::kColon);
      reader_.Next(Token::kArrayStart);
      handle = reader_.ReadInt();
      reader_.Next(Token::kArrayEnd);
      reader_.Next(Token::kObjectEnd);
    } else if (KeyIs(key, u"fields")) {
      reader_.Next(Token::kColon);
      reader_.Next(Token::kArrayStart);
      handle = reader_.ReadInt();
      reader_.NextValueSeparator();
      reader_.ReadBoolean();
      reader_.NextValueSeparator();
      type = reader_.ReadString();
      reader_.NextValueSeparator();
      text = reader_.ReadString();
      reader_.Next(Token::kArrayEnd);
      reader_.Next(Token::kObjectEnd);
      have_fields = true;
    } else if (KeyIs(key, u"data")) {
      reader_.Next(Token::kColon);
      params_.Receive([this](common::Bytes& out) {
        return reader_.ReadDataArray(out, limits_.max_data_block);
      });
      reader_.Next(Token::kObjectEnd);
      row_received = true;
    } else {
      // "parameters" (read and not used) and anything unknown.
      reader_.SkipToEndOfObject();
    }
  }
  reader_.SkipToEndOfObject();
  RequireConnected();

  Command* command;
  if (have_fields && handle == -1) {
    command = &NewCommand(type, text);
  } else {
    command = &FindCommand(handle);
    if (!command->method) {
      if (!have_fields) {
        throw TRDBError("Command closed or executed again", kCommandClosedErrorCode);
      }
      PrepareCommand(*command, SelectCommand(type, text, server_.methods()).method_text);
    }
  }
  // The tables of the command's earlier execute are closed; numbering starts again at 1.
  command->tables.clear();
  if (command->method->needs_authorization && session_ && !session_->Authorize()) {
    throw TRDBError("Session is not authorized to call " + command->method->qualified_name);
  }
  if (command->method->builtin == BuiltinMethod::kGetDatabase) {
    WriteTableReply(*command);
  } else {
    Invoke(*command, row_received);
    WriteExecuteReply(*command);
  }
  command->executed = true;
}

void Dispatcher::Invoke(Command& command, bool row_received) {
  const MethodEntry& method = *command.method;
  const size_t declared = method.remote_class->Methods()[method.method_index].params.size();
  row_reader_.Reset(row_received ? params_.received() : common::ByteSpan());
  ServerPieceFetcher fetcher(reader_, writer_, params_, command.handle);

  args_.resize(declared);
  for (size_t i = 0; i < declared; ++i) {
    const TRDBParameter& p = command.params[i];
    const common::DeclaredType type = method.types[i];
    common::Variant& arg = args_[i];
    if (p.Direction == kDirectionOut) {
      arg = common::Variant();
      continue;
    }
    if (p.Literal) {
      arg = LiteralValue(type, *p.Literal);
      continue;
    }
    const EncodedValue value = row_received ? row_reader_.At(i) : EncodedValue{};
    const int ordinal = static_cast<int>(i);
    switch (type) {
      case common::DeclaredType::kString:
        arg = common::Variant::String(DecodeString(value, &fetcher, ordinal, limits_));
        break;
      case common::DeclaredType::kInteger:
        arg = common::Variant::Integer(DecodeInt32(value));
        break;
      case common::DeclaredType::kBoolean:
        arg = common::Variant::Boolean(DecodeBoolean(value));
        break;
      case common::DeclaredType::kDateTime:
        arg = common::Variant::Date(DecodeDateTime(value));
        break;
      case common::DeclaredType::kOleVariant:
        arg = DecodeVariant(value, &fetcher, ordinal, limits_);
        break;
    }
  }

  common::Variant result;
  if (method.lifecycle == common::InstanceLifecycle::kInvocation) {
    common::RemoteClass& owner = *method.remote_class;
    common::RemoteInstance* instance = owner.CreateInstance();
    if (!instance) {
      throw TRDBError("OnGetClass event not set or it did not provide a class reference",
                      kInvalidHandleErrorCode);
    }
    struct Release {
      common::RemoteClass& owner;
      common::RemoteInstance* instance;
      ~Release() { owner.DestroyInstance(instance); }
    } release{owner, instance};
    instance->Invoke(method.method_index, args_, result);
  } else {
    command.instance->Invoke(method.method_index, args_, result);
  }
  WriteParameterRow(command, result);
}

void Dispatcher::WriteParameterRow(Command& command, const common::Variant& result) {
  const MethodEntry& method = *command.method;
  params_.Rewind();
  command.pending.clear();
  for (size_t i = 0; i < command.params.size(); ++i) {
    const TRDBParameter& p = command.params[i];
    if (p.Direction == kDirectionIn) {
      params_.PutNull();
      continue;
    }
    const common::Variant& v = p.Direction == kDirectionReturn ? result : args_[i];
    std::unique_ptr<ValueSource> rest;
    switch (method.types[i]) {
      case common::DeclaredType::kString:
        if (v.type() == common::kVarOleStr) {
          rest = params_.PutString(v.text());
        } else {
          rest = params_.PutString(v.ToText().value_or(std::u16string()));
        }
        break;
      case common::DeclaredType::kInteger:
        // An out Integer the method left unassigned goes out as 0, the type's empty value.
        params_.PutInt32(static_cast<int32_t>(v.ToInt64().value_or(0)));
        break;
      case common::DeclaredType::kBoolean:
        params_.PutBoolean(v.ToBool().value_or(false));
        break;
      case common::DeclaredType::kDateTime:
        params_.PutDateTime(v.ToDouble().value_or(0));
        break;
      case common::DeclaredType::kOleVariant:
        rest = params_.PutVariant(v);
        break;
    }
    if (rest) command.pending[static_cast<int32_t>(i)] = std::move(rest);
  }
}

void Dispatcher::WriteExecuteReply(Command& command) {
  writer_.WriteResultStart();
  writer_.WriteRaw(kRowsLiteral);
  writer_.WriteRaw("0]}");
  if (command.method->has_output) {
    writer_.WriteValueSeparator();
    writer_.WriteDataBlock(params_.row());
  }
  writer_.WriteResultEnd();
  writer_.Flush();
}

void Dispatcher::WriteTableReply(Command& command) {
  command.pending.clear();
  command.tables.push_back(DatabasePropertiesTable(1));
  // The table-typed result stands in the parameter row as the integer 0.
  params_.Rewind();
  params_.PutInt32(0);
  writer_.WriteResultStart();
  writer_.WriteRaw(kRowsLiteral);
  writer_.WriteRaw("0]},");
  writer_.WriteDataBlock(params_.row());
  writer_.WriteValueSeparator();
  command.tables.back().WriteTableObject(writer_, command.handle);
  writer_.WriteResultEnd();
  command.tables.back().WriteRowsBlock(writer_, params_.min_size());
  writer_.Flush();
}

void Dispatcher::HandleMoreBlob() {
  const int32_t handle = reader_.ReadInt();
  reader_.NextValueSeparator();
  reader_.ReadInt();  // blob handle: informational
  reader_.NextValueSeparator();
  reader_.ReadLong();  // row: informational
  reader_.NextValueSeparator();
  const int32_t ordinal = reader_.ReadInt();
  int32_t row_handle = -1;
  if (reader_.Next() == Token::kComma) {
    reader_.ReadBoolean();
    if (reader_.Next() == Token::kComma) row_handle = reader_.ReadInt();
  }
  reader_.SkipToEndOfObject();
  RequireConnected();

  Command& command = FindCommand(handle);
  if (row_handle > 0) {
    bool found = false;
    for (const TableResult& t : command.tables) found = found || t.row_handle() == row_handle;
    if (!found) {
      throw TRDBError("Row handle " + std::to_string(row_handle) + " does not exist in command " +
                      std::to_string(handle));
    }
    // Table values of this server are short and never continue.
    throw TRDBError("Value " + std::to_string(ordinal) + " of row handle " +
                    std::to_string(row_handle) + " has no more data");
  }
  auto it = command.pending.find(ordinal);
  if (it == command.pending.end()) {
    throw TRDBError("Value " + std::to_string(ordinal) + " of command " + std::to_string(handle) +
                    " has no more data");
  }
  if (writer_.WriteMoreBlobReply(*it->second) <= 0) command.pending.erase(it);
}

void Dispatcher::HandleCommandClose() {
  const int32_t handle = reader_.ReadInt();
  reader_.SkipToEndOfObject();
  FreeCommand(handle);
  params_.TrimToMinimum();
}

void Dispatcher::HandleReaderClose() {
  const int32_t reader_handle = reader_.ReadInt();
  int32_t command_handle = reader_handle;
  if (reader_.Next() == Token::kComma) command_handle = reader_.ReadInt();
  reader_.SkipToEndOfObject();
  FindCommand(command_handle);
}

void Dispatcher::HandleNext() {
  const int32_t row_handle = reader_.ReadInt();
  reader_.NextValueSeparator();
  reader_.ReadLong();  // position: the block continues where the previous one ended
  int32_t command_handle = row_handle;
  if (reader_.Next() == Token::kComma) command_handle = reader_.ReadInt();
  reader_.SkipToEndOfObject();
  Command& command = FindCommand(command_handle);
  for (TableResult& table : command.tables) {
    if (table.row_handle() == row_handle) {
      table.WriteRowsBlock(writer_, params_.min_size());
      writer_.Flush();
      return;
    }
  }
  throw TRDBError("Row handle " + std::to_string(row_handle) + " does not exist in command " +
                  std::to_string(command_handle));
}

}  // namespace protocol
