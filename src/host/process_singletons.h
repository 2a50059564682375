// The process-wide objects that exist before anything else and go last, in the reverse order
// of their creation: the list of the server's own files in the application folder, the three
// database object pools (30 objects each, created empty) and the instance pool bound to
// TServerModule1. Building them also sweeps the temporary files that uploads of a killed server
// left in the folder.
//
// Threads: built and destroyed on the main thread; the members are safe for concurrent use in
// between (each guards itself). The context's app_folder is written once during start-up,
// before the service runs.
#ifndef DATASERVER_HOST_PROCESS_SINGLETONS_H_
#define DATASERVER_HOST_PROCESS_SINGLETONS_H_

#include <string>
#include <vector>

#include "pools/da_conn_pool.h"
#include "pools/da_query_pool.h"
#include "pools/da_stored_proc_pool.h"
#include "pools/instance_pool.h"
#include "service/server_files.h"
#include "service/server_module.h"

namespace host {

inline constexpr int kDatabasePoolCapacity = 30;

struct ProcessSingletons {
  // `app_folder` (with its trailing separator) is where DataBase.CFG is read from at each new
  // database connection, and where the file methods work.
  explicit ProcessSingletons(const std::string& app_folder);
  ProcessSingletons(const ProcessSingletons&) = delete;
  ProcessSingletons& operator=(const ProcessSingletons&) = delete;

  // The one line start-up logs about the sweep; empty when it removed nothing.
  std::string UploadSweepReport() const;

  // What every TServerModule1 instance reads; outlives the pools that hand instances out.
  // It points to the server's files and the three database pools below, which outlive every
  // instance too (the instance pool is destroyed first).
  service::ServiceContext context;

  // CONFIG.CFG, DataBase.CFG, the database file, the executable and libraries run from the
  // folder, the backup folder: kept from the file methods.
  service::ServerFiles server_files;
  // The paths of the stale upload files the start-up sweep removed.
  std::vector<std::string> upload_leftovers_removed;

  // Database object pools, in creation order (stored procedures, queries, connections), each
  // with kDatabasePoolCapacity; created empty, nothing touches the database yet.
  pools::TDAStoredProcPool stored_proc_pool{kDatabasePoolCapacity};
  pools::TDAQueryPool query_pool{kDatabasePoolCapacity};
  pools::TDAConnectionPool connection_pool;

  // Bound to TServerModule1 at construction.
  pools::TPoolManager instance_pool;
};

}  // namespace host

#endif  // DATASERVER_HOST_PROCESS_SINGLETONS_H_
