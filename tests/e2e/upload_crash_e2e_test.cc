// A server killed (SIGKILL) while it writes an upload over an existing file: the built dataserver
// on a fresh application folder, the client library uploading a large file, the kill as soon as
// the upload's temporary file appears. After a restart the old file is whole and readable, the
// temporary file is gone (the start-up sweep removed it and said so in the log), and CheckUpload
// answers as before the upload.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "client/connection.h"
#include "client/payload.h"
#include "client/server_module1.h"
#include "common/bytes.h"
#include "e2e/child_process.h"
#include "pools/db_test_support.h"
#include "service/server_files.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

constexpr char kBuildDir[] = DATASERVER_BUILD_DIR;
// Large enough that decompressing and writing it takes a while; it compresses to almost nothing.
constexpr size_t kLargeUploadSize = size_t{192} << 20;
constexpr char kOldContent[] = "the old version, which must survive";

bool IsTemporary(const fs::path& p) { return service::IsUploadTempName(p.filename().string()); }

size_t TemporaryCount(const fs::path& folder) {
  size_t n = 0;
  for (const fs::directory_entry& e : fs::directory_iterator(folder)) n += IsTemporary(e.path());
  return n;
}

class UploadCrash : public ::testing::Test {
 protected:
  void SetUp() override {
    app_ = dir_.path() / "app";
    fs::create_directories(app_ / "Upload");
    std::ofstream(app_ / "CONFIG.CFG") << "[CONFIG]\nSVROPENPORT=0\n";
    std::ofstream(app_ / "DataBase.CFG") << "DriverID=SQLite\r\nDatabase=data.sqlite3\r\n";
  }

  // Starts the real server; returns its port, with the sweep's log line (if any) in `swept`.
  uint16_t StartServer(std::string* swept = nullptr) {
    server_ = std::make_unique<Process>(
        std::vector<std::string>{std::string(kBuildDir) + "/src/dataserver", "--headless",
                                 "--app-dir", app_.string()},
        std::vector<std::string>{});
    EXPECT_TRUE(server_->started());
    const std::optional<std::string> port = server_->WaitForLine("Serving on port ([0-9]+)", 60000);
    EXPECT_TRUE(port.has_value()) << server_->output();
    if (swept != nullptr) {
      const std::string& out = server_->output();
      const size_t at = out.find("Removed ");
      *swept = at == std::string::npos ? "" : out.substr(at, out.find('\n', at) - at);
    }
    return port ? static_cast<uint16_t>(std::stoi(*port)) : 0;
  }

  std::unique_ptr<client::Connection> Connect(uint16_t port) {
    auto c = std::make_unique<client::Connection>(
        client::LoginOptions("127.0.0.1", port, "admin", "tulip"));
    c->Open();
    return c;
  }

  pools::testing::TempDir dir_;
  fs::path app_;
  std::unique_ptr<Process> server_;
};

TEST_F(UploadCrash, KilledMidUploadKeepsTheOldFileAndLeavesNoTemporaryFile) {
  uint16_t port = StartServer();
  ASSERT_NE(port, 0);
  client::UploadList before;
  {
    auto connection = Connect(port);
    client::ServerModule1 module(*connection);
    ASSERT_TRUE(
        module.UploadFile(client::CompressedPayload(common::AsBytes(kOldContent)), "big.bin"));
    before = module.CheckUpload();
  }
  ASSERT_EQ(before.count, 1);
  const fs::path old_file = app_ / "Upload" / "big.bin";
  const fs::file_time_type old_time = fs::last_write_time(old_file);
  const common::Variant large = client::CompressedPayload(common::Bytes(kLargeUploadSize, 'x'));

  // The kill must land while the temporary file exists; a fast machine may finish first, so a
  // few tries (the old file is put back between them).
  bool killed_mid_upload = false;
  for (int attempt = 0; attempt < 5 && !killed_mid_upload; ++attempt) {
    SCOPED_TRACE("attempt " + std::to_string(attempt));
    if (attempt > 0) {
      port = StartServer();
      ASSERT_NE(port, 0);
      std::ofstream(old_file, std::ios::binary | std::ios::trunc) << kOldContent;
      fs::last_write_time(old_file, old_time);
    }
    const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, (app_ / "Upload").c_str(), IN_CREATE), 0);

    std::thread uploader([&] {
      try {
        auto connection = Connect(port);
        client::ServerModule1 module(*connection);
        module.UploadFile(large, "big.bin");
      } catch (const std::exception&) {
        // The server died under the call.
      }
    });
    // Waits for the creation of the temporary file, then kills at once.
    alignas(inotify_event) char buffer[4096];
    bool created = false;
    while (!created) {
      pollfd ready{watch, POLLIN, 0};
      if (::poll(&ready, 1, 60000) <= 0) break;
      const ssize_t n = ::read(watch, buffer, sizeof buffer);
      if (n <= 0) break;
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->len > 0 && IsTemporary(event->name)) created = true;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    ::kill(server_->pid(), SIGKILL);
    EXPECT_EQ(server_->Finish(), 128 + SIGKILL);
    uploader.join();
    ::close(watch);
    ASSERT_TRUE(created);
    killed_mid_upload = TemporaryCount(app_ / "Upload") == 1;
  }
  ASSERT_TRUE(killed_mid_upload) << "the upload always finished before the kill";

  std::string swept;
  port = StartServer(&swept);
  ASSERT_NE(port, 0);
  EXPECT_NE(swept.find("Removed 1 temporary file"), std::string::npos) << server_->output();
  EXPECT_NE(swept.find((app_ / "Upload").string() + "/.dataserver-upload-"), std::string::npos)
      << swept;
  EXPECT_EQ(TemporaryCount(app_ / "Upload"), 0u);

  auto connection = Connect(port);
  client::ServerModule1 module(*connection);
  const client::DownloadResult old = module.DownLoadFile("big.bin");
  ASSERT_FALSE(old.data.IsNull());
  EXPECT_EQ(old.size, static_cast<int32_t>(sizeof kOldContent - 1));
  const std::optional<common::Bytes> compressed = client::PayloadBytes(old.data);
  ASSERT_TRUE(compressed.has_value());
  const common::Bytes content = client::DecompressPayload(*compressed);
  EXPECT_EQ(std::string(content.begin(), content.end()), kOldContent);

  const client::UploadList after = module.CheckUpload();
  EXPECT_EQ(after.count, before.count);
  EXPECT_EQ(after.file_names, before.file_names);
  EXPECT_EQ(after.file_times, before.file_times);
  EXPECT_EQ(after.sizes, before.sizes);
}

}  // namespace
}  // namespace e2e
