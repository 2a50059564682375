#include "console/settings_dialogs.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "console/widgets.h"

namespace console {
namespace {

QLineEdit* Field(QWidget* parent, const char* name, const std::string& text, bool masked = false) {
  auto* edit = new QLineEdit(ToQt(text), parent);
  edit->setObjectName(QString::fromLatin1(name));
  if (masked) MaskWithAsterisks(*edit);
  return edit;
}

QPushButton* Button(QWidget* parent, const char* name, const char* caption) {
  auto* button = new QPushButton(ToQt(caption), parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setAutoDefault(false);
  return button;
}

}  // namespace

TfSetDAConnection::TfSetDAConnection(QWidget* parent, const std::string& app_folder,
                                     host::DatabasePools pools, Dialogs& dialogs)
    : QDialog(parent), dialogs_(dialogs) {
  setObjectName(QStringLiteral("TfSetDAConnection"));
  setWindowTitle(ToQt(host::kSettingsDialogTitle));
  setModal(true);

  edtDriverName_ = new QComboBox(this);
  edtDriverName_->setObjectName(QStringLiteral("edtDriverName"));
  edtDriverName_->setEditable(false);
  for (const char* driver : host::kSettingsDrivers) edtDriverName_->addItem(ToQt(driver));
  auto* connect_button = Button(this, "Button2", "连接");
  Memo1_ = new QPlainTextEdit(this);
  Memo1_->setObjectName(QStringLiteral("Memo1"));
  Memo1_->setReadOnly(true);

  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel(QStringLiteral("数据引擎"), this));
  row->addWidget(edtDriverName_, 1);
  row->addWidget(connect_button);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(row);
  layout->addWidget(Memo1_, 1);
  resize(420, 300);
  CentreOnScreen(*this);

  host::SettingsMessages& messages = *this;
  model_ = std::make_unique<host::DatabaseSettings>(app_folder, pools, messages);
  edtDriverName_->setCurrentIndex(model_->edtDriverName);
  ShowSummary();
  connect(edtDriverName_, &QComboBox::currentIndexChanged, this,
          [this](int index) { model_->edtDriverName = index; });
  connect(connect_button, &QPushButton::clicked, this, [this] { Button2Click(); });
}

TfSetDAConnection::~TfSetDAConnection() = default;

void TfSetDAConnection::Button2Click() {
  switch (model_->Button2Click()) {
    case host::DatabaseSettings::Engine::kNone:
      break;
    case host::DatabaseSettings::Engine::kMssql: {
      TfMSSQL dialog(this, *model_, [this] { ShowSummary(); });
      dialogs_.Exec(dialog);
      break;
    }
    case host::DatabaseSettings::Engine::kAccess: {
      TfMSAcc dialog(this, *model_, dialogs_, [this] { ShowSummary(); });
      dialogs_.Exec(dialog);
      break;
    }
  }
  ShowSummary();
}

void TfSetDAConnection::ShowSummary() {
  QStringList lines;
  // A failure line holds a CR between its two parts: it shows as two lines.
  for (const std::string& line : model_->Memo1)
    lines << ToQt(line).replace(QLatin1Char('\r'), '\n');
  Memo1_->setPlainText(lines.join(QLatin1Char('\n')));
}

void TfSetDAConnection::ShowMessage(const std::string& text, const std::string& title,
                                    host::MessageIcon icon) {
  dialogs_.Message(QApplication::activeModalWidget() ? QApplication::activeModalWidget() : this,
                   ToQt(text), ToQt(title), icon);
}

void TfSetDAConnection::ShowPlainMessage(const std::string& text) {
  dialogs_.PlainMessage(
      QApplication::activeModalWidget() ? QApplication::activeModalWidget() : this, ToQt(text));
}

TfMSSQL::TfMSSQL(QWidget* parent, host::DatabaseSettings& owner,
                 std::function<void()> summary_changed)
    : QDialog(parent), model_(owner), summary_changed_(std::move(summary_changed)) {
  setObjectName(QStringLiteral("TfMSSQL"));
  setWindowTitle(ToQt(host::kMssqlDialogTitle));
  setModal(true);
  edt1_ = Field(this, "edt1", model_.edt1);
  edt2_ = Field(this, "edt2", model_.edt2, true);
  chb1_ = new QCheckBox(QStringLiteral("OSAuthent"), this);
  chb1_->setObjectName(QStringLiteral("chb1"));
  chb1_->setChecked(model_.chb1);
  edt4_ = Field(this, "edt4", model_.edt4);
  edt3_ = Field(this, "edt3", model_.edt3);
  auto* test_button = Button(this, "Button1", "连接测试");

  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("用户名"), edt1_);
  form->addRow(QStringLiteral("密码"), edt2_);
  form->addRow(QString(), chb1_);
  form->addRow(QStringLiteral("服务器"), edt4_);
  form->addRow(QStringLiteral("数据库"), edt3_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(test_button, 0, Qt::AlignRight);
  resize(360, sizeHint().height());
  CentreOnScreen(*this);
  connect(test_button, &QPushButton::clicked, this, [this] { Button1Click(); });
}

void TfMSSQL::Button1Click() {
  model_.edt1 = FromQt(edt1_->text());
  model_.edt2 = FromQt(edt2_->text());
  model_.chb1 = chb1_->isChecked();
  model_.edt4 = FromQt(edt4_->text());
  model_.edt3 = FromQt(edt3_->text());
  if (model_.edt3.empty()) return;  // nothing at all without a database
  const bool saved = model_.Button1Click();
  if (summary_changed_) summary_changed_();
  if (saved) accept();
}

TfMSAcc::TfMSAcc(QWidget* parent, host::DatabaseSettings& owner, Dialogs& dialogs,
                 std::function<void()> summary_changed)
    : QDialog(parent),
      model_(owner),
      dialogs_(dialogs),
      summary_changed_(std::move(summary_changed)) {
  setObjectName(QStringLiteral("TfMSAcc"));
  setWindowTitle(ToQt(host::kAccessDialogTitle));
  setModal(true);
  edt1_ = Field(this, "edt1", model_.edt1);
  edt2_ = Field(this, "edt2", model_.edt2, true);
  edt3_ = Field(this, "edt3", model_.edt3);
  auto* browse = Button(this, "btn1", "...");
  auto* test_button = Button(this, "Button1", "连接测试");

  auto* file_row = new QHBoxLayout;
  file_row->addWidget(edt3_, 1);
  file_row->addWidget(browse);
  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("用户名"), edt1_);
  form->addRow(QStringLiteral("密码"), edt2_);
  form->addRow(QStringLiteral("数据库"), file_row);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(test_button, 0, Qt::AlignRight);
  resize(400, sizeHint().height());
  CentreOnScreen(*this);
  connect(browse, &QPushButton::clicked, this, [this] { BrowseClick(); });
  connect(test_button, &QPushButton::clicked, this, [this] { Button1Click(); });
}

void TfMSAcc::Button1Click() {
  model_.edt1 = FromQt(edt1_->text());
  model_.edt2 = FromQt(edt2_->text());
  model_.edt3 = FromQt(edt3_->text());
  const bool saved = model_.Button1Click();
  if (summary_changed_) summary_changed_();
  if (saved) accept();
}

void TfMSAcc::BrowseClick() {
  const QString file = dialogs_.OpenFile(this, QtFileFilter(host::kAccessFileFilter));
  if (!file.isEmpty()) edt3_->setText(file);
}

}  // namespace console
