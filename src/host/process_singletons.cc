#include "host/process_singletons.h"

namespace host {

ProcessSingletons::ProcessSingletons() {
  instance_pool.SetInstanceClass(service::ServerModuleInstanceClass(context));
}

}  // namespace host
