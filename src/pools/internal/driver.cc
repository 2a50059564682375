#include "pools/internal/driver.h"

#include <map>
#include <mutex>

#include "common/text.h"
#include "pools/database_error.h"
#include "pools/odbc_connection_string.h"
#include "pools/test_driver.h"

namespace pools {
namespace {

struct TestDrivers {
  std::mutex mutex;
  std::map<std::string, TestDriverFactory> factories;  // guarded by mutex; keys upper-cased
};

TestDrivers& Registered() {
  static TestDrivers drivers;
  return drivers;
}

std::string UpperAscii(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

TestDriverFactory FindTestDriver(const std::string& driver_id) {
  TestDrivers& drivers = Registered();
  std::lock_guard lock(drivers.mutex);
  if (drivers.factories.empty()) return {};
  auto it = drivers.factories.find(UpperAscii(driver_id));
  return it == drivers.factories.end() ? TestDriverFactory{} : it->second;
}

}  // namespace

void SetTestDriver(const std::string& driver_id, TestDriverFactory factory) {
  TestDrivers& drivers = Registered();
  std::lock_guard lock(drivers.mutex);
  if (factory) {
    drivers.factories[UpperAscii(driver_id)] = std::move(factory);
  } else {
    drivers.factories.erase(UpperAscii(driver_id));
  }
}

namespace internal {

std::shared_ptr<DriverConnection> OpenDriverConnection(const ConnectionParams& params,
                                                       const std::filesystem::path& base_folder,
                                                       StopFlag stop) {
  const std::string id = params.Value("DriverID");
  if (id.empty()) throw DatabaseError("The connection parameters name no driver (DriverID)");
  if (TestDriverFactory test_driver = FindTestDriver(id)) return test_driver(params);
  if (common::EqualsIgnoreAsciiCase(id, "SQLite"))
    return OpenSqliteConnection(params, base_folder, std::move(stop));
  if (IsOdbcDriverId(id)) return OpenOdbcConnection(params, std::move(stop));
  throw DatabaseError("Driver \"" + id + "\" is not available");
}

}  // namespace internal
}  // namespace pools
