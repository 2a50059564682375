#include "host/database_settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "host/recording_driver.h"

namespace host {
namespace {

namespace fs = std::filesystem;

struct Shown {
  std::string text;
  std::string title;  // "" for the plain message dialog
  std::optional<MessageIcon> icon;
};

class RecordingMessages : public SettingsMessages {
 public:
  void ShowMessage(const std::string& text, const std::string& title, MessageIcon icon) override {
    shown.push_back({text, title, icon});
  }
  void ShowPlainMessage(const std::string& text) override { shown.push_back({text, "", {}}); }
  std::vector<Shown> shown;
};

constexpr char kRefusal[] = "[FreeTDS][SQL Server]Unable to connect to data source";

// A temporary application folder with the three pools, recording drivers for "MSSQL" and
// "MSAcc", and one idle object in each pool (so a release shows).
class DatabaseSettingsTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/dbsettings-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    folder_ = std::string(tmpl) + "/";
    connections_.emplace(30, folder_ + pools::kDatabaseConfigFileName);
  }
  void TearDown() override {
    connections_.reset();
    fs::remove_all(folder_);
  }

  std::string ConfigPath() const { return folder_ + pools::kDatabaseConfigFileName; }
  void WriteConfig(const std::string& text) {
    std::ofstream(ConfigPath(), std::ios::binary | std::ios::trunc) << text;
  }
  std::string ReadConfig() const {
    std::ifstream in(ConfigPath(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // One idle object in each pool, made with the current DataBase.CFG.
  void FillPools() {
    pools::TDAConnection* c = connections_->Lock();
    ASSERT_NE(c, nullptr) << connections_->LastCreateError();
    connections_->Unlock(c);
    pools::TDAQuery* q = queries_.Lock();
    queries_.UnLock(q);
    pools::TDAStoredProc* p = stored_procs_.Lock();
    stored_procs_.UnLock(p);
  }
  std::vector<int> PoolCounts() const {
    return {connections_->Count(), queries_.Count(), stored_procs_.Count()};
  }
  std::unique_ptr<DatabaseSettings> Open() {
    return std::make_unique<DatabaseSettings>(
        folder_, DatabasePools{*connections_, queries_, stored_procs_}, messages_);
  }
  void RefuseOpen(fakes::ScopedRecordingDriver& driver, const std::string& text) {
    std::lock_guard lock(driver.log().mutex);
    driver.log().refuse_open = text;
  }

  std::string folder_;
  fakes::ScopedRecordingDriver mssql_{"MSSQL"};
  fakes::ScopedRecordingDriver access_{"MSAcc"};
  std::optional<pools::TDAConnectionPool> connections_;
  pools::TDAQueryPool queries_{30};
  pools::TDAStoredProcPool stored_procs_{30};
  RecordingMessages messages_;
};

struct LoadCase {
  const char* name;
  const char* file;  // nullptr: no DataBase.CFG
  int selected;
  std::vector<std::string> summary;
};

TEST_F(DatabaseSettingsTest, OpeningSelectsTheDriverAndMasksThePassword) {
  const LoadCase cases[] = {
      {"no file", nullptr, -1, {}},
      {"SQL Server",
       "DriverID=MSSQL\r\nUser_Name=sa\r\nPassword=secret\r\nOSAuthent=No\r\nServer=db1\r\n"
       "Database=Sales\r\n",
       0,
       {"DriverID=MSSQL", "User_Name=sa", "Password=********", "OSAuthent=No", "Server=db1",
        "Database=Sales"}},
      {"Access",
       "DriverID=MSAcc\r\nUser_Name=Admin\r\nDatabase=/srv/shop.mdb\r\n",
       1,
       {"DriverID=MSAcc", "User_Name=Admin", "Database=/srv/shop.mdb"}},
      {"another driver shows as the file database",
       "DriverID=SQLite\r\n",
       1,
       {"DriverID=SQLite", "Database="}},
  };
  for (const LoadCase& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(ConfigPath());
    if (c.file) WriteConfig(c.file);
    const auto dialog = Open();
    EXPECT_EQ(dialog->edtDriverName, c.selected);
    EXPECT_EQ(dialog->Memo1, c.summary);
  }
}

TEST_F(DatabaseSettingsTest, ConnectWithoutADriverAsksForOne) {
  const auto dialog = Open();
  EXPECT_EQ(dialog->Button2Click(), DatabaseSettings::Engine::kNone);
  ASSERT_EQ(messages_.shown.size(), 1u);
  EXPECT_EQ(messages_.shown[0].text, "请选择数据引擎！");
  EXPECT_EQ(messages_.shown[0].title, "提示");
  EXPECT_EQ(messages_.shown[0].icon, MessageIcon::kWarning);

  dialog->edtDriverName = 0;
  EXPECT_EQ(dialog->Button2Click(), DatabaseSettings::Engine::kMssql);
  dialog->edtDriverName = 1;
  EXPECT_EQ(dialog->Button2Click(), DatabaseSettings::Engine::kAccess);
  EXPECT_EQ(messages_.shown.size(), 1u);
}

TEST_F(DatabaseSettingsTest, SqlServerDialogFillsItsFieldsFromTheFile) {
  WriteConfig(
      "DriverID=MSSQL\r\nUser_Name=sa\r\nPassword=pw\r\nOSAuthent=Yes\r\nServer=db1\r\n"
      "Database=Sales\r\n");
  const auto dialog = Open();
  ASSERT_EQ(dialog->Button2Click(), DatabaseSettings::Engine::kMssql);
  const MssqlSettings mssql(*dialog);
  EXPECT_EQ(mssql.edt1, "sa");
  EXPECT_EQ(mssql.edt2, "pw");
  EXPECT_TRUE(mssql.chb1);
  EXPECT_EQ(mssql.edt4, "db1");
  EXPECT_EQ(mssql.edt3, "Sales");

  WriteConfig("DriverID=MSSQL\r\nOSAuthent=yes\r\n");
  dialog->Button2Click();
  const MssqlSettings other(*dialog);
  EXPECT_FALSE(other.chb1);  // only "Yes" checks the box
  EXPECT_EQ(other.edt1, "");
  EXPECT_EQ(other.edt3, "");
}

TEST_F(DatabaseSettingsTest, SqlServerWithOSAuthentWritesFourLinesAndReleasesThePools) {
  WriteConfig("DriverID=MSSQL\r\nServer=old\r\nDatabase=Old\r\n");
  FillPools();
  const auto dialog = Open();
  MssqlSettings mssql(*dialog);
  mssql.edt1 = "";
  mssql.edt2 = "";
  mssql.chb1 = true;
  mssql.edt4 = "db1";
  mssql.edt3 = "Sales";
  ASSERT_TRUE(mssql.Button1Click());
  EXPECT_EQ(ReadConfig(), "DriverID=MSSQL\r\nOSAuthent=Yes\r\nServer=db1\r\nDatabase=Sales\r\n");
  EXPECT_EQ(dialog->Memo1, (std::vector<std::string>{"连接成功", "DriverID=MSSQL", "OSAuthent=Yes",
                                                     "Server=db1", "Database=Sales"}));
  EXPECT_EQ(PoolCounts(), (std::vector<int>{0, 0, 0}));
  EXPECT_FALSE(dialog->Conn1.Connected());
  // The test connection was opened with exactly what was saved.
  EXPECT_EQ(mssql_.log().OpenedWith().back(), ReadConfig());
  EXPECT_TRUE(messages_.shown.empty());
}

TEST_F(DatabaseSettingsTest, SqlServerWithCredentialsKeepsThemInTheFileAndMasksThePassword) {
  const auto dialog = Open();
  MssqlSettings mssql(*dialog);
  mssql.edt1 = "sa";
  mssql.edt2 = "p w";
  mssql.edt4 = "";
  mssql.edt3 = "销售";
  ASSERT_TRUE(mssql.Button1Click());
  EXPECT_EQ(ReadConfig(), "DriverID=MSSQL\r\nUser_Name=sa\r\nPassword=p w\r\nDatabase=销售\r\n");
  EXPECT_EQ(dialog->Memo1,
            (std::vector<std::string>{"连接成功", "DriverID=MSSQL", "OSAuthent=No", "User_Name=sa",
                                      "Password=********", "Server=", "Database=销售"}));

  // Reopening selects the saved driver and masks the password.
  const auto reopened = Open();
  EXPECT_EQ(reopened->edtDriverName, 0);
  EXPECT_EQ(reopened->Memo1, (std::vector<std::string>{"DriverID=MSSQL", "User_Name=sa",
                                                       "Password=********", "Database=销售"}));
}

TEST_F(DatabaseSettingsTest, SqlServerWithoutADatabaseDoesNothing) {
  WriteConfig("DriverID=MSAcc\r\nDatabase=/x.mdb\r\n");
  const auto dialog = Open();
  const std::vector<std::string> summary = dialog->Memo1;
  MssqlSettings mssql(*dialog);
  mssql.edt4 = "db1";
  mssql.edt3 = "";
  EXPECT_FALSE(mssql.Button1Click());
  EXPECT_TRUE(mssql_.log().OpenedWith().empty());
  EXPECT_EQ(dialog->Memo1, summary);
  EXPECT_EQ(ReadConfig(), "DriverID=MSAcc\r\nDatabase=/x.mdb\r\n");
  EXPECT_TRUE(messages_.shown.empty());
}

TEST_F(DatabaseSettingsTest, SqlServerFailureShowsTheDriversTextAndKeepsTheFile) {
  const std::string before = "DriverID=MSSQL\r\nServer=old\r\nDatabase=Old\r\n";
  WriteConfig(before);
  FillPools();
  RefuseOpen(mssql_, kRefusal);
  const auto dialog = Open();
  MssqlSettings mssql(*dialog);
  mssql.edt4 = "nosuchserver";
  EXPECT_FALSE(mssql.Button1Click());
  ASSERT_EQ(messages_.shown.size(), 1u);
  EXPECT_EQ(messages_.shown[0].text, kRefusal);
  EXPECT_EQ(messages_.shown[0].title, "提示");
  EXPECT_EQ(messages_.shown[0].icon, MessageIcon::kWarning);
  EXPECT_EQ(dialog->Memo1, std::vector<std::string>{std::string("连接参数错误\r") + kRefusal});
  EXPECT_EQ(ReadConfig(), before);
  EXPECT_EQ(PoolCounts(), (std::vector<int>{1, 1, 1}));
}

TEST_F(DatabaseSettingsTest, SqlServerFailureOfTheRealDriverKeepsTheFile) {
  pools::SetTestDriver("MSSQL", {});  // the ODBC driver itself, with no server on this port
  const std::string before = "DriverID=MSAcc\r\nDatabase=/x.mdb\r\n";
  WriteConfig(before);
  const auto dialog = Open();
  MssqlSettings mssql(*dialog);
  mssql.edt1 = "sa";
  mssql.edt4 = "127.0.0.1";
  mssql.edt3 = "Sales";
  EXPECT_FALSE(mssql.Button1Click());
  ASSERT_EQ(messages_.shown.size(), 1u);
  EXPECT_FALSE(messages_.shown[0].text.empty());
  ASSERT_EQ(dialog->Memo1.size(), 1u);
  EXPECT_EQ(dialog->Memo1[0], "连接参数错误\r" + messages_.shown[0].text);
  EXPECT_EQ(ReadConfig(), before);
}

TEST_F(DatabaseSettingsTest, AccessDialogAlwaysOpensWithTheUserAdmin) {
  WriteConfig("DriverID=MSAcc\r\nUser_Name=clerk\r\nPassword=pw\r\nDatabase=/srv/shop.mdb\r\n");
  const auto dialog = Open();
  ASSERT_EQ(dialog->Button2Click(), DatabaseSettings::Engine::kAccess);
  const AccessSettings access(*dialog);
  EXPECT_EQ(access.edt1, "Admin");
  EXPECT_EQ(access.edt2, "pw");
  EXPECT_EQ(access.edt3, "/srv/shop.mdb");
}

TEST_F(DatabaseSettingsTest, AccessWritesTrimmedValuesAndLeavesEmptyOnesOut) {
  struct Case {
    const char* name;
    const char* user;
    const char* password;
    const char* file;
    const char* file_text;
    std::vector<std::string> summary;
  } cases[] = {
      {"all fields",
       "  Admin ",
       " pw\t",
       " /srv/shop.mdb ",
       "DriverID=MSAcc\r\nUser_Name=Admin\r\nPassword=pw\r\nDatabase=/srv/shop.mdb\r\n",
       {"连接成功", "DriverID=MSAcc", "User_Name=Admin", "Password=********",
        "Database=/srv/shop.mdb"}},
      {"no user, no password",
       " ",
       "",
       "/srv/shop.mdb",
       "DriverID=MSAcc\r\nDatabase=/srv/shop.mdb\r\n",
       {"连接成功", "DriverID=MSAcc", "User_Name=", "Database=/srv/shop.mdb"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto dialog = Open();
    AccessSettings access(*dialog);
    access.edt1 = c.user;
    access.edt2 = c.password;
    access.edt3 = c.file;
    ASSERT_TRUE(access.Button1Click());
    EXPECT_EQ(ReadConfig(), c.file_text);
    EXPECT_EQ(dialog->Memo1, c.summary);
  }
}

TEST_F(DatabaseSettingsTest, AccessFailureShowsAPlainMessageAndKeepsTheFile) {
  const std::string before = "DriverID=MSSQL\r\nDatabase=Sales\r\n";
  WriteConfig(before);
  RefuseOpen(access_, "Could not find file '/srv/none.mdb'.");
  const auto dialog = Open();
  AccessSettings access(*dialog);
  access.edt3 = "/srv/none.mdb";
  EXPECT_FALSE(access.Button1Click());
  ASSERT_EQ(messages_.shown.size(), 1u);
  EXPECT_EQ(messages_.shown[0].text, "Could not find file '/srv/none.mdb'.");
  EXPECT_EQ(messages_.shown[0].title, "");
  EXPECT_FALSE(messages_.shown[0].icon.has_value());
  EXPECT_EQ(dialog->Memo1,
            std::vector<std::string>{"连接参数错误\rCould not find file '/srv/none.mdb'."});
  EXPECT_EQ(ReadConfig(), before);
}

}  // namespace
}  // namespace host
