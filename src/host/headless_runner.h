// The server without a window: the start-up sequence, the service serving clients until SIGTERM
// or SIGINT (which act as the tray's exit item: the service stops and the process ends with exit
// code 0). Log lines go to a stream, each the local time as "hh:nn:ss" followed directly by the
// event text: the console's log lines (arrivals, departures) and the runner's own.
//
// Threads: the main thread is the user-interface thread: it runs start-up, then drains the
// hand-overs of connection threads (UiQueue) until the stop request arrives, then stops the
// service. The wait for the termination signal runs on a helper thread that posts the stop to
// the main thread. The termination signals are blocked in every thread (the mask is inherited)
// and taken synchronously by sigwait, so no handler runs in the middle of other work.
#ifndef DATASERVER_HOST_HEADLESS_RUNNER_H_
#define DATASERVER_HOST_HEADLESS_RUNNER_H_

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace host {

// The connection limit the service starts with (the console's read-only field).
inline constexpr int kMaxClientConnections = 1000;

// dataserver [--headless] [--app-dir DIR]
struct CommandLine {
  bool headless = false;
  bool help = false;
  std::optional<std::string> app_dir;
};

// Throws common::Error (its text fit for the user, followed by UsageText()) on an unknown
// option or a missing folder name.
CommandLine ParseCommandLine(int argc, const char* const* argv);
std::string UsageText();

// "hh:nn:ss" of the current local time followed directly by `text`.
std::string LogLine(std::string_view text);

// Blocks SIGTERM and SIGINT for the calling thread and the threads it creates afterwards. Call
// first thing in main.
void BlockTerminationSignals();
// Waits until SIGTERM or SIGINT arrives; returns its number.
int WaitForTerminationSignal();

// Most log lines kept in memory without a window (the log also goes to the stream).
inline constexpr size_t kHeadlessLogLimit = 1000;

// Runs start-up (the application folder, the process singletons, CONFIG.CFG, then the service
// on the configured port), serves until `wait_for_stop` returns (it runs on a helper thread and
// returns the signal that ended the wait), then the exit path. A service that cannot start
// (a port that is no integer, a port that cannot be listened on) is logged and the process goes
// on without it, as with a window. Returns the process exit code: 0 after an orderly stop, 1
// when start-up fails (reason on `errors`).
int RunHeadless(const CommandLine& options, std::ostream& log, std::ostream& errors,
                const std::function<int()>& wait_for_stop);

}  // namespace host

#endif  // DATASERVER_HOST_HEADLESS_RUNNER_H_
