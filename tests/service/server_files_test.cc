#include "service/server_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/text.h"
#include "pools/db_test_support.h"
#include "service/client_path.h"
#include "service/file_store.h"
#include "service/payload_codec.h"

namespace service {
namespace {

namespace fs = std::filesystem;
using common::Bytes;
using common::Variant;
using pools::testing::ReadFile;
using pools::testing::WriteFile;

Variant Compressed(const std::string& content) {
  Bytes stream(content.begin(), content.end());
  CompressStreamInPlace(stream, 2);
  return StreamToByteArray(stream);
}

std::string ListedText(const Variant& v) {
  std::optional<Bytes> bytes = ByteArrayToStream(v);
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string("<no byte array>");
}

// An application folder as the server leaves it, with a file outside beside it:
//   root/secret.txt
//   root/app/CONFIG.CFG  DataBase.CFG (SQLite, "data.sqlite3")  data.sqlite3 (+ -journal -wal
//            -shm)  dataserver (the executable)  BackupData/b.bak  notes.txt  sub/
//   root/app/Upload/ok.txt  .dataserver-upload-abc123 (an upload in progress)
//   root/app/Upload/cfg -> ../DataBase.CFG    root/app/Upload/out -> ../../secret.txt
//   root/app/outdir -> ..
class OwnFiles : public testing::Test {
 protected:
  void SetUp() override {
    app_ = dir_ / "app";
    fs::create_directories(app_ / "Upload");
    fs::create_directories(app_ / "sub");
    fs::create_directories(app_ / "BackupData");
    WriteFile(dir_ / "secret.txt", "outside");
    WriteFile(app_ / "CONFIG.CFG", "[CONFIG]\nSVRPASSWORD=secret\n");
    WriteDatabaseConfig("data.sqlite3");
    for (const char* name :
         {"data.sqlite3", "data.sqlite3-journal", "data.sqlite3-wal", "data.sqlite3-shm"}) {
      WriteFile(app_ / name, name);
    }
    WriteFile(app_ / "dataserver", "ELF");
    WriteFile(app_ / "BackupData" / "b.bak", "backup");
    WriteFile(app_ / "notes.txt", "notes");
    WriteFile(app_ / "Upload" / "ok.txt", "ok");
    WriteFile(app_ / "Upload" / ".dataserver-upload-abc123", "partial");
    fs::create_symlink("../DataBase.CFG", app_ / "Upload" / "cfg");
    fs::create_symlink("../../secret.txt", app_ / "Upload" / "out");
    fs::create_symlink("..", app_ / "outdir");

    files_.AddFile(Folder() + "CONFIG.CFG");
    files_.AddFile("DataBase.CFG");  // relative to the application folder
    files_.SetDatabaseConfig(Folder() + "DataBase.CFG");
    files_.AddFile(Folder() + "dataserver");
    files_.SetBackupFolderSource([this] { return backup_; });
  }

  std::string Folder() const { return app_.string() + "/"; }
  FileStore Store() const { return FileStore(Folder(), nullptr, kDefaultMaxPayloadSize, &files_); }
  void WriteDatabaseConfig(const std::string& database) {
    WriteFile(app_ / "DataBase.CFG", "DriverID=SQLite\r\nDatabase=" + database + "\r\n");
  }

