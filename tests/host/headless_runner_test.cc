#include "host/headless_runner.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "client/connection.h"
#include "client/payload.h"
#include "client/server_module1.h"
#include "common/error.h"

namespace host {
namespace {

namespace fs = std::filesystem;

TEST(HeadlessRunner, ParsesTheCommandLine) {
  struct Case {
    std::vector<const char*> args;
    bool headless;
    std::optional<std::string> app_dir;
  } cases[] = {
      {{"dataserver"}, false, std::nullopt},
      {{"dataserver", "--headless"}, true, std::nullopt},
      {{"dataserver", "--app-dir", "/srv/app", "--headless"}, true, "/srv/app"},
      {{"dataserver", "--app-dir=rel/dir"}, false, "rel/dir"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.size());
    const CommandLine cl = ParseCommandLine(static_cast<int>(c.args.size()), c.args.data());
    EXPECT_EQ(cl.headless, c.headless);
    EXPECT_EQ(cl.app_dir, c.app_dir);
  }
  const std::vector<std::vector<const char*>> bad = {{"dataserver", "--app-dir"},
                                                     {"dataserver", "--port", "1"}};
  for (const auto& args : bad) {
    EXPECT_THROW(ParseCommandLine(static_cast<int>(args.size()), args.data()), common::Error);
  }
}

TEST(HeadlessRunner, LogLinesBeginWithTheLocalTime) {
  EXPECT_TRUE(std::regex_match(LogLine("->1.2.3.4:5 连接成功!"),
                               std::regex("[0-2][0-9]:[0-5][0-9]:[0-5][0-9]->1\\.2\\.3\\.4:5 .*")));
}

class HeadlessRunnerTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/headless-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    folder_ = std::string(tmpl) + "/";
  }
  void TearDown() override { fs::remove_all(folder_); }

  std::string folder_;
};

TEST_F(HeadlessRunnerTest, StartsWithTheFolderAndSettingsThenStopsCleanly) {
  std::ofstream(folder_ + "CONFIG.CFG") << "[CONFIG]\nCaption=测试\nSVROPENPORT=0\n";
  CommandLine options;
  options.headless = true;
  options.app_dir = folder_;
  std::ostringstream log, errors;
  bool waited = false;
  const int rc = RunHeadless(options, log, errors, [&] {
    waited = true;
    return SIGTERM;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(waited);
  EXPECT_EQ(errors.str(), "");
  const std::string text = log.str();
  EXPECT_NE(text.find("测试: started without a window; application folder " + folder_),
            std::string::npos)
      << text;
  EXPECT_TRUE(std::regex_search(text, std::regex("Serving on port [1-9][0-9]* \\(IPv4"))) << text;
  EXPECT_NE(text.find("Stopping on SIGTERM\n"), std::string::npos) << text;
  // Nothing is written on this path: CONFIG.CFG stays the only file.
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), {}), 1);
}

TEST_F(HeadlessRunnerTest, PortThatIsNoIntegerKeepsTheServiceStopped) {
  std::ofstream(folder_ + "CONFIG.CFG") << "[CONFIG]\nSVROPENPORT=twelve\n";
  CommandLine options;
  options.app_dir = folder_;
  std::ostringstream log, errors;
  EXPECT_EQ(RunHeadless(options, log, errors, [] { return SIGINT; }), 0);
  EXPECT_NE(log.str().find("Error: 'twelve' is not a valid integer value\n"), std::string::npos)
      << log.str();
  EXPECT_NE(log.str().find("The service is stopped: no client can connect\n"), std::string::npos);
}

TEST_F(HeadlessRunnerTest, MissingApplicationFolderFailsStartUp) {
  CommandLine options;
  options.app_dir = folder_ + "missing";
  std::ostringstream log, errors;
  bool waited = false;
  const int rc = RunHeadless(options, log, errors, [&] {
    waited = true;
    return SIGTERM;
  });
  EXPECT_EQ(rc, 1);
  EXPECT_FALSE(waited);
  EXPECT_NE(errors.str().find("does not exist"), std::string::npos) << errors.str();
}

// The real executable: started headless, it serves clients on the configured port (the
// database-properties command, GetServerDateTime, the file store), logs their arrival and
// departure, and SIGTERM or SIGINT end it with exit code 0.
TEST_F(HeadlessRunnerTest, ExecutableServesClientsAndExitsZeroOnTerminationSignals) {
  std::ofstream(folder_ + "CONFIG.CFG") << "[CONFIG]\nSVROPENPORT=0\n";
  fs::create_directory(folder_ + "Upload");
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::close(out[0]);
      ::close(out[1]);
      ::execl(DATASERVER_EXE, DATASERVER_EXE, "--headless", "--app-dir", folder_.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(out[1]);
    std::string output;
    char buf[512];
    auto read_until = [&](const std::regex& re, std::smatch* match) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (std::chrono::steady_clock::now() < deadline) {
        if (std::regex_search(output, *match, re)) return true;
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        output.append(buf, static_cast<size_t>(n));
      }
      return std::regex_search(output, *match, re);
    };
    std::smatch match;
    ASSERT_TRUE(read_until(std::regex("Serving on port ([0-9]+)"), &match)) << output;
    const auto port = static_cast<uint16_t>(std::stoi(match[1].str()));
    EXPECT_NE(output.find("started without a window"), std::string::npos) << output;

    client::Connection c(client::LoginOptions("127.0.0.1", port, "admin", "tulip"));
    c.Open();
    EXPECT_EQ(c.GetDatabase().ProductName, u"RemoteDB");
    {
      client::ServerModule1 server(c);
      EXPECT_EQ(server.GetServerDateTime().reg, 1000);
      const common::Bytes data = {'h', 'e', 'l', 'l', 'o'};
      EXPECT_TRUE(server.UploadFile(client::CompressedPayload(data), "hello.txt"));
      EXPECT_EQ(
          client::DecompressPayload(*client::PayloadBytes(server.DownLoadFile("hello.txt").data)),
          data);
    }
    c.Close();
    ASSERT_TRUE(read_until(std::regex("->127\\.0\\.0\\.1:[0-9]+ 主动断开!"), &match)) << output;
    EXPECT_TRUE(std::regex_search(
        output, std::regex("[0-2][0-9]:[0-5][0-9]:[0-5][0-9]->127\\.0\\.0\\.1:[0-9]+ 连接成功!")));

    ::kill(pid, sig);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    while (true) {
      const ssize_t n = ::read(out[0], buf, sizeof buf);
      if (n <= 0) break;
      output.append(buf, static_cast<size_t>(n));
    }
    ::close(out[0]);
    ASSERT_TRUE(WIFEXITED(status)) << output;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(output.find("Stopped\n"), std::string::npos) << output;
  }
}

}  // namespace
}  // namespace host
