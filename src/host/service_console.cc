#include "host/service_console.h"

#include <exception>

#include "common/error.h"
#include "host/server_container.h"

namespace host {
namespace {

std::string ConversionError(const std::string& text) {
  return "'" + text + "' is not a valid integer value";
}

}  // namespace

ServiceConsole::ServiceConsole(UiQueue& ui, ConsoleView& view, const ServerSettings& settings)
    : edt_UserName(settings.user_name),
      edt_UserPwd(settings.password),
      edt_Port(settings.port),
      ui_(ui),
      view_(view),
      network_(settings.network) {}

bool ServiceConsole::ServiceStarted() const { return container_ && container_->Started(); }

void ServiceConsole::ToggleService() {
  if (ServiceStarted()) {
    StopServer();
  } else {
    StartServer();
  }
}

bool ServiceConsole::StartServer() {
  if (!container_) return false;
  try {
    container_->DataModuleCreate();
  } catch (const std::exception& e) {
    view_.ShowError(e.what());
    return false;
  }
  fields_enabled_ = false;
  view_.ServiceStateChanged();
  return true;
}

void ServiceConsole::StopServer() {
  if (container_) {
    container_->DataModuleDestroy();
  }
  clients_.clear();
  selected_ = -1;
  view_.ClientListChanged();
  ShowSessionCount(0);
  btn_start_caption_ = kCaptionStopped;
  n4_caption_ = kCaptionStopped;
  fields_enabled_ = true;
  view_.ServiceStateChanged();
}

void ServiceConsole::InitDSServerOpt() {
  if (!container_) return;
  const std::optional<int32_t> port = ParseInteger(edt_Port);
  if (!port) throw common::Error("EConvertError", ConversionError(edt_Port));
  if (*port < 0 || *port > 65535) {
    throw common::Error("EConvertError", "'" + edt_Port + "' is not a valid port number");
  }
  const int32_t max = ParseInteger(edt_MaxCount).value_or(0);
  container_->options.max_client_connections = max;
  container_->context.max_client_connections = max;
  container_->RSTCPServerTransport1.MaxThreads = max > INT32_MAX - 5 ? INT32_MAX : max + 5;
  container_->RSTCPServerTransport1.Port = static_cast<uint16_t>(*port);
  container_->options.user_name = edt_UserName;
  container_->options.password = edt_UserPwd;
  container_->ApplyNetworkSettings(network_);
}

void ServiceConsole::KickSelectedClient() {
  if (selected_ < 0 || static_cast<size_t>(selected_) >= clients_.size()) {
    view_.ShowMessage(kNoClientSelectedMessage, kMessageTitle, MessageIcon::kError);
    return;
  }
  const ClientLine line = clients_[static_cast<size_t>(selected_)];
  if (container_) container_->DisConnectConnection(line.connection);
  view_.ShowMessage(kKickedMessage + line.peer_key, kMessageTitle, MessageIcon::kInformation);
}

void ServiceConsole::ClearLog() {
  log_.clear();
  view_.LogCleared();
}

void ServiceConsole::Select(int index) {
  selected_ = index >= 0 && static_cast<size_t>(index) < clients_.size() ? index : -1;
}

void ServiceConsole::AddClientLine(ClientLine line) {
  clients_.push_back(std::move(line));
  view_.ClientListChanged();
}

bool ServiceConsole::RemoveClientLine(std::string_view key) {
  for (size_t i = 0; i < clients_.size(); ++i) {
    if (clients_[i].key != key) continue;
    clients_.erase(clients_.begin() + static_cast<ptrdiff_t>(i));
    const int removed = static_cast<int>(i);
    if (selected_ == removed) {
      selected_ = -1;
    } else if (selected_ > removed) {
      --selected_;
    }
    view_.ClientListChanged();
    return true;
  }
  return false;
}

void ServiceConsole::AppendLog(std::string line) {
  if (log_limit_ > 0 && log_.size() >= log_limit_) {
    log_.erase(log_.begin(), log_.begin() + static_cast<ptrdiff_t>(log_.size() - log_limit_ + 1));
  }
  log_.push_back(std::move(line));
  view_.LogLineAppended(log_.back());
}

void ServiceConsole::ShowSessionCount(int32_t count) {
  session_count_ = std::to_string(count);
  view_.SessionCountChanged();
}

void ServiceConsole::SetStartedCaptions() {
  btn_start_caption_ = kCaptionStarted;
  n4_caption_ = kCaptionStarted;
  view_.ServiceStateChanged();
}

}  // namespace host
