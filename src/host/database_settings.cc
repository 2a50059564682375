#include "host/database_settings.h"

#include <exception>
#include <string_view>

#include "common/text.h"
#include "host/backup.h"
#include "pools/connection_params.h"

namespace host {
namespace {

constexpr int kMssqlIndex = 0;
constexpr int kAccessIndex = 1;

// Blanks and control characters removed from both ends.
std::string Trimmed(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
  return std::string(text);
}

std::string FailureLine(const std::string& error) {
  return std::string(kConnectFailed) + "\r" + error;
}

}  // namespace

DatabaseSettings::DatabaseSettings(std::string app_folder, DatabasePools pools,
                                   SettingsMessages& messages)
    : app_folder_(std::move(app_folder)), pools_(pools), messages_(messages) {
  Conn1.LoginPrompt = false;
  Conn1.SetBaseFolder(app_folder_);
  Load();
}

std::string DatabaseSettings::ConfigPath() const {
  return app_folder_ + pools::kDatabaseConfigFileName;
}

bool DatabaseSettings::LoadConfig() {
  try {
    Conn1.Params() = pools::ConnectionParams::LoadFromFile(ConfigPath());
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void DatabaseSettings::Load() {
  Conn1.Close();
  if (!LoadConfig()) return;
  const pools::ConnectionParams& p = Conn1.Params();
  const std::string driver = p.Value("DriverID");
  edtDriverName = common::EqualsIgnoreAsciiCase(driver, kSettingsDrivers[kMssqlIndex])
                      ? kMssqlIndex
                      : kAccessIndex;
  Memo1.clear();
  Memo1.push_back("DriverID=" + driver);
  if (!p.Value("User_Name").empty()) Memo1.push_back("User_Name=" + p.Value("User_Name"));
  if (!p.Value("Password").empty()) Memo1.push_back(kMaskedPasswordLine);
  if (!p.Value("OSAuthent").empty()) Memo1.push_back("OSAuthent=" + p.Value("OSAuthent"));
  if (!p.Value("Server").empty()) Memo1.push_back("Server=" + p.Value("Server"));
  Memo1.push_back("Database=" + p.Value("Database"));
}

DatabaseSettings::Engine DatabaseSettings::Button2Click() {
  Conn1.Close();
  LoadConfig();
  if (edtDriverName < 0) {
    messages_.ShowMessage(kChooseDriverMessage, kMessageTitle, MessageIcon::kWarning);
    return Engine::kNone;
  }
  return edtDriverName == kMssqlIndex ? Engine::kMssql : Engine::kAccess;
}

void DatabaseSettings::SaveAndRelease() {
  Conn1.Params().SaveToFile(ConfigPath());
  Conn1.Close();
  pools_.connections.FreeAndNil();
  pools_.queries.FreeAndNil();
  pools_.stored_procs.FreeAndNil();
}

MssqlSettings::MssqlSettings(DatabaseSettings& owner) : owner_(owner) {
  const pools::ConnectionParams& p = owner_.Conn1.Params();
  edt1 = p.Value("User_Name");
  edt2 = p.Value("Password");
  edt3 = p.Value("Database");
  edt4 = p.Value("Server");
  chb1 = p.Value("OSAuthent") == "Yes";
}

bool MssqlSettings::Button1Click() {
  if (edt3.empty()) return false;
  pools::TDAConnection& conn = owner_.Conn1;
  conn.Close();
  pools::ConnectionParams& p = conn.Params();
  p.Clear();
  p.Set("DriverID", kDriverMssql);
  if (!edt1.empty()) p.Set("User_Name", edt1);
  if (!edt2.empty()) p.Set("Password", edt2);
  if (chb1) p.Set("OSAuthent", "Yes");
  p.Set("Server", edt4);  // an empty field leaves the parameter absent
  p.Set("Database", edt3);
  try {
    conn.Open();
    owner_.SaveAndRelease();
  } catch (const std::exception& e) {
    conn.Close();
    owner_.messages().ShowMessage(e.what(), kMessageTitle, MessageIcon::kWarning);
    owner_.Memo1 = {FailureLine(e.what())};
    return false;
  }
  std::vector<std::string>& memo = owner_.Memo1;
  memo = {kConnectSucceeded, std::string("DriverID=") + kDriverMssql};
  if (chb1) {
    memo.push_back("OSAuthent=Yes");
  } else {
    memo.push_back("OSAuthent=No");
    memo.push_back("User_Name=" + edt1);
    if (!edt2.empty()) memo.push_back(kMaskedPasswordLine);
  }
  memo.push_back("Server=" + edt4);
  memo.push_back("Database=" + edt3);
  return true;
}

AccessSettings::AccessSettings(DatabaseSettings& owner) : owner_(owner) {
  const pools::ConnectionParams& p = owner_.Conn1.Params();
  edt1 = p.Value("User_Name");
  edt2 = p.Value("Password");
  edt3 = p.Value("Database");
  // The driver choice dialog then sets the user name, whatever the file holds.
  edt1 = kAccessUserName;
}

bool AccessSettings::Button1Click() {
  const std::string user = Trimmed(edt1);
  const std::string password = Trimmed(edt2);
  const std::string database = Trimmed(edt3);
  pools::TDAConnection& conn = owner_.Conn1;
  conn.Close();
  pools::ConnectionParams& p = conn.Params();
  p.Clear();
  p.Set("DriverID", kDriverAccess);
  p.Set("User_Name", user);  // each left out when empty
  p.Set("Password", password);
  p.Set("Database", database);
  try {
    conn.Open();
    owner_.SaveAndRelease();
  } catch (const std::exception& e) {
    conn.Close();
    owner_.messages().ShowPlainMessage(e.what());
    owner_.Memo1 = {FailureLine(e.what())};
    return false;
  }
  std::vector<std::string>& memo = owner_.Memo1;
  memo = {kConnectSucceeded, std::string("DriverID=") + kDriverAccess, "User_Name=" + user};
  if (!password.empty()) memo.push_back(kMaskedPasswordLine);
  memo.push_back("Database=" + database);
  return true;
}

}  // namespace host
