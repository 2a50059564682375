// Connection properties, sessions and the session manager.
//
// TRDBProperties: the name/value texts of a "connect" request, in order. Names compare without
// regard to ASCII letter case; reading an absent name gives empty text; setting an empty value
// removes the entry; setting an existing name replaces its value in place.
//
// TRSTCPSession: one per TCP connection, created when it is accepted and closed when it ends.
// Its name is "a.b.c" (three random decimal numbers 0..999999), unique among open sessions.
//
// TRSSessionManager: the process-wide dictionary of open sessions, the listeners told when a
// session is created or closed, and the session bound to each thread. Closing a session by name
// tells every listener (in the reverse order of their addition, outside the lock, exceptions
// swallowed); the connection of that session listens and closes its socket, which is how a
// session closed from elsewhere ends its client's connection.
//
// Thread use: the manager's dictionary and listener list are guarded by its mutex; listeners
// are held weakly, so one that is destroyed while a notification is under way is skipped, never
// called after its destruction. A session's fields belong to its connection's thread; another
// thread only closes it through the manager. The thread binding is a thread-local pointer.
#ifndef DATASERVER_PROTOCOL_SESSION_H_
#define DATASERVER_PROTOCOL_SESSION_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace protocol {

class TRDBProperties {
 public:
  // Empty text when `name` is absent.
  std::string Get(std::string_view name) const;
  bool Has(std::string_view name) const;
  // An empty value removes the entry.
  void Set(std::string_view name, std::string_view value);
  void Clear() { entries_.clear(); }
  // "name=value" texts, in order.
  std::vector<std::string> Texts() const;
  const std::vector<std::pair<std::string, std::string>>& entries() const { return entries_; }

 private:
  std::vector<std::pair<std::string, std::string>> entries_;  // UTF-8
};

enum class TRSSessionStatus {
  Active = 0,
  Closed = 1,
  Idle = 2,
  Terminated = 3,
  Connected = 4,
  Expired = 5
};
enum class TRSSessionLifetime { TimeOut = 0, Request = 1 };

class TRSTCPSession {
 public:
  explicit TRSTCPSession(std::string name) : name_(std::move(name)) {}

  const std::string& name() const { return name_; }
  const std::string& user_name() const { return user_name_; }
  TRSSessionStatus status() const { return status_; }
  void set_status(TRSSessionStatus status) { status_ = status; }
  TRSSessionLifetime lifetime() const { return TRSSessionLifetime::TimeOut; }
  int64_t duration() const { return 0; }  // never expires by itself

  void PutData(const std::string& key, std::string value) { data_[key] = std::move(value); }
  // Empty when absent.
  std::string GetData(const std::string& key) const;

  // Without an authentication manager: takes "RSAuthenticationUser" as the user name when it
  // has none yet, and succeeds.
  bool Authenticate(const TRDBProperties& properties);
  bool Authorize() const { return true; }

 private:
  const std::string name_;
  std::string user_name_;
  TRSSessionStatus status_ = TRSSessionStatus::Idle;
  std::map<std::string, std::string> data_;
};

class TRSSessionListener {
 public:
  virtual ~TRSSessionListener() = default;
  virtual void SessionCreated(const std::string& /*name*/) {}
  // Called on the closing thread, before the session is freed.
  virtual void SessionClosed(const std::string& /*name*/) {}
};

class TRSSessionManager {
 public:
  static TRSSessionManager& Instance();

  // A new Idle session under a fresh name; listeners are told "created".
  std::shared_ptr<TRSTCPSession> CreateSession();
  // Removes the session, tells the listeners "closed" and marks it Closed. False when no open
  // session has that name.
  bool CloseSession(const std::string& name);
  std::shared_ptr<TRSTCPSession> Find(const std::string& name) const;
  size_t SessionCount() const;

  void AddListener(const std::shared_ptr<TRSSessionListener>& listener);
  void RemoveListener(const TRSSessionListener* listener);

  // The session bound to the calling thread, or null.
  static TRSTCPSession* CurrentSession();
  static void BindSession(TRSTCPSession* session);
  static void ClearBinding() { BindSession(nullptr); }

 private:
  std::string NewName();  // caller holds mutex_

  mutable std::mutex mutex_;
  std::unordered_map<std::string, std::shared_ptr<TRSTCPSession>> sessions_;  // GUARDED_BY(mutex_)
  std::vector<std::weak_ptr<TRSSessionListener>> listeners_;                  // GUARDED_BY(mutex_)
};

}  // namespace protocol

#endif  // DATASERVER_PROTOCOL_SESSION_H_
