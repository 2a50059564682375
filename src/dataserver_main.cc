// dataserver [--headless] [--app-dir DIR] [--screenshot-dir DIR]: the server process. Without
// --headless it is the desktop program with the operator console, where that is built.
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "host/headless_runner.h"
#if DATASERVER_HAS_CONSOLE
#include "console/console_runner.h"
#endif

namespace {

constexpr char kScreenshotOption[] = "--screenshot-dir";

std::string Usage() {
  return host::UsageText() +
         "  --screenshot-dir DIR  show the console, save a picture of each tab in DIR, end\n";
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread exists, so that every thread inherits the mask and only sigwait sees them.
  host::BlockTerminationSignals();

  // The console's own option is taken out; the rest is the host's command line.
  std::optional<std::string> screenshot_dir;
  std::vector<const char*> host_args;
  host::CommandLine options;
  try {
    for (int i = 0; i < argc; ++i) {
      if (i > 0 && std::string_view(argv[i]) == kScreenshotOption) {
        if (i + 1 >= argc) throw common::Error(std::string(kScreenshotOption) + " needs a folder");
        screenshot_dir = argv[++i];
      } else {
        host_args.push_back(argv[i]);
      }
    }
    options = host::ParseCommandLine(static_cast<int>(host_args.size()), host_args.data());
    if (screenshot_dir && options.headless) {
      throw common::Error(std::string(kScreenshotOption) + " needs the console, not --headless");
    }
  } catch (const common::Error& e) {
    std::cerr << "dataserver: " << e.what() << "\n" << Usage();
    return 2;
  }
  if (options.help) {
    std::cout << Usage();
    return 0;
  }
  if (!options.headless) {
#if DATASERVER_HAS_CONSOLE
    console::ConsoleMode mode;
    mode.screenshot_dir = screenshot_dir;
    return console::RunConsole(options, mode, argc, argv, std::cerr);
#else
    if (screenshot_dir) {
      std::cerr << "dataserver: this build has no console to take pictures of\n";
      return 2;
    }
    std::cerr << "dataserver: this build has no desktop console; running without a window "
                 "(as with --headless)\n";
#endif
  }
  return host::RunHeadless(options, std::cout, std::cerr, host::WaitForTerminationSignal);
}
