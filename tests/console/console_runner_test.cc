#include "console/console_runner.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

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

}  // namespace
}  // namespace console
