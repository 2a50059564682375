// The remote-call server: what its connections dispatch to.
//
// It holds the published server classes (common::RemoteClass; the host registers
// TServerModule1's), builds the method table when it starts, raises the connect event of every
// "connect" request (the host's admission check), and starts and stops its TCP transport.
//
// Connect event contract: OnConnect is called on the client's connection thread, with the
// connection's session bound to the thread, after the session has authenticated. Returning
// admits the client; throwing refuses it: the exception's class name and message (after
// "Remote error: ") become the error reply of the "connect" request, with code 5 (or the code
// of a TRDBError). The connection stays open either way.
//
// Thread use: AddServerClass, SetTransport, OnConnect and the limits are set on the start-up /
// user-interface thread while the server is stopped; Start and Stop run there too. Connection
// threads read the method table (immutable while started) and call SharedInstance, whose map
// is guarded by shared_mutex_.
#ifndef DATASERVER_PROTOCOL_RS_SERVER_H_
#define DATASERVER_PROTOCOL_RS_SERVER_H_

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/memory_budget.h"
#include "common/remote_class.h"
#include "protocol/limits.h"
#include "protocol/method_table.h"
#include "protocol/session.h"
#include "protocol/tcp_channel.h"

namespace protocol {

class TRSServer;
class TRSTCPServerTransport;

inline constexpr char kProductName[] = "RemoteDB";
inline constexpr int32_t kProtocolVersion = 2;

struct TRSConnectEventObject {
  const TRDBProperties& ConnectProperties;
  // The channel's description; null when the channel gives none (not with TCP clients).
  const TRDBSocketChannelInfo* ChannelInfo;
  const void* RdbConnection;  // the session's database connection: none on this server
  TRSServer& Server;
};

using TRSConnectEvent = std::function<void(const TRSConnectEventObject&)>;

class TRSServer {
 public:
  TRSServer() = default;
  ~TRSServer();
  TRSServer(const TRSServer&) = delete;
  TRSServer& operator=(const TRSServer&) = delete;

  // Publishes `remote_class` from the next Start on; it must outlive the server.
  void AddServerClass(common::RemoteClass& remote_class);
  // The transport Start and Stop drive (not owned; may be none, e.g. in tests).
  void SetTransport(TRSTCPServerTransport* transport) { transport_ = transport; }
  TRSTCPServerTransport* transport() const { return transport_; }

  TRSConnectEvent OnConnect;
  // Caps on lengths claimed by clients, used by every admitted connection.
  Limits limits;
  // Caps until a connection is admitted; none means `limits` apply from the start.
  std::optional<Limits> pre_login_limits;
  // The caps a connection works under before (and, after a refusal, again) it is admitted.
  const Limits& LimitsBeforeLogin() const { return pre_login_limits ? *pre_login_limits : limits; }
  // What the decoded frames of all connections may hold together.
  common::MemoryBudget decompression_budget;

  // Builds the method table and starts the transport. A transport that cannot listen fails the
  // start with its socket error; the server then stays stopped.
  void Start();
  // Stops the transport (closing every connection and waiting for its thread; `pump` is called
  // repeatedly meanwhile, see TRSTCPServerTransport::Stop) and releases shared instances.
  // Stopping a stopped server does nothing.
  void Stop(const std::function<void()>& pump = {});
  bool Active() const { return active_.load(std::memory_order_acquire); }

  const MethodTable& methods() const { return methods_; }

  // The one instance of a class with the life cycle "Server", created on first use.
  common::RemoteInstance* SharedInstance(common::RemoteClass& remote_class);

 private:
  void ReleaseSharedInstances();

  std::vector<common::RemoteClass*> classes_;
  TRSTCPServerTransport* transport_ = nullptr;
  MethodTable methods_;
  std::atomic<bool> active_{false};

  std::mutex shared_mutex_;
  std::map<common::RemoteClass*, common::RemoteInstance*> shared_;  // GUARDED_BY(shared_mutex_)
};

}  // namespace protocol

#endif  // DATASERVER_PROTOCOL_RS_SERVER_H_
