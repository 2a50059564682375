// Small helpers shared by the console's windows.
//
// Threads: the user-interface thread only.
#ifndef DATASERVER_CONSOLE_WIDGETS_H_
#define DATASERVER_CONSOLE_WIDGETS_H_

class QLineEdit;
class QWidget;

namespace console {

// Password echo with "*" for every character (the platform's own mask is a dot).
void MaskWithAsterisks(QLineEdit& edit);
// Moves a top-level widget to the centre of the screen it is on.
void CentreOnScreen(QWidget& widget);

}  // namespace console

#endif  // DATASERVER_CONSOLE_WIDGETS_H_
