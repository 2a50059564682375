#include "host/headless_runner.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>

#include "common/datetime.h"
#include "common/error.h"
#include "common/text.h"
#include "host/app_folder.h"
#include "host/process_singletons.h"
#include "host/server_container.h"
#include "host/service_console.h"
#include "host/service_stop.h"
#include "host/settings.h"
#include "host/ui_queue.h"

namespace host {
namespace {

sigset_t TerminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

const char* SignalName(int sig) {
  switch (sig) {
    case SIGTERM:
      return "SIGTERM";
    case SIGINT:
      return "SIGINT";
    default:
      return "a stop request";
  }
}

// The console without a window: log lines to the stream; errors and message boxes as log lines.
class StreamView : public ConsoleView {
 public:
  explicit StreamView(std::ostream& log) : log_(log) {}
  void LogLineAppended(const std::string& line) override { log_ << line << std::endl; }
  void ShowMessage(const std::string& text, const std::string& title, MessageIcon) override {
    log_ << LogLine(title + ": " + text) << std::endl;
  }
  void ShowError(const std::string& text) override {
    log_ << LogLine("Error: " + text) << std::endl;
  }

 private:
  std::ostream& log_;
};

}  // namespace

std::string UsageText() {
  return "usage: dataserver [--headless] [--app-dir DIR]\n"
         "  --headless     run without a window; log lines go to standard output\n"
         "  --app-dir DIR  use DIR as the application folder (default: the executable's folder)\n";
}

CommandLine ParseCommandLine(int argc, const char* const* argv) {
  CommandLine options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg(argv[i]);
    if (arg == "--headless") {
      options.headless = true;
    } else if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--app-dir") {
      if (i + 1 >= argc) throw common::Error("--app-dir needs a folder name");
      options.app_dir = argv[++i];
    } else if (arg.substr(0, 10) == "--app-dir=") {
      options.app_dir = std::string(arg.substr(10));
    } else {
      throw common::Error("unknown option \"" + std::string(arg) + "\"");
    }
  }
  return options;
}

std::string LogLine(std::string_view text) {
  const common::DateTimeParts now = common::NowLocalParts();
  char stamp[16];
  std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d", now.hour, now.minute, now.second);
  return std::string(stamp) + std::string(text);
}

void BlockTerminationSignals() {
  const sigset_t set = TerminationSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int WaitForTerminationSignal() {
  const sigset_t set = TerminationSignals();
  int sig = 0;
  while (sigwait(&set, &sig) != 0) {
  }
  return sig;
}

int RunHeadless(const CommandLine& options, std::ostream& log, std::ostream& errors,
                const std::function<int()>& wait_for_stop) {
  auto write_log = [&log](std::string_view text) { log << LogLine(text) << std::endl; };
  try {
    // The application folder is fixed first: the connection pool reads DataBase.CFG from it.
    const std::string app_folder = ResolveApplicationFolder(options.app_dir);
    // Armed once the stop begins; it outlives the singletons, whose end closes connections.
    std::optional<StopDeadline> deadline;

    // 1. Process singletons: the pools, then the instance pool bound to TServerModule1.
    ProcessSingletons singletons(app_folder);

    // 2. The settings (what the console window's creation does).
    const ServerSettings settings = LoadSettings(app_folder);
    if (!settings.code_page.empty() && !common::SetAnsiCodePage(settings.code_page)) {
      write_log("Unknown CodePage \"" + settings.code_page + "\" in " + kSettingsFileName +
                ": using " + common::AnsiCodePage().name());
    }
    singletons.context.max_client_connections = kMaxClientConnections;
    write_log(settings.caption + ": started without a window; application folder " + app_folder +
              ", ANSI code page " + common::AnsiCodePage().name());
    if (const std::string swept = singletons.UploadSweepReport(); !swept.empty()) write_log(swept);

    // 3. The service, on this thread as the user-interface thread. A service that cannot start
    //    is reported, and the process runs on without it.
    UiQueue ui;
    StreamView view(log);
    ServiceConsole form(ui, view, settings);
    form.set_log_limit(kHeadlessLogLimit);
    int sig = 0;
    {
      TServerContainer1 container(form, singletons.instance_pool, singletons.context);
      if (container.Started()) {
        const protocol::TRSTCPServerTransport& transport = container.RSTCPServerTransport1;
        std::string where;
        if (settings.network.listen_addresses.empty()) {
          where = transport.BindingCount() > 1 ? " (IPv4 and IPv6)" : " (IPv4)";
        } else {
          for (const std::string& address : transport.BoundAddresses()) {
            where += (where.empty() ? " (" : ", ") + address;
          }
          where += ")";
        }
        write_log("Serving on port " + std::to_string(transport.BoundPort()) + where);
      } else {
        write_log("The service is stopped: no client can connect");
      }

      // 4. Serve until told to stop; then the exit path: the service stops, the container
      //    goes, the singletons go last, in reverse order.
      bool stop = false;
      std::thread waiter([&] {
        const int s = wait_for_stop();
        ui.Post([&stop, &sig, s] {
          sig = s;
          stop = true;
        });
      });
      while (!stop) ui.WaitAndDrain(std::chrono::hours(1));
      waiter.join();
      write_log(std::string("Stopping on ") + SignalName(sig));
      const int bound = settings.shutdown_timeout_seconds;
      deadline.emplace(std::chrono::seconds(bound),
                       [&write_log, bound] { write_log(StopCutShortText(bound)); });
      container.DataModuleDestroy();
    }
    write_log("Stopped");
    return 0;
  } catch (const std::exception& e) {
    errors << "dataserver: " << e.what() << std::endl;
    return 1;
  }
}

}  // namespace host
