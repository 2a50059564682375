// One accepted TCP connection and its byte channel.
//
// TRSTCPConnection is the transport's connection object: the accepted socket, its peer address
// and a process-unique id. Other threads (a forced disconnect, a session closed by name, the
// transport's stop) may Close() it; that ends the connection thread's blocked read, and the
// thread then tears the connection down. The socket stays open until the last holder lets go
// of it, so a Close() racing with the end of the connection never touches a reused descriptor.
//
// TRSTCPChannel is the channel the filter channel wraps: Read returns what has arrived (at
// least one byte, waiting as long as it takes), Write sends everything. A connection that is
// gone makes Read throw "Connection lost" (a TRDBError, code 0) and sets the connection-lost
// flag; a failed Write throws a TRDBError with the socket layer's text. Both break the stream.
//
// Thread use: the channel belongs to its connection's thread; TRSTCPConnection::Close is safe
// from any thread.
#ifndef DATASERVER_PROTOCOL_TCP_CHANNEL_H_
#define DATASERVER_PROTOCOL_TCP_CHANNEL_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "protocol/byte_channel.h"
#include "protocol/socket.h"

namespace protocol {

// The client side of a channel, as the connect handler sees it.
struct TRDBClientInfo {
  std::string IpAddress;   // the peer's address
  std::string ClientPort;  // the peer's port, decimal
  std::string Protocol;    // "tcp/ip"
  std::string AppName;     // empty for this transport
};

struct TRDBSocketChannelInfo {
  std::string Id;  // identifies the connection: its id in decimal
  TRDBClientInfo ClientInfo;
};

class TRSTCPConnection {
 public:
  // Takes the accepted socket; the peer address is read once, here.
  explicit TRSTCPConnection(Socket socket);

  // Unique among all connections of the process (never reused).
  uint64_t id() const { return id_; }
  // The peer of the socket binding; empty ip when the system could not tell.
  const PeerAddress& peer() const { return peer_; }
  Socket& socket() { return *socket_; }
  std::shared_ptr<Socket> shared_socket() const { return socket_; }

  // Ends the connection from any thread: both directions are shut down; errors are ignored.
  void Close();
  bool closed() const { return closed_.load(std::memory_order_relaxed); }

  // Whether a "connect" has admitted the client (set by the connection's thread).
  bool admitted() const { return admitted_.load(std::memory_order_acquire); }
  // Set by the transport when it ended the connection for not being admitted in time.
  bool handshake_expired() const { return handshake_expired_.load(std::memory_order_acquire); }

 private:
  friend class TRSTCPServerTransport;

  const uint64_t id_;
  std::shared_ptr<Socket> socket_;
  PeerAddress peer_;
  std::atomic<bool> closed_{false};
  std::atomic<bool> admitted_{false};
  std::atomic<bool> handshake_expired_{false};
};

class TRSTCPChannel : public ByteChannel {
 public:
  // `connection` must outlive the channel.
  explicit TRSTCPChannel(TRSTCPConnection& connection) : connection_(connection) {}

  // Builds ChannelInfo from the connection (replacing an earlier one).
  void Open();
  ptrdiff_t Read(uint8_t* buffer, size_t count) override;
  void Write(const uint8_t* buffer, size_t count) override;
  // Closes the connection (errors ignored) and drops ChannelInfo.
  void Close();

  const std::optional<TRDBSocketChannelInfo>& ChannelInfo() const { return channel_info_; }
  TRSTCPConnection* GetConnection() { return &connection_; }
  bool GetConnectionLost() const { return connection_lost_; }
  bool HasBufferedInput() const override { return input_.buffered() > 0; }
  // The session the channel serves (taken at the first read from the thread's bound session).
  const std::string& session_id() const { return session_id_; }

  // False (changing nothing) when the connection's socket is gone.
  bool EnableKeepAlive(int32_t keep_alive_time_ms, int32_t keep_alive_interval_ms);
  bool DisableKeepAlive();

 private:
  TRSTCPConnection& connection_;
  std::optional<TRDBSocketChannelInfo> channel_info_;
  std::string session_id_;
  bool connection_lost_ = false;
  ReceiveBuffer input_;
};

}  // namespace protocol

#endif  // DATASERVER_PROTOCOL_TCP_CHANNEL_H_
