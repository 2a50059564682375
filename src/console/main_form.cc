#include "console/main_form.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QStatusBar>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <ctime>
#include <exception>
#include <optional>

#include "console/settings_dialogs.h"
#include "console/widgets.h"
#include "host/backup.h"

namespace console {
namespace {

constexpr const char* kBackupTypes[] = {"不备份", "每小时", "每天", "每周", "每月"};
constexpr const char* kWeekdays[] = {"星期天", "星期一", "星期二", "星期三",
                                     "星期四", "星期五", "星期六"};
constexpr int kStatusTimeWidth = 100;
constexpr int kStatusFileWidth = 50;
constexpr int kTimerInterval = 1000;

template <typename W>
W* Named(W* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

QPushButton* Button(QWidget* parent, const char* name, const char* caption) {
  auto* button = Named(new QPushButton(ToQt(caption), parent), name);
  button->setAutoDefault(false);
  return button;
}

QLabel* Label(QWidget* parent, const char* text) { return new QLabel(ToQt(text), parent); }

// A one-of-n choice in n columns: a titled group of radio buttons with ids 0..n-1, none checked
// for a negative `selected`.
template <size_t N>
QButtonGroup* Choice(QWidget* parent, const char* name, const char* title,
                     const char* const (&captions)[N], int selected, QGroupBox** box_out) {
  auto* box = Named(new QGroupBox(ToQt(title), parent), name);
  auto* group = new QButtonGroup(box);
  group->setObjectName(QString::fromLatin1(name));
  auto* row = new QHBoxLayout(box);
  for (size_t i = 0; i < N; ++i) {
    auto* radio = new QRadioButton(ToQt(captions[i]), box);
    radio->setObjectName(QString::fromLatin1(name) + QString::number(i));
    group->addButton(radio, static_cast<int>(i));
    row->addWidget(radio);
    if (static_cast<int>(i) == selected) radio->setChecked(true);
  }
  *box_out = box;
  return group;
}

QSpinBox* Number(QWidget* parent, const char* name, int min, int max, int value) {
  auto* spin = Named(new QSpinBox(parent), name);
  spin->setRange(min, max);
  spin->setValue(value);
  return spin;
}

}  // namespace

TSrvMainForm::TSrvMainForm(FormContext context)
    : app_folder_(std::move(context.app_folder)),
      executable_path_(std::move(context.executable_path)),
      ui_(context.ui),
      pools_(context.pools),
      dialogs_(context.dialogs),
      quit_(std::move(context.quit)),
      exiting_(std::move(context.exiting)),
      form_(context.ui, *this, context.settings) {
  setObjectName(QStringLiteral("TSrvMainForm"));
  const QString caption = ToQt(context.settings.caption);
  setWindowTitle(caption);
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                 Qt::CustomizeWindowHint);

  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  PageControl1_ = Named(new QTabWidget(central), "PageControl1");
  PageControl1_->addTab(BuildServerInfoTab(), QStringLiteral("服务器信息"));
  PageControl1_->addTab(BuildBackupTab(context.settings.backup), QStringLiteral("数据备份"));
  layout->addWidget(PageControl1_, 1);
  layout->addWidget(BuildBottomBar(context.settings));
  setCentralWidget(central);

  QStatusBar* status = Named(new QStatusBar(this), "StatusBar1");
  status->setSizeGripEnabled(false);
  for (int i = 0; i < 2; ++i) {
    status_panels_[i] = new QLabel(status);
    status_panels_[i]->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
    status_panels_[i]->setFrameShape(QFrame::StyledPanel);
  }
  status_panels_[0]->setFixedWidth(kStatusTimeWidth);
  status_panels_[1]->setMinimumWidth(kStatusFileWidth);
  status->addWidget(status_panels_[0]);
  status->addWidget(status_panels_[1], 1);
  setStatusBar(status);

  BuildTray(caption);
  central->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(central, &QWidget::customContextMenuRequested, this,
          [this, central](const QPoint& at) { PopupMenu1_->popup(central->mapToGlobal(at)); });

  Timer1_ = Named(new QTimer(this), "Timer1");
  Timer1_->setInterval(kTimerInterval);
  connect(Timer1_, &QTimer::timeout, this, [this] {
    const std::time_t now = std::time(nullptr);
    Timer1Timer(now, host::LocalScheduleTime(now));
  });
  Timer1_->start();

  setFixedSize(kFormWidth, kFormHeight);
  CentreOnScreen(*this);
  ServiceStateChanged();

