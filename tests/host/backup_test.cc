#include "host/backup.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

#include "common/bytes.h"
#include "host/recording_driver.h"
#include "pools/da_conn_pool.h"
#include "pools/da_query_pool.h"
#include "pools/db_test_support.h"

namespace host {
namespace {

namespace fs = std::filesystem;

using pools::testing::ReadFile;
using pools::testing::WriteFile;
// `bytes` followed by their size as a 4-byte little-endian integer.
std::string WithSizeTrailer(const std::string& bytes) {
  uint8_t trailer[4];
  common::StoreLE<uint32_t>(trailer, static_cast<uint32_t>(bytes.size()));
  return bytes + std::string(reinterpret_cast<const char*>(trailer), 4);
}
// Deterministic content that differs at every position of a chunk.
std::string Pattern(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + i / 977) & 0xFF);
  return s;
}

common::DateTimeParts OnThe9th() {
  common::DateTimeParts now;
  now.year = 2024;
  now.month = 3;
  now.day = 9;
  now.hour = 7;
  now.minute = 5;
  now.second = 42;
  return now;
}

struct NameCase {
  const char* driver;
  const char* folder;
  int day;
  const char* database;
  const char* file;
};

TEST(BackupFileName, JoinsFolderDayAndNameWithTheFoldersSeparator) {
  const NameCase cases[] = {
      {"MSSQL", "D:\\Bak", 9, "Sales", "D:\\Bak\\09Sales.SQLbak"},
      {"MSAcc", "D:\\Bak", 9, "", "D:\\Bak\\09data.mdb"},
      {"MSSQL", "/var/opt/bak", 31, "Sales", "/var/opt/bak/31Sales.SQLbak"},
      {"MSAcc", "/srv/app/BackupData", 1, "ignored", "/srv/app/BackupData/01data.mdb"},
      {"MSAcc", "/srv/bak/", 12, "", "/srv/bak/12data.mdb"},
      {"SQLite", "/srv/bak", 9, "x", ""},
      {"FB", "D:\\Bak", 9, "x", ""},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(std::string(c.driver) + " " + c.folder);
    EXPECT_EQ(BackupFileName(c.driver, c.folder, c.day, c.database), c.file);
  }
}

TEST(BackupStatement, QuotesTheNameAndTheFile) {
  EXPECT_EQ(BackupStatement("Sales", "D:\\Bak\\09Sales.SQLbak"),
            "BACKUP DATABASE \"Sales\" TO DISK='D:\\Bak\\09Sales.SQLbak'");
  EXPECT_EQ(BackupStatement("a\"b", "D:\\O'Brien\\09a\"b.SQLbak"),
            "BACKUP DATABASE \"a\"\"b\" TO DISK='D:\\O''Brien\\09a\"b.SQLbak'");
}

TEST(StatusBarTime, IsTwoDigitYearMonthDayHourMinute) {
  EXPECT_EQ(StatusBarTime(OnThe9th()), "24-03-09 07:05");
}

class FolderTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/backup-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    folder_ = std::string(tmpl) + "/";
  }
  void TearDown() override { fs::remove_all(folder_); }
  std::string folder_;
};

using CopyDatabaseFileTest = FolderTest;

TEST_F(CopyDatabaseFileTest, CopiesEveryByteAndAppendsTheSize) {
  const size_t sizes[] = {
      0, 5, kBackupChunkSize - 1, kBackupChunkSize, kBackupChunkSize + 3, 2 * kBackupChunkSize + 1};
  for (size_t size : sizes) {
    SCOPED_TRACE(size);
    const std::string content = Pattern(size);
    WriteFile(folder_ + "db.mdb", content);
    CopyDatabaseFile(folder_ + "db.mdb", folder_ + "copy.mdb");
    EXPECT_EQ(ReadFile(folder_ + "copy.mdb"), WithSizeTrailer(content));
    EXPECT_FALSE(fs::exists(folder_ + "copy.mdb.part"));
  }
}

TEST_F(CopyDatabaseFileTest, ReplacesAnOlderBackup) {
  WriteFile(folder_ + "copy.mdb", std::string(100, 'x'));
  WriteFile(folder_ + "db.mdb", "abc");
  CopyDatabaseFile(folder_ + "db.mdb", folder_ + "copy.mdb");
  EXPECT_EQ(ReadFile(folder_ + "copy.mdb"), WithSizeTrailer("abc"));
}

