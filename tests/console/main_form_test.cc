#include "console/main_form.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <future>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "client/connection.h"
#include "common/bytes.h"
#include "host/backup.h"
#include "host/process_singletons.h"
#include "host/recording_driver.h"
#include "host/server_container.h"
#include "pools/db_test_support.h"
#include "scripted_dialogs.h"

namespace console {
namespace {

namespace fs = std::filesystem;

using pools::testing::ReadFile;
using pools::testing::WriteFile;
std::string TwoDigits(int value) { return (value < 10 ? "0" : "") + std::to_string(value); }

constexpr char kArrival[] = "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]->127\\.0\\.0\\.1:[0-9]+ 连接成功!";
constexpr char kDeparture[] = "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]->127\\.0\\.0\\.1:[0-9]+ 主动断开!";
constexpr char kKicked[] = "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]->127\\.0\\.0\\.1:[0-9]+ 被动断开!";

// The window and the service as the desktop program builds them, in a temporary application
// folder (and a temporary XDG config folder for the autostart entry), on a free port. The test
// thread is the user-interface thread; clients run on other threads meanwhile.
class MainFormTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/console-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    folder_ = root_ + "/app/";
    fs::create_directories(folder_);
    ::setenv("XDG_CONFIG_HOME", (root_ + "/config").c_str(), 1);
    singletons_ = std::make_unique<host::ProcessSingletons>(folder_);
    settings_.port = "0";
    settings_.backup.path = folder_ + "BackupData";
  }
  void TearDown() override {
    container_.reset();
    window_.reset();
    singletons_.reset();
    fs::remove_all(root_);
  }

  // The window, then the container (which starts the service); the window shown.
  void Create() {
    window_ = std::make_unique<TSrvMainForm>(
        FormContext{folder_, "/opt/ds/dataserver", settings_, ui_,
                    host::DatabasePools{singletons_->connection_pool, singletons_->query_pool,
                                        singletons_->stored_proc_pool},
                    dialogs_, [this] { ++quits_; },
                    [this](bool arm) {
                      exits_.push_back({arm, window_->form().ServiceStarted()});
                    }});
    container_ = std::make_unique<host::TServerContainer1>(
        window_->form(), singletons_->instance_pool, singletons_->context);
    window_->show();
  }

  template <typename W>
  W* Find(const char* name) const {
    W* widget = window_->findChild<W*>(QString::fromLatin1(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }
  QString Text(const char* line_edit) const { return Find<QLineEdit>(line_edit)->text(); }
  void Click(const char* button) { QTest::mouseClick(Find<QPushButton>(button), Qt::LeftButton); }
  void Type(const char* line_edit, const QString& text) {
    QLineEdit* edit = Find<QLineEdit>(line_edit);
    edit->clear();
    QTest::keyClicks(edit, text);
  }
  QAction* Item(const char* name) const { return Find<QAction>(name); }
  uint16_t port() const { return container_->RSTCPServerTransport1.BoundPort(); }

  // Runs `f` on a client thread while this thread serves events (and so the hand-overs).
  template <typename F>
  auto OnClientThread(F f) {
    auto result = std::async(std::launch::async, f);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
        20000));
    return result.get();
  }
  std::unique_ptr<client::Connection> Connect() {
    auto c = std::make_unique<client::Connection>(
        client::LoginOptions("127.0.0.1", port(), "admin", "tulip"));
    OnClientThread([&] { c->Open(); });
    return c;
  }
  std::vector<QString> ListLines() const {
    std::vector<QString> lines;
    const QListWidget* list = Find<QListWidget>("lbTcpMonitorInfo");
    for (int i = 0; i < list->count(); ++i) lines.push_back(list->item(i)->text());
    return lines;
  }
  size_t LogLinesMatching(const char* pattern) const {
    const std::regex re(pattern);
    size_t n = 0;
    for (const QString& line : Find<QPlainTextEdit>("Memo1")->toPlainText().split('\n')) {
      n += std::regex_match(line.toStdString(), re) ? 1 : 0;
    }
    return n;
  }
  bool WaitForCount(const char* count) {
    return QTest::qWaitFor([&] { return Text("edtSessionCount") == count; }, 20000);
  }

