#include "common/file_replace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace common {
namespace {

namespace fs = std::filesystem;

class FileReplaceTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/file-replace-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    folder_ = tmpl;
  }
  void TearDown() override { fs::remove_all(folder_); }
  std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  size_t EntryCount() { return std::distance(fs::directory_iterator(folder_), {}); }

  fs::path folder_;
};

TEST_F(FileReplaceTest, ReplacesContentAndKeepsPermissions) {
  const std::string path = (folder_ / "a.cfg").string();
  ASSERT_EQ(ReplaceFileContents(path, "first\r\n"), 0);
  EXPECT_EQ(Read(path), "first\r\n");
  ::chmod(path.c_str(), 0600);
  ASSERT_EQ(ReplaceFileContents(path, "second"), 0);
  EXPECT_EQ(Read(path), "second");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(EntryCount(), 1u);  // no temporary file left
}

TEST_F(FileReplaceTest, FailureLeavesTheTargetAndNoTemporaryFile) {
  // A folder in the target's place cannot be replaced by a file.
  const fs::path target = folder_ / "dir.cfg";
  fs::create_directory(target);
  EXPECT_NE(ReplaceFileContents(target.string(), "x"), 0);
  EXPECT_TRUE(fs::is_directory(target));
  EXPECT_EQ(EntryCount(), 1u);
  EXPECT_EQ(ReplaceFileContents((folder_ / "missing" / "a.cfg").string(), "x"), ENOENT);
}

}  // namespace
}  // namespace common
