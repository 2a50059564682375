#include "pools/internal/driver.h"

#include "common/text.h"
#include "pools/database_error.h"
#include "pools/odbc_connection_string.h"

namespace pools::internal {

std::shared_ptr<DriverConnection> OpenDriverConnection(const ConnectionParams& params,
                                                       const std::filesystem::path& base_folder) {
  const std::string id = params.Value("DriverID");
  if (id.empty()) throw DatabaseError("The connection parameters name no driver (DriverID)");
  if (common::EqualsIgnoreAsciiCase(id, "SQLite")) return OpenSqliteConnection(params, base_folder);
  if (IsOdbcDriverId(id)) return OpenOdbcConnection(params);
  throw DatabaseError("Driver \"" + id + "\" is not available");
}

}  // namespace pools::internal