  std::string root_;
  std::string folder_;
  std::unique_ptr<host::ProcessSingletons> singletons_;
  host::ServerSettings settings_;
  host::UiQueue ui_;
  fakes::ScriptedDialogs dialogs_;
  int quits_ = 0;
  // The exit item's calls of the runner's bound: armed or not, and whether the service ran.
  std::vector<std::pair<bool, bool>> exits_;
  std::unique_ptr<TSrvMainForm> window_;
  std::unique_ptr<host::TServerContainer1> container_;
};

TEST_F(MainFormTest, ShowsEveryControlWithItsCaptionAndInitialValue) {
  settings_.caption = "测试服务器";
  settings_.user_name = "ops";
  settings_.password = "secret";
  settings_.autostart = false;
  settings_.backup = {3, 45, 22, 6, 31, "/srv/bak"};
  Create();

  EXPECT_EQ(window_->windowTitle(), "测试服务器");
  EXPECT_EQ(window_->TrayIcon1()->toolTip(), "测试服务器");
  EXPECT_EQ(window_->size(), QSize(715, 488));
  EXPECT_EQ(window_->minimumSize(), window_->maximumSize());
  EXPECT_FALSE(window_->windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(window_->windowFlags() & Qt::WindowMaximizeButtonHint);

  const QTabWidget* tabs = Find<QTabWidget>("PageControl1");
  ASSERT_EQ(tabs->count(), 2);
  EXPECT_EQ(tabs->tabText(0), "服务器信息");
  EXPECT_EQ(tabs->tabText(1), "数据备份");
  EXPECT_EQ(tabs->currentIndex(), 0);

  const struct {
    const char* name;
    const char* caption;
  } buttons[] = {{"Button2", "关闭客户端"}, {"btn_Clean", "清空日志内容"},
                 {"Button1", "数据库设置"}, {"Button4", "手动备份"},
                 {"Button5", "..."},        {"btn_Start", "断开服务"}};
  for (const auto& b : buttons) {
    SCOPED_TRACE(b.name);
    EXPECT_EQ(Find<QPushButton>(b.name)->text(), b.caption);
  }
  const struct {
    const char* name;
    const char* text;
    bool enabled;
  } fields[] = {{"edt_UserName", "ops", false},  {"edt_UserPwd", "secret", false},
                {"edt_Port", "0", false},        {"edtSessionCount", "0", true},
                {"edt_MaxCount", "1000", false}, {"edtPath", "/srv/bak", true}};
  for (const auto& f : fields) {
    SCOPED_TRACE(f.name);
    EXPECT_EQ(Text(f.name), f.text);
    EXPECT_EQ(Find<QLineEdit>(f.name)->isEnabled(), f.enabled);
  }
  EXPECT_EQ(Find<QLineEdit>("edt_UserPwd")->echoMode(), QLineEdit::Password);
  EXPECT_TRUE(Find<QLineEdit>("edtSessionCount")->isReadOnly());
  EXPECT_EQ(Find<QCheckBox>("Start")->text(), "开机运行");
  EXPECT_FALSE(Find<QCheckBox>("Start")->isChecked());

  // The automatic backup choices, in their order, selected from the settings.
  const QButtonGroup* type = Find<QButtonGroup>("BackupType");
  const QStringList types = {"不备份", "每小时", "每天", "每周", "每月"};
  for (int i = 0; i < types.size(); ++i) EXPECT_EQ(type->button(i)->text(), types[i]);
  EXPECT_EQ(type->checkedId(), 3);
  const QButtonGroup* week = Find<QButtonGroup>("CmbWeek");
  const QStringList days = {"星期天", "星期一", "星期二", "星期三", "星期四", "星期五", "星期六"};
  for (int i = 0; i < days.size(); ++i) EXPECT_EQ(week->button(i)->text(), days[i]);
  EXPECT_EQ(week->checkedId(), 6);
  const struct {
    const char* name;
    int min, max, value;
  } numbers[] = {{"EdtDay", 1, 31, 31}, {"EdtTime", 0, 23, 22}, {"EdtMinute", 0, 59, 45}};
  for (const auto& n : numbers) {
    SCOPED_TRACE(n.name);
    const QSpinBox* spin = Find<QSpinBox>(n.name);
    EXPECT_EQ(spin->minimum(), n.min);
    EXPECT_EQ(spin->maximum(), n.max);
    EXPECT_EQ(spin->value(), n.value);
  }

  // The tray menu, in order; the window's context menu is the same.
  QStringList items;
  for (const QAction* a : window_->PopupMenu1()->actions()) items << a->text();
  EXPECT_EQ(items, (QStringList{"退出程序", "断开服务", "数据维护", "服务信息"}));
  EXPECT_EQ(window_->TrayIcon1()->contextMenu(), window_->PopupMenu1());
  EXPECT_EQ(window_->StatusPanel(0), "");
  EXPECT_EQ(window_->StatusPanel(1), "");
  EXPECT_TRUE(window_->Timer1()->isActive());
  EXPECT_EQ(window_->Timer1()->interval(), 1000);
}

TEST_F(MainFormTest, NoChoiceSettingsLeaveTheChoicesEmpty) {
  settings_.backup.backup_type = -1;
  settings_.backup.weekday = -1;
  Create();
  EXPECT_EQ(Find<QButtonGroup>("BackupType")->checkedId(), -1);
  EXPECT_EQ(Find<QButtonGroup>("CmbWeek")->checkedId(), -1);
  EXPECT_EQ(window_->BackupFields().backup_type, -1);
}

TEST_F(MainFormTest, CaptionsAndFieldsFollowStopStartAndStopAgain) {
  Create();
  ASSERT_TRUE(window_->form().ServiceStarted());
  EXPECT_EQ(Find<QPushButton>("btn_Start")->text(), "断开服务");
  EXPECT_EQ(Item("N4")->text(), "断开服务");

  Click("btn_Start");
  EXPECT_FALSE(window_->form().ServiceStarted());
  EXPECT_EQ(Find<QPushButton>("btn_Start")->text(), "启动服务");
  EXPECT_EQ(Item("N4")->text(), "启动服务");
  for (const char* name : {"edt_UserName", "edt_UserPwd", "edt_Port"}) {
    EXPECT_TRUE(Find<QLineEdit>(name)->isEnabled()) << name;
  }

  // Edits made while stopped apply at the next start.
  Type("edt_UserName", "operator");
  Type("edt_UserPwd", "pw2");
  Item("N4")->trigger();
  ASSERT_TRUE(window_->form().ServiceStarted());
  EXPECT_EQ(Find<QPushButton>("btn_Start")->text(), "断开服务");
  EXPECT_EQ(Item("N4")->text(), "断开服务");
  for (const char* name : {"edt_UserName", "edt_UserPwd", "edt_Port"}) {
    EXPECT_FALSE(Find<QLineEdit>(name)->isEnabled()) << name;
  }
  EXPECT_EQ(container_->options.user_name, "operator");
  EXPECT_EQ(container_->options.password, "pw2");

  Item("N4")->trigger();
  EXPECT_EQ(Find<QPushButton>("btn_Start")->text(), "启动服务");
  EXPECT_TRUE(dialogs_.shown.empty());
}

TEST_F(MainFormTest, AStartThatFailsReportsAndChangesNothing) {
  Create();
  Click("btn_Start");
  Type("edt_Port", "21x");
  Click("btn_Start");
  EXPECT_FALSE(window_->form().ServiceStarted());
  ASSERT_EQ(dialogs_.shown.size(), 1u);
  EXPECT_EQ(dialogs_.shown[0].kind, fakes::Shown::kError);
  EXPECT_TRUE(dialogs_.shown[0].text.contains("21x"));
  EXPECT_EQ(Find<QPushButton>("btn_Start")->text(), "启动服务");
  EXPECT_TRUE(Find<QLineEdit>("edt_Port")->isEnabled());
}

TEST_F(MainFormTest, ClientsArrivingAndLeavingAreListedLoggedAndCounted) {
  Create();
  std::vector<std::unique_ptr<client::Connection>> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(Connect());
  ASSERT_TRUE(WaitForCount("3"));
  const std::vector<QString> keys = ListLines();
  ASSERT_EQ(keys.size(), 3u);
  for (const QString& key : keys) EXPECT_TRUE(key.startsWith("127.0.0.1:")) << key.toStdString();
  EXPECT_EQ(LogLinesMatching(kArrival), 3u);

  OnClientThread([&] { clients[1]->Close(); });
  ASSERT_TRUE(WaitForCount("2"));
  EXPECT_EQ(ListLines(), (std::vector<QString>{keys[0], keys[2]}));
  EXPECT_EQ(LogLinesMatching(kDeparture), 1u);
  EXPECT_TRUE(Find<QPlainTextEdit>("Memo1")->toPlainText().endsWith("->" + keys[1] + " 主动断开!"));

  // Clearing the log leaves the list and the count.
  Click("btn_Clean");
  EXPECT_EQ(Find<QPlainTextEdit>("Memo1")->toPlainText(), "");
  EXPECT_EQ(ListLines().size(), 2u);
  EXPECT_EQ(Text("edtSessionCount"), "2");

  // A stop closes them all without departure lines.
  Click("btn_Start");
  EXPECT_TRUE(ListLines().empty());
  EXPECT_EQ(Text("edtSessionCount"), "0");
  EXPECT_EQ(Find<QPlainTextEdit>("Memo1")->toPlainText(), "");
}

TEST_F(MainFormTest, CloseClientAsksForASelectionThenDisconnectsTheSelectedOne) {
  Create();
  auto a = Connect();
  auto b = Connect();
  ASSERT_TRUE(WaitForCount("2"));
  const std::vector<QString> keys = ListLines();

  Click("Button2");
  ASSERT_EQ(dialogs_.shown.size(), 1u);
  EXPECT_EQ(dialogs_.shown[0].text, "没有选择要踢出的客户端");
  EXPECT_EQ(dialogs_.shown[0].title, "提示");
  EXPECT_EQ(dialogs_.shown[0].icon, host::MessageIcon::kError);
  EXPECT_EQ(ListLines(), keys);

  QListWidget* list = Find<QListWidget>("lbTcpMonitorInfo");
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                    list->visualItemRect(list->item(1)).center());
  ASSERT_EQ(window_->form().selected(), 1);
  Click("Button2");
  EXPECT_EQ(ListLines(), std::vector<QString>{keys[0]});
  EXPECT_EQ(Text("edtSessionCount"), "2");  // still counting the client at that moment
  ASSERT_EQ(dialogs_.shown.size(), 2u);
  EXPECT_EQ(dialogs_.shown[1].text, "已踢出" + keys[1]);
  EXPECT_EQ(dialogs_.shown[1].title, "提示");
  EXPECT_EQ(dialogs_.shown[1].icon, host::MessageIcon::kInformation);
  EXPECT_TRUE(list->selectedItems().isEmpty());

  ASSERT_TRUE(WaitForCount("1"));
  EXPECT_EQ(LogLinesMatching(kKicked), 1u);
  EXPECT_EQ(LogLinesMatching(kDeparture), 0u);
}