  // Connection threads queue their hand-overs and post one queued call per task; the call
  // runs on this thread. Bound to this window, so none runs after it is gone.
  ui_.SetPostedHook([this] {
    QMetaObject::invokeMethod(
        this, [this] { ui_.Drain(); }, Qt::QueuedConnection);
  });
}

TSrvMainForm::~TSrvMainForm() {
  // The container, and with it every connection thread, is gone before the window.
  ui_.SetPostedHook({});
}

QWidget* TSrvMainForm::BuildServerInfoTab() {
  auto* page = new QWidget;
  auto* clients_box = new QGroupBox(QStringLiteral("连接信息："), page);
  lbTcpMonitorInfo_ = Named(new QListWidget(clients_box), "lbTcpMonitorInfo");
  lbTcpMonitorInfo_->setSelectionMode(QAbstractItemView::SingleSelection);
  (new QVBoxLayout(clients_box))->addWidget(lbTcpMonitorInfo_);

  auto* log_box = new QGroupBox(QStringLiteral("日志："), page);
  Memo1_ = Named(new QPlainTextEdit(log_box), "Memo1");
  Memo1_->setReadOnly(true);
  Memo1_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  (new QVBoxLayout(log_box))->addWidget(Memo1_);

  edtSessionCount_ = Named(new QLineEdit(ToQt(form_.edtSessionCount()), page), "edtSessionCount");
  edtSessionCount_->setReadOnly(true);
  edtSessionCount_->setFixedWidth(60);
  Button2_ = Button(page, "Button2", "关闭客户端");
  edt_MaxCount_ = Named(new QLineEdit(ToQt(form_.edt_MaxCount), page), "edt_MaxCount");
  edt_MaxCount_->setEnabled(false);
  edt_MaxCount_->setFixedWidth(60);
  btn_Clean_ = Button(page, "btn_Clean", "清空日志内容");

  auto* grid = new QGridLayout(page);
  grid->addWidget(clients_box, 0, 0);
  grid->addWidget(log_box, 0, 1);
  grid->setColumnStretch(0, 2);
  grid->setColumnStretch(1, 3);
  auto* left = new QHBoxLayout;
  left->addWidget(Label(page, "当前连接数："));
  left->addWidget(edtSessionCount_);
  left->addStretch(1);
  left->addWidget(Button2_);
  auto* right = new QHBoxLayout;
  right->addWidget(Label(page, "最大连接数："));
  right->addWidget(edt_MaxCount_);
  right->addStretch(1);
  right->addWidget(btn_Clean_);
  grid->addLayout(left, 1, 0);
  grid->addLayout(right, 1, 1);

  connect(lbTcpMonitorInfo_, &QListWidget::itemSelectionChanged, this,
          [this] { SelectionChanged(); });
  connect(Button2_, &QPushButton::clicked, this, [this] { form_.KickSelectedClient(); });
  connect(btn_Clean_, &QPushButton::clicked, this, [this] { form_.ClearLog(); });
  return page;
}

QWidget* TSrvMainForm::BuildBackupTab(const host::BackupSettings& backup) {
  auto* page = new QWidget;
  auto* settings_button = Button(page, "Button1", "数据库设置");
  auto* backup_button = Button(page, "Button4", "手动备份");
  edtPath_ = Named(new QLineEdit(ToQt(backup.path), page), "edtPath");
  auto* browse = Button(page, "Button5", "...");
  browse->setFixedWidth(32);

  QGroupBox* type_box = nullptr;
  BackupType_ = Choice(page, "BackupType", "自动备份", kBackupTypes, backup.backup_type, &type_box);
  QGroupBox* week_box = nullptr;
  CmbWeek_ = Choice(page, "CmbWeek", "星期", kWeekdays, backup.weekday, &week_box);
  EdtDay_ = Number(page, "EdtDay", 1, 31, backup.day);
  EdtTime_ = Number(page, "EdtTime", 0, 23, backup.hour);
  EdtMinute_ = Number(page, "EdtMinute", 0, 59, backup.minute);

  auto* layout = new QVBoxLayout(page);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(settings_button);
  buttons->addWidget(backup_button);
  buttons->addStretch(1);
  layout->addLayout(buttons);
  auto* path_row = new QHBoxLayout;
  path_row->addWidget(Label(page, "备份文件保存到:"));
  path_row->addWidget(edtPath_, 1);
  path_row->addWidget(browse);
  layout->addLayout(path_row);
  layout->addWidget(type_box);
  layout->addWidget(week_box);
  auto* when = new QHBoxLayout;
  when->addWidget(Label(page, "日期"));
  when->addWidget(EdtDay_);
  when->addSpacing(24);
  when->addWidget(Label(page, "时间"));
  when->addWidget(EdtTime_);
  when->addWidget(Label(page, ":"));
  when->addWidget(EdtMinute_);
  when->addStretch(1);
  layout->addLayout(when);
  layout->addStretch(1);

  connect(settings_button, &QPushButton::clicked, this, [this] { Button1Click(); });
  connect(backup_button, &QPushButton::clicked, this,
          [this] { BackupNow(common::NowLocalParts()); });
  connect(browse, &QPushButton::clicked, this, [this] { Button5Click(); });
  return page;
}

QWidget* TSrvMainForm::BuildBottomBar(const host::ServerSettings& settings) {
  auto* bar = new QWidget;
  edt_UserName_ = Named(new QLineEdit(ToQt(settings.user_name), bar), "edt_UserName");
  edt_UserPwd_ = Named(new QLineEdit(ToQt(settings.password), bar), "edt_UserPwd");
  MaskWithAsterisks(*edt_UserPwd_);
  edt_Port_ = Named(new QLineEdit(ToQt(settings.port), bar), "edt_Port");
  edt_Port_->setFixedWidth(60);
  btn_Start_ = Button(bar, "btn_Start", "");
  Start_ = Named(new QCheckBox(QStringLiteral("开机运行"), bar), "Start");
  Start_->setChecked(settings.autostart);

  auto* row = new QHBoxLayout(bar);
  row->setContentsMargins(0, 0, 0, 0);
  row->addWidget(Label(bar, "服务账号："));
  row->addWidget(edt_UserName_);
  row->addWidget(Label(bar, "服务密码："));
  row->addWidget(edt_UserPwd_);
  row->addWidget(Label(bar, "端口："));
  row->addWidget(edt_Port_);
  row->addWidget(btn_Start_);
  row->addWidget(Start_);

  connect(edt_UserName_, &QLineEdit::textChanged, this,
          [this](const QString& text) { form_.edt_UserName = FromQt(text); });
  connect(edt_UserPwd_, &QLineEdit::textChanged, this,
          [this](const QString& text) { form_.edt_UserPwd = FromQt(text); });
  connect(edt_Port_, &QLineEdit::textChanged, this,
          [this](const QString& text) { form_.edt_Port = FromQt(text); });
  connect(btn_Start_, &QPushButton::clicked, this, [this] { form_.ToggleService(); });
  return bar;
}

void TSrvMainForm::BuildTray(const QString& caption) {
  PopupMenu1_ = Named(new QMenu(this), "PopupMenu1");
  QAction* exit_item = Named(PopupMenu1_->addAction(QStringLiteral("退出程序")), "MenuItem1");
  N4_ = Named(PopupMenu1_->addAction(QString()), "N4");
  QAction* backup_item = Named(PopupMenu1_->addAction(QStringLiteral("数据维护")), "N5");
  QAction* info_item = Named(PopupMenu1_->addAction(QStringLiteral("服务信息")), "N2");
  connect(exit_item, &QAction::triggered, this, [this] { MenuItem1Click(); });
  connect(N4_, &QAction::triggered, this, [this] { form_.ToggleService(); });
  connect(backup_item, &QAction::triggered, this, [this] { ShowOnTab(kBackupTab); });
  connect(info_item, &QAction::triggered, this, [this] { ShowOnTab(kServerInfoTab); });

  const QIcon icon = style()->standardIcon(QStyle::SP_DriveNetIcon);
  setWindowIcon(icon);
  TrayIcon1_ = new QSystemTrayIcon(icon, this);
  TrayIcon1_->setObjectName(QStringLiteral("TrayIcon1"));
  TrayIcon1_->setToolTip(caption);
  TrayIcon1_->setContextMenu(PopupMenu1_);
  connect(TrayIcon1_, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::DoubleClick) TrayIcon1DblClick();
          });
}

