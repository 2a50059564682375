#include "console/console_runner.h"

#include <pthread.h>
#include <signal.h>

#include <QApplication>
#include <QDir>
#include <QMetaObject>
#include <QPixmap>
#include <QTimer>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <optional>
#include <thread>

#include "common/text.h"
#include "console/dialogs.h"
#include "console/main_form.h"
#include "host/app_folder.h"
#include "host/process_singletons.h"
#include "host/server_container.h"
#include "host/service_stop.h"
#include "host/settings.h"

namespace console {
namespace {

bool EnvironmentSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// SIGTERM and SIGINT (blocked in every thread by main) end the event loop, as the exit item
// does: a helper thread takes them with sigwait and posts the quit to the user-interface thread.
class TerminationWatch {
 public:
  TerminationWatch()
      : thread_([this] {
          host::WaitForTerminationSignal();
          if (!done_.load()) {
            QMetaObject::invokeMethod(
                qApp, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
          }
        }) {}
  // Wakes the helper with a signal of its own and joins it.
  ~TerminationWatch() {
    done_.store(true);
    pthread_kill(thread_.native_handle(), SIGTERM);
    thread_.join();
  }

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

bool SaveTab(TSrvMainForm& window, int tab, const QString& file) {
  window.ShowOnTab(tab);
  QApplication::processEvents();
  return window.grab().save(file, "PNG");
}

}  // namespace

bool DisplayAvailable() {
  return EnvironmentSet("DISPLAY") || EnvironmentSet("WAYLAND_DISPLAY") ||
         EnvironmentSet("QT_QPA_PLATFORM");
}

int RunConsole(const host::CommandLine& options, const ConsoleMode& mode, int argc, char** argv,
               std::ostream& errors) {
  if (!DisplayAvailable()) {
    errors << "dataserver: there is no display to show the console on (DISPLAY and "
              "WAYLAND_DISPLAY are not set).\n"
              "Run \"dataserver --headless\" to serve without a window.\n";
    return 1;
  }
  try {
    const std::string app_folder = host::ResolveApplicationFolder(options.app_dir);
    // Armed as the exit begins (the exit item, or the end of the event loop on a signal); it
    // outlives the singletons, whose end closes the database connections.
    std::optional<host::StopDeadline> deadline;
    int shutdown_timeout_seconds = host::kDefaultShutdownTimeoutSeconds;
    auto arm_deadline = [&](bool arm) {
      if (!arm) deadline.reset();
      if (!arm || deadline) return;
      const int bound = shutdown_timeout_seconds;
      deadline.emplace(std::chrono::seconds(bound), [&errors, bound] {
        errors << host::LogLine(host::StopCutShortText(bound)) << std::endl;
      });
    };

    // 1. The process singletons: the pools, then the instance pool bound to TServerModule1.
    host::ProcessSingletons singletons(app_folder);

    // 2. The application: ends only through the exit item, never by hiding its last window.
    QApplication app(argc, argv);
    QApplication::setApplicationName(ToQt(kApplicationTitle));
    QApplication::setQuitOnLastWindowClosed(false);
    TerminationWatch termination;

    // 3. The main window, from CONFIG.CFG.
    const host::ServerSettings settings = host::LoadSettings(app_folder);
    if (!settings.code_page.empty()) common::SetAnsiCodePage(settings.code_page);
    shutdown_timeout_seconds = settings.shutdown_timeout_seconds;
    singletons.context.max_client_connections = host::kMaxClientConnections;
    host::UiQueue ui;
    QtDialogs dialogs;
    std::string executable_path;
    try {
      executable_path = host::ExecutablePath();
    } catch (const std::exception&) {
      // Without it the autostart entry cannot be written; it is skipped silently then.
    }
    int exit_code = 0;
    TSrvMainForm window(
        FormContext{app_folder, executable_path, settings, ui,
                    host::DatabasePools{singletons.connection_pool, singletons.query_pool,
                                        singletons.stored_proc_pool},
                    dialogs, [] { QCoreApplication::quit(); }, arm_deadline});
    {
      // 4. The service starts with the container; then 5. the event loop.
      host::TServerContainer1 container(window.form(), singletons.instance_pool,
                                        singletons.context);
      if (mode.screenshot_dir) {
        const QString dir = QString::fromStdString(*mode.screenshot_dir);
        QDir().mkpath(dir);
        QTimer::singleShot(mode.screenshot_delay_ms, &window, [&, dir] {
          const bool saved =
              SaveTab(window, kServerInfoTab, dir + QStringLiteral("/console-server-info.png")) &&
              SaveTab(window, kBackupTab, dir + QStringLiteral("/console-backup.png"));
          if (!saved) {
            errors << "dataserver: cannot save the screenshots in " << *mode.screenshot_dir << "\n";
            exit_code = 1;
          }
          QCoreApplication::quit();
        });
        window.ShowOnTab(kServerInfoTab);
      } else {
        window.ShowAtStart();
      }
      QApplication::exec();
      arm_deadline(true);
    }  // the container goes first: the service stops (a no-op after the exit item)
    return exit_code;
  } catch (const std::exception& e) {
    errors << "dataserver: " << e.what() << std::endl;
    return 1;
  }
}

}  // namespace console