TEST_F(MainFormTest, ClosingSavesOnlyTheBackupSectionAndHides) {
  Create();
  Find<QButtonGroup>("BackupType")->button(3)->click();
  Find<QButtonGroup>("CmbWeek")->button(2)->click();
  Find<QSpinBox>("EdtDay")->setValue(9);
  Find<QSpinBox>("EdtTime")->setValue(2);
  Find<QSpinBox>("EdtMinute")->setValue(30);
  Type("edtPath", "/srv/bak");
  // Changing the service fields is never written back.
  Click("btn_Start");
  Type("edt_Port", "9999");

  EXPECT_FALSE(window_->close());
  EXPECT_FALSE(window_->isVisible());
  EXPECT_EQ(ReadFile(folder_ + "CONFIG.CFG"),
            "[Backup]\nBackupType=3\nEveryTime=30\nEveryDay=2\nEveryWeek=2\nEveryMonth=9\n"
            "bakpath=/srv/bak\n");
  const std::string entry = root_ + "/config/autostart/dataserver.desktop";
  EXPECT_TRUE(ReadFile(entry).find("Exec=/opt/ds/dataserver --app-dir " + folder_) !=
              std::string::npos);

  // Unchecking "开机运行" and closing again removes the entry; the process runs on.
  window_->show();
  Find<QCheckBox>("Start")->click();
  window_->close();
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_FALSE(window_->isVisible());
  EXPECT_EQ(quits_, 0);
  EXPECT_TRUE(dialogs_.shown.empty());
}

