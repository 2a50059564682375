// dataserver [--headless] [--app-dir DIR]: the server process.
#include <iostream>

#include "common/error.h"
#include "host/headless_runner.h"

int main(int argc, char** argv) {
  // Before any thread exists, so that every thread inherits the mask and only sigwait sees them.
  host::BlockTerminationSignals();

  host::CommandLine options;
  try {
    options = host::ParseCommandLine(argc, argv);
  } catch (const common::Error& e) {
    std::cerr << "dataserver: " << e.what() << "\n" << host::UsageText();
    return 2;
  }
  if (options.help) {
    std::cout << host::UsageText();
    return 0;
  }
  if (!options.headless) {
    std::cerr << "dataserver: the desktop console is not built yet; running without a window "
                 "(as with --headless)\n";
  }
  return host::RunHeadless(options, std::cout, std::cerr, host::WaitForTerminationSignal);
}
