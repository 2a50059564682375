// Shared helpers of the database tests: private temporary folders, DataBase.CFG files, and
// the databases the driver tests run against (SQLite files always; PostgreSQL and SQL Server
// when the environment names a reachable server).
#ifndef DATASERVER_TESTS_POOLS_DB_TEST_SUPPORT_H_
#define DATASERVER_TESTS_POOLS_DB_TEST_SUPPORT_H_

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pools/connection_params.h"

namespace pools::testing {

// A folder of its own under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ds-pools-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

inline void WriteFile(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The pairs of an ODBC connection string ("Driver={X};Server=h;...") in order.
inline std::vector<std::pair<std::string, std::string>> SplitConnectionString(std::string_view s) {
  std::vector<std::pair<std::string, std::string>> out;
  while (!s.empty()) {
    size_t eq = s.find('=');
    if (eq == std::string_view::npos) break;
    std::string key(s.substr(0, eq));
    s.remove_prefix(eq + 1);
    std::string value;
    if (!s.empty() && s.front() == '{') {
      size_t i = 1;
      for (; i < s.size(); ++i) {
        if (s[i] == '}') {
          if (i + 1 < s.size() && s[i + 1] == '}') {
            value += '}';
            ++i;
            continue;
          }
          break;
        }
        value += s[i];
      }
      s.remove_prefix(std::min(s.size(), i + 1));
    } else {
      size_t end = s.find(';');
      value = std::string(s.substr(0, end));
      s.remove_prefix(end == std::string_view::npos ? s.size() : end);
    }
    if (!s.empty() && s.front() == ';') s.remove_prefix(1);
    out.emplace_back(key, value);
  }
  return out;
}

// DataBase.CFG parameters for a server named by an ODBC connection string in the environment
// variable `variable` (Server, Port, Database, UID, PWD; Driver becomes ODBCDriver).
inline std::optional<ConnectionParams> ServerParamsFromEnv(const char* variable,
                                                           const char* driver_id) {
  const char* value = std::getenv(variable);
  if (value == nullptr || *value == '\0') return std::nullopt;
  ConnectionParams params;
  params.Set("DriverID", driver_id);
  for (const auto& [key, v] : SplitConnectionString(value)) {
    std::string k = key;
    for (char& c : k) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (k == "DRIVER") params.Set("ODBCDriver", v);
    if (k == "SERVER") params.Set("Server", v);
    if (k == "PORT") params.Set("Port", v);
    if (k == "DATABASE") params.Set("Database", v);
    if (k == "UID") params.Set("User_Name", v);
    if (k == "PWD") params.Set("Password", v);
  }
  return params;
}

inline std::optional<ConnectionParams> PgParams() {
  return ServerParamsFromEnv("DATASERVER_PG_CONN", "PG");
}
inline std::optional<ConnectionParams> MssqlParams() {
  return ServerParamsFromEnv("DATASERVER_MSSQL_CONN", "MSSQL");
}

inline constexpr char kPgSkipMessage[] =
    "DATASERVER_PG_CONN is not set: start the test server with "
    "eval \"$(scripts/pg-test-server.sh start)\" to run the PostgreSQL tests";

}  // namespace pools::testing

#endif  // DATASERVER_TESTS_POOLS_DB_TEST_SUPPORT_H_