TEST_F(CopyDatabaseFileTest, AFailedCopyKeepsTheOlderBackup) {
  WriteFile(folder_ + "copy.mdb", "older backup");
  EXPECT_THROW(CopyDatabaseFile(folder_ + "missing.mdb", folder_ + "copy.mdb"), common::Error);
  // A source that cannot be read as a file (a folder) fails after the target was begun.
  fs::create_directory(folder_ + "dir.mdb");
  EXPECT_THROW(CopyDatabaseFile(folder_ + "dir.mdb", folder_ + "copy.mdb"), common::Error);
  EXPECT_EQ(ReadFile(folder_ + "copy.mdb"), "older backup");
  EXPECT_FALSE(fs::exists(folder_ + "copy.mdb.part"));
}

// The backup through the real pools, with DataBase.CFG in a temporary application folder and
// recording drivers standing in for SQL Server and the Access engine.
class BackupDatabaseTest : public FolderTest {
 protected:
  void SetUp() override {
    FolderTest::SetUp();
    connections_.emplace(30, folder_ + pools::kDatabaseConfigFileName);
    queries_.emplace(30);
  }
  void TearDown() override {
    connections_.reset();
    queries_.reset();
    FolderTest::TearDown();
  }
  void WriteConfig(const std::string& text) {
    WriteFile(folder_ + pools::kDatabaseConfigFileName, text);
  }
  std::optional<BackupStatus> Backup(const std::string& folder) {
    return BackupDatabase(*connections_, *queries_, folder, folder_, OnThe9th());
  }
  // Every object the pools lent is back and every slot free (but the one a failed connection
  // keeps, as the pool's slot accounting has it).
  void ExpectPoolsIdle(int kept_connection_slots = 0) {
    EXPECT_EQ(connections_->BusyCount(), 0);
    EXPECT_EQ(queries_->BusyCount(), 0);
    EXPECT_EQ(connections_->FreeSlots(), 30 - kept_connection_slots);
    EXPECT_EQ(queries_->FreeSlots(), 30);
  }

  fakes::ScopedRecordingDriver mssql_{"MSSQL"};
  fakes::ScopedRecordingDriver access_{"MSAcc"};
  std::optional<pools::TDAConnectionPool> connections_;
  std::optional<pools::TDAQueryPool> queries_;
};

TEST_F(BackupDatabaseTest, SqlServerRunsTheBackupStatementForTheDay) {
  WriteConfig("DriverID=MSSQL\r\nServer=db1\r\nDatabase=Sales\r\n");
  const std::optional<BackupStatus> status = Backup("D:\\Bak");
  ASSERT_TRUE(status);
  EXPECT_EQ(
      mssql_.log().Executed(),
      std::vector<std::string>{"BACKUP DATABASE \"Sales\" TO DISK='D:\\Bak\\09Sales.SQLbak'"});
  EXPECT_EQ(status->time, "24-03-09 07:05");
  EXPECT_EQ(status->file, "已生成备份文件:D:\\Bak\\09Sales.SQLbak");
  // A Windows folder belongs to the database server's machine: nothing is made here.
  EXPECT_FALSE(fs::exists(folder_ + "D:\\Bak"));
  ExpectPoolsIdle();
}

TEST_F(BackupDatabaseTest, SqlServerWithALocalFolderMakesItFirst) {
  WriteConfig("DriverID=MSSQL\r\nDatabase=Sales\r\n");
  const std::string bak = folder_ + "x/y/z";
  const std::optional<BackupStatus> status = Backup(bak);
  ASSERT_TRUE(status);
  EXPECT_TRUE(fs::is_directory(bak));
  EXPECT_EQ(
      mssql_.log().Executed(),
      std::vector<std::string>{"BACKUP DATABASE \"Sales\" TO DISK='" + bak + "/09Sales.SQLbak'"});
  ExpectPoolsIdle();
}

