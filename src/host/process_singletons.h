// The process-wide objects that exist before anything else and go last, in the reverse order
// of their creation: the three database object pools (30 objects each, created empty) and the
// instance pool bound to TServerModule1.
//
// Threads: built and destroyed on the main thread; the members are safe for concurrent use in
// between (each guards itself). The context's app_folder is written once during start-up,
// before the service runs.
#ifndef DATASERVER_HOST_PROCESS_SINGLETONS_H_
#define DATASERVER_HOST_PROCESS_SINGLETONS_H_

#include "pools/instance_pool.h"
#include "service/server_module.h"

namespace host {

inline constexpr int kDatabasePoolCapacity = 30;

struct ProcessSingletons {
  ProcessSingletons();
  ProcessSingletons(const ProcessSingletons&) = delete;
  ProcessSingletons& operator=(const ProcessSingletons&) = delete;

  // What every TServerModule1 instance reads; outlives the pools that hand instances out.
  service::ServiceContext context;

  // Database object pools, in creation order (stored procedures, queries, connections), each
  // with kDatabasePoolCapacity: they join here, between the context and the instance pool, so
  // that they are created before it and released after it.

  // Bound to TServerModule1 at construction.
  pools::TPoolManager instance_pool;
};

}  // namespace host

#endif  // DATASERVER_HOST_PROCESS_SINGLETONS_H_
