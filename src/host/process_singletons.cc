#include "host/process_singletons.h"

namespace host {

ProcessSingletons::ProcessSingletons(const std::string& app_folder)
    : connection_pool(kDatabasePoolCapacity, app_folder + pools::kDatabaseConfigFileName) {
  context.app_folder = app_folder;
  context.connection_pool = &connection_pool;
  context.query_pool = &query_pool;
  context.stored_proc_pool = &stored_proc_pool;
  instance_pool.SetInstanceClass(service::ServerModuleInstanceClass(context));
}

}  // namespace host
