// TSrvMainForm: the operator console window, a thin view over host::ServiceConsole (service
// control, clients, log, session count) and over the host's backup, schedule and settings.
//
//   title: the "Caption" setting; fixed size 715 x 488, centred; close button only
//   tab "服务器信息": group "连接信息：" lbTcpMonitorInfo, "当前连接数：" edtSessionCount,
//                    Button2 "关闭客户端", group "日志：" Memo1, "最大连接数：" edt_MaxCount,
//                    btn_Clean "清空日志内容"
//   tab "数据备份":   Button1 "数据库设置", Button4 "手动备份", "备份文件保存到:" edtPath,
//                    Button5 "...", BackupType (5 choices), CmbWeek (7 choices), "日期" EdtDay,
//                    "时间" EdtTime and EdtMinute
//   bottom bar:      "服务账号：" edt_UserName, "服务密码：" edt_UserPwd, "端口：" edt_Port,
//                    btn_Start, check box Start "开机运行"
//   StatusBar1:      two panels, written by a successful backup
//   TrayIcon1:       hint = the caption; double-click shows or hides the window; menu
//                    PopupMenu1 (also the window's): MenuItem1 "退出程序", N4 (start/stop),
//                    N5 "数据维护", N2 "服务信息"
//   Timer1:          one second; runs the automatic backup rule with the fields' current values
//
// Closing the window saves (the autostart entry following "开机运行", then the "Backup" section
// of CONFIG.CFG) and hides it; the process and the service go on. A section that cannot be
// written is reported on the error display and the window stays. The exit item stops the
// service under the busy cursor and ends the event loop; a stop that fails keeps the process.
//
// Arrivals and departures of clients reach this thread through the UiQueue: its posted hook
// posts a queued call that drains it, so they are applied between events (also while a modal
// dialog runs) and while a stop waits for connection threads.
//
// Threads: the user-interface thread only; the posted hook is the one part called from
// connection threads, and it only posts an event.
#ifndef DATASERVER_CONSOLE_MAIN_FORM_H_
#define DATASERVER_CONSOLE_MAIN_FORM_H_

#include <QMainWindow>
#include <cstdint>
#include <functional>
#include <string>

#include "common/datetime.h"
#include "console/dialogs.h"
#include "host/backup_schedule.h"
#include "host/database_settings.h"
#include "host/service_console.h"
#include "host/settings.h"
#include "host/ui_queue.h"

class QAction;
class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QSystemTrayIcon;
class QTabWidget;
class QTimer;

namespace console {

inline constexpr int kFormWidth = 715;
inline constexpr int kFormHeight = 488;
inline constexpr int kServerInfoTab = 0;
inline constexpr int kBackupTab = 1;
inline constexpr char kChooseBackupFolderTitle[] = "请选择备份路径";

struct FormContext {
  std::string app_folder;       // with its trailing "/"
  std::string executable_path;  // what the autostart entry starts
  host::ServerSettings settings;
  host::UiQueue& ui;
  host::DatabasePools pools;
  Dialogs& dialogs;
  // Ends the event loop (the exit item's last step).
  std::function<void()> quit;
  // The exit item calls it with true before the service stops (the runner bounds the exit's
  // time), and with false when the stop failed and the process goes on.
  std::function<void(bool)> exiting = {};
};

class TSrvMainForm : public QMainWindow, public host::ConsoleView {
 public:
  // The window's creation: fields from the settings, the tray icon with its hint, the timer
  // running. The window stays hidden; the container is created next, with form().
  explicit TSrvMainForm(FormContext context);
  ~TSrvMainForm() override;

  host::ServiceConsole& form() { return form_; }

  // Start-up's last step: the tray icon, and the window stays hidden; where the desktop has
  // no system tray, the window is shown instead.
  void ShowAtStart();

  // --- Actions of the controls (the tests drive some of them directly).
  void TrayIcon1DblClick();
  // N5 and N2: shows the window (brought forward) on `tab`.
  void ShowOnTab(int tab);
  // MenuItem1 "退出程序".
  void MenuItem1Click();
  // Button4 "手动备份" at local time `now`.
  void BackupNow(const common::DateTimeParts& now);
  // Timer1's tick at `now` (seconds since the epoch) with local parts `local`.
  void Timer1Timer(int64_t now, const host::ScheduleTime& local);
  // Button5 "...".
  void Button5Click();
  // Button1 "数据库设置".
  void Button1Click();

  // The automatic backup fields as they are now.
  host::BackupSettings BackupFields() const;
  QString StatusPanel(int index) const;
  QSystemTrayIcon* TrayIcon1() const { return TrayIcon1_; }
  QMenu* PopupMenu1() const { return PopupMenu1_; }
  QTimer* Timer1() const { return Timer1_; }

  // --- host::ConsoleView.
  void ClientListChanged() override;
  void LogLineAppended(const std::string& line) override;
  void LogCleared() override;
  void SessionCountChanged() override;
  void ServiceStateChanged() override;
  void ShowMessage(const std::string& text, const std::string& title,
                   host::MessageIcon icon) override;
  void ShowError(const std::string& text) override;

 protected:
  // Saves and hides (FormCloseQuery); the window is never really closed by its button.
  void closeEvent(QCloseEvent* event) override;

 private:
  QWidget* BuildServerInfoTab();
  QWidget* BuildBackupTab(const host::BackupSettings& backup);
  QWidget* BuildBottomBar(const host::ServerSettings& settings);
  void BuildTray(const QString& caption);
  void SelectionChanged();

  const std::string app_folder_;
  const std::string executable_path_;
  host::UiQueue& ui_;
  const host::DatabasePools pools_;
  Dialogs& dialogs_;
  const std::function<void()> quit_;
  const std::function<void(bool)> exiting_;
  host::ServiceConsole form_;
  host::BackupSchedule schedule_;

  QTabWidget* PageControl1_ = nullptr;
  QListWidget* lbTcpMonitorInfo_ = nullptr;
  QLineEdit* edtSessionCount_ = nullptr;
  QPushButton* Button2_ = nullptr;
  QPlainTextEdit* Memo1_ = nullptr;
  QLineEdit* edt_MaxCount_ = nullptr;
  QPushButton* btn_Clean_ = nullptr;
  QLineEdit* edtPath_ = nullptr;
  QButtonGroup* BackupType_ = nullptr;
  QButtonGroup* CmbWeek_ = nullptr;
  QSpinBox* EdtDay_ = nullptr;
  QSpinBox* EdtTime_ = nullptr;
  QSpinBox* EdtMinute_ = nullptr;
  QLineEdit* edt_UserName_ = nullptr;
  QLineEdit* edt_UserPwd_ = nullptr;
  QLineEdit* edt_Port_ = nullptr;
  QPushButton* btn_Start_ = nullptr;
  QCheckBox* Start_ = nullptr;
  QLabel* status_panels_[2] = {nullptr, nullptr};
  QSystemTrayIcon* TrayIcon1_ = nullptr;
  QMenu* PopupMenu1_ = nullptr;
  QAction* N4_ = nullptr;
  QTimer* Timer1_ = nullptr;
};

}  // namespace console

#endif  // DATASERVER_CONSOLE_MAIN_FORM_H_