void TSrvMainForm::ShowAtStart() {
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    TrayIcon1_->show();
  } else {
    // No tray to come back through: the window is the operator's only way in.
    ShowOnTab(kServerInfoTab);
  }
}

void TSrvMainForm::TrayIcon1DblClick() {
  if (isVisible()) {
    hide();
  } else {
    show();
    raise();
    activateWindow();
  }
}

void TSrvMainForm::ShowOnTab(int tab) {
  show();
  raise();
  activateWindow();
  PageControl1_->setCurrentIndex(tab);
}

void TSrvMainForm::MenuItem1Click() {
  if (exiting_) exiting_(true);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  try {
    form_.StopServer();
  } catch (const std::exception& e) {
    QApplication::restoreOverrideCursor();
    if (exiting_) exiting_(false);
    dialogs_.Error(this, ToQt(e.what()));
    return;  // the process goes on running
  }
  QApplication::restoreOverrideCursor();
  if (quit_) quit_();
}

void TSrvMainForm::BackupNow(const common::DateTimeParts& now) {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const std::optional<host::BackupStatus> status = host::BackupDatabase(
      pools_.connections, pools_.queries, FromQt(edtPath_->text()), app_folder_, now);
  QApplication::restoreOverrideCursor();
  if (!status) return;  // a failed backup is reported to nobody
  status_panels_[0]->setText(ToQt(status->time));
  status_panels_[1]->setText(ToQt(status->file));
}

