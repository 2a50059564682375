#include "protocol/tcp_transport.h"

#include <algorithm>

#include "protocol/dispatcher.h"
#include "protocol/filter_channel.h"
#include "protocol/json_stream_reader.h"
#include "protocol/json_stream_writer.h"
#include "protocol/limits.h"
#include "protocol/rs_server.h"
#include "protocol/session.h"

namespace protocol {
namespace {

// Closes the connection when its session is closed by name from elsewhere. Holds the socket
// itself, so a notification that races with the end of the connection shuts down a socket that
// is still open, never a reused descriptor.
class SessionCloser : public TRSSessionListener {
 public:
  SessionCloser(std::string session_name, std::shared_ptr<Socket> socket)
      : session_name_(std::move(session_name)), socket_(std::move(socket)) {}
  void SessionClosed(const std::string& name) override {
    if (name == session_name_) socket_->Shutdown();
  }

 private:
  const std::string session_name_;
  const std::shared_ptr<Socket> socket_;
};

// Everything one connection's requests run through, stacked in the order they are used and
// torn down in reverse: the session is closed first, then the dispatcher gives its instances
// back, then the channels go.
//
// Until the client is admitted the stack works under the server's pre-login caps; `admission`
// is told of every answered "connect".
class ProtocolHandler {
 public:
  ProtocolHandler(TRSServer& server, TRSTCPConnection& connection, FilterList filters,
                  size_t buffer_size, std::function<void(bool)> admission)
      : channel_(connection),
        filter_channel_(channel_, std::move(filters), server.LimitsBeforeLogin()),
        reader_(filter_channel_, buffer_size, server.LimitsBeforeLogin()),
        writer_(filter_channel_, buffer_size),
        session_(TRSSessionManager::Instance().CreateSession()),
        closer_(std::make_shared<SessionCloser>(session_->name(), connection.shared_socket())),
        dispatcher_(server, reader_, writer_, &channel_, session_.get()) {
    filter_channel_.set_budget(&server.decompression_budget);
    dispatcher_.OnAdmissionChanged = [this, &server, admission = std::move(admission)](bool ok) {
      const Limits& limits = ok ? server.limits : server.LimitsBeforeLogin();
      filter_channel_.set_limits(limits);
      reader_.set_limits(limits);
      admission(ok);
    };
    channel_.Open();
    session_->PutData("CommunicationProtocol", "tcp/ip");
    session_->PutData("RemoteIP", connection.peer().ip);
    session_->PutData("RemotePort", std::to_string(connection.peer().port));
    TRSSessionManager::Instance().AddListener(closer_);
  }

  ~ProtocolHandler() {
    TRSSessionManager::Instance().RemoveListener(closer_.get());
    TRSSessionManager::ClearBinding();
    TRSSessionManager::Instance().CloseSession(session_->name());
  }

  TRSTCPChannel& channel() { return channel_; }

  // Serves requests until the connection ends.
  void Run() {
    TRSSessionManager::BindSession(session_.get());
    dispatcher_.Run();
    TRSSessionManager::ClearBinding();
  }

