#include "pools/connection_params.h"

#include <gtest/gtest.h>

#include "db_test_support.h"
#include "pools/database_error.h"

namespace pools {
namespace {

using testing::TempDir;
using testing::WriteFile;

TEST(ConnectionParams, ParsesNameValueLinesWithAnyLineEnd) {
  struct Case {
    const char* label;
    std::string text;
  };
  const Case cases[] = {
      {"CR LF", "DriverID=MSSQL\r\nServer=db1\r\nDatabase=Sales\r\n"},
      {"LF", "DriverID=MSSQL\nServer=db1\nDatabase=Sales\n"},
      {"CR", "DriverID=MSSQL\rServer=db1\rDatabase=Sales"},
      {"BOM, no final break",
       "\xEF\xBB\xBF"
       "DriverID=MSSQL\r\nServer=db1\r\nDatabase=Sales"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ConnectionParams p = ConnectionParams::Parse(c.text);
    EXPECT_EQ(p.Lines(),
              (std::vector<std::string>{"DriverID=MSSQL", "Server=db1", "Database=Sales"}));
    EXPECT_EQ(p.Value("DriverID"), "MSSQL");
    EXPECT_EQ(p.Value("Database"), "Sales");
  }
}

TEST(ConnectionParams, LooksUpNamesLikeTheSettingsDialogsWriteThem) {
  ConnectionParams p = ConnectionParams::Parse(
      "driverid=SQLite\r\nPassword= pa=ss \r\nnoequals\r\nDatabase=a.db\r\nDatabase=b.db\r\n");
  EXPECT_EQ(p.Value("DriverID"), "SQLite");   // names ignore ASCII case
  EXPECT_EQ(p.Value("Password"), " pa=ss ");  // values are exact, "=" included
  EXPECT_EQ(p.Value("Database"), "a.db");     // the first line of a name wins
  EXPECT_EQ(p.Value("User_Name"), "");        // missing means empty
  EXPECT_FALSE(p.Has("User_Name"));
  EXPECT_TRUE(p.Has("noequals"));
  EXPECT_EQ(p.Value("noequals"), "");
}

TEST(ConnectionParams, SetReplacesAppendsAndRemoves) {
  ConnectionParams p;
  p.Set("DriverID", "MSSQL");
  p.Set("Server", "db1");
  p.Set("server", "db2");
  p.Set("Database", "Sales");
  p.Set("Server", "");
  EXPECT_EQ(p.ToText(), "DriverID=MSSQL\r\nDatabase=Sales\r\n");
}

TEST(ConnectionParams, SavesEveryLineWithCrLfAndLoadsItBack) {
  TempDir dir;
  ConnectionParams p;
  p.Set("DriverID", "MSSQL");
  p.Set("OSAuthent", "Yes");
  p.Set("Server", "db1");
  p.Set("Database", "销售");
  p.SaveToFile(dir / "DataBase.CFG");
  EXPECT_EQ(testing::ReadFile(dir / "DataBase.CFG"),
            "DriverID=MSSQL\r\nOSAuthent=Yes\r\nServer=db1\r\nDatabase=销售\r\n");
  EXPECT_EQ(ConnectionParams::LoadFromFile(dir / "DataBase.CFG"), p);
}

TEST(ConnectionParams, RejectsFilesThatAreNotParameterLists) {
  TempDir dir;
  WriteFile(dir / "binary.CFG", std::string("DriverID=SQLite\r\n\0\x01\x02", 20));
  WriteFile(dir / "huge.CFG", std::string(ConnectionParams::kMaxFileSize + 1, 'x'));
  std::filesystem::create_directory(dir / "folder.CFG");
  struct Case {
    const char* name;
    const char* message_part;
  };
  const Case cases[] = {
      {"missing.CFG", "No such file or directory"},
      {"binary.CFG", "is not a text file"},
      {"huge.CFG", "is too large"},
      {"folder.CFG", "folder.CFG"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      ConnectionParams::LoadFromFile(dir / c.name);
      ADD_FAILURE() << "loaded";
    } catch (const DatabaseError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.name), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace pools
