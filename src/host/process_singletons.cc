#include "host/process_singletons.h"

namespace host {

ProcessSingletons::ProcessSingletons(const std::string& app_folder)
    : connection_pool(kDatabasePoolCapacity, app_folder + pools::kDatabaseConfigFileName) {
  context.app_folder = app_folder;
  instance_pool.SetInstanceClass(service::ServerModuleInstanceClass(context));
}

}  // namespace host
