#include "protocol/tcp_channel.h"

#include <cerrno>

#include "protocol/rdb_error.h"
#include "protocol/session.h"

namespace protocol {
namespace {

std::atomic<uint64_t> next_connection_id{1};

}  // namespace

TRSTCPConnection::TRSTCPConnection(Socket socket)
    : id_(next_connection_id.fetch_add(1, std::memory_order_relaxed)),
      socket_(std::make_shared<Socket>(std::move(socket))) {
  if (auto peer = socket_->Peer()) peer_ = std::move(*peer);
}

void TRSTCPConnection::Close() {
  closed_.store(true, std::memory_order_relaxed);
  socket_->Shutdown();
}

void TRSTCPChannel::Open() {
  TRDBSocketChannelInfo info;
  info.Id = std::to_string(connection_.id());
  info.ClientInfo.IpAddress = connection_.peer().ip;
  info.ClientInfo.ClientPort = std::to_string(connection_.peer().port);
  info.ClientInfo.Protocol = "tcp/ip";
  channel_info_ = std::move(info);
}

ptrdiff_t TRSTCPChannel::Read(uint8_t* buffer, size_t count) {
  if (session_id_.empty()) {
    if (TRSTCPSession* session = TRSSessionManager::CurrentSession()) {
      session_id_ = session->name();
    }
  }
  if (count == 0) return 0;
  if (!connection_lost_) {
    const ptrdiff_t n = input_.Receive(connection_.socket(), buffer, count);
    if (n > 0) return n;
  }
  connection_lost_ = true;
  throw ConnectionLostError();
}

void TRSTCPChannel::Write(const uint8_t* buffer, size_t count) {
  try {
    connection_.socket().SendAll(buffer, count);
  } catch (const ESocketError& e) {
    throw TRDBError(e.what(), kGeneralErrorCode, true);
  }
}

void TRSTCPChannel::Close() {
  connection_.Close();
  channel_info_.reset();
}

bool TRSTCPChannel::EnableKeepAlive(int32_t keep_alive_time_ms, int32_t keep_alive_interval_ms) {
  if (!connection_.socket().valid()) return false;
  return connection_.socket().EnableKeepAlive(keep_alive_time_ms, keep_alive_interval_ms);
}

bool TRSTCPChannel::DisableKeepAlive() {
  if (!connection_.socket().valid()) return false;
  return connection_.socket().DisableKeepAlive();
}

}  // namespace protocol