TEST_F(BackupDatabaseTest, AccessCopiesTheFileIntoAFolderThatDidNotExist) {
  const std::string content = Pattern(kBackupChunkSize + 10);
  WriteFile(folder_ + "shop.mdb", content);
  WriteConfig("DriverID=MSAcc\r\nUser_Name=Admin\r\nDatabase=" + folder_ + "shop.mdb\r\n");
  const std::string bak = folder_ + "backups/2024/march";
  const std::optional<BackupStatus> status = Backup(bak);
  ASSERT_TRUE(status);
  EXPECT_EQ(ReadFile(bak + "/09data.mdb"), WithSizeTrailer(content));
  EXPECT_EQ(status->file, "已生成备份文件:" + bak + "/09data.mdb");
  EXPECT_TRUE(access_.log().Executed().empty());
  ExpectPoolsIdle();
}

TEST_F(BackupDatabaseTest, RelativeFolderAndDatabaseAreTakenFromTheApplicationFolder) {
  fs::create_directory(folder_ + "data");
  WriteFile(folder_ + "data/shop.mdb", "tiny");
  WriteConfig("DriverID=MSAcc\r\nDatabase=data/shop.mdb\r\n");
  ASSERT_TRUE(Backup("BackupData"));
  EXPECT_EQ(ReadFile(folder_ + "BackupData/09data.mdb"), WithSizeTrailer("tiny"));
  ExpectPoolsIdle();
}

struct FailureCase {
  const char* name;
  std::string config;  // DataBase.CFG; empty: no file
  std::string folder;  // relative to the application folder unless empty or absolute
  std::string refuse_execute;
  bool no_connection = false;
};

TEST_F(BackupDatabaseTest, FailuresEndSilentlyWithEveryObjectGivenBack) {
  WriteFile(folder_ + "shop.mdb", "data");
  const FailureCase cases[] = {
      {"empty folder field", "DriverID=MSSQL\r\nDatabase=Sales\r\n", "", ""},
      {"empty folder field, Access", "DriverID=MSAcc\r\nDatabase=" + folder_ + "shop.mdb\r\n", "",
       ""},
      {"folder under a file", "DriverID=MSSQL\r\nDatabase=Sales\r\n", "shop.mdb/sub", ""},
      {"statement refused", "DriverID=MSSQL\r\nDatabase=Sales\r\n", "bak",
       "[FreeTDS][SQL Server]Cannot open backup device"},
      {"Access file missing", "DriverID=MSAcc\r\nDatabase=" + folder_ + "gone.mdb\r\n", "bak", ""},
      {"Access to a Windows folder", "DriverID=MSAcc\r\nDatabase=" + folder_ + "shop.mdb\r\n",
       "D:\\Bak", ""},
      {"driver without backup", "DriverID=SQLite\r\nDatabase=lite.db\r\n", "bak", ""},
      {"no DataBase.CFG", "", "bak", "", true},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(folder_ + pools::kDatabaseConfigFileName);
    if (!c.config.empty()) WriteConfig(c.config);
    {
      std::lock_guard lock(mssql_.log().mutex);
      mssql_.log().refuse_execute = c.refuse_execute;
    }
    const int connections_before = connections_->Count();
    EXPECT_FALSE(Backup(c.folder));
    ExpectPoolsIdle(c.no_connection ? 1 : 0);
    EXPECT_LE(connections_->Count(), connections_before + 1);
    EXPECT_FALSE(fs::exists(folder_ + "bak/09data.mdb"));
    // Connections of one configuration are not reused by the next case.
    while (connections_->Count() > 0) connections_->FreeAndNil();
  }
}

TEST_F(BackupDatabaseTest, EmptyFolderLeavesThePoolsAtTheirIdleCounts) {
  WriteConfig("DriverID=MSSQL\r\nDatabase=Sales\r\n");
  ASSERT_TRUE(Backup(folder_ + "bak"));
  const int connections = connections_->Count();
  const int queries = queries_->Count();
  EXPECT_FALSE(Backup(""));
  EXPECT_EQ(connections_->Count(), connections);
  EXPECT_EQ(queries_->Count(), queries);
  EXPECT_EQ(mssql_.log().Executed().size(), 1u);
  ExpectPoolsIdle();
}

}  // namespace
}  // namespace host
