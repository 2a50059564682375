#include "console/widgets.h"

#include <QGuiApplication>
#include <QLineEdit>
#include <QRect>
#include <QScreen>
#include <QWidget>

namespace console {

void MaskWithAsterisks(QLineEdit& edit) {
  edit.setEchoMode(QLineEdit::Password);
  edit.setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));
}

void CentreOnScreen(QWidget& widget) {
  const QScreen* screen = widget.screen() ? widget.screen() : QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  QRect frame = widget.frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  widget.move(frame.topLeft());
}

}  // namespace console
