// TServerContainer1: the service. It holds the remote-call server RSServer1, its TCP transport
// RSTCPServerTransport1 (zlib compression filter, keep-alive 5000/60000 ms, MaxThreads =
// limit + 5, PoolSize 10), the server-class entry RSServerClass1 publishing TServerModule1 with
// instances lent by the instance pool for the length of a session, the service options, and
// the connection registry FConnections.
//
// Creating it runs the start sequence (DataModuleCreate): the console's fields are applied
// (InitDSServerOpt), a new empty registry is made, RSServer1 starts (listening on every IPv4
// and IPv6 address), and the captions read "断开服务". A start that fails (a port that is no
// integer, a port that cannot be listened on) is reported on the console's error display and
// leaves the service stopped; the process goes on.
//
// Event handlers (wired at construction):
//   RSServer1Connect                 connection thread; admission (admission.h): refusing
//                                    throws, which the client receives as its connect error
//   RSTCPServerTransport1Connect     connection thread; registers the connection, then hands
//                                    the new client line, the log line "hh:nn:ss->KEY 连接成功!"
//                                    and the count to the user-interface thread and waits
//   RSTCPServerTransport1Disconnect  connection thread; the whole departure runs on the
//                                    user-interface thread: unregister, remove the line, log
//                                    "->KEY 主动断开!" when a line was removed, show the count
//   RSTCPServerTransport1HandshakeFailure  connection thread; logs the failed login
// Failed logins are logged in one fixed form that log watchers (fail2ban and the like) can
// match: "hh:nn:ssLogin failed from KEY: REASON", REASON one of kLoginFailure*.
// A stop that had to interrupt database calls in progress says how many in the log.
// At every start, a service that accepts the default credentials on an address other than
// loopback logs kDefaultCredentialsWarning.
// DisConnectConnection (user-interface thread) is the forced disconnect: "->KEY 被动断开!", the
// count still including the client, then unregister and close the connection, whose departure
// then finds neither entry nor line and logs nothing.
//
// Threads: construction, destruction, DataModuleCreate/Destroy and DisConnectConnection run on
// the user-interface thread; the three event handlers on connection threads. The registry has
// its own lock (never held while waiting for the user-interface thread); the options are
// written only while the transport is stopped. Stopping keeps draining the console's UiQueue
// while it waits for connection threads, so an arrival handed over at that moment cannot
// deadlock it.
#ifndef DATASERVER_HOST_SERVER_CONTAINER_H_
#define DATASERVER_HOST_SERVER_CONTAINER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "host/admission.h"
#include "host/connection_registry.h"
#include "host/service_console.h"
#include "host/settings.h"
#include "pools/instance_pool.h"
#include "protocol/limits.h"
#include "protocol/rs_server.h"
#include "protocol/tcp_transport.h"
#include "service/server_module.h"

namespace host {

inline constexpr char kChannelInfoErrorKey[] = "通道资讯错误.";
inline constexpr int32_t kKeepAliveTime = 5000;
inline constexpr int32_t kKeepAliveInterval = 60000;
inline constexpr int32_t kCompressMoreThan = 1024;
inline constexpr int32_t kTransportPoolSize = 10;

inline constexpr char kStopInterruptedPrefix[] = "Stopping the service interrupted ";
inline constexpr char kLoginFailedPrefix[] = "Login failed from ";
inline constexpr char kLoginFailureCredentials[] = "wrong credentials";
inline constexpr char kLoginFailureLimit[] = "connection limit reached";
inline constexpr char kLoginFailureDeadline[] = "handshake deadline passed";
inline constexpr char kLoginFailureTooManyPending[] = "too many connections in handshake";
inline constexpr char kDefaultCredentialsWarning[] =
    "Warning: the service accepts the default user name and password on a network address; "
    "set SVRUSERNAME and SVRPASSWORD (or ListenAddress=127.0.0.1) in CONFIG.CFG";

// "address:port" of a connection's peer.
std::string PeerKey(const protocol::TRSTCPConnection& connection);

class TServerContainer1 {
 public:
  // `instance_pool` is bound to TServerModule1 and `context` is what its instances read; both
  // outlive the container. Runs the start sequence (see above).
  TServerContainer1(ServiceConsole& form, pools::TPoolManager& instance_pool,
                    service::ServiceContext& context, const protocol::Limits& limits = {});
  // DataModuleDestroy.
  ~TServerContainer1();
  TServerContainer1(const TServerContainer1&) = delete;
  TServerContainer1& operator=(const TServerContainer1&) = delete;

  // The start sequence; throws (the service stays stopped) when the options cannot be applied
  // or the transport cannot listen.
  void DataModuleCreate();
  // Stops RSServer1; stopping a stopped server does nothing. The database work of connection
  // threads is cancelled first (service_stop.h), so that no caller waiting on the database
  // holds the stop; the pools serve again from the next DataModuleCreate.
  void DataModuleDestroy();
  bool Started() const { return RSServer1.Active(); }

  void RSServer1Connect(const protocol::TRSConnectEventObject& event);
  void RSTCPServerTransport1Connect(const protocol::TRSTCPConnectEventObject& event);
  void RSTCPServerTransport1Disconnect(const protocol::TRSTCPDisconnectEventObject& event);
  void RSTCPServerTransport1HandshakeFailure(
      const protocol::TRSTCPHandshakeFailureEventObject& event);
  // The forced disconnect of a registered connection; nothing happens for one that is not.
  void DisConnectConnection(uint64_t connection);

  TConnectionRegistry& FConnections() { return *connections_; }

  // What guards the service against strangers, for the next start (while stopped).
  void ApplyNetworkSettings(const NetworkSettings& network);

  // Written by InitDSServerOpt while the service is stopped.
  ServiceOptions options;
  service::ServiceContext& context;

  // Declared in the order they must outlive each other (destroyed bottom-up).
 private:
  ServiceConsole& form_;
  std::unique_ptr<TConnectionRegistry> connections_;

 public:
  service::TServerModule1Class RSServerClass1;
  protocol::TRSTCPServerTransport RSTCPServerTransport1;
  protocol::TRSServer RSServer1;

 private:
  // Drains hand-overs while a stop waits for connection threads.
  void PumpUi();
  // Logs a failed login in the fixed form, from a connection thread.
  void LogLoginFailure(const std::string& key, const std::string& reason);
  void WarnOfDefaultCredentials();
};

}  // namespace host

#endif  // DATASERVER_HOST_SERVER_CONTAINER_H_
