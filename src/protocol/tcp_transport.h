// The TCP transport: listens on one port and serves every accepted connection on a thread of
// its own, from the accept to the end.
//
// Per connection, on its thread: the TRSTCPChannel over the socket, the filter channel with
// this connection's own filters (copies of Filters), the message reader and writer with
// buffers of BufferKBSize KiB, the dispatcher, and a session bound to the thread. Then
// keep-alive and OnConnect (only while listening, and keep-alive only when an OnConnect
// handler is assigned); then requests are served until the connection ends; then OnDisconnect
// (only while listening, so a Stop raises none) and the teardown: the session is closed, the
// dispatcher gives its instances back, the socket is closed. Exceptions of the event handlers
// are swallowed.
//
// Threads: at most MaxThreads connection threads exist (0 = no limit). The acceptor takes the
// thread for the next connection (an idle one, else a new one) before it accepts that
// connection, so at the limit further clients complete their TCP connect and wait in the
// listen queue until a connection ends and its thread is free; they are then served in arrival
// order. A thread whose connection ended stays idle for the next one while fewer than PoolSize
// are idle, and ends otherwise.
//
// Stop: stops accepting, closes every connection, and waits for every connection thread to
// end. While it waits it calls `pump` repeatedly (each call should return within a few
// milliseconds): a connection thread may be blocked handing an arrival to the thread that
// called Stop, which must keep serving such hand-overs to finish the stop.
//
// Strangers: a connection not yet admitted (filters negotiated and a "connect" accepted) is
// "in its handshake". With LoginTimeout set, one that is still in its handshake that many
// seconds after it was accepted (or after a refused "connect") is closed by a watchdog thread;
// with MaxPendingPerAddress set, a connection from an address that already has that many in
// their handshake is closed at once, before OnConnect. OnHandshakeFailure tells of both on the
// connection's thread (a closed-at-once connection raises no OnConnect and no OnDisconnect; an
// expired one raises OnHandshakeFailure and then its OnDisconnect). Until admission the
// connection's frames, data blocks and strings are held to the server's pre-login caps. With
// SendStallTimeout set, a reply the client takes no byte of for that many seconds ends the
// connection like any failed write.
//
// Thread use: properties are set and Start/Stop called on one controlling thread (the
// user-interface thread); the event handlers run on connection threads, concurrently. mutex_
// guards the thread bookkeeping, the table of connections being served and the handshake
// bookkeeping (which connections are pending since when, and how many per address).
#ifndef DATASERVER_PROTOCOL_TCP_TRANSPORT_H_
#define DATASERVER_PROTOCOL_TCP_TRANSPORT_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "protocol/socket.h"
#include "protocol/tcp_channel.h"
#include "protocol/transport_filter.h"

namespace protocol {

class TRSServer;

enum class TRSKeepAliveEnablement { kaDefault = 0, kaEnabled = 1, kaDisabled = 2 };

struct TRSTCPConnectEventObject {
  TRSTCPConnection* Connection;
  TRSTCPChannel* Channel;  // always present with this transport
};

struct TRSTCPDisconnectEventObject {
  TRSTCPConnection* Connection;
};

enum class THandshakeFailure {
  kTooManyPending,  // the address already has MaxPendingPerAddress connections in handshake
  kDeadline,        // not admitted within LoginTimeout seconds
};

struct TRSTCPHandshakeFailureEventObject {
  TRSTCPConnection* Connection;
  THandshakeFailure Reason;
};

class TRSTCPServerTransport {
 public:
  TRSTCPServerTransport();
  ~TRSTCPServerTransport();
  TRSTCPServerTransport(const TRSTCPServerTransport&) = delete;
  TRSTCPServerTransport& operator=(const TRSTCPServerTransport&) = delete;