  pools::testing::TempDir dir_;
  fs::path app_;
  std::string backup_ = (dir_ / "app" / "BackupData").string();
  ServerFiles files_{(dir_ / "app").string() + "/"};
};

// Each name below reaches a file a client must not touch; every method refuses it in the way it
// reports a path outside the folder, and the file keeps its content.
TEST_F(OwnFiles, EveryMethodRefusesEveryOwnFile) {
  const std::string outside = (dir_ / "secret.txt").string();
  struct Case {
    std::string folder;       // PostData, ReadData, DeleteData, FindFiles
    std::string name;         //   and the file in that folder
    std::string upload_name;  // UploadFile, DownLoadFile (below Upload)
    std::string guarded;      // the file that must stay as it was, below root
  } cases[] = {
      {"", "CONFIG.CFG", "../CONFIG.CFG", "app/CONFIG.CFG"},
      {".", "DataBase.CFG", "..\\DataBase.CFG", "app/DataBase.CFG"},
      {"sub/..", "DataBase.CFG", "../sub/../DataBase.CFG", "app/DataBase.CFG"},
      {"Upload/..", "CONFIG.CFG", "./../CONFIG.CFG", "app/CONFIG.CFG"},
      {"", "data.sqlite3", "../data.sqlite3", "app/data.sqlite3"},
      {"", "data.sqlite3-journal", "../data.sqlite3-journal", "app/data.sqlite3-journal"},
      {"", "data.sqlite3-wal", "../data.sqlite3-wal", "app/data.sqlite3-wal"},
      {"", "data.sqlite3-shm", "../data.sqlite3-shm", "app/data.sqlite3-shm"},
      {"", "dataserver", "../dataserver", "app/dataserver"},
      {"BackupData", "b.bak", "../BackupData/b.bak", "app/BackupData/b.bak"},
      {"Upload", ".dataserver-upload-abc123", ".dataserver-upload-abc123",
       "app/Upload/.dataserver-upload-abc123"},
      {"Upload", "cfg", "cfg", "app/DataBase.CFG"},  // a link inside to an own file
      {"Upload", "out", "out", "secret.txt"},        // a file link leading outside
      {"outdir", "secret.txt", "../outdir/secret.txt", "secret.txt"},  // a folder link outside
      {"", outside, outside, "secret.txt"},                            // absolute names
      {outside.substr(0, outside.rfind('/')), "secret.txt", "\\" + outside, "secret.txt"},
      {"C:\\", "secret.txt", "C:secret.txt", "secret.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("\"" + c.folder + "\" \"" + c.name + "\"");
    const std::string before = ReadFile(dir_ / c.guarded);
    FileStore store = Store();
    {
      SCOPED_TRACE("UploadFile: a call error");
      EXPECT_THROW(store.UploadFile(Compressed("evil"), c.upload_name), EClientPathError);
    }
    {
      SCOPED_TRACE("DownLoadFile: a call error, Size untouched");
      int32_t size = -1;
      EXPECT_THROW(store.DownLoadFile(c.upload_name, size), EClientPathError);
      EXPECT_EQ(size, -1);
    }
    {
      SCOPED_TRACE("ReadData: ErrMsg, result unassigned");
      std::string err;
      EXPECT_TRUE(store.ReadData(c.folder, c.name, err).IsEmpty());
      EXPECT_NE(err, "");
    }
    {
      SCOPED_TRACE("PostData: ErrMsg");
      std::string err;
      store.PostData(Variant::ByteArray(Bytes{'e', 'v', 'i', 'l'}), c.folder, c.name, err);
      EXPECT_NE(err, "");
    }
    {
      SCOPED_TRACE("DeleteData: ErrMsg");
      std::string err;
      store.DeleteData(c.folder, c.name, err);
      EXPECT_NE(err, "");
    }
    {
      SCOPED_TRACE("FindFiles: a call error for the folder, or not listed");
      try {
        EXPECT_EQ(ListedText(store.FindFiles(c.folder, c.name)), "");
      } catch (const EClientPathError&) {
      }
    }
    EXPECT_EQ(ReadFile(dir_ / c.guarded), before);
  }
  EXPECT_EQ(ReadFile(dir_ / "secret.txt"), "outside");
}

TEST_F(OwnFiles, ListingsLeaveOwnFilesOut) {
  std::string names, times, sizes;
  EXPECT_EQ(Store().CheckUpload(names, times, sizes), 1);
  EXPECT_EQ(names, "ok.txt");
  EXPECT_EQ(sizes, "2");

  EXPECT_EQ(ListedText(Store().FindFiles("", "*")), "notes.txt\r\n");
  EXPECT_EQ(ListedText(Store().FindFiles("Upload", "*.*")), "ok.txt\r\n");
  EXPECT_EQ(ListedText(Store().FindFiles("", "Upload\\*")), "ok.txt\r\n");
  EXPECT_THROW(Store().FindFiles("BackupData", "*"), EClientPathError);
}

TEST_F(OwnFiles, OrdinaryFilesBesideThemStillWork) {
  FileStore store = Store();
  EXPECT_TRUE(store.UploadFile(Compressed("new"), "ok.txt"));
  int32_t size = -1;
  EXPECT_FALSE(store.DownLoadFile("ok.txt", size).IsNull());
  EXPECT_EQ(size, 3);

  std::string err;
  store.PostData(Variant::ByteArray(Bytes{'x'}), "clients\\acme", "n.txt", err);
  EXPECT_EQ(err, "");
  EXPECT_EQ(ReadFile(app_ / "clients" / "acme" / "n.txt"), "x");
  EXPECT_EQ(store.ReadData("", "notes.txt", err),
            Variant::ByteArray(Bytes{'n', 'o', 't', 'e', 's'}));
  EXPECT_EQ(err, "");
  store.DeleteData("sub/..", "notes.txt", err);
  EXPECT_EQ(err, "");
  EXPECT_FALSE(fs::exists(app_ / "notes.txt"));
}

// DataBase.CFG and the backup folder are read at each call: a change is honoured at once.
TEST_F(OwnFiles, ChangedDatabaseAndBackupFolderAreHonoured) {
  WriteFile(app_ / "other.db", "other");
  WriteDatabaseConfig("other.db");
  backup_ = (app_ / "Backups2").string();
  FileStore store = Store();
  std::string err;
  const std::string old_database = "data.sqlite3";
  EXPECT_EQ(store.ReadData("", old_database, err),
            Variant::ByteArray(Bytes(old_database.begin(), old_database.end())));
  EXPECT_TRUE(store.ReadData("", "other.db", err).IsEmpty());
  EXPECT_NE(err, "");
  EXPECT_FALSE(store.ReadData("BackupData", "b.bak", err).IsNull());
  EXPECT_EQ(err, "");
  store.PostData(Variant::ByteArray(Bytes{'x'}), "Backups2", "y", err);
  EXPECT_NE(err, "");

  // An absolute database name and one reached through a link are the same file.
  WriteDatabaseConfig((app_ / "sub" / ".." / "notes.txt").string());
  EXPECT_TRUE(store.ReadData("", "notes.txt", err).IsEmpty());
  EXPECT_NE(err, "");

  // A backup folder that is the application folder itself would shut every client out.
  backup_ = app_.string() + "/";
  EXPECT_EQ(files_.BackupFolder(), "");
  EXPECT_FALSE(store.ReadData("Upload", "ok.txt", err).IsEmpty());
  EXPECT_EQ(err, "");
}

TEST(UploadTempName, IsTheExactPatternOfTheTemporaryFiles) {
  EXPECT_TRUE(IsUploadTempName(".dataserver-upload-aZ09xy"));
  for (const char* name :
       {".dataserver-upload-abc12", ".dataserver-upload-abc1234", ".dataserver-upload-abc12.",
        "dataserver-upload-abc123", ".dataserver-upload-abc-12", ""}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(IsUploadTempName(name));
  }
}

}  // namespace
}  // namespace service