TEST_F(MainFormTest, ACloseThatCannotSaveReportsAndKeepsTheWindow) {
  Create();
  fs::create_directory(folder_ + "CONFIG.CFG");  // no file can be written under that name
  window_->close();
  EXPECT_TRUE(window_->isVisible());
  ASSERT_EQ(dialogs_.shown.size(), 1u);
  EXPECT_EQ(dialogs_.shown[0].kind, fakes::Shown::kError);
  EXPECT_TRUE(dialogs_.shown[0].text.contains("CONFIG.CFG"));
}

TEST_F(MainFormTest, ExitStopsTheServiceAndEndsWithoutSaving) {
  Create();
  auto client = Connect();
  ASSERT_TRUE(WaitForCount("1"));
  Find<QSpinBox>("EdtMinute")->setValue(7);
  Item("MenuItem1")->trigger();
  EXPECT_EQ(quits_, 1);
  // The runner's time bound was armed before the service began to stop.
  EXPECT_EQ(exits_, (std::vector<std::pair<bool, bool>>{{true, true}}));
  EXPECT_FALSE(window_->form().ServiceStarted());
  EXPECT_FALSE(fs::exists(folder_ + "CONFIG.CFG"));
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(MainFormTest, TrayDoubleClickTogglesAndMenuItemsShowTheirTab) {
  Create();
  window_->hide();
  window_->TrayIcon1DblClick();
  EXPECT_TRUE(window_->isVisible());
  window_->TrayIcon1DblClick();
  EXPECT_FALSE(window_->isVisible());

  Item("N5")->trigger();
  EXPECT_TRUE(window_->isVisible());
  EXPECT_EQ(Find<QTabWidget>("PageControl1")->currentIndex(), 1);
  Item("N2")->trigger();
  EXPECT_TRUE(window_->isVisible());
  EXPECT_EQ(Find<QTabWidget>("PageControl1")->currentIndex(), 0);
}

TEST_F(MainFormTest, WithoutASystemTrayTheWindowShowsAtStart) {
  Create();
  window_->hide();
  window_->ShowAtStart();
  EXPECT_EQ(window_->isVisible(), !QSystemTrayIcon::isSystemTrayAvailable());
}

TEST_F(MainFormTest, FolderChooserReplacesThePathAndCancelKeepsIt) {
  Create();
  dialogs_.folders = {"", "/mnt/backups"};
  Click("Button5");
  EXPECT_EQ(Text("edtPath"), QString::fromStdString(folder_ + "BackupData"));
  Click("Button5");
  EXPECT_EQ(Text("edtPath"), "/mnt/backups");
  EXPECT_EQ(dialogs_.chooser_titles, (std::vector<QString>{"请选择备份路径", "请选择备份路径"}));
}

TEST_F(MainFormTest, DatabaseSettingsButtonOpensTheDriverChoice) {
  Create();
  Click("Button1");
  EXPECT_EQ(dialogs_.dialog_titles, std::vector<QString>{"数据库设置"});
}

// The backup tab against recording drivers for SQL Server and the Access engine.
class BackupTabTest : public MainFormTest {
 protected:
  void WriteConfig(const std::string& text) { WriteFile(folder_ + "DataBase.CFG", text); }
  std::vector<int> PoolCounts() const {
    return {singletons_->connection_pool.Count(), singletons_->connection_pool.BusyCount(),
            singletons_->query_pool.Count(), singletons_->query_pool.BusyCount()};
  }
  host::fakes::ScopedRecordingDriver mssql_{"MSSQL"};
  host::fakes::ScopedRecordingDriver access_{"MSAcc"};
};

TEST_F(BackupTabTest, ManualBackupCopiesTheAccessFileIntoANewFolder) {
  std::string content(3 * 1048576 / 2, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 4099);
  WriteFile(folder_ + "shop.mdb", content);
  WriteConfig("DriverID=MSAcc\r\nDatabase=" + folder_ + "shop.mdb\r\n");
  Create();
  const std::string bak = root_ + "/not/yet/there";
  Type("edtPath", QString::fromStdString(bak));

  const int day = common::NowLocalParts().day;
  Click("Button4");
  const std::string file = bak + "/" + TwoDigits(day) + "data.mdb";
  uint8_t trailer[4];
  common::StoreLE<uint32_t>(trailer, static_cast<uint32_t>(content.size()));
  EXPECT_EQ(ReadFile(file), content + std::string(reinterpret_cast<char*>(trailer), 4));
  EXPECT_TRUE(std::regex_match(window_->StatusPanel(0).toStdString(),
                               std::regex("[0-9]{2}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}")));
  EXPECT_EQ(window_->StatusPanel(1).toStdString(), "已生成备份文件:" + file);
  EXPECT_EQ(PoolCounts(), (std::vector<int>{1, 0, 1, 0}));
  EXPECT_TRUE(dialogs_.shown.empty());
}

TEST_F(BackupTabTest, ManualBackupWithAnEmptyFolderChangesNothing) {
  WriteConfig("DriverID=MSSQL\r\nDatabase=Sales\r\n");
  Create();
  Click("Button4");  // into the default folder: succeeds
  const QString time = window_->StatusPanel(0);
  const QString file = window_->StatusPanel(1);
  ASSERT_FALSE(file.isEmpty());
  const std::vector<int> counts = PoolCounts();

  Type("edtPath", "");
  Click("Button4");
  EXPECT_EQ(window_->StatusPanel(0), time);
  EXPECT_EQ(window_->StatusPanel(1), file);
  EXPECT_EQ(PoolCounts(), counts);
  EXPECT_EQ(mssql_.log().Executed().size(), 1u);
  EXPECT_TRUE(dialogs_.shown.empty());
}

TEST_F(BackupTabTest, SqlServerBackupRunsTheStatementWithTheDaysFileName) {
  WriteConfig("DriverID=MSSQL\r\nServer=db1\r\nDatabase=Sales\r\n");
  Create();
  Type("edtPath", "D:\\Bak");
  const int day = common::NowLocalParts().day;
  Click("Button4");
  const std::string file = "D:\\Bak\\" + TwoDigits(day) + "Sales.SQLbak";
  EXPECT_EQ(mssql_.log().Executed(),
            std::vector<std::string>{"BACKUP DATABASE \"Sales\" TO DISK='" + file + "'"});
  EXPECT_EQ(window_->StatusPanel(1).toStdString(), "已生成备份文件:" + file);
  EXPECT_EQ(PoolCounts(), (std::vector<int>{1, 0, 1, 0}));
}

TEST_F(BackupTabTest, AClientArrivingDuringALongBackupIsListedAfterIt) {
  WriteConfig("DriverID=MSSQL\r\nDatabase=Sales\r\n");
  Create();
  client::Connection c(client::LoginOptions("127.0.0.1", port(), "admin", "tulip"));
  std::future<void> arrival;
  {
    // While the statement runs on this thread, a client connects: its connection thread
    // waits to hand the arrival over until the backup has ended.
    std::lock_guard lock(mssql_.log().mutex);
    mssql_.log().execute_time = std::chrono::milliseconds(500);
    mssql_.log().on_execute = [&] { arrival = std::async(std::launch::async, [&] { c.Open(); }); };
  }
  Click("Button4");
  EXPECT_FALSE(window_->StatusPanel(1).isEmpty());
  ASSERT_TRUE(arrival.valid());
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return arrival.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
      20000));
  arrival.get();
  EXPECT_TRUE(WaitForCount("1"));
  EXPECT_EQ(ListLines().size(), 1u);
}

