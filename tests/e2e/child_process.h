// A child process (a built executable or a script) whose standard output and error come back
// through one pipe, read line by line; killed at the end of the test if still running.
//
// Threads: one test thread at a time.
#ifndef DATASERVER_TESTS_E2E_CHILD_PROCESS_H_
#define DATASERVER_TESTS_E2E_CHILD_PROCESS_H_

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <regex>
#include <string>
#include <vector>

extern char** environ;

namespace e2e {

// A child process whose standard output and error come back through one pipe.
class Process {
 public:
  Process(const std::vector<std::string>& args, const std::vector<std::string>& extra_env) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    std::vector<char*> argv, envp;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    out_ = fds[0];
  }
  ~Process() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
  }

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // Reads output until a line matches `pattern` (its first group is returned) or `ms` pass.
  std::optional<std::string> WaitForLine(const std::string& pattern, int ms) {
    const std::regex re(pattern);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      size_t eol;
      while ((eol = pending_.find('\n')) != std::string::npos) {
        const std::string line = pending_.substr(0, eol);
        pending_.erase(0, eol + 1);
        output_ += line + "\n";
        std::smatch m;
        if (std::regex_search(line, m, re)) return m.size() > 1 ? m[1].str() : line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count()))) return std::nullopt;
    }
  }
  // Everything up to the end of the output, and the exit code (-1 when it did not end in `ms`).
  int Finish(int ms = 60000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return -1;
      if (!ReadSome(static_cast<int>(left.count()))) break;
    }
    output_ += pending_;
    pending_.clear();
    int status = 0;
    if (::waitpid(pid_, &status, 0) != pid_) return -1;
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  const std::string& output() const { return output_; }

 private:
  // False at the end of the output or when nothing came within `ms`.
  bool ReadSome(int ms) {
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return false;
    char buffer[4096];
    const ssize_t n = ::read(out_, buffer, sizeof buffer);
    if (n <= 0) return false;
    pending_.append(buffer, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  bool exited_ = false;
  std::string pending_;
  std::string output_;
};

}  // namespace e2e

#endif  // DATASERVER_TESTS_E2E_CHILD_PROCESS_H_
