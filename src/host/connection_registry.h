// The connection registry FConnections: which TCP connections are open to the service.
//
// A map from a connection (by the transport's connection object, identified by its id, which
// is never reused) to that client's channel. It owns nothing: the pointers stay valid while the
// connection is served, and an entry is removed at the connection's departure (or by a forced
// disconnect) before the connection object goes. Its entry count is the number of open client
// connections that admission compares with the connection limit.
//
// Thread use: one mutex per registry, held only around a single map operation (never while
// waiting for the user-interface thread). Count() reads without the lock (an atomic), so a
// momentarily stale count is possible, and accepted.
#ifndef DATASERVER_HOST_CONNECTION_REGISTRY_H_
#define DATASERVER_HOST_CONNECTION_REGISTRY_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "protocol/tcp_channel.h"

namespace host {

class TConnectionRegistry {
 public:
  struct Entry {
    protocol::TRSTCPConnection* connection = nullptr;
    protocol::TRSTCPChannel* channel = nullptr;  // may be none
  };

  // False (nothing changed) when the connection is already registered.
  bool Add(protocol::TRSTCPConnection* connection, protocol::TRSTCPChannel* channel);
  // False when it was not registered.
  bool Remove(uint64_t connection_id);
  std::optional<Entry> Find(uint64_t connection_id) const;
  int32_t Count() const { return count_.load(std::memory_order_relaxed); }

 private:
  mutable std::mutex mutex_;
  std::unordered_map<uint64_t, Entry> entries_;  // GUARDED_BY(mutex_)
  std::atomic<int32_t> count_{0};
};

}  // namespace host

#endif  // DATASERVER_HOST_CONNECTION_REGISTRY_H_
