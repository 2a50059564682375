// Test-only seam: a driver registered here under a "DriverID" is used by every connection whose
// parameters name that driver, ahead of the built-in ones. It lets tests reach the code paths of
// drivers that have no server on the test machine ("MSSQL", "MSAcc") through the real
// connection pool, with a recording or failing driver. The server itself never registers one.
//
// Thread use: any thread; a mutex guards the registrations. Register before the connections
// that should use the driver are opened, and remove it after they are closed.
#ifndef DATASERVER_POOLS_TEST_DRIVER_H_
#define DATASERVER_POOLS_TEST_DRIVER_H_

#include <functional>
#include <memory>
#include <string>

#include "pools/connection_params.h"
#include "pools/internal/driver.h"

namespace pools {

// Opens a link for a parameter list, or throws DatabaseError as a real driver would.
using TestDriverFactory =
    std::function<std::shared_ptr<internal::DriverConnection>(const ConnectionParams& params)>;

// Registers `factory` under `driver_id` (ASCII case ignored), replacing an earlier one; an
// empty factory removes the registration.
void SetTestDriver(const std::string& driver_id, TestDriverFactory factory);

}  // namespace pools

#endif  // DATASERVER_POOLS_TEST_DRIVER_H_
