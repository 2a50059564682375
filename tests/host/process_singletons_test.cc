#include "host/process_singletons.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "service/payload_codec.h"

namespace host {
namespace {

namespace fs = std::filesystem;
using common::Variant;

// A TServerModule1 lent by the instance pool reaches the database through the pools the
// singletons hold, and gives back what it borrowed.
TEST(ProcessSingletons, InstancesBorrowFromTheDatabasePools) {
  char tmpl[] = "/tmp/singletons-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const fs::path app = tmpl;
  std::ofstream(app / "DataBase.CFG") << "DriverID=SQLite\r\nDatabase=data.sqlite3\r\n";
  {
    ProcessSingletons singletons(app.string() + "/");
    EXPECT_EQ(singletons.context.connection_pool, &singletons.connection_pool);
    EXPECT_EQ(singletons.context.query_pool, &singletons.query_pool);
    EXPECT_EQ(singletons.context.stored_proc_pool, &singletons.stored_proc_pool);

    pools::TPersistent* object = singletons.instance_pool.LockPoolObject();
    auto* instance = dynamic_cast<service::TServerModule1*>(object);
    ASSERT_NE(instance, nullptr);
    std::vector<Variant> args = {Variant::String(u"SELECT 1 AS one"), Variant()};
    Variant result;
    instance->Invoke(static_cast<size_t>(service::ServerMethod::kSQL2OleVariant), args, result);
    singletons.instance_pool.UnlockPoolObject(object);
    EXPECT_EQ(args[1], Variant::String(u""));
    EXPECT_TRUE(result.IsByteArray());
    EXPECT_EQ(singletons.connection_pool.Count(), 1);
    EXPECT_EQ(singletons.connection_pool.BusyCount(), 0);
    EXPECT_EQ(singletons.query_pool.BusyCount(), 0);
  }
  fs::remove_all(app);
}

// The host names its own files to the service: CONFIG.CFG, DataBase.CFG and the database it
// names, the backup folder of CONFIG.CFG; and a stale upload temporary is swept at once.
TEST(ProcessSingletons, KeepTheServersOwnFilesAndSweepUploadLeftovers) {
  char tmpl[] = "/tmp/singletons-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const fs::path app = fs::canonical(tmpl);
  fs::create_directories(app / "Upload");
  std::ofstream(app / "DataBase.CFG") << "DriverID=SQLite\r\nDatabase=shop.db\r\n";
  std::ofstream(app / "CONFIG.CFG") << "[Backup]\nbakpath=" << (app / "Saved").string() << "\n";
  std::ofstream(app / "Upload" / ".dataserver-upload-stale1") << "partial";
  {
    ProcessSingletons singletons(app.string() + "/");
    ASSERT_EQ(singletons.context.server_files, &singletons.server_files);
    const service::ServerFiles& own = singletons.server_files;
    for (const char* name : {"CONFIG.CFG", "DataBase.CFG", "shop.db", "shop.db-wal", "Saved/x"}) {
      SCOPED_TRACE(name);
      EXPECT_TRUE(own.Owns((app / name).string()));
    }
    EXPECT_FALSE(own.Owns((app / "Upload" / "a.txt").string()));
    EXPECT_FALSE(own.Owns((app / "BackupData" / "x").string()));  // not the backup folder here

    EXPECT_FALSE(fs::exists(app / "Upload" / ".dataserver-upload-stale1"));
    EXPECT_EQ(singletons.UploadSweepReport(),
              "Removed 1 temporary file(s) of interrupted uploads: " +
                  (app / "Upload" / ".dataserver-upload-stale1").string());
  }
  fs::remove_all(app);
}

}  // namespace
}  // namespace host
