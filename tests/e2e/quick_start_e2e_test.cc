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

#include "e2e/child_process.h"
#include "pools/db_test_support.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

constexpr char kSourceDir[] = DATASERVER_SOURCE_DIR;
constexpr char kBuildDir[] = DATASERVER_BUILD_DIR;

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
