// The server without a window: the start-up sequence, a wait for SIGTERM or SIGINT (which act
// as the tray's exit item), and the exit path. Log lines go to a stream, each the local time as
// "hh:nn:ss" followed directly by the event text.
//
// Threads: everything here runs on the main thread. The termination signals are blocked in
// every thread (the mask is inherited) and taken synchronously by sigwait, so no handler runs
// in the middle of other work.
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

// Runs start-up (process singletons, then the application folder and CONFIG.CFG), calls
// `wait_for_stop` (which returns the signal that ended the wait), then the exit path. Returns
// the process exit code: 0 after an orderly stop, 1 when start-up fails (reason on `errors`).
int RunHeadless(const CommandLine& options, std::ostream& log, std::ostream& errors,
                const std::function<int()>& wait_for_stop);

}  // namespace host

#endif  // DATASERVER_HOST_HEADLESS_RUNNER_H_
