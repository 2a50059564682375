// DataBase.CFG text: parsing never fails or misbehaves, a parsed list writes back to text that
// parses to the same list, and the ODBC connection string built from any list carries exactly
// the parameters' values under their own keys (no value can add or change an attribute).
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "db_test_support.h"
#include "pools/connection_params.h"
#include "pools/database_error.h"
#include "pools/odbc_connection_string.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckConnectionString(pools::ConnectionParams params) {
  if (!pools::IsOdbcDriverId(params.Value("DriverID"))) return;
  // Passed through as it is, by design (every line of that name, not only the first).
  while (params.Has("ODBCAdvanced")) params.Set("ODBCAdvanced", "");
  std::string text;
  try {
    text = pools::BuildOdbcConnectionString(params);
  } catch (const pools::DatabaseError&) {
    return;
  }
  const std::set<std::string> keys = {
      "Driver",     "DSN", "Server", "Port", "Database", "DBQ", "UID", "PWD", "Trusted_Connection",
      "BoolsAsChar"};
  std::set<std::string> seen;
  for (const auto& [key, value] : pools::testing::SplitConnectionString(text)) {
    Check(keys.count(key) == 1);
    Check(seen.insert(key).second);
    if (key == "Server" || key == "Port" || key == "Database") Check(value == params.Value(key));
    if (key == "DBQ") Check(value == params.Value("Database"));
    if (key == "UID") Check(value == params.Value("User_Name"));
    if (key == "PWD") Check(value == params.Value("Password"));
    if (key == "DSN") Check(value == params.Value("DataSource"));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  pools::ConnectionParams params = pools::ConnectionParams::Parse(text);
  Check(pools::ConnectionParams::Parse(params.ToText()) == params);
  for (const std::string& line : params.Lines()) {
    Check(line.find_first_of("\r\n") == std::string::npos);
    params.Value(pools::ConnectionParams::NameOf(line));
  }
  CheckConnectionString(params);
  return 0;
}
