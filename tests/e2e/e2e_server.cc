#include "e2e_server.h"

#include <fstream>
#include <stdexcept>

#include "common/text.h"
#include "host/server_container.h"
#include "host/service_console.h"
#include "host/settings.h"
#include "host/ui_queue.h"

namespace e2e {

// The console's view without a window: log lines, errors and message boxes are kept.
class E2eServer::RecordingView : public host::ConsoleView {
 public:
  explicit RecordingView(E2eServer& server) : server_(server) {}
  void LogLineAppended(const std::string& line) override { Keep(line); }
  void ShowMessage(const std::string& text, const std::string& title, host::MessageIcon) override {
    Keep(title + ": " + text);
  }
  void ShowError(const std::string& text) override { Keep("Error: " + text); }

 private:
  void Keep(const std::string& line) {
    std::lock_guard<std::mutex> lock(server_.log_mutex_);
    server_.log_.push_back(line);
  }
  E2eServer& server_;
};

E2eServer::E2eServer(std::string app_folder, const std::string& config_lines)
    : previous_code_page_(common::AnsiCodePage().name()) {
  {
    std::ofstream config(app_folder + host::kSettingsFileName, std::ios::binary | std::ios::trunc);
    config << "[CONFIG]\nSVROPENPORT=0\n" << config_lines;
  }
  singletons_ = std::make_unique<host::ProcessSingletons>(app_folder);
  singletons_->context.max_client_connections = 1000;
  std::string start_error;
  ui_thread_ = std::thread([this, app_folder, &start_error] { Serve(app_folder, start_error); });
  while (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (container_ == nullptr) {
    ui_thread_.join();
    common::SetAnsiCodePage(previous_code_page_);
    throw std::runtime_error("the service did not start: " + start_error);
  }
}

E2eServer::~E2eServer() {
  stop_ = true;
  ui_thread_.join();
  singletons_.reset();
  common::SetAnsiCodePage(previous_code_page_);
}

void E2eServer::Serve(const std::string& app_folder, std::string& start_error) {
  // What the process's start-up does after the singletons: the settings, the code page, the
  // console and the container, all on this thread.
  host::UiQueue ui;
  RecordingView view(*this);
  const host::ServerSettings settings = host::LoadSettings(app_folder);
  if (!settings.code_page.empty() && !common::SetAnsiCodePage(settings.code_page)) {
    start_error = "unknown code page " + settings.code_page;
    ready_ = true;
    return;
  }
  host::ServiceConsole form(ui, view, settings);
  {
    host::TServerContainer1 container(form, singletons_->instance_pool, singletons_->context);
    if (!container.Started()) {
      const std::vector<std::string> log = Log();
      start_error = log.empty() ? "no reason logged" : log.back();
      ready_ = true;
      return;
    }
    port_ = container.RSTCPServerTransport1.BoundPort();
    container_ = &container;
    ready_ = true;
    while (!stop_) ui.WaitAndDrain(std::chrono::milliseconds(10));
    container.DataModuleDestroy();
    container_ = nullptr;
  }
}

bool E2eServer::PoolsIdle() const {
  return singletons_->connection_pool.BusyCount() == 0 &&
         singletons_->query_pool.BusyCount() == 0 && singletons_->stored_proc_pool.BusyCount() == 0;
}

int32_t E2eServer::ClientCount() const {
  host::TServerContainer1* container = container_;
  return container == nullptr ? 0 : container->FConnections().Count();
}

std::vector<std::string> E2eServer::Log() const {
  std::lock_guard<std::mutex> lock(log_mutex_);
  return log_;
}

std::unique_ptr<client::Connection> E2eServer::Connect() const {
  auto c = std::make_unique<client::Connection>(
      client::LoginOptions("127.0.0.1", port_, "admin", "tulip"));
  c->Open();
  return c;
}

}  // namespace e2e
