// Shared parts of the benchmarks that call TServerModule1's methods: a temporary application
// folder, its DataBase.CFG for a SQLite file, and the process's three database pools with the
// service context over that folder.
//
// Threads: set up and torn down by the benchmark's main thread; the pools are as thread-safe
// as the server's own.
#ifndef DATASERVER_BENCH_SERVICE_BENCH_SUPPORT_H_
#define DATASERVER_BENCH_SERVICE_BENCH_SUPPORT_H_

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "pools/connection_params.h"
#include "pools/da_conn_pool.h"
#include "pools/da_query_pool.h"
#include "pools/da_stored_proc_pool.h"
#include "service/server_module.h"
#include "sqlite_bench_tables.h"

namespace bench {

// A folder of its own under /tmp, removed with everything in it.
class TempFolder {
 public:
  explicit TempFolder(const char* prefix) {
    std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string app_folder() const { return path_.string() + "/"; }

 private:
  std::filesystem::path path_;
};

// Writes the folder's DataBase.CFG for the SQLite file `database`; returns its parameters.
inline pools::ConnectionParams WriteSqliteDatabaseConfig(const TempFolder& folder,
                                                         const std::string& database) {
  pools::ConnectionParams params;
  params.Set("DriverID", "SQLite");
  params.Set("Database", database);
  params.SaveToFile(folder.path() / pools::kDatabaseConfigFileName);
  return params;
}

// The three database pools of the dataserver process and the service context over them, for
// an application folder (ending with "/") that holds DataBase.CFG.
class ServicePools {
 public:
  explicit ServicePools(const std::string& app_folder)
      : connections_(pools::kPoolCapacity, app_folder + pools::kDatabaseConfigFileName) {
    context_.app_folder = app_folder;
    context_.connection_pool = &connections_;
    context_.query_pool = &queries_;
    context_.stored_proc_pool = &procs_;
  }
  ServicePools(const ServicePools&) = delete;
  ServicePools& operator=(const ServicePools&) = delete;

  service::ServiceContext& context() { return context_; }

 private:
  pools::TDAStoredProcPool procs_{pools::kPoolCapacity};
  pools::TDAQueryPool queries_{pools::kPoolCapacity};
  pools::TDAConnectionPool connections_;
  service::ServiceContext context_;
};

// An application folder with a SQLite file made by `table_sql`, its DataBase.CFG, and the
// pools over it. The pools end before the folder is removed.
struct SqliteServiceDatabase {
  TempFolder folder;
  std::string path;  // the SQLite file
  pools::ConnectionParams params;
  ServicePools pools;

  SqliteServiceDatabase(const char* prefix, const char* file_name, const char* table_sql)
      : folder(prefix),
        path((folder.path() / file_name).string()),
        params(CreateThenConfigure(folder, path, table_sql)),
        pools(folder.app_folder()) {}

  service::ServiceContext& context() { return pools.context(); }

 private:
  static pools::ConnectionParams CreateThenConfigure(const TempFolder& folder,
                                                     const std::string& path,
                                                     const char* table_sql) {
    CreateSqliteTable(path, table_sql);
    return WriteSqliteDatabaseConfig(folder, path);
  }
};

}  // namespace bench

#endif  // DATASERVER_BENCH_SERVICE_BENCH_SUPPORT_H_
