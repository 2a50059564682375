#include "console/settings_dialogs.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

#include "host/recording_driver.h"
#include "scripted_dialogs.h"

namespace console {
namespace {

namespace fs = std::filesystem;

template <typename W>
W* Find(QWidget& parent, const char* name) {
  W* widget = parent.findChild<W*>(QString::fromLatin1(name));
  EXPECT_NE(widget, nullptr) << name;
  return widget;
}
void Click(QWidget& parent, const char* button) {
  QTest::mouseClick(Find<QPushButton>(parent, button), Qt::LeftButton);
}
void Type(QWidget& parent, const char* field, const QString& text) {
  QLineEdit* edit = Find<QLineEdit>(parent, field);
  edit->clear();
  QTest::keyClicks(edit, text);
}

// The settings dialogs against DataBase.CFG in a temporary application folder, the real pools,
// and recording drivers for "MSSQL" and "MSAcc"; every modal step is scripted.
class SettingsDialogsTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/console-settings-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    folder_ = std::string(tmpl) + "/";
    connections_.emplace(30, folder_ + "DataBase.CFG");
  }
  void TearDown() override {
    connections_.reset();
    fs::remove_all(folder_);
  }
  void WriteConfig(const std::string& text) {
    std::ofstream(folder_ + "DataBase.CFG", std::ios::binary | std::ios::trunc) << text;
  }
  std::string ReadConfig() const {
    std::ifstream in(folder_ + "DataBase.CFG", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::unique_ptr<TfSetDAConnection> Open() {
    auto dialog = std::make_unique<TfSetDAConnection>(
        nullptr, folder_, host::DatabasePools{*connections_, queries_, stored_procs_}, dialogs_);
    dialog->show();
    return dialog;
  }
  static QString Summary(TfSetDAConnection& dialog) {
    return Find<QPlainTextEdit>(dialog, "Memo1")->toPlainText();
  }
  static void ChooseDriver(TfSetDAConnection& dialog, int index) {
    Find<QComboBox>(dialog, "edtDriverName")->setCurrentIndex(index);
  }

  std::string folder_;
  host::fakes::ScopedRecordingDriver mssql_{"MSSQL"};
  host::fakes::ScopedRecordingDriver access_{"MSAcc"};
  std::optional<pools::TDAConnectionPool> connections_;
  pools::TDAQueryPool queries_{30};
  pools::TDAStoredProcPool stored_procs_{30};
  fakes::ScriptedDialogs dialogs_;
};

TEST_F(SettingsDialogsTest, ChoiceDialogOffersTwoDriversAndAsksForOne) {
  const auto dialog = Open();
  EXPECT_EQ(dialog->windowTitle(), "数据库设置");
  const QComboBox* drivers = Find<QComboBox>(*dialog, "edtDriverName");
  ASSERT_EQ(drivers->count(), 2);
  EXPECT_EQ(drivers->itemText(0), "MSSQL");
  EXPECT_EQ(drivers->itemText(1), "MSAcc");
  EXPECT_FALSE(drivers->isEditable());
  EXPECT_EQ(drivers->currentIndex(), -1);
  EXPECT_EQ(Find<QPushButton>(*dialog, "Button2")->text(), "连接");
  EXPECT_EQ(Summary(*dialog), "");

  Click(*dialog, "Button2");
  ASSERT_EQ(dialogs_.shown.size(), 1u);
  EXPECT_EQ(dialogs_.shown[0].text, "请选择数据引擎！");
  EXPECT_EQ(dialogs_.shown[0].title, "提示");
  EXPECT_EQ(dialogs_.shown[0].icon, host::MessageIcon::kWarning);
  EXPECT_TRUE(dialogs_.dialog_titles.empty());
}

TEST_F(SettingsDialogsTest, SqlServerWithOSAuthentSavesFourLinesAndTheSummary) {
  WriteConfig("DriverID=MSAcc\r\nUser_Name=Admin\r\nPassword=old\r\nDatabase=/x.mdb\r\n");
  const auto dialog = Open();
  EXPECT_EQ(Summary(*dialog),
            "DriverID=MSAcc\nUser_Name=Admin\nPassword=********\nDatabase=/x.mdb");
  ChooseDriver(*dialog, 0);
  dialogs_.scripts.push_back([](QDialog& mssql) {
    EXPECT_EQ(Find<QLineEdit>(mssql, "edt2")->echoMode(), QLineEdit::Password);
    EXPECT_EQ(Find<QCheckBox>(mssql, "chb1")->text(), "OSAuthent");
    EXPECT_EQ(Find<QPushButton>(mssql, "Button1")->text(), "连接测试");
    Type(mssql, "edt1", "");
    Type(mssql, "edt2", "");
    QCheckBox* os_authent = Find<QCheckBox>(mssql, "chb1");
    QTest::mouseClick(os_authent, Qt::LeftButton, {}, QPoint(4, os_authent->height() / 2));
    Type(mssql, "edt4", "db1");
    Type(mssql, "edt3", "Sales");
    Click(mssql, "Button1");
    EXPECT_EQ(mssql.result(), QDialog::Accepted);
  });
  Click(*dialog, "Button2");
  EXPECT_EQ(dialogs_.dialog_titles, std::vector<QString>{"MSSQL数据库"});
  EXPECT_EQ(ReadConfig(), "DriverID=MSSQL\r\nOSAuthent=Yes\r\nServer=db1\r\nDatabase=Sales\r\n");
  EXPECT_EQ(Summary(*dialog),
            "连接成功\nDriverID=MSSQL\nOSAuthent=Yes\nServer=db1\nDatabase=Sales");
  EXPECT_TRUE(dialogs_.shown.empty());

  // Reopened: the saved driver is selected.
  const auto reopened = Open();
  EXPECT_EQ(Find<QComboBox>(*reopened, "edtDriverName")->currentText(), "MSSQL");
  EXPECT_EQ(Summary(*reopened), "DriverID=MSSQL\nOSAuthent=Yes\nServer=db1\nDatabase=Sales");
}

TEST_F(SettingsDialogsTest, SqlServerFailureWarnsKeepsTheDialogOpenAndTheFile) {
  const std::string before = "DriverID=MSSQL\r\nServer=db1\r\nDatabase=Sales\r\n";
  WriteConfig(before);
  {
    std::lock_guard lock(mssql_.log().mutex);
    mssql_.log().refuse_open = "[FreeTDS][SQL Server]Unable to connect to data source";
  }
  const auto dialog = Open();
  dialogs_.scripts.push_back([&](QDialog& mssql) {
    EXPECT_EQ(Find<QLineEdit>(mssql, "edt4")->text(), "db1");  // filled from the file
    EXPECT_EQ(Find<QLineEdit>(mssql, "edt3")->text(), "Sales");
    Type(mssql, "edt4", "wrong");
    Click(mssql, "Button1");
    EXPECT_EQ(mssql.result(), QDialog::Rejected);
    EXPECT_TRUE(mssql.isVisible());
    // The summary behind it already tells.
    EXPECT_EQ(Summary(*dialog),
              "连接参数错误\n[FreeTDS][SQL Server]Unable to connect to data source");
  });
  Click(*dialog, "Button2");
  ASSERT_EQ(dialogs_.shown.size(), 1u);
  EXPECT_EQ(dialogs_.shown[0].text, "[FreeTDS][SQL Server]Unable to connect to data source");
  EXPECT_EQ(dialogs_.shown[0].title, "提示");
  EXPECT_EQ(dialogs_.shown[0].icon, host::MessageIcon::kWarning);
  EXPECT_EQ(ReadConfig(), before);
}

TEST_F(SettingsDialogsTest, SqlServerTestWithoutADatabaseDoesNothing) {
  const auto dialog = Open();
  ChooseDriver(*dialog, 0);
  dialogs_.scripts.push_back([](QDialog& mssql) {
    Type(mssql, "edt4", "db1");
    Click(mssql, "Button1");
    EXPECT_TRUE(mssql.isVisible());
  });
  Click(*dialog, "Button2");
  EXPECT_TRUE(mssql_.log().OpenedWith().empty());
  EXPECT_TRUE(dialogs_.shown.empty());
  EXPECT_FALSE(fs::exists(folder_ + "DataBase.CFG"));
  EXPECT_EQ(Summary(*dialog), "");
}

TEST_F(SettingsDialogsTest, FileDatabaseOpensWithAdminBrowsesAndSaves) {
  WriteConfig("DriverID=MSAcc\r\nUser_Name=clerk\r\nDatabase=/old.mdb\r\n");
  const auto dialog = Open();
  EXPECT_EQ(Find<QComboBox>(*dialog, "edtDriverName")->currentText(), "MSAcc");
  dialogs_.files = {"", "/srv/data/shop.mdb"};
  dialogs_.scripts.push_back([](QDialog& access) {
    EXPECT_EQ(access.windowTitle(), "Accese数据库");
    EXPECT_EQ(Find<QLineEdit>(access, "edt1")->text(), "Admin");
    EXPECT_EQ(Find<QLineEdit>(access, "edt2")->echoMode(), QLineEdit::Password);
    Click(access, "btn1");  // cancelled
    EXPECT_EQ(Find<QLineEdit>(access, "edt3")->text(), "/old.mdb");
    Click(access, "btn1");
    EXPECT_EQ(Find<QLineEdit>(access, "edt3")->text(), "/srv/data/shop.mdb");
    Type(access, "edt2", " pw ");
    Click(access, "Button1");
    EXPECT_EQ(access.result(), QDialog::Accepted);
  });
  Click(*dialog, "Button2");
  EXPECT_EQ(dialogs_.file_filters, (std::vector<QString>{"数据库文件(*.mdb);;所有文件 (*.*)",
                                                         "数据库文件(*.mdb);;所有文件 (*.*)"}));
  EXPECT_EQ(ReadConfig(),
            "DriverID=MSAcc\r\nUser_Name=Admin\r\nPassword=pw\r\nDatabase=/srv/data/shop.mdb\r\n");
  EXPECT_EQ(Summary(*dialog),
            "连接成功\nDriverID=MSAcc\nUser_Name=Admin\nPassword=********\n"
            "Database=/srv/data/shop.mdb");
}

TEST_F(SettingsDialogsTest, FileDatabaseFailureShowsAPlainMessageAndKeepsTheFile) {
  const std::string before = "DriverID=MSSQL\r\nDatabase=Sales\r\n";
  WriteConfig(before);
  {
    std::lock_guard lock(access_.log().mutex);
    access_.log().refuse_open = "Not a valid file name.";
  }
  const auto dialog = Open();
  ChooseDriver(*dialog, 1);
  dialogs_.scripts.push_back([](QDialog& access) {
    Type(access, "edt3", "/none.mdb");
    Click(access, "Button1");
    EXPECT_TRUE(access.isVisible());
  });
  Click(*dialog, "Button2");
  ASSERT_EQ(dialogs_.shown.size(), 1u);
  EXPECT_EQ(dialogs_.shown[0].kind, fakes::Shown::kPlain);
  EXPECT_EQ(dialogs_.shown[0].text, "Not a valid file name.");
  EXPECT_EQ(Summary(*dialog), "连接参数错误\nNot a valid file name.");
  EXPECT_EQ(ReadConfig(), before);
}

}  // namespace
}  // namespace console
