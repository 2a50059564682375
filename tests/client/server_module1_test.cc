#include "client/server_module1.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "client/payload.h"
#include "common/datetime.h"
#include "common/text.h"
#include "pools/instance_pool.h"
#include "protocol/compression_filter.h"
#include "protocol/rs_server.h"
#include "protocol/tcp_transport.h"
#include "service/server_module.h"

namespace client {
namespace {

namespace fs = std::filesystem;

// The real TServerModule1, lent by an instance pool, on a free port, with a temporary
// application folder.
class ServerModule1Test : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/client-sm1-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    folder_ = std::string(tmpl) + "/";
    fs::create_directory(folder_ + "Upload");
    context_.app_folder = folder_;
    context_.max_client_connections = 1000;
    pool_.SetInstanceClass(service::ServerModuleInstanceClass(context_));
    transport_.Port = 0;
    auto filter = std::make_unique<protocol::TTransportCompressionFilter>();
    transport_.Filters.push_back(std::move(filter));
    server_.AddServerClass(class_);
    server_.SetTransport(&transport_);
    server_.Start();
    connection_ = std::make_unique<Connection>(
        LoginOptions("127.0.0.1", transport_.BoundPort(), "admin", "tulip"));
    connection_->Open();
    module_ = std::make_unique<ServerModule1>(*connection_);
  }
  void TearDown() override {
    module_.reset();
    connection_.reset();
    server_.Stop();
    fs::remove_all(folder_);
  }

  std::string folder_;
  service::ServiceContext context_;
  pools::TPoolManager pool_;
  service::TServerModule1Class class_{pool_};
  protocol::TRSTCPServerTransport transport_;
  protocol::TRSServer server_;
  std::unique_ptr<Connection> connection_;
  std::unique_ptr<ServerModule1> module_;
};

TEST_F(ServerModule1Test, ServerDateTimeAndTheConnectionLimit) {
  const double before = common::NowLocal();
  const ServerDateTime t = module_->GetServerDateTime();
  EXPECT_EQ(t.reg, 1000);
  EXPECT_GE(t.date_time, before - 1.0 / 86400);
  EXPECT_LE(t.date_time, common::NowLocal() + 1.0 / 86400);
  // The same command serves a second call.
  EXPECT_EQ(module_->GetServerDateTime().reg, 1000);
  EXPECT_EQ(pool_.InUseCount(), 1u);
}

TEST_F(ServerModule1Test, UploadFolderRoundTrip) {
  common::Bytes data(1 << 20);  // large enough to travel in pieces both ways once compressed
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
  EXPECT_TRUE(module_->UploadFile(CompressedPayload(data), "big.bin"));
  const UploadList list = module_->CheckUpload();
  EXPECT_EQ(list.count, 1);
  EXPECT_EQ(list.file_names, "big.bin");
  EXPECT_EQ(list.sizes, std::to_string(data.size()));
  const DownloadResult down = module_->DownLoadFile("big.bin");
  ASSERT_TRUE(down.data.IsByteArray());
  EXPECT_EQ(DecompressPayload(*PayloadBytes(down.data)), data);
  EXPECT_EQ(down.size, static_cast<int32_t>(data.size()));
  // A missing file: null, and Size (left unwritten by the method) arrives as 0.
  const DownloadResult missing = module_->DownLoadFile("none.bin");
  EXPECT_TRUE(missing.data.IsNull());
  EXPECT_EQ(missing.size, 0);
  // A payload that is no compressed data is not stored.
  EXPECT_FALSE(module_->UploadFile(BytesPayload(data), "raw.bin"));
}

TEST_F(ServerModule1Test, ClientFoldersRoundTrip) {
  const common::Bytes data = {'h', 'i', 0, 0xFF};
  EXPECT_EQ(module_->PostData(BytesPayload(data), "docs\\sub", "a.dat"), "");
  const DataResult read = module_->ReadData("docs/sub", "a.dat");
  EXPECT_EQ(read.err_msg, "");
  EXPECT_EQ(*PayloadBytes(read.data), data);
  EXPECT_EQ(*PayloadBytes(module_->FindFiles("docs/sub", "*.dat")),
            (common::Bytes{'a', '.', 'd', 'a', 't', '\r', '\n'}));
  EXPECT_EQ(module_->DeleteData("docs/sub", "a.dat"), "");
  EXPECT_TRUE(module_->ReadData("docs/sub", "a.dat").data.IsNull());
  // A path that would leave the application folder is refused.
  EXPECT_NE(module_->PostData(BytesPayload(data), "../outside", "x"), "");
  EXPECT_FALSE(fs::exists(fs::path(folder_).parent_path().parent_path() / "outside"));
}

}  // namespace
}  // namespace client
