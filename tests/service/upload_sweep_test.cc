#include "service/upload_sweep.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "pools/db_test_support.h"

namespace service {
namespace {

namespace fs = std::filesystem;
using pools::testing::WriteFile;

// root/app with leftovers at several depths, names that only look like them, a leftover an
// upload in progress still holds locked, and a link to a folder outside holding a leftover.
class UploadSweep : public testing::Test {
 protected:
  void SetUp() override {
    app_ = fs::canonical(dir_.path()) / "app";
    fs::create_directories(app_ / "Upload");
    fs::create_directories(app_ / "clients" / "acme" / "2024");
    fs::create_directories(dir_ / "outside");
  }
  std::vector<std::string> Sweep(const UploadSweepLimits& limits = {}) {
    std::vector<std::string> removed = SweepUploadLeftovers(app_.string() + "/", {}, limits);
    std::sort(removed.begin(), removed.end());
    return removed;
  }

  pools::testing::TempDir dir_;
  fs::path app_;
};

TEST_F(UploadSweep, RemovesStaleTemporaryFilesOnly) {
  const fs::path stale[] = {app_ / ".dataserver-upload-aaaaaa",
                            app_ / "Upload" / ".dataserver-upload-bbbbbb",
                            app_ / "clients" / "acme" / "2024" / ".dataserver-upload-cccccc"};
  for (const fs::path& p : stale) WriteFile(p, "partial");
  const fs::path kept[] = {
      app_ / "Upload" / "report.pdf", app_ / "Upload" / ".dataserver-upload-abc",
      app_ / "Upload" / ".dataserver-upload-abcdef.txt",
      app_ / "Upload" / "dataserver-upload-abcdef", dir_ / "outside" / ".dataserver-upload-dddddd"};
  for (const fs::path& p : kept) WriteFile(p, "keep");
  fs::create_directory(app_ / "Upload" / ".dataserver-upload-folder");
  fs::create_directory_symlink(dir_ / "outside", app_ / "Upload" / "linked");
  fs::create_symlink(dir_ / "outside" / ".dataserver-upload-dddddd",
                     app_ / ".dataserver-upload-linked");

  std::vector<std::string> expected;
  for (const fs::path& p : stale) expected.push_back(p.string());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Sweep(), expected);
  for (const fs::path& p : stale) EXPECT_FALSE(fs::exists(p)) << p;
  for (const fs::path& p : kept) EXPECT_TRUE(fs::exists(p)) << p;
  EXPECT_TRUE(fs::is_directory(app_ / "Upload" / ".dataserver-upload-folder"));
  EXPECT_TRUE(fs::is_symlink(app_ / ".dataserver-upload-linked"));
}

// Another server sharing the folder is writing this one: its lock keeps it.
TEST_F(UploadSweep, KeepsAFileAnUploadHoldsLocked) {
  const fs::path busy = app_ / "Upload" / ".dataserver-upload-inprog";
  WriteFile(busy, "partial");
  const int fd = ::open(busy.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  EXPECT_TRUE(Sweep().empty());
  EXPECT_TRUE(fs::exists(busy));
  ::close(fd);  // the writer died: now it is a leftover
  EXPECT_EQ(Sweep(), std::vector<std::string>{busy.string()});
}

TEST_F(UploadSweep, StaysWithinItsBounds) {
  WriteFile(app_ / "clients" / "acme" / "2024" / ".dataserver-upload-deeper", "partial");
  WriteFile(app_ / "clients" / ".dataserver-upload-within", "partial");
  UploadSweepLimits shallow;
  shallow.max_depth = 1;
  EXPECT_EQ(Sweep(shallow),
            std::vector<std::string>{(app_ / "clients" / ".dataserver-upload-within").string()});
  EXPECT_TRUE(fs::exists(app_ / "clients" / "acme" / "2024" / ".dataserver-upload-deeper"));

  // The skipped folder (the backup folder) is not entered.
  EXPECT_TRUE(SweepUploadLeftovers(app_.string() + "/", (app_ / "clients").string()).empty());
  EXPECT_EQ(Sweep().size(), 1u);
}

}  // namespace
}  // namespace service