void TSrvMainForm::Timer1Timer(int64_t now, const host::ScheduleTime& local) {
  if (!schedule_.Tick(now, local, BackupFields())) return;
  BackupNow(common::DecodeDateTime(common::FromTimeTLocal(static_cast<std::time_t>(now))));
}

void TSrvMainForm::Button5Click() {
  const QString folder = dialogs_.ChooseFolder(this, ToQt(kChooseBackupFolderTitle));
  if (!folder.isEmpty()) edtPath_->setText(folder);
}

void TSrvMainForm::Button1Click() {
  TfSetDAConnection dialog(this, app_folder_, pools_, dialogs_);
  dialogs_.Exec(dialog);
}

host::BackupSettings TSrvMainForm::BackupFields() const {
  host::BackupSettings fields;
  fields.backup_type = BackupType_->checkedId();
  fields.minute = EdtMinute_->value();
  fields.hour = EdtTime_->value();
  fields.weekday = CmbWeek_->checkedId();
  fields.day = EdtDay_->value();
  fields.path = FromQt(edtPath_->text());
  return fields;
}

QString TSrvMainForm::StatusPanel(int index) const { return status_panels_[index]->text(); }

void TSrvMainForm::SelectionChanged() {
  const QList<QListWidgetItem*> selected = lbTcpMonitorInfo_->selectedItems();
  form_.Select(selected.isEmpty() ? -1 : lbTcpMonitorInfo_->row(selected.front()));
}

void TSrvMainForm::ClientListChanged() {
  const QSignalBlocker blocker(lbTcpMonitorInfo_);
  lbTcpMonitorInfo_->clear();
  for (const host::ClientLine& line : form_.lbTcpMonitorInfo()) {
    lbTcpMonitorInfo_->addItem(ToQt(line.key));
  }
  if (form_.selected() >= 0) {
    lbTcpMonitorInfo_->setCurrentRow(form_.selected());
  } else {
    lbTcpMonitorInfo_->clearSelection();
  }
}

void TSrvMainForm::LogLineAppended(const std::string& line) { Memo1_->appendPlainText(ToQt(line)); }

void TSrvMainForm::LogCleared() {
  Memo1_->clear();
  Memo1_->setFocus();
}

void TSrvMainForm::SessionCountChanged() {
  edtSessionCount_->setText(ToQt(form_.edtSessionCount()));
}

void TSrvMainForm::ServiceStateChanged() {
  btn_Start_->setText(ToQt(form_.btn_Start()));
  N4_->setText(ToQt(form_.N4()));
  const bool enabled = form_.fields_enabled();
  edt_UserName_->setEnabled(enabled);
  edt_UserPwd_->setEnabled(enabled);
  edt_Port_->setEnabled(enabled);
}

void TSrvMainForm::ShowMessage(const std::string& text, const std::string& title,
                               host::MessageIcon icon) {
  dialogs_.Message(this, ToQt(text), ToQt(title), icon);
}

void TSrvMainForm::ShowError(const std::string& text) { dialogs_.Error(this, ToQt(text)); }

void TSrvMainForm::closeEvent(QCloseEvent* event) {
  event->ignore();
  std::string failure = "Cannot write " + app_folder_ + host::kSettingsFileName;
  bool saved = false;
  try {
    saved = host::SaveOnClose(app_folder_, executable_path_, Start_->isChecked(), BackupFields());
  } catch (const std::exception& e) {
    failure += std::string(": ") + e.what();
  }
  if (!saved) {
    // Nothing saved: the window stays, so the operator knows and can try again.
    dialogs_.Error(this, ToQt(failure));
    return;
  }
  hide();
}

}  // namespace console
