#include "dataclient/server_commands.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/error.h"
#include "pools/instance_pool.h"
#include "protocol/compression_filter.h"
#include "protocol/rs_server.h"
#include "protocol/tcp_transport.h"
#include "service/server_module.h"

namespace dataclient {
namespace {

namespace fs = std::filesystem;

// The real TServerModule1 on a free port, admitting "admin"/"tulip" only.
class ServerCommandsTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/dataclient-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    folder_ = std::string(tmpl) + "/";
    fs::create_directory(folder_ + "Upload");
    context_.app_folder = folder_;
    pool_.SetInstanceClass(service::ServerModuleInstanceClass(context_));
    transport_.Port = 0;
    transport_.Filters.push_back(std::make_unique<protocol::TTransportCompressionFilter>());
    server_.AddServerClass(class_);
    server_.SetTransport(&transport_);
    server_.OnConnect = [](const protocol::TRSConnectEventObject& e) {
      if (e.ConnectProperties.Get("Password") != "tulip") {
        throw common::Error("Exception", "认证失败！非法的接入用户，连接被拒绝！");
      }
    };
    server_.Start();
  }
  void TearDown() override {
    server_.Stop();
    fs::remove_all(folder_);
  }

  // Runs `run` with `args` and the port option; returns the exit code.
  int Run(int (*run)(const std::vector<std::string>&, CommandIo&), std::vector<std::string> args) {
    out_.str("");
    err_.str("");
    args.insert(args.begin(), {"--port", std::to_string(transport_.BoundPort())});
    CommandIo io{in_, out_, err_};
    return run(args, io);
  }

  std::string folder_;
  service::ServiceContext context_;
  pools::TPoolManager pool_;
  service::TServerModule1Class class_{pool_};
  protocol::TRSTCPServerTransport transport_;
  protocol::TRSServer server_;
  std::istringstream in_;
  std::ostringstream out_;
  std::ostringstream err_;
};

TEST_F(ServerCommandsTest, GetDatabaseAndDateTimePrintWhatTheServerSays) {
  EXPECT_EQ(Run(RunGetDatabase, {}), 0) << err_.str();
  EXPECT_NE(out_.str().find("ProductName = RemoteDB\n"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("MaxCommands = 2147483647\n"), std::string::npos);
  EXPECT_EQ(Run(RunDateTime, {}), 0) << err_.str();
  EXPECT_NE(out_.str().find("maximum client connections: 1000"), std::string::npos);
}

TEST_F(ServerCommandsTest, UploadThenDownloadGivesTheSameBytes) {
  const std::string local = folder_ + "local.bin";
  std::string data(100000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31 % 253);
  std::ofstream(local, std::ios::binary) << data;
  EXPECT_EQ(Run(RunUpload, {local, "copy.bin"}), 0) << err_.str();
  EXPECT_EQ(out_.str(), "uploaded copy.bin (100000 bytes)\n");
  EXPECT_TRUE(fs::exists(folder_ + "Upload/copy.bin"));
  EXPECT_EQ(Run(RunDownload, {"copy.bin", "-"}), 0) << err_.str();
  EXPECT_EQ(out_.str(), data);
  const std::string back = folder_ + "back.bin";
  EXPECT_EQ(Run(RunDownload, {"copy.bin", back}), 0);
  std::ifstream in(back, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), data);
}

TEST_F(ServerCommandsTest, FailuresHaveMessagesAndExitCodes) {
  struct Case {
    int (*run)(const std::vector<std::string>&, CommandIo&);
    std::vector<std::string> args;
    int code;
    std::string message;
  } cases[] = {
      {RunDownload, {"missing.bin"}, 1, "the server has no file missing.bin"},
      {RunUpload, {"/nonexistent/file"}, 1, "cannot read /nonexistent/file"},
      {RunDateTime,
       {"--password", "wrong"},
       1,
       "the server answered Exception (5): Remote error: 认证失败！非法的接入用户，连接被拒绝！"},
      {RunExec, {}, 2, "wrong number of arguments"},
      {RunQuery, {"select 1", "--out"}, 2, "--out needs a file name"},
      {RunGetDatabase, {"--host"}, 2, "--host needs a value"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(Run(c.run, c.args), c.code);
    EXPECT_NE(err_.str().find(c.message), std::string::npos) << err_.str();
  }
  std::vector<std::string> args = {"--port", "70000"};
  EXPECT_THROW(TakeServerOptions(args), std::invalid_argument);
  // Nothing listens on a stopped server's port.
  server_.Stop();
  EXPECT_EQ(Run(RunGetDatabase, {}), 1);
  EXPECT_NE(err_.str().find("Cannot connect to 127.0.0.1:"), std::string::npos) << err_.str();
}

}  // namespace
}  // namespace dataclient
