#include "console/dialogs.h"

#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>
#include <QStringList>
#include <string>

namespace console {

void QtDialogs::Message(QWidget* parent, const QString& text, const QString& title,
                        host::MessageIcon icon) {
  QMessageBox::Icon qt_icon = QMessageBox::Information;
  switch (icon) {
    case host::MessageIcon::kError:
      qt_icon = QMessageBox::Critical;
      break;
    case host::MessageIcon::kWarning:
      qt_icon = QMessageBox::Warning;
      break;
    case host::MessageIcon::kInformation:
      qt_icon = QMessageBox::Information;
      break;
  }
  QMessageBox box(qt_icon, title, text, QMessageBox::Ok, parent);
  box.exec();
}

void QtDialogs::PlainMessage(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, ToQt(kApplicationTitle), text, QMessageBox::Ok, parent);
  box.exec();
}

void QtDialogs::Error(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::Critical, ToQt(kApplicationTitle), text, QMessageBox::Ok, parent);
  box.exec();
}

QString QtDialogs::ChooseFolder(QWidget* parent, const QString& title) {
  return QFileDialog::getExistingDirectory(parent, title, QString());
}

QString QtDialogs::OpenFile(QWidget* parent, const QString& filter) {
  return QFileDialog::getOpenFileName(parent, QString(), QString(), filter);
}

int QtDialogs::Exec(QDialog& dialog) { return dialog.exec(); }

QString QtFileFilter(std::string_view pairs) {
  const QStringList parts = ToQt(pairs).split(QLatin1Char('|'));
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    const QString& description = parts[i];
    const QString& pattern = parts[i + 1];
    filters << (description.contains(QLatin1Char('('))
                    ? description
                    : description + QStringLiteral(" (") + pattern + QLatin1Char(')'));
  }
  return filters.join(QStringLiteral(";;"));
}

}  // namespace console
