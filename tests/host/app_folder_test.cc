#include "host/app_folder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "common/error.h"

namespace host {
namespace {

namespace fs = std::filesystem;

TEST(ApplicationFolder, IsTheExecutablesFolderWithATrailingSeparator) {
  const std::string exe = ExecutablePath();
  EXPECT_EQ(fs::path(exe).filename(), "host_tests");
  EXPECT_EQ(ResolveApplicationFolder(std::nullopt), fs::path(exe).parent_path().string() + "/");
}

TEST(ApplicationFolder, AppDirIsMadeAbsoluteAndNormal) {
  char tmpl[] = "/tmp/appfolder-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::string root = tmpl;
  fs::create_directories(root + "/app/sub");
  EXPECT_EQ(ResolveApplicationFolder(root + "/app"), root + "/app/");
  EXPECT_EQ(ResolveApplicationFolder(root + "/app/sub/../"), root + "/app/");

  const fs::path cwd = fs::current_path();
  fs::current_path(root);
  const std::string relative = ResolveApplicationFolder(std::string("app"));
  fs::current_path(cwd);
  EXPECT_EQ(relative, root + "/app/");

  EXPECT_THROW(ResolveApplicationFolder(root + "/missing"), common::Error);
  EXPECT_THROW(ResolveApplicationFolder(std::string()), common::Error);
  fs::remove_all(root);
}

// When the application folder is the executable's, the executable is among the files the
// process runs from there; another folder holds none of them.
TEST(ApplicationFolder, LoadedFilesInTheExecutablesFolderIncludeTheExecutable) {
  const std::string exe = fs::canonical(ExecutablePath()).string();
  const std::vector<std::string> loaded = LoadedFilesIn(ResolveApplicationFolder(std::nullopt));
  EXPECT_NE(std::find(loaded.begin(), loaded.end(), exe), loaded.end());

  char tmpl[] = "/tmp/appfolder-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  EXPECT_TRUE(LoadedFilesIn(std::string(tmpl) + "/").empty());
  fs::remove_all(tmpl);
}

}  // namespace
}  // namespace host
