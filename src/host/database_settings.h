// The database connection settings: the behaviour of the three dialogs that edit DataBase.CFG
// (the driver choice TfSetDAConnection "数据库设置", the SQL Server dialog TfMSSQL "MSSQL数据库"
// and the file database dialog TfMSAcc "Accese数据库"). The Qt dialogs render these models and
// forward their buttons here.
//
// DataBase.CFG as the dialogs write it (every line ends with CR LF; absent lines are left out):
//   SQL Server            file database
//   DriverID=MSSQL        DriverID=MSAcc
//   User_Name=<user>      User_Name=<user>     when the field is not empty
//   Password=<password>   Password=<password>  when the field is not empty (clear text)
//   OSAuthent=Yes                              when the box is checked
//   Server=<server>                            when the field is not empty
//   Database=<database>   Database=<file>
// The file database values are trimmed of surrounding blanks. A connection test opens a real
// connection of the driver layer with these parameters; only when it opens is the file written,
// and then one idle object of each database pool is released (FreeAndNil), so the next one is
// built from the new file.
//
// Threads: the user-interface thread only; a test's connection blocks it while it opens. The
// pools' release calls are safe beside connection threads using them.
#ifndef DATASERVER_HOST_DATABASE_SETTINGS_H_
#define DATASERVER_HOST_DATABASE_SETTINGS_H_

#include <string>
#include <vector>

#include "host/service_console.h"
#include "pools/da_conn_pool.h"
#include "pools/da_connection.h"
#include "pools/da_query_pool.h"
#include "pools/da_stored_proc_pool.h"

namespace host {

inline constexpr char kSettingsDialogTitle[] = "数据库设置";
inline constexpr char kMssqlDialogTitle[] = "MSSQL数据库";
inline constexpr char kAccessDialogTitle[] = "Accese数据库";
inline constexpr char kConnectSucceeded[] = "连接成功";
inline constexpr char kConnectFailed[] = "连接参数错误";
inline constexpr char kChooseDriverMessage[] = "请选择数据引擎！";
inline constexpr char kMaskedPasswordLine[] = "Password=********";
inline constexpr char kAccessUserName[] = "Admin";
// The browse filter of the file database dialog: description|pattern pairs.
inline constexpr char kAccessFileFilter[] = "数据库文件(*.mdb)|*.mdb|所有文件|*.*";
// The drivers offered by the driver list, in order.
inline constexpr const char* kSettingsDrivers[] = {"MSSQL", "MSAcc"};

// The dialogs' message boxes; the toolkit implements them.
class SettingsMessages {
 public:
  virtual ~SettingsMessages() = default;
  // A message box titled `title` with `icon`.
  virtual void ShowMessage(const std::string& text, const std::string& title, MessageIcon icon) = 0;
  // A plain message dialog titled with the application title, no icon, one OK button.
  virtual void ShowPlainMessage(const std::string& text) = 0;
};

// The pools a saved configuration releases an idle object of.
struct DatabasePools {
  pools::TDAConnectionPool& connections;
  pools::TDAQueryPool& queries;
  pools::TDAStoredProcPool& stored_procs;
};

// TfSetDAConnection: the driver choice, its summary, and the test connection Conn1 that the
// engine dialogs work on.
class DatabaseSettings {
 public:
  enum class Engine { kNone, kMssql, kAccess };

  // `app_folder` ends with "/". Runs the dialog's opening step (Load).
  DatabaseSettings(std::string app_folder, DatabasePools pools, SettingsMessages& messages);
  DatabaseSettings(const DatabaseSettings&) = delete;
  DatabaseSettings& operator=(const DatabaseSettings&) = delete;

  // The driver list edtDriverName: an index of kSettingsDrivers, or -1 when nothing is chosen.
  int edtDriverName = -1;
  // The summary: one entry per line; the failure line holds a CR between its two parts.
  std::vector<std::string> Memo1;
  // The test connection; it never prompts for a login.
  pools::TDAConnection Conn1;

  // Opening: closes Conn1 and loads DataBase.CFG into it; selects "MSSQL" when its DriverID
  // is "MSSQL", else "MSAcc", and fills the summary with the password masked. A missing or
  // unreadable file leaves nothing selected and the summary empty.
  void Load();
  // "连接" (Button2): reloads DataBase.CFG into Conn1 (a failure keeps its parameters), then
  // names the engine dialog to open; kNone after the "请选择数据引擎！" box.
  Engine Button2Click();

  const std::string& app_folder() const { return app_folder_; }
  std::string ConfigPath() const;
  SettingsMessages& messages() { return messages_; }
  // After a connection opened: writes Conn1's parameters to DataBase.CFG, closes Conn1 and
  // releases one idle object of each pool. Throws pools::DatabaseError when the file cannot
  // be written (nothing is released then).
  void SaveAndRelease();

 private:
  // Conn1's parameters from the file; false (parameters unchanged) when it cannot be read.
  bool LoadConfig();

  const std::string app_folder_;
  DatabasePools pools_;
  SettingsMessages& messages_;
};

// TfMSSQL: the SQL Server fields and their connection test.
class MssqlSettings {
 public:
  // Fills the fields from the choice dialog's Conn1 parameters (absent ones stay empty).
  explicit MssqlSettings(DatabaseSettings& owner);

  std::string edt1;   // "用户名"
  std::string edt2;   // "密码"
  bool chb1 = false;  // "OSAuthent"
  std::string edt4;   // "服务器"
  std::string edt3;   // "数据库"

  // "连接测试" (Button1): nothing at all with an empty database field; otherwise the connection
  // test. True when it succeeded and DataBase.CFG was written (the dialog closes); on failure
  // the warning box with the driver's text, the summary "连接参数错误" CR text, the file unchanged.
  bool Button1Click();

 private:
  DatabaseSettings& owner_;
};

// TfMSAcc: the file database fields and their connection test.
class AccessSettings {
 public:
  // Fills the fields from Conn1's parameters, then sets the user name to "Admin" (the choice
  // dialog does so whatever the file holds).
  explicit AccessSettings(DatabaseSettings& owner);

  std::string edt1;  // "用户名"
  std::string edt2;  // "密码"
  std::string edt3;  // "数据库"

  // "连接测试" (Button1): the connection test (an empty database field fails on the driver's
  // own error). True when it succeeded and DataBase.CFG was written; on failure the plain
  // message dialog with the driver's text, the summary "连接参数错误" CR text, the file unchanged.
  bool Button1Click();

 private:
  DatabaseSettings& owner_;
};

}  // namespace host

#endif  // DATASERVER_HOST_DATABASE_SETTINGS_H_
