// The desktop program: the start-up sequence around a Qt event loop, with the operator console
// (TSrvMainForm) and its tray icon. Free of Qt in its interface, so the executable's main needs
// no Qt headers.
//
// Threads: the calling (main) thread becomes the user-interface thread.
#ifndef DATASERVER_CONSOLE_CONSOLE_RUNNER_H_
#define DATASERVER_CONSOLE_CONSOLE_RUNNER_H_

#include <optional>
#include <ostream>
#include <string>

#include "host/headless_runner.h"

namespace console {

// Whether a window can be shown: a display (DISPLAY or WAYLAND_DISPLAY) or a platform chosen
// with QT_QPA_PLATFORM.
bool DisplayAvailable();

// What RunConsole does once the service has started.
struct ConsoleMode {
  // With a folder: show the window on each tab, save console-server-info.png and
  // console-backup.png there, and end (the pictures of the README).
  std::optional<std::string> screenshot_dir;
  // How long the screenshot mode serves before it takes the pictures, in milliseconds.
  int screenshot_delay_ms = 3000;
};

// Runs start-up (the process singletons, the application, the window with CONFIG.CFG, the
// service), the event loop until the exit item (or SIGTERM/SIGINT, which end it the same way),
// then the process end: the container before the window, the singletons last. Without a display
// it says that --headless is the way and returns 1 at once. Returns the exit code (0 after an
// orderly exit, 1 when start-up fails, with the reason on `errors`).
int RunConsole(const host::CommandLine& options, const ConsoleMode& mode, int argc, char** argv,
               std::ostream& errors);

}  // namespace console

#endif  // DATASERVER_CONSOLE_CONSOLE_RUNNER_H_
