#include "protocol/rs_server.h"

#include "protocol/tcp_transport.h"

namespace protocol {

TRSServer::~TRSServer() { Stop(); }

void TRSServer::AddServerClass(common::RemoteClass& remote_class) {
  classes_.push_back(&remote_class);
}

void TRSServer::Start() {
  if (Active()) return;
  MethodTable methods;
  for (common::RemoteClass* c : classes_) methods.AddClass(*c);
  methods.AddBuiltins();
  methods_ = std::move(methods);
  if (transport_) transport_->Start(*this);
  active_.store(true, std::memory_order_release);
}

void TRSServer::Stop(const std::function<void()>& pump) {
  if (!Active()) return;
  if (transport_) transport_->Stop(pump);
  active_.store(false, std::memory_order_release);
  ReleaseSharedInstances();
}

common::RemoteInstance* TRSServer::SharedInstance(common::RemoteClass& remote_class) {
  std::lock_guard lock(shared_mutex_);
  auto it = shared_.find(&remote_class);
  if (it != shared_.end()) return it->second;
  common::RemoteInstance* instance = remote_class.CreateInstance();
  shared_.emplace(&remote_class, instance);
  return instance;
}

void TRSServer::ReleaseSharedInstances() {
  std::lock_guard lock(shared_mutex_);
  for (auto& [owner, instance] : shared_) {
    try {
      owner->DestroyInstance(instance);
    } catch (...) {
    }
  }
  shared_.clear();
}

}  // namespace protocol
