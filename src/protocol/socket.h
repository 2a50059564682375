// The socket seam: every system call the protocol makes on the network is in socket.cc, so a
// port to another platform replaces that one file.
//
// Blocking sockets throughout: a connection is served by one thread from start to end, and a
// receive waits until bytes arrive. A listener binds one port on every IPv4 address and, when
// the host has IPv6, on every IPv6 address (a second socket, IPv6 only), and accepts from
// whichever is ready; Wake() ends a wait in Accept from another thread.
//
// Thread use: a Socket is used by its connection's thread; Shutdown() may be called from any
// thread (it is how another thread ends a blocked receive). A Listener's Accept runs on one
// thread, Wake on any.
#ifndef DATASERVER_PROTOCOL_SOCKET_H_
#define DATASERVER_PROTOCOL_SOCKET_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/error.h"
#include "protocol/raw_buffer.h"

namespace protocol {

// A failure of the socket layer: the system's text ("Address already in use"), with the
// operation before it. `code` is the errno value.
class ESocketError : public common::Error {
 public:
  ESocketError(const std::string& message, int code)
      : common::Error("ESocketError", message, code) {}
};

// The system's text for an errno value.
std::string SocketErrorText(int error);

// True for a numeric address of the loopback range (127.0.0.0/8, ::1, IPv4-mapped 127.x).
bool IsLoopbackAddress(const std::string& ip);

inline constexpr char kSendStalledMessage[] =
    "Socket write failed: the peer has taken no data within the send time-out";

struct PeerAddress {
  std::string ip;  // numeric, e.g. "192.168.1.20" or "::1"; IPv4-mapped IPv6 as IPv4
  uint16_t port = 0;
};

class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  Socket(Socket&& other) noexcept : fd_(other.release()) {}
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket();

  // A connected client socket with Nagle switched off. `host` is a name or a numeric address;
  // every address it resolves to is tried in turn. Throws ESocketError.
  static Socket ConnectTcp(const std::string& host, uint16_t port);

  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

  // Up to `count` bytes; 0 when the peer has closed, -1 on an error (errno is kept).
  ptrdiff_t Receive(uint8_t* buffer, size_t count);
  // All `count` bytes, or throws ESocketError. Never raises SIGPIPE. With a send time-out set,
  // a send during which the peer takes no byte for that long throws kSendStalledMessage.
  void SendAll(const uint8_t* buffer, size_t count);
  // The longest a send may wait without progress; 0 = for ever. False when the system refuses.
  bool SetSendTimeout(int32_t seconds);
  // Ends both directions (a blocked Receive returns 0); errors are ignored.
  void Shutdown();

  // Nagle's algorithm off (small writes go out at once).
  void SetNoDelay();
  // TCP keep-alive on, first probe after `idle_ms` of silence, then every `interval_ms`
  // (rounded up to whole seconds, at least 1). False when the system refuses.
  bool EnableKeepAlive(int32_t idle_ms, int32_t interval_ms);
  bool DisableKeepAlive();
  bool KeepAliveEnabled() const;

  std::optional<PeerAddress> Peer() const;
  // The local address (numeric) and port of the socket.
  std::optional<PeerAddress> Local() const;
  uint16_t LocalPort() const;

 private:
  int fd_ = -1;
};

// Receives through a buffer: one system call takes whatever has arrived (typically a frame's
// header and body together), and the small reads that follow are served from memory. A read of
// at least the buffer's size goes straight to the caller's memory. The buffer's pages become
// resident only as far as bytes have ever filled it.
class ReceiveBuffer {
 public:
  explicit ReceiveBuffer(size_t size = 16384) : buffer_(size) {}
  // As Socket::Receive: at least 1 byte (waiting for it), 0 at the peer's end, -1 on an error.
  ptrdiff_t Receive(Socket& socket, uint8_t* buffer, size_t count);
  size_t buffered() const { return end_ - pos_; }

 private:
  RawBuffer buffer_;
  size_t pos_ = 0;
  size_t end_ = 0;
};

class Listener {
 public:
  // Listens on `port` (0 = any free port, the same for every binding). Without `addresses`, on
  // every address: IPv4, and IPv6 when the host has it (an IPv6 binding that fails while IPv4
  // works is left out only then). Otherwise on each address given (numeric IPv4 or IPv6, with
  // or without brackets, or a host name, every address it resolves to). Throws ESocketError
  // when a binding cannot be made; nothing is left listening then.
  explicit Listener(uint16_t port, const std::vector<std::string>& addresses = {});
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  uint16_t port() const { return port_; }
  size_t binding_count() const { return bindings_.size(); }
  // The numeric local address of each binding ("0.0.0.0" and "::" for every address).
  std::vector<std::string> addresses() const;

  // Waits for the next connection on any binding. nullopt once Wake() has been called.
  std::optional<Socket> Accept();
  // Makes the current and every later Accept return nullopt.
  void Wake();

 private:
  std::vector<Socket> bindings_;
  int wake_fd_ = -1;  // an eventfd
  uint16_t port_ = 0;
};

}  // namespace protocol

#endif  // DATASERVER_PROTOCOL_SOCKET_H_
