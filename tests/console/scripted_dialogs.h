// The console tests' answer to every modal step: message boxes and the error display are
// recorded, the folder chooser and the open-file dialog return queued answers, and a dialog
// run "modally" is shown, handed to the next queued script (which fills it and presses its
// buttons), and closed.
#ifndef DATASERVER_TESTS_CONSOLE_SCRIPTED_DIALOGS_H_
#define DATASERVER_TESTS_CONSOLE_SCRIPTED_DIALOGS_H_

#include <QDialog>
#include <QString>
#include <deque>
#include <functional>
#include <optional>
#include <ostream>
#include <vector>

#include "console/dialogs.h"

// GoogleTest prints texts of the window as text.
inline void PrintTo(const QString& text, std::ostream* out) { *out << text.toStdString(); }

namespace console::fakes {

struct Shown {
  enum Kind { kMessage, kPlain, kError };
  Kind kind;
  QString text;
  QString title;  // the message box's; empty for the others
  std::optional<host::MessageIcon> icon;
};

class ScriptedDialogs : public Dialogs {
 public:
  void Message(QWidget*, const QString& text, const QString& title,
               host::MessageIcon icon) override {
    shown.push_back({Shown::kMessage, text, title, icon});
  }
  void PlainMessage(QWidget*, const QString& text) override {
    shown.push_back({Shown::kPlain, text, {}, {}});
  }
  void Error(QWidget*, const QString& text) override {
    shown.push_back({Shown::kError, text, {}, {}});
  }
  QString ChooseFolder(QWidget*, const QString& title) override {
    chooser_titles.push_back(title);
    return Next(folders);
  }
  QString OpenFile(QWidget*, const QString& filter) override {
    file_filters.push_back(filter);
    return Next(files);
  }
  int Exec(QDialog& dialog) override {
    dialog_titles.push_back(dialog.windowTitle());
    dialog.show();
    if (!scripts.empty()) {
      std::function<void(QDialog&)> script = std::move(scripts.front());
      scripts.pop_front();
      script(dialog);
    }
    const int result = dialog.result();
    dialog.hide();
    return result;
  }

  std::vector<Shown> shown;
  // Answers of the folder chooser and the open-file dialog, in order; an empty text (or none
  // left) is a cancel.
  std::deque<QString> folders;
  std::deque<QString> files;
  std::vector<QString> chooser_titles;
  std::vector<QString> file_filters;
  // One script per dialog run, in order.
  std::deque<std::function<void(QDialog&)>> scripts;
  std::vector<QString> dialog_titles;

 private:
  static QString Next(std::deque<QString>& answers) {
    if (answers.empty()) return {};
    QString answer = answers.front();
    answers.pop_front();
    return answer;
  }
};

}  // namespace console::fakes

#endif  // DATASERVER_TESTS_CONSOLE_SCRIPTED_DIALOGS_H_
