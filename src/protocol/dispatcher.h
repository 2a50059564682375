// The dispatcher of one connection: reads each request's arguments, runs it, writes and
// flushes its reply, and turns every failure into an error reply.
//
// Requests and replies (docs/formats/protocol.md has the bytes):
//   connect          {name:value,...}            {"result":[0,"RemoteDB",2]} or an error
//   disconnect       handle                      none
//   prepare          handle,updatable,type,text  {"result":[{"handle":[h]},{"fields":[0,false]},
//                    [,{"parameters":...}]         {"parameters":[n,<description>...]}]}
//   execute          {"handle":[h]} or           {"result":[{"rows":[0]},{"data":[n,<row>]}]}
//                    {"fields":[h,upd,type,text]}  (a table result adds its table object and
//                    [,{"parameters":...}]          a rows block after the envelope)
//                    [,{"data":[n,<row>]}]
//   more_blob        handle,blob,row,ordinal     {"result":[<piece>]}
//                    [,flag[,row handle]]
//   command_close    handle                      none
//   reader_close     reader[,command]            none
//   next             row handle,position[,cmd]   the next rows block, alone
//   next_result      handle                      {"result":[false,0,false,-1]}
//   txbegin          isolation                   {"result":[0]}
//   txend            commit,handle               {"result":[]}
//   vendor_property  name                        {"result":[""]}
// A request with another name, and a metadata message, get no reply.
//
// Commands: a table of handlers whose slot index is the command handle (16 slots, growing by
// 8; a new command takes the lowest free slot). A prepared command keeps its method, its
// instance and its parameter list, and is executed again without a new lookup. Instances of
// classes with the life cycle "Session" are taken once per connection (the class's
// CreateInstance) and given back when the dispatcher is destroyed (DestroyInstance).
//
// Values longer than their inline capacity: output values are kept by ordinal until the client
// has fetched their pieces with "more_blob"; input values are fetched from the client in the
// middle of the execute ({"more_blob":[...]} requests) before the method runs.
//
// Errors: {"error":{"name":<class>,"code":<code>,"message":"Remote error: <text>"} with the
// code of a TRDBError and 5 for anything else; the text is the error's message followed, for
// each nested cause, by "\nCaused by: " and its message. A failure that breaks the stream (a
// lost connection, a refused length) ends the connection after the reply is tried.
//
// Admission: until a "connect" has succeeded on this connection (none sent, or the last one
// refused), "prepare", "execute" and "more_blob" run nothing and get an error reply; the
// connection stays open so the client can still connect.
//
// A "connect" carries at most kMaxConnectProperties name/value pairs of at most
// kMaxConnectPropertyBytes together (real clients send about ten short ones); a larger one is
// refused with an error that ends the connection, so the work on a connect stays small and
// linear in its size whatever a stranger sends.
//
// Thread use: one connection's thread; nothing is locked.
#ifndef DATASERVER_PROTOCOL_DISPATCHER_H_
#define DATASERVER_PROTOCOL_DISPATCHER_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/remote_class.h"
#include "common/variant.h"
#include "protocol/json_stream_reader.h"
#include "protocol/json_stream_writer.h"
#include "protocol/method_table.h"
#include "protocol/param_buffer.h"
#include "protocol/param_value.h"
#include "protocol/rs_server.h"
#include "protocol/session.h"
#include "protocol/table_result.h"
#include "protocol/tcp_channel.h"
#include "protocol/value_source.h"

namespace protocol {

inline constexpr char kNotConnectedMessage[] =
    "Not connected: no \"connect\" request has succeeded on this connection, so no remote "
    "method can run";
inline constexpr size_t kMaxConnectProperties = 256;
inline constexpr size_t kMaxConnectPropertyBytes = 64 * 1024;
inline constexpr size_t kInitialCommandSlots = 16;
inline constexpr size_t kCommandSlotGrowth = 8;

class Dispatcher {
 public:
  // `reader` and `writer` are the connection's message stream; `channel` (may be null) gives
  // the client's description to the connect event; `session` (may be null) authenticates at
  // "connect". All must outlive the dispatcher.
  Dispatcher(TRSServer& server, TRDBJSonStreamReader& reader, TRDBJSonStreamWriter& writer,
             TRSTCPChannel* channel, TRSTCPSession* session);
  ~Dispatcher();
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  // Handles one request whose name the reader has just read: its arguments, the work, the
  // reply. Returns false when the connection cannot go on (the stream is broken or the reply
  // could not be written).
  bool Handle(RequestName name);

  // The request loop: reads and handles requests until the connection must end. The error that
  // ended it (a lost connection, "Read error", an unreadable request start) is not replied to.
  void Run();

  // Told on the connection's thread whenever a "connect" is answered: true when it admitted
  // the client, false when it was refused. The transport lifts the pre-login caps and the
  // handshake deadline on true.
  std::function<void(bool admitted)> OnAdmissionChanged;

  bool connected() const { return connected_; }
  const TRDBProperties& properties() const { return properties_; }
  size_t command_slots() const { return commands_.size(); }
  ParamBuffer& param_buffer() { return params_; }

 private:
  struct Command;

  void HandleConnect();
  void HandlePrepare();
  void HandleExecute();
  void HandleMoreBlob();
  void HandleCommandClose();
  void HandleReaderClose();
  void HandleNext();

  void RequireConnected() const;
  Command& NewCommand(std::u16string_view type, std::u16string_view text);
  Command& FindCommand(int32_t handle);
  void FreeCommand(int32_t handle);
  // Prepare steps: method lookup, instance, parameter list, literal arguments.
  void PrepareCommand(Command& command, std::u16string_view method_text);
  common::RemoteInstance* InstanceFor(const MethodEntry& method);
  void ReleaseInstances();

  void Invoke(Command& command, bool row_received);
  void WriteParameterRow(Command& command, const common::Variant& result);
  void WriteParametersObject(const std::vector<TRDBParameter>& params);
  void WriteExecuteReply(Command& command);
  void WriteTableReply(Command& command);

  bool ReplyError(std::exception_ptr error);

  TRSServer& server_;
  TRDBJSonStreamReader& reader_;
  TRDBJSonStreamWriter& writer_;
  TRSTCPChannel* channel_;
  TRSTCPSession* session_;
  const Limits limits_;

  bool connected_ = false;
  TRDBProperties properties_;
  std::vector<std::unique_ptr<Command>> commands_;
  size_t lowest_free_ = 0;
  struct SessionInstance {
    common::RemoteClass* owner;
    common::RemoteInstance* instance;
  };
  std::map<std::string, SessionInstance> instances_;  // "Session" life cycle, by class name
  ParamBuffer params_;
  ParamRowReader row_reader_;
  std::vector<common::Variant> args_;  // reused by every execute
};

}  // namespace protocol

#endif  // DATASERVER_PROTOCOL_DISPATCHER_H_
