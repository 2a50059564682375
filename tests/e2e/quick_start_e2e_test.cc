// The README's database examples, as a user runs them: scripts/run-server.sh starts the built
// dataserver on a fresh application folder (creating the SQLite demo database on first run, or
// serving the PostgreSQL database its DataBase.CFG names), and the built dataclient asks it
// questions. The executables and scripts are the real ones; only the port is a free one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "pools/db_test_support.h"

extern char** environ;

namespace e2e {
namespace {

namespace fs = std::filesystem;

constexpr char kSourceDir[] = DATASERVER_SOURCE_DIR;
constexpr char kBuildDir[] = DATASERVER_BUILD_DIR;

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

class QuickStart : public ::testing::Test {
 protected:
  void SetUp() override {
    app_ = dir_.path() / "app";
    fs::create_directories(app_);
    // A free port; run-server.sh never changes an existing CONFIG.CFG.
    std::ofstream(app_ / "CONFIG.CFG") << "[CONFIG]\nSVROPENPORT=0\n";
  }

  // scripts/run-server.sh on the application folder, without building; the port it serves on.
  std::optional<std::string> RunServer() {
    server_ = std::make_unique<Process>(
        std::vector<std::string>{"/bin/bash", std::string(kSourceDir) + "/scripts/run-server.sh"},
        std::vector<std::string>{"BUILD_DIR=" + std::string(kBuildDir), "APP_DIR=" + app_.string(),
                                 "SKIP_BUILD=1"});
    if (!server_->started()) return std::nullopt;
    return server_->WaitForLine("Serving on port ([0-9]+)", 60000);
  }
  // SIGTERM, as Ctrl-C would; the exit code.
  int StopServer() {
    ::kill(server_->pid(), SIGTERM);
    return server_->Finish();
  }

  struct Run {
    int exit_code;
    std::string output;
  };
  Run Dataclient(const std::string& port, std::vector<std::string> args) {
    args.insert(args.begin(),
                {std::string(kBuildDir) + "/tools/dataclient/dataclient", "--port", port});
    Process p(args, {});
    const int rc = p.Finish();
    return {rc, p.output()};
  }

  pools::testing::TempDir dir_;
  fs::path app_;
  std::unique_ptr<Process> server_;
};

TEST_F(QuickStart, DemoDatabaseIsCreatedOnFirstRunAndAnswersDataclient) {
  if (std::system("command -v sqlite3 >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "the sqlite3 command is missing (scripts/install-deps.sh installs it)";
  }
  const std::optional<std::string> port = RunServer();
  ASSERT_TRUE(port) << server_->output();
  EXPECT_NE(server_->output().find("create-demo-db: created"), std::string::npos);
  EXPECT_TRUE(fs::exists(app_ / "data.sqlite3"));

  // The README's query.
  const Run query =
      Dataclient(*port, {"query", "SELECT name, city, credit FROM customers WHERE vip = 1"});
  EXPECT_EQ(query.exit_code, 0) << query.output;
  for (const char* expected : {"\"张伟\"", "\"北京\"", "\"John Smith\"", "\"London\""}) {
    EXPECT_NE(query.output.find(expected), std::string::npos) << expected << "\n" << query.output;
  }
  EXPECT_EQ(query.output.find("李娜"), std::string::npos);

  // The demo's declared constraints hold.
  const Run orphan = Dataclient(
      *port, {"exec",
              "INSERT INTO orders (customer_id, product_code, quantity, amount, ordered_at) "
              "VALUES (42, 'TEA-001', 1, 168, '2025-01-01 00:00:00')"});
  EXPECT_EQ(orphan.exit_code, 1);
  EXPECT_NE(orphan.output.find("FOREIGN KEY constraint failed"), std::string::npos)
      << orphan.output;
  EXPECT_EQ(StopServer(), 0) << server_->output();

  // A second run keeps the database it made.
  ASSERT_TRUE(RunServer());
  EXPECT_EQ(server_->output().find("create-demo-db"), std::string::npos) << server_->output();
  EXPECT_EQ(StopServer(), 0);
}

TEST_F(QuickStart, PostgreSqlConfigurationFromTheReadme) {
  const std::optional<pools::ConnectionParams> pg = pools::testing::PgParams();
  if (!pg) GTEST_SKIP() << pools::testing::kPgSkipMessage;
  // The README's DataBase.CFG, with the test server's values.
  std::ofstream(app_ / "DataBase.CFG")
      << "DriverID=PG\r\nServer=" << pg->Value("Server") << "\r\nPort=" << pg->Value("Port")
      << "\r\nDatabase=" << pg->Value("Database") << "\r\nUser_Name=" << pg->Value("User_Name")
      << "\r\nPassword=" << pg->Value("Password") << "\r\n";
  const std::optional<std::string> port = RunServer();
  ASSERT_TRUE(port) << server_->output();
  EXPECT_FALSE(fs::exists(app_ / "data.sqlite3"));
  const Run query =
      Dataclient(*port, {"query", "SELECT current_database() AS db, 6 * 7 AS answer"});
  EXPECT_EQ(query.exit_code, 0) << query.output;
  EXPECT_NE(query.output.find("\"" + pg->Value("Database") + "\""), std::string::npos)
      << query.output;
  EXPECT_NE(query.output.find("42"), std::string::npos) << query.output;
  EXPECT_EQ(StopServer(), 0) << server_->output();
}

}  // namespace
}  // namespace e2e