TEST_F(BackupTabTest, TheTimerStartsTheBackupAtItsMinuteOnce) {
  WriteConfig("DriverID=MSSQL\r\nDatabase=Sales\r\n");
  Create();
  // A minute's second 0 in local time, and the hourly backup set on its minute.
  const std::time_t now = std::time(nullptr);
  const std::time_t due = now - host::LocalScheduleTime(now).second + 60;
  const host::ScheduleTime at = host::LocalScheduleTime(due);
  ASSERT_EQ(at.second, 0);
  Find<QSpinBox>("EdtMinute")->setValue(at.minute);

  // "不备份": nothing at its minute.
  window_->Timer1Timer(due - 1, host::LocalScheduleTime(due - 1));
  window_->Timer1Timer(due, at);
  EXPECT_TRUE(mssql_.log().Executed().empty());

  Find<QButtonGroup>("BackupType")->button(1)->click();  // "每小时"
  window_->Timer1Timer(due + 59, host::LocalScheduleTime(due + 59));
  window_->Timer1Timer(due + 60, host::LocalScheduleTime(due + 60));  // the next minute
  EXPECT_TRUE(mssql_.log().Executed().empty());
  window_->Timer1Timer(due + 3600, host::LocalScheduleTime(due + 3600));
  ASSERT_EQ(mssql_.log().Executed().size(), 1u);
  window_->Timer1Timer(due + 3600, host::LocalScheduleTime(due + 3600));
  window_->Timer1Timer(due + 3601, host::LocalScheduleTime(due + 3601));
  EXPECT_EQ(mssql_.log().Executed().size(), 1u);
  EXPECT_FALSE(window_->StatusPanel(1).isEmpty());
}

}  // namespace
}  // namespace console