 private:
  TRSTCPChannel channel_;
  TRDBFilterSocketChannel filter_channel_;
  TRDBJSonStreamReader reader_;
  TRDBJSonStreamWriter writer_;
  std::shared_ptr<TRSTCPSession> session_;
  std::shared_ptr<SessionCloser> closer_;
  Dispatcher dispatcher_;
};

}  // namespace

struct TRSTCPServerTransport::Worker {
  std::thread thread;
  std::optional<Socket> job;  // GUARDED_BY(TRSTCPServerTransport::mutex_)
  bool exit = false;          // GUARDED_BY(TRSTCPServerTransport::mutex_)
  std::condition_variable cv;
};

TRSTCPServerTransport::TRSTCPServerTransport() = default;
TRSTCPServerTransport::~TRSTCPServerTransport() { Stop(); }

void TRSTCPServerTransport::Start(TRSServer& server) {
  if (Listening()) return;
  auto listener = std::make_unique<Listener>(Port, ListenAddresses);  // throws ESocketError
  server_ = &server;
  max_threads_ = MaxThreads;
  pool_size_ = PoolSize > 0 ? static_cast<size_t>(PoolSize) : 0;
  buffer_size_ = BufferSizeFromKB(BufferKBSize);
  login_timeout_ = std::max<int32_t>(LoginTimeout, 0);
  max_pending_per_address_ = std::max<int32_t>(MaxPendingPerAddress, 0);
  send_stall_timeout_ = std::max<int32_t>(SendStallTimeout, 0);
  {
    std::lock_guard lock(mutex_);
    stopping_ = false;
  }
  listener_ = std::move(listener);
  listening_.store(true, std::memory_order_release);
  acceptor_ = std::thread(&TRSTCPServerTransport::AcceptLoop, this);
  if (login_timeout_ > 0) watchdog_ = std::thread(&TRSTCPServerTransport::WatchHandshakes, this);
}

void TRSTCPServerTransport::Stop(const std::function<void()>& pump) {
  {
    std::lock_guard lock(mutex_);
    if (!listening_.load()) return;
    listening_.store(false, std::memory_order_release);
    stopping_ = true;
  }
  threads_cv_.notify_all();
  watchdog_cv_.notify_all();
  listener_->Wake();
  acceptor_.join();
  if (watchdog_.joinable()) watchdog_.join();
  {
    std::lock_guard lock(mutex_);
    for (auto& [id, connection] : connections_) connection->Close();
    for (Worker* w : idle_) {
      w->exit = true;
      w->cv.notify_one();
    }
  }
  std::unique_lock lock(mutex_);
  while (live_threads_ > 0) {
    if (pump) {
      lock.unlock();
      pump();
      lock.lock();
    } else {
      threads_cv_.wait(lock);
    }
  }
  std::vector<std::unique_ptr<Worker>> all;
  for (auto& w : finished_) all.push_back(std::move(w));
  for (auto& w : workers_) all.push_back(std::move(w));
  finished_.clear();
  workers_.clear();
  idle_.clear();
  lock.unlock();
  for (auto& w : all) {
    if (w && w->thread.joinable()) w->thread.join();
  }
  listener_.reset();
}

uint16_t TRSTCPServerTransport::BoundPort() const { return listener_ ? listener_->port() : 0; }

size_t TRSTCPServerTransport::BindingCount() const {
  return listener_ ? listener_->binding_count() : 0;
}

std::vector<std::string> TRSTCPServerTransport::BoundAddresses() const {
  return listener_ ? listener_->addresses() : std::vector<std::string>{};
}

size_t TRSTCPServerTransport::PendingCount() const {
  std::lock_guard lock(mutex_);
  return pending_.size();
}

bool TRSTCPServerTransport::BeginPendingLocked(TRSTCPConnection& connection) {
  int32_t& count = pending_by_address_[connection.peer().ip];
  if (max_pending_per_address_ > 0 && count >= max_pending_per_address_) return false;
  ++count;
  pending_[connection.id()] = std::chrono::steady_clock::now();
  return true;
}

void TRSTCPServerTransport::EndPendingLocked(TRSTCPConnection& connection) {
  if (pending_.erase(connection.id()) == 0) return;
  auto it = pending_by_address_.find(connection.peer().ip);
  if (it != pending_by_address_.end() && --it->second <= 0) pending_by_address_.erase(it);
}

void TRSTCPServerTransport::SetAdmitted(TRSTCPConnection& connection, bool admitted) {
  std::lock_guard lock(mutex_);
  connection.admitted_.store(admitted, std::memory_order_release);
  if (admitted) {
    EndPendingLocked(connection);
  } else if (pending_.count(connection.id()) == 0) {
    // Refused after an earlier admission: a stranger again, with a fresh deadline. The
    // per-address cap is not applied here: the connection exists already.
    ++pending_by_address_[connection.peer().ip];
    pending_[connection.id()] = std::chrono::steady_clock::now();
  }
}

void TRSTCPServerTransport::WatchHandshakes() {
  const auto timeout = std::chrono::seconds(login_timeout_);
  // Checked a few times per second: a deadline is met to within a fraction of a second.
  const auto tick = std::min<std::chrono::milliseconds>(std::chrono::milliseconds(250), timeout);
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    watchdog_cv_.wait_for(lock, tick);
    if (stopping_) break;
    const auto now = std::chrono::steady_clock::now();
    for (const auto& [id, since] : pending_) {
      if (now - since < timeout) continue;
      auto it = connections_.find(id);
      if (it == connections_.end() || it->second->handshake_expired()) continue;
      it->second->handshake_expired_.store(true, std::memory_order_release);
      it->second->Close();
    }
  }
}

size_t TRSTCPServerTransport::ConnectionCount() const {
  std::lock_guard lock(mutex_);
  return connections_.size();
}

size_t TRSTCPServerTransport::ThreadCount() const {
  std::lock_guard lock(mutex_);
  return live_threads_;
}

size_t TRSTCPServerTransport::IdleThreadCount() const {
  std::lock_guard lock(mutex_);
  return idle_.size();
}

