// The database connection settings dialogs, thin views over host::DatabaseSettings,
// host::MssqlSettings and host::AccessSettings:
//   TfSetDAConnection  "数据库设置"    drop-down edtDriverName ("MSSQL", "MSAcc"), button "连接"
//                                      (Button2), summary Memo1
//   TfMSSQL            "MSSQL数据库"   edt1 "用户名", edt2 "密码" (masked), chb1 "OSAuthent",
//                                      edt4 "服务器", edt3 "数据库", button "连接测试" (Button1)
//   TfMSAcc            "Accese数据库"  edt1 "用户名", edt2 "密码" (masked), edt3 "数据库" with the
//                                      browse button btn1, button "连接测试" (Button1)
// Each is modal, centred on the desktop, made when opened and destroyed when closed; the
// engine dialogs work on the choice dialog's model and close themselves after a successful
// connection test. Every modal step goes through Dialogs.
//
// Threads: the user-interface thread only.
#ifndef DATASERVER_CONSOLE_SETTINGS_DIALOGS_H_
#define DATASERVER_CONSOLE_SETTINGS_DIALOGS_H_

#include <QDialog>
#include <functional>
#include <memory>
#include <string>

#include "console/dialogs.h"
#include "host/database_settings.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace console {

class TfSetDAConnection : public QDialog, private host::SettingsMessages {
 public:
  // Loads DataBase.CFG of `app_folder` (the dialog's opening step).
  TfSetDAConnection(QWidget* parent, const std::string& app_folder, host::DatabasePools pools,
                    Dialogs& dialogs);
  ~TfSetDAConnection() override;

  // "连接": opens the engine dialog of the chosen driver, or asks for a driver.
  void Button2Click();
  host::DatabaseSettings& model() { return *model_; }
  // Shows the model's summary.
  void ShowSummary();

 private:
  void ShowMessage(const std::string& text, const std::string& title,
                   host::MessageIcon icon) override;
  void ShowPlainMessage(const std::string& text) override;

  Dialogs& dialogs_;
  std::unique_ptr<host::DatabaseSettings> model_;
  QComboBox* edtDriverName_;
  QPlainTextEdit* Memo1_;
};

class TfMSSQL : public QDialog {
 public:
  // `summary_changed` runs whenever the test rewrote the choice dialog's summary.
  TfMSSQL(QWidget* parent, host::DatabaseSettings& owner, std::function<void()> summary_changed);

  // "连接测试": closes the dialog when the configuration was tested and saved.
  void Button1Click();

 private:
  host::MssqlSettings model_;
  std::function<void()> summary_changed_;
  QLineEdit* edt1_;
  QLineEdit* edt2_;
  QCheckBox* chb1_;
  QLineEdit* edt4_;
  QLineEdit* edt3_;
};

class TfMSAcc : public QDialog {
 public:
  TfMSAcc(QWidget* parent, host::DatabaseSettings& owner, Dialogs& dialogs,
          std::function<void()> summary_changed);

  // "连接测试".
  void Button1Click();
  // btn1: the open-file dialog; the chosen file replaces the database field.
  void BrowseClick();

 private:
  host::AccessSettings model_;
  Dialogs& dialogs_;
  std::function<void()> summary_changed_;
  QLineEdit* edt1_;
  QLineEdit* edt2_;
  QLineEdit* edt3_;
};

}  // namespace console

#endif  // DATASERVER_CONSOLE_SETTINGS_DIALOGS_H_
