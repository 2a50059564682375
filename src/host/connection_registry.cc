#include "host/connection_registry.h"

namespace host {

bool TConnectionRegistry::Add(protocol::TRSTCPConnection* connection,
                              protocol::TRSTCPChannel* channel) {
  std::lock_guard lock(mutex_);
  if (!entries_.emplace(connection->id(), Entry{connection, channel}).second) return false;
  count_.store(static_cast<int32_t>(entries_.size()), std::memory_order_relaxed);
  return true;
}

bool TConnectionRegistry::Remove(uint64_t connection_id) {
  std::lock_guard lock(mutex_);
  if (entries_.erase(connection_id) == 0) return false;
  count_.store(static_cast<int32_t>(entries_.size()), std::memory_order_relaxed);
  return true;
}

std::optional<TConnectionRegistry::Entry> TConnectionRegistry::Find(uint64_t connection_id) const {
  std::lock_guard lock(mutex_);
  auto it = entries_.find(connection_id);
  if (it == entries_.end()) return std::nullopt;
  return it->second;
}

}  // namespace host