void TRSTCPServerTransport::JoinFinished() {
  std::vector<std::unique_ptr<Worker>> done;
  {
    std::lock_guard lock(mutex_);
    done.swap(finished_);
  }
  for (auto& w : done) w->thread.join();
}

TRSTCPServerTransport::Worker* TRSTCPServerTransport::ReserveThread() {
  JoinFinished();
  std::unique_lock lock(mutex_);
  threads_cv_.wait(lock, [this] {
    return stopping_ || !idle_.empty() || max_threads_ <= 0 ||
           live_threads_ < static_cast<size_t>(max_threads_);
  });
  if (stopping_) return nullptr;
  if (!idle_.empty()) {
    Worker* w = idle_.back();
    idle_.pop_back();
    return w;
  }
  workers_.push_back(std::make_unique<Worker>());
  Worker* w = workers_.back().get();
  ++live_threads_;
  w->thread = std::thread(&TRSTCPServerTransport::WorkerLoop, this, w);
  return w;
}

void TRSTCPServerTransport::AcceptLoop() {
  for (;;) {
    Worker* w = ReserveThread();
    if (!w) return;
    std::optional<Socket> socket;
    try {
      socket = listener_->Accept();
    } catch (const ESocketError&) {
      // poll itself failed: nothing more can be accepted; connections being served go on.
    }
    std::lock_guard lock(mutex_);
    if (!socket || stopping_) {
      w->exit = true;
      w->cv.notify_one();
      return;
    }
    w->job = std::move(socket);
    w->cv.notify_one();
  }
}

void TRSTCPServerTransport::WorkerLoop(Worker* worker) {
  std::unique_lock lock(mutex_);
  for (;;) {
    worker->cv.wait(lock, [worker] { return worker->job.has_value() || worker->exit; });
    if (!worker->job) break;
    Socket socket = std::move(*worker->job);
    worker->job.reset();
    lock.unlock();
    Serve(std::move(socket));
    lock.lock();
    if (stopping_ || idle_.size() >= pool_size_) break;
    idle_.push_back(worker);
    threads_cv_.notify_all();
  }
  std::erase(idle_, worker);
  for (auto it = workers_.begin(); it != workers_.end(); ++it) {
    if (it->get() == worker) {
      finished_.push_back(std::move(*it));
      workers_.erase(it);
      break;
    }
  }
  --live_threads_;
  threads_cv_.notify_all();
}

void TRSTCPServerTransport::Serve(Socket socket) {
  if (send_stall_timeout_ > 0) socket.SetSendTimeout(send_stall_timeout_);
  TRSTCPConnection connection(std::move(socket));
  bool admissible = true;
  {
    std::lock_guard lock(mutex_);
    admissible = BeginPendingLocked(connection);
    if (admissible) connections_.emplace(connection.id(), &connection);
  }
  if (!admissible) {
    // Refused before a byte is read, and before the connection is announced anywhere.
    if (OnHandshakeFailure && Listening()) {
      try {
        OnHandshakeFailure({&connection, THandshakeFailure::kTooManyPending});
      } catch (...) {
      }
    }
    connection.Close();
    return;
  }
  {
    std::lock_guard lock(mutex_);
    if (stopping_) connection.Close();
  }
  try {
    ProtocolHandler handler(*server_, connection, MakeConnectionFilters(Filters), buffer_size_,
                            [this, &connection](bool ok) { SetAdmitted(connection, ok); });
    if (OnConnect && !connection.closed() && Listening()) {
      switch (KeepAliveEnablement) {
        case TRSKeepAliveEnablement::kaEnabled:
          handler.channel().EnableKeepAlive(KeepAliveTime, KeepAliveInterval);
          break;
        case TRSKeepAliveEnablement::kaDisabled:
          handler.channel().DisableKeepAlive();
          break;
        case TRSKeepAliveEnablement::kaDefault:
          break;
      }
      try {
        OnConnect(TRSTCPConnectEventObject{&connection, &handler.channel()});
      } catch (...) {
      }
    }
    handler.Run();
    if (connection.handshake_expired() && OnHandshakeFailure && Listening()) {
      try {
        OnHandshakeFailure({&connection, THandshakeFailure::kDeadline});
      } catch (...) {
      }
    }
    if (OnDisconnect && Listening()) {
      try {
        OnDisconnect(TRSTCPDisconnectEventObject{&connection});
      } catch (...) {
      }
    }
  } catch (...) {
    // Setting the connection up failed (no memory, a filter that cannot be made): it ends.
  }
  std::lock_guard lock(mutex_);
  EndPendingLocked(connection);
  connections_.erase(connection.id());
}

}  // namespace protocol
