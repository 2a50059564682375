#include "service/client_path.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace service {
namespace {

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
        PathCase{{"\\Docs", "x"}, "/srv/app/Docs/x"},  // a leading separator stays inside
        PathCase{{"./a/./b", "c"}, "/srv/app/a/b/c"},
        PathCase{{"a\\..\\b", "c"}, "/srv/app/b/c"},  // ".." that stays inside
        PathCase{{"Upload", "..\\DataBase.CFG"}, "/srv/app/DataBase.CFG"},
        PathCase{{"数据", "文件.txt"}, "/srv/app/数据/文件.txt"}, PathCase{{"..", "x"}, nullptr},
        PathCase{{"Upload", "..\\..\\etc\\passwd"}, nullptr}, PathCase{{"a/../../b", "c"}, nullptr},
        PathCase{{"", "..\\x"}, nullptr}, PathCase{{"C:\\Windows", "x"}, nullptr},
        PathCase{{"/c:/x", "y"}, nullptr}, PathCase{{"a", std::string("b\0c", 3)}, nullptr}));

}  // namespace
}  // namespace service