  // Read when the transport starts.
  uint16_t Port = 211;  // 0 lets the system choose (tests); BoundPort() tells which
  int32_t MaxThreads = 0;
  int32_t PoolSize = 10;
  TRSKeepAliveEnablement KeepAliveEnablement = TRSKeepAliveEnablement::kaDefault;
  int32_t KeepAliveTime = 300000;
  int32_t KeepAliveInterval = 100;
  int32_t BufferKBSize = 32;
  FilterList Filters;
  // Every IPv4 and IPv6 address when empty; otherwise these addresses only.
  std::vector<std::string> ListenAddresses;
  // Seconds a connection may stay in its handshake; 0 = no limit.
  int32_t LoginTimeout = 0;
  // Connections from one address in their handshake at once; 0 = no limit.
  int32_t MaxPendingPerAddress = 0;
  // Seconds a send may go without the client taking a byte; 0 = no limit.
  int32_t SendStallTimeout = 0;

  std::function<void(const TRSTCPConnectEventObject&)> OnConnect;
  std::function<void(const TRSTCPDisconnectEventObject&)> OnDisconnect;
  std::function<void(const TRSTCPHandshakeFailureEventObject&)> OnHandshakeFailure;

  // Listens and serves for `server` (called by TRSServer::Start). Throws ESocketError when the
  // port cannot be listened on; nothing is left listening then.
  void Start(TRSServer& server);
  void Stop(const std::function<void()>& pump = {});

  bool Listening() const { return listening_.load(std::memory_order_acquire); }
  uint16_t BoundPort() const;
  size_t BindingCount() const;
  // The numeric local address of each binding ("0.0.0.0", "::" for every address).
  std::vector<std::string> BoundAddresses() const;
  // Connections in their handshake (not admitted yet).
  size_t PendingCount() const;
  // Connections being served, and connection threads in existence (serving, held ready by the
  // acceptor, or idle in the pool).
  size_t ConnectionCount() const;
  size_t ThreadCount() const;
  size_t IdleThreadCount() const;

 private:
  struct Worker;

  void AcceptLoop();
  // A thread for the next connection; null when the transport stops.
  Worker* ReserveThread();
  void WorkerLoop(Worker* worker);
  void Serve(Socket socket);
  void JoinFinished();
  // Handshake bookkeeping, under mutex_. Begin returns false when the address is at its cap.
  bool BeginPendingLocked(TRSTCPConnection& connection);
  void EndPendingLocked(TRSTCPConnection& connection);
  // Called on the connection's thread whenever a "connect" is answered.
  void SetAdmitted(TRSTCPConnection& connection, bool admitted);
  // Closes connections whose handshake outlasted LoginTimeout, until the transport stops.
  void WatchHandshakes();

  TRSServer* server_ = nullptr;
  std::atomic<bool> listening_{false};
  std::unique_ptr<Listener> listener_;
  std::thread acceptor_;
  std::thread watchdog_;
  // Settings captured at Start.
  int32_t max_threads_ = 0;
  size_t pool_size_ = 10;
  size_t buffer_size_ = 32768;
  int32_t login_timeout_ = 0;
  int32_t max_pending_per_address_ = 0;
  int32_t send_stall_timeout_ = 0;

  mutable std::mutex mutex_;
  std::condition_variable threads_cv_;                           // a thread became free or ended
  bool stopping_ = false;                                        // GUARDED_BY(mutex_)
  std::list<std::unique_ptr<Worker>> workers_;                   // GUARDED_BY(mutex_)
  std::vector<Worker*> idle_;                                    // GUARDED_BY(mutex_)
  std::vector<std::unique_ptr<Worker>> finished_;                // GUARDED_BY(mutex_)
  size_t live_threads_ = 0;                                      // GUARDED_BY(mutex_)
  std::unordered_map<uint64_t, TRSTCPConnection*> connections_;  // GUARDED_BY(mutex_)
  std::condition_variable watchdog_cv_;                          // the transport stops
  // Connections in their handshake, by id: since when.
  std::unordered_map<uint64_t, std::chrono::steady_clock::time_point>
      pending_;                                                  // GUARDED_BY(mutex_)
  std::unordered_map<std::string, int32_t> pending_by_address_;  // GUARDED_BY(mutex_)
};

}  // namespace protocol

#endif  // DATASERVER_PROTOCOL_TCP_TRANSPORT_H_
