#include "service/client_path.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "pools/db_test_support.h"

namespace service {
namespace {

namespace fs = std::filesystem;

constexpr char kApp[] = "/srv/app/";

struct PathCase {
  std::vector<std::string> parts;
  const char* expected;  // null: refused
};

class ClientPath : public testing::TestWithParam<PathCase> {};

TEST_P(ClientPath, ResolvesInsideTheFolderOrRefuses) {
  const PathCase& c = GetParam();
  auto resolve = [&] {
    switch (c.parts.size()) {
      case 1:
        return ResolveClientPath(kApp, {c.parts[0]});
      case 2:
        return ResolveClientPath(kApp, {c.parts[0], c.parts[1]});
      default:
        return ResolveClientPath(kApp, {c.parts[0], c.parts[1], c.parts[2]});
    }
  };
  if (c.expected == nullptr) {
    try {
      resolve();
      FAIL() << "not refused";
    } catch (const EClientPathError& e) {
      EXPECT_EQ(e.class_name(), "EClientPathError");
    }
  } else {
    EXPECT_EQ(resolve(), c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ClientPath,
    testing::Values(
        PathCase{{"Upload", "a.txt"}, "/srv/app/Upload/a.txt"},
        PathCase{{"Docs\\2024", "r.pdf"}, "/srv/app/Docs/2024/r.pdf"},
        PathCase{{"Docs/2024/", "r.pdf"}, "/srv/app/Docs/2024/r.pdf"},
        PathCase{{"", "CONFIG.CFG"}, "/srv/app/CONFIG.CFG"}, PathCase{{""}, "/srv/app/"},
        PathCase{{"./a/./b", "c"}, "/srv/app/a/b/c"},
        PathCase{{"a\\..\\b", "c"}, "/srv/app/b/c"},  // ".." that stays inside
        PathCase{{"Upload", "..\\DataBase.CFG"}, "/srv/app/DataBase.CFG"},
        PathCase{{"数据", "文件.txt"}, "/srv/app/数据/文件.txt"}, PathCase{{"..", "x"}, nullptr},
        PathCase{{"Upload", "..\\..\\etc\\passwd"}, nullptr}, PathCase{{"a/../../b", "c"}, nullptr},
        PathCase{{"", "..\\x"}, nullptr}, PathCase{{"C:\\Windows", "x"}, nullptr},
        PathCase{{"/c:/x", "y"}, nullptr}, PathCase{{"a", std::string("b\0c", 3)}, nullptr},
        // Absolute names in any part, in either separator or with a drive, are refused.
        PathCase{{"\\Docs", "x"}, nullptr}, PathCase{{"/etc/passwd"}, nullptr},
        PathCase{{"", "/etc/passwd"}, nullptr}, PathCase{{"Upload", "\\etc\\x"}, nullptr},
        PathCase{{"C:\\x"}, nullptr}, PathCase{{"", "c:x"}, nullptr},
        PathCase{{"\\\\server\\share", "x"}, nullptr}, PathCase{{"//server/share"}, nullptr}));

// A real application folder with links in it, and beside it a folder and a file no name may
// reach:
//   root/outside/            root/secret.txt
//   root/app/sub/inner/
//   root/app/deep      -> sub/inner          (inside)
//   root/app/out_dir   -> ../outside         (a folder outside)
//   root/app/out_file  -> ../secret.txt      (a file outside)
//   root/app/out_abs   -> <root>/outside     (absolute, outside)
//   root/app/in_abs    -> <root>/app/sub     (absolute, inside)
//   root/app/broken    -> nowhere
class ClientPathOnDisk : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "outside");
    fs::create_directories(dir_ / "app" / "sub" / "inner");
    pools::testing::WriteFile(dir_ / "secret.txt", "outside");
    fs::create_symlink("sub/inner", dir_ / "app" / "deep");
    fs::create_symlink("../outside", dir_ / "app" / "out_dir");
    fs::create_symlink("../secret.txt", dir_ / "app" / "out_file");
    fs::create_symlink(dir_ / "outside", dir_ / "app" / "out_abs");
    fs::create_symlink(dir_ / "app" / "sub", dir_ / "app" / "in_abs");
    fs::create_symlink("nowhere", dir_ / "app" / "broken");
    app_ = fs::canonical(dir_ / "app").string();
  }
  std::string Resolve(std::string_view folder, std::string_view name) {
    return ResolveClientPath((dir_ / "app").string() + "/", {folder, name});
  }

  pools::testing::TempDir dir_;
  std::string app_;
};

TEST_F(ClientPathOnDisk, LinksAreFollowedAndMustStayInside) {
  struct Case {
    const char* folder;
    const char* name;
    const char* expected;  // below the real folder; null: refused
  } cases[] = {
      {"deep", "x.txt", "/sub/inner/x.txt"},
      {"deep\\..", "x.txt", "/sub/x.txt"},  // ".." climbs from where the link led
      {"in_abs", "x.txt", "/sub/x.txt"},
      {"deep/../..", "CONFIG.CFG", "/CONFIG.CFG"},
      {"new/folder", "x.txt", "/new/folder/x.txt"},
      {"new/..", "x.txt", "/x.txt"},
      {"out_dir", "x.txt", nullptr},
      {"out_dir/../app", "x.txt", nullptr},  // back inside, but only through the outside
      {"", "out_file", nullptr},
      {"out_abs", "", nullptr},
      {"", "broken", nullptr},
      {"deep/../../..", "x.txt", nullptr},
      {"sub/inner/../../..", "secret.txt", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.folder) + " | " + c.name);
    if (c.expected == nullptr) {
      EXPECT_THROW(Resolve(c.folder, c.name), EClientPathError);
    } else {
      EXPECT_EQ(Resolve(c.folder, c.name), app_ + c.expected);
    }
  }
}

// The folder reached through a link of its own resolves to its real path.
TEST_F(ClientPathOnDisk, ResultIsTheRealPath) {
  fs::create_symlink(dir_ / "app", dir_ / "app_link");
  EXPECT_EQ(ResolveClientPath((dir_ / "app_link").string() + "/", {"sub", "a"}), app_ + "/sub/a");
  EXPECT_EQ(ResolveClientPath((dir_ / "app_link").string() + "/", {""}), app_ + "/");
}

}  // namespace
}  // namespace service
