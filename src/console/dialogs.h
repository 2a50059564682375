// The console's modal interactions behind one seam: message boxes, the application's error
// display, the folder chooser, the open-file dialog and running a dialog modally. QtDialogs
// shows the real ones; tests answer them with a scripted implementation, so no test waits for
// a person.
//
// Threads: the user-interface thread only.
#ifndef DATASERVER_CONSOLE_DIALOGS_H_
#define DATASERVER_CONSOLE_DIALOGS_H_

#include <QString>
#include <string_view>

#include "host/service_console.h"

class QDialog;
class QWidget;

namespace console {

// The application title: the title of plain message dialogs and of the error display.
inline constexpr char kApplicationTitle[] = "服务器";

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // A message box with a title and an icon; returns when it is closed.
  virtual void Message(QWidget* parent, const QString& text, const QString& title,
                       host::MessageIcon icon) = 0;
  // A message dialog titled with the application title, without icon, with one OK button.
  virtual void PlainMessage(QWidget* parent, const QString& text) = 0;
  // The application's error display: an operator action failed unexpectedly.
  virtual void Error(QWidget* parent, const QString& text) = 0;
  // A folder chooser titled `title`, starting with no folder selected; empty when cancelled.
  virtual QString ChooseFolder(QWidget* parent, const QString& title) = 0;
  // An open-file dialog with a Qt filter (see QtFileFilter); empty when cancelled.
  virtual QString OpenFile(QWidget* parent, const QString& filter) = 0;
  // Shows `dialog` modally and returns its result code when it closes.
  virtual int Exec(QDialog& dialog) = 0;
};

class QtDialogs : public Dialogs {
 public:
  void Message(QWidget* parent, const QString& text, const QString& title,
               host::MessageIcon icon) override;
  void PlainMessage(QWidget* parent, const QString& text) override;
  void Error(QWidget* parent, const QString& text) override;
  QString ChooseFolder(QWidget* parent, const QString& title) override;
  QString OpenFile(QWidget* parent, const QString& filter) override;
  int Exec(QDialog& dialog) override;
};

// A filter of "description|pattern|description|pattern" pairs as Qt's file dialogs take it:
// entries joined by ";;", a description without its own "(pattern)" getting one.
QString QtFileFilter(std::string_view pairs);

inline QString ToQt(std::string_view utf8) {
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}
inline std::string FromQt(const QString& text) { return text.toUtf8().toStdString(); }

}  // namespace console

#endif  // DATASERVER_CONSOLE_DIALOGS_H_
