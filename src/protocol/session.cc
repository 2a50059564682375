#include "protocol/session.h"

#include <algorithm>
#include <random>

#include "common/text.h"

namespace protocol {
namespace {

thread_local TRSTCPSession* current_session = nullptr;

constexpr char kAuthenticationUser[] = "RSAuthenticationUser";

}  // namespace

std::string TRDBProperties::Get(std::string_view name) const {
  for (const auto& [n, v] : entries_) {
    if (common::EqualsIgnoreAsciiCase(n, name)) return v;
  }
  return std::string();
}

bool TRDBProperties::Has(std::string_view name) const {
  return std::any_of(entries_.begin(), entries_.end(),
                     [&](const auto& e) { return common::EqualsIgnoreAsciiCase(e.first, name); });
}

void TRDBProperties::Set(std::string_view name, std::string_view value) {
  auto it = std::find_if(entries_.begin(), entries_.end(), [&](const auto& e) {
    return common::EqualsIgnoreAsciiCase(e.first, name);
  });
  if (value.empty()) {
    if (it != entries_.end()) entries_.erase(it);
  } else if (it != entries_.end()) {
    it->second = std::string(value);
  } else {
    entries_.emplace_back(std::string(name), std::string(value));
  }
}

std::vector<std::string> TRDBProperties::Texts() const {
  std::vector<std::string> texts;
  texts.reserve(entries_.size());
  for (const auto& [n, v] : entries_) texts.push_back(n + "=" + v);
  return texts;
}

std::string TRSTCPSession::GetData(const std::string& key) const {
  auto it = data_.find(key);
  return it == data_.end() ? std::string() : it->second;
}

bool TRSTCPSession::Authenticate(const TRDBProperties& properties) {
  if (user_name_.empty()) user_name_ = properties.Get(kAuthenticationUser);
  return true;
}

TRSSessionManager& TRSSessionManager::Instance() {
  // Never destroyed: connection threads may close sessions while the process ends.
  static TRSSessionManager* manager = new TRSSessionManager;
  return *manager;
}

std::string TRSSessionManager::NewName() {
  thread_local std::mt19937 random{std::random_device{}()};
  std::uniform_int_distribution<int> part(0, 999999);
  for (;;) {
    std::string name = std::to_string(part(random)) + "." + std::to_string(part(random)) + "." +
                       std::to_string(part(random));
    if (sessions_.find(name) == sessions_.end()) return name;
  }
}

std::shared_ptr<TRSTCPSession> TRSSessionManager::CreateSession() {
  std::shared_ptr<TRSTCPSession> session;
  std::vector<std::weak_ptr<TRSSessionListener>> listeners;
  {
    std::lock_guard lock(mutex_);
    session = std::make_shared<TRSTCPSession>(NewName());
    sessions_.emplace(session->name(), session);
    listeners = listeners_;
  }
  for (auto it = listeners.rbegin(); it != listeners.rend(); ++it) {
    if (auto listener = it->lock()) {
      try {
        listener->SessionCreated(session->name());
      } catch (...) {
      }
    }
  }
  return session;
}

bool TRSSessionManager::CloseSession(const std::string& name) {
  std::shared_ptr<TRSTCPSession> session;
  std::vector<std::weak_ptr<TRSSessionListener>> listeners;
  {
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(name);
    if (it == sessions_.end()) return false;
    session = std::move(it->second);
    sessions_.erase(it);
    listeners = listeners_;
  }
  for (auto it = listeners.rbegin(); it != listeners.rend(); ++it) {
    if (auto listener = it->lock()) {
      try {
        listener->SessionClosed(name);
      } catch (...) {
      }
    }
  }
  session->set_status(TRSSessionStatus::Closed);
  return true;
}

std::shared_ptr<TRSTCPSession> TRSSessionManager::Find(const std::string& name) const {
  std::lock_guard lock(mutex_);
  auto it = sessions_.find(name);
  return it == sessions_.end() ? nullptr : it->second;
}

size_t TRSSessionManager::SessionCount() const {
  std::lock_guard lock(mutex_);
  return sessions_.size();
}

void TRSSessionManager::AddListener(const std::shared_ptr<TRSSessionListener>& listener) {
  std::lock_guard lock(mutex_);
  std::erase_if(listeners_, [](const auto& w) { return w.expired(); });
  listeners_.push_back(listener);
}

void TRSSessionManager::RemoveListener(const TRSSessionListener* listener) {
  std::lock_guard lock(mutex_);
  std::erase_if(listeners_, [listener](const auto& w) {
    auto l = w.lock();
    return !l || l.get() == listener;
  });
}

TRSTCPSession* TRSSessionManager::CurrentSession() { return current_session; }

void TRSSessionManager::BindSession(TRSTCPSession* session) { current_session = session; }

}  // namespace protocol
