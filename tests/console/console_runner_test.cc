#include "console/console_runner.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

namespace console {
namespace {

// Sets or clears an environment variable for the length of a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(ConsoleRunner, ADisplayOrAChosenPlatformIsNeeded) {
  ScopedEnv display("DISPLAY", nullptr);
  ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
  ScopedEnv platform("QT_QPA_PLATFORM", nullptr);
  EXPECT_FALSE(DisplayAvailable());
  {
    ScopedEnv empty("DISPLAY", "");
    EXPECT_FALSE(DisplayAvailable());
  }
  const char* names[] = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    ScopedEnv set(name, ":99");
    EXPECT_TRUE(DisplayAvailable());
  }
}

TEST(ConsoleRunner, WithoutADisplayTheProgramPointsToHeadlessAndFails) {
  const std::string command = std::string("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ") +
                              DATASERVER_EXE + " --app-dir /tmp 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  std::array<char, 256> buffer;
  while (size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe))
    output.append(buffer.data(), n);
  const int status = ::pclose(pipe);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(output.find("--headless"), std::string::npos) << output;
}

TEST(ConsoleRunner, TerminationSignalEndsTheDesktopProgramLikeTheExitItem) {
  char tmpl[] = "/tmp/console-run-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::string folder = tmpl;
  std::ofstream(folder + "/CONFIG.CFG") << "[CONFIG]\r\nSVROPENPORT=0\r\n";
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
    ::execl(DATASERVER_EXE, DATASERVER_EXE, "--app-dir", folder.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  int status = 0;
  pid_t done = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while ((done = ::waitpid(pid, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (done == 0) ::kill(pid, SIGKILL), ::waitpid(pid, &status, 0);
  std::filesystem::remove_all(folder);
  ASSERT_EQ(done, pid) << "the program did not end on SIGTERM";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace console
