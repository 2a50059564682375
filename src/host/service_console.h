// What the operator console shows and does, without any toolkit: the service's start/stop
// toggle with its captions, the credential and port fields and their enablement, the client
// list, the log, the session count, and the forced disconnect of a client. The Qt console
// (TSrvMainForm) renders this state and forwards its controls' actions here; the headless runner
// uses it with a view that writes log lines to standard output; tests use it with a recording
// view.
//
// State, by the names of the console's controls:
//   edt_UserName, edt_UserPwd, edt_Port, edt_MaxCount   field texts (InitDSServerOpt reads them;
//                                                         the first three are editable only
//                                                         while fields_enabled())
//   btn_Start, N4                                         captions of the start/stop button
//                                                         ("开启服务" at first, "断开服务" while
//                                                         started, "启动服务" after a stop) and
//                                                         of the tray item ("启动服务",
//                                                         "断开服务", "启动服务")
//   lbTcpMonitorInfo                                      client lines in arrival order: the
//                                                         key and the connection attached
//   Memo1                                                 log lines "hh:nn:ss" + event text
//   edtSessionCount                                       the registry's entry count
//
// The view is told after every change (ConsoleView). Message boxes and the application's error
// display go through the view too; tests answer them.
//
// Threads: everything here runs on the user-interface thread (the one that drains `ui`).
// Connection threads never call it directly: the container hands their arrivals and departures
// over through the UiQueue, synchronously.
#ifndef DATASERVER_HOST_SERVICE_CONSOLE_H_
#define DATASERVER_HOST_SERVICE_CONSOLE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/settings.h"
#include "host/ui_queue.h"

namespace host {

class TServerContainer1;

inline constexpr char kCaptionFirst[] = "开启服务";
inline constexpr char kCaptionStarted[] = "断开服务";
inline constexpr char kCaptionStopped[] = "启动服务";
inline constexpr char kMessageTitle[] = "提示";
inline constexpr char kNoClientSelectedMessage[] = "没有选择要踢出的客户端";
inline constexpr char kKickedMessage[] = "已踢出";
inline constexpr char kMaxConnectionsText[] = "1000";

enum class MessageIcon { kError, kWarning, kInformation };

// The toolkit's side. Every call comes on the user-interface thread.
class ConsoleView {
 public:
  virtual ~ConsoleView() = default;
  virtual void ClientListChanged() {}
  virtual void LogLineAppended(const std::string& /*line*/) {}
  virtual void LogCleared() {}
  virtual void SessionCountChanged() {}
  // Captions and the enablement of the credential and port fields.
  virtual void ServiceStateChanged() {}
  // A modal message box; returns when the operator has closed it.
  virtual void ShowMessage(const std::string& text, const std::string& title, MessageIcon icon) = 0;
  // The application's error display (an operator action failed unexpectedly).
  virtual void ShowError(const std::string& text) = 0;
};

struct ClientLine {
  std::string key;          // the text shown: the client key, or "通道资讯错误."
  uint64_t connection = 0;  // the connection attached to the line (its id)
  std::string peer_key;     // the connection's peer address and port, as a client key
};

class ServiceConsole {
 public:
  // Fields from the settings (CONFIG.CFG); the credential and port fields are disabled from
  // the start (the service starts right after the console exists).
  ServiceConsole(UiQueue& ui, ConsoleView& view, const ServerSettings& settings);
  ServiceConsole(const ServiceConsole&) = delete;
  ServiceConsole& operator=(const ServiceConsole&) = delete;

  // Set by the container when it is created, cleared when it goes.
  void AttachContainer(TServerContainer1* container) { container_ = container; }

  // --- Fields.
  std::string edt_UserName;
  std::string edt_UserPwd;
  std::string edt_Port;
  std::string edt_MaxCount = kMaxConnectionsText;

  // --- Operator actions.
  // btn_Start and N4: StopServer when the service is started, else StartServer (decided by the
  // server's own state, not by the caption).
  void ToggleService();
  // The start sequence, then the fields are disabled. A failure goes to the error display and
  // changes no caption or field; returns whether the service runs.
  bool StartServer();
  // Stops the service (every client closed, no departure lines), empties the client list,
  // shows "0", sets the "启动服务" captions and enables the fields.
  void StopServer();
  // Applies the fields to the service options and the transport settings; throws common::Error
  // for a port that is not an integer (nothing is changed then).
  void InitDSServerOpt();
  // Button2 ("关闭客户端"): the forced disconnect of the selected client.
  void KickSelectedClient();
  // btn_Clean ("清空日志内容").
  void ClearLog();
  // Keep at most `lines` log lines, dropping the oldest (0, the default, keeps all: the
  // console's log grows until the operator clears it). A run without a window, where nobody
  // clears the log, sets a limit.
  void set_log_limit(size_t lines) { log_limit_ = lines; }
  // The selection of the client list: an index, or -1 for none.
  void Select(int index);

  // --- What the console shows.
  const std::vector<ClientLine>& lbTcpMonitorInfo() const { return clients_; }
  int selected() const { return selected_; }
  const std::vector<std::string>& Memo1() const { return log_; }
  const std::string& edtSessionCount() const { return session_count_; }
  const std::string& btn_Start() const { return btn_start_caption_; }
  const std::string& N4() const { return n4_caption_; }
  bool fields_enabled() const { return fields_enabled_; }
  bool ServiceStarted() const;

  // --- Changes made by the container (on the user-interface thread).
  void AddClientLine(ClientLine line);
  // Deletes the first line whose text is `key`; false when there is none.
  bool RemoveClientLine(std::string_view key);
  void AppendLog(std::string line);
  void ShowSessionCount(int32_t count);
  void SetStartedCaptions();
  void ReportError(const std::string& text) { view_.ShowError(text); }

  UiQueue& ui() { return ui_; }
  ConsoleView& view() { return view_; }

 private:
  UiQueue& ui_;
  ConsoleView& view_;
  TServerContainer1* container_ = nullptr;
  std::vector<ClientLine> clients_;
  int selected_ = -1;
  std::vector<std::string> log_;
  size_t log_limit_ = 0;
  std::string session_count_ = "0";
  std::string btn_start_caption_ = kCaptionFirst;
  std::string n4_caption_ = kCaptionStopped;
  bool fields_enabled_ = false;
  NetworkSettings network_;  // from CONFIG.CFG; applied at every start
};

}  // namespace host

#endif  // DATASERVER_HOST_SERVICE_CONSOLE_H_
