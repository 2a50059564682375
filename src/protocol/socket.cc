#include "protocol/socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace protocol {
namespace {

constexpr int kBacklog = SOMAXCONN;

[[noreturn]] void Fail(const std::string& what, int error) {
  throw ESocketError(what + ": " + SocketErrorText(error), error);
}

int Seconds(int32_t ms) { return ms <= 1000 ? 1 : static_cast<int>((int64_t{ms} + 999) / 1000); }

bool SetInt(int fd, int level, int name, int value) {
  return ::setsockopt(fd, level, name, &value, sizeof value) == 0;
}

PeerAddress FromSockaddr(const sockaddr_storage& ss) {
  PeerAddress peer;
  char text[INET6_ADDRSTRLEN] = {};
  if (ss.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(ss);
    ::inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
    peer.port = ntohs(in.sin_port);
  } else if (ss.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(ss);
    if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
      ::inet_ntop(AF_INET, &in6.sin6_addr.s6_addr[12], text, sizeof text);
    } else {
      ::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
    }
    peer.port = ntohs(in6.sin6_port);
  }
  peer.ip = text;
  return peer;
}

// A listening socket on `addr` (its port replaced by `port`); an invalid Socket with `error`
// set when it cannot be made.
Socket BindAddress(const sockaddr* addr, socklen_t size, uint16_t port, int& error) {
  Socket s(::socket(addr->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s.valid()) {
    error = errno;
    return Socket();
  }
  SetInt(s.fd(), SOL_SOCKET, SO_REUSEADDR, 1);
  // Nagle off on the listener too; accepted sockets are set again to be sure.
  SetInt(s.fd(), IPPROTO_TCP, TCP_NODELAY, 1);
  sockaddr_storage copy{};
  std::memcpy(&copy, addr, size);
  if (addr->sa_family == AF_INET6) {
    SetInt(s.fd(), IPPROTO_IPV6, IPV6_V6ONLY, 1);
    reinterpret_cast<sockaddr_in6&>(copy).sin6_port = htons(port);
  } else {
    reinterpret_cast<sockaddr_in&>(copy).sin_port = htons(port);
  }
  if (::bind(s.fd(), reinterpret_cast<sockaddr*>(&copy), size) != 0 ||
      ::listen(s.fd(), kBacklog) != 0) {
    error = errno;
    return Socket();
  }
  return s;
}

// A listening socket on every address of `family`; an invalid Socket with `error` set when the
// family is not available on this host.
Socket Bind(int family, uint16_t port, int& error) {
  if (family == AF_INET6) {
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_any;
    return BindAddress(reinterpret_cast<sockaddr*>(&addr), sizeof addr, port, error);
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  return BindAddress(reinterpret_cast<sockaddr*>(&addr), sizeof addr, port, error);
}

// "[::1]" -> "::1"; other texts as they are.
std::string WithoutBrackets(const std::string& address) {
  if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
    return address.substr(1, address.size() - 2);
  }
  return address;
}

bool FamilyUnavailable(int error) {
  return error == EAFNOSUPPORT || error == EPROTONOSUPPORT || error == EADDRNOTAVAIL;
}

}  // namespace

bool IsLoopbackAddress(const std::string& ip) {
  in_addr v4{};
  if (::inet_pton(AF_INET, ip.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (::inet_pton(AF_INET6, WithoutBrackets(ip).c_str(), &v6) != 1) return false;
  if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
  return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

std::string SocketErrorText(int error) {
  char buffer[256];
  // The GNU strerror_r returns the text (possibly not in `buffer`).
  return ::strerror_r(error, buffer, sizeof buffer);
}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

Socket::~Socket() {
  if (fd_ >= 0) ::close(fd_);
}

Socket Socket::ConnectTcp(const std::string& host, uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (rc != 0) {
    throw ESocketError("Cannot resolve " + host + ": " + ::gai_strerror(rc), rc);
  }
  int error = ECONNREFUSED;
  Socket result;
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    Socket s(::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol));
    if (!s.valid()) {
      error = errno;
      continue;
    }
    int c;
    do {
      c = ::connect(s.fd(), ai->ai_addr, ai->ai_addrlen);
    } while (c != 0 && errno == EINTR);
    if (c == 0) {
      result = std::move(s);
      break;
    }
    error = errno;
  }
  ::freeaddrinfo(list);
  if (!result.valid()) Fail("Cannot connect to " + host + ":" + service, error);
  result.SetNoDelay();
  return result;
}

ptrdiff_t Socket::Receive(uint8_t* buffer, size_t count) {
  for (;;) {
    const ssize_t n = ::recv(fd_, buffer, count, 0);
    if (n >= 0 || errno != EINTR) return n;
  }
}

void Socket::SendAll(const uint8_t* buffer, size_t count) {
  while (count > 0) {
    const ssize_t n = ::send(fd_, buffer, count, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      // With SO_SNDTIMEO, a send that moved no byte for the whole time-out.
      if (errno == EAGAIN || errno == EWOULDBLOCK) throw ESocketError(kSendStalledMessage, errno);
      Fail("Socket write failed", errno);
    }
    buffer += n;
    count -= static_cast<size_t>(n);
  }
}

void Socket::Shutdown() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

bool Socket::SetSendTimeout(int32_t seconds) {
  timeval tv{};
  tv.tv_sec = seconds > 0 ? seconds : 0;
  return ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

void Socket::SetNoDelay() { SetInt(fd_, IPPROTO_TCP, TCP_NODELAY, 1); }

bool Socket::EnableKeepAlive(int32_t idle_ms, int32_t interval_ms) {
  return SetInt(fd_, SOL_SOCKET, SO_KEEPALIVE, 1) &&
         SetInt(fd_, IPPROTO_TCP, TCP_KEEPIDLE, Seconds(idle_ms)) &&
         SetInt(fd_, IPPROTO_TCP, TCP_KEEPINTVL, Seconds(interval_ms));
}

bool Socket::DisableKeepAlive() { return SetInt(fd_, SOL_SOCKET, SO_KEEPALIVE, 0); }

bool Socket::KeepAliveEnabled() const {
  int value = 0;
  socklen_t size = sizeof value;
  return ::getsockopt(fd_, SOL_SOCKET, SO_KEEPALIVE, &value, &size) == 0 && value != 0;
}

std::optional<PeerAddress> Socket::Peer() const {
  sockaddr_storage ss{};
  socklen_t size = sizeof ss;
  if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&ss), &size) != 0) return std::nullopt;
  return FromSockaddr(ss);
}

std::optional<PeerAddress> Socket::Local() const {
  sockaddr_storage ss{};
  socklen_t size = sizeof ss;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&ss), &size) != 0) return std::nullopt;
  return FromSockaddr(ss);
}

uint16_t Socket::LocalPort() const {
  const std::optional<PeerAddress> local = Local();
  return local ? local->port : 0;
}

ptrdiff_t ReceiveBuffer::Receive(Socket& socket, uint8_t* buffer, size_t count) {
  if (count == 0) return 0;
  if (pos_ == end_) {
    pos_ = end_ = 0;
    if (count >= buffer_.size()) return socket.Receive(buffer, count);
    const ptrdiff_t n = socket.Receive(buffer_.data(), buffer_.size());
    if (n <= 0) return n;
    end_ = static_cast<size_t>(n);
  }
  const size_t n = std::min(count, end_ - pos_);
  std::memcpy(buffer, buffer_.data() + pos_, n);
  pos_ += n;
  return static_cast<ptrdiff_t>(n);
}

Listener::Listener(uint16_t port, const std::vector<std::string>& addresses) {
  int error = 0;
  if (addresses.empty()) {
    Socket v4 = Bind(AF_INET, port, error);
    if (!v4.valid()) Fail("Cannot listen on port " + std::to_string(port), error);
    port_ = v4.LocalPort();
    bindings_.push_back(std::move(v4));
    Socket v6 = Bind(AF_INET6, port_, error);
    if (v6.valid()) {
      bindings_.push_back(std::move(v6));
    } else if (!FamilyUnavailable(error)) {
      Fail("Cannot listen on port " + std::to_string(port_) + " (IPv6)", error);
    }
  } else {
    port_ = port;
    for (const std::string& address : addresses) {
      const std::string host = WithoutBrackets(address);
      addrinfo hints{};
      hints.ai_family = AF_UNSPEC;
      hints.ai_socktype = SOCK_STREAM;
      hints.ai_flags = AI_PASSIVE;
      addrinfo* list = nullptr;
      const int rc = ::getaddrinfo(host.c_str(), "0", &hints, &list);
      if (rc != 0) {
        throw ESocketError("Cannot listen on " + address + ": " + ::gai_strerror(rc), rc);
      }
      for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        Socket s = BindAddress(ai->ai_addr, ai->ai_addrlen, port_, error);
        if (!s.valid()) {
          ::freeaddrinfo(list);
          Fail("Cannot listen on " + address + " port " + std::to_string(port_), error);
        }
        // Port 0: the first binding's port is every binding's port.
        if (port_ == 0) port_ = s.LocalPort();
        bindings_.push_back(std::move(s));
      }
      ::freeaddrinfo(list);
    }
    if (bindings_.empty()) Fail("Cannot listen on port " + std::to_string(port), EADDRNOTAVAIL);
  }
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) Fail("Cannot create the listener's wake-up event", errno);
}

std::vector<std::string> Listener::addresses() const {
  std::vector<std::string> result;
  for (const Socket& s : bindings_) {
    if (auto local = s.Local()) result.push_back(local->ip);
  }
  return result;
}

Listener::~Listener() {
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

std::optional<Socket> Listener::Accept() {
  std::vector<pollfd> fds(bindings_.size() + 1);
  const size_t n = bindings_.size();
  for (size_t i = 0; i < n; ++i) fds[i] = {bindings_[i].fd(), POLLIN, 0};
  fds[n] = {wake_fd_, POLLIN, 0};
  for (;;) {
    for (auto& f : fds) f.revents = 0;
    const int rc = ::poll(fds.data(), n + 1, -1);
    if (rc < 0) {
      if (errno == EINTR) continue;
      Fail("Waiting for connections failed", errno);
    }
    if (fds[n].revents != 0) return std::nullopt;
    for (size_t i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      const int fd = ::accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        // The client may have gone again (ECONNABORTED), or descriptors ran out for a moment:
        // neither ends the listener.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          ::poll(nullptr, 0, 10);
        }
        continue;
      }
      Socket s(fd);
      s.SetNoDelay();
      return s;
    }
  }
}

void Listener::Wake() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_fd_, &one, sizeof one);
}

}  // namespace protocol
