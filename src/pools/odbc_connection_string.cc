#include "pools/odbc_connection_string.h"

#include "common/text.h"
#include "pools/database_error.h"

namespace pools {
namespace {

std::string Braced(std::string_view value) {
  std::string out = "{";
  for (char c : value) {
    out += c;
    if (c == '}') out += '}';
  }
  out += '}';
  return out;
}

class Builder {
 public:
  void Driver(std::string_view name) { Raw("Driver=" + Braced(name)); }
  void Attribute(std::string_view key, std::string_view value) {
    if (value.empty()) return;
    Raw(std::string(key) + "=" + QuoteOdbcValue(value));
  }
  void Raw(std::string_view pair) {
    if (!text_.empty() && text_.back() != ';') text_ += ';';
    text_ += pair;
  }
  std::string Take() { return std::move(text_); }

 private:
  std::string text_;
};

bool IsYes(std::string_view value) { return common::EqualsIgnoreAsciiCase(value, "Yes"); }

}  // namespace

bool IsOdbcDriverId(std::string_view driver_id) {
  for (std::string_view id : {"MSSQL", "MSAcc", "PG", "ODBC"}) {
    if (common::EqualsIgnoreAsciiCase(driver_id, id)) return true;
  }
  return false;
}

std::string QuoteOdbcValue(std::string_view value) {
  bool plain = value.find_first_of(";{}") == std::string_view::npos && !value.empty() &&
               value.front() != ' ' && value.back() != ' ';
  return plain ? std::string(value) : Braced(value);
}

std::string BuildOdbcConnectionString(const ConnectionParams& params) {
  const std::string id = params.Value("DriverID");
  const std::string odbc_driver = params.Value("ODBCDriver");
  auto driver_or = [&](const char* fallback) {
    return odbc_driver.empty() ? std::string(fallback) : odbc_driver;
  };
  Builder b;
  auto server_and_login = [&] {
    b.Attribute("Server", params.Value("Server"));
    b.Attribute("Port", params.Value("Port"));
    b.Attribute("Database", params.Value("Database"));
    b.Attribute("UID", params.Value("User_Name"));
    b.Attribute("PWD", params.Value("Password"));
  };

  if (common::EqualsIgnoreAsciiCase(id, "MSSQL")) {
    b.Driver(driver_or(kDefaultMssqlOdbcDriver));
    server_and_login();
    if (IsYes(params.Value("OSAuthent"))) b.Raw("Trusted_Connection=Yes");
  } else if (common::EqualsIgnoreAsciiCase(id, "MSAcc")) {
    b.Driver(driver_or(kDefaultAccessOdbcDriver));
    b.Attribute("DBQ", params.Value("Database"));
    b.Attribute("UID", params.Value("User_Name"));
    b.Attribute("PWD", params.Value("Password"));
  } else if (common::EqualsIgnoreAsciiCase(id, "PG")) {
    b.Driver(driver_or(kDefaultPgOdbcDriver));
    server_and_login();
    b.Raw("BoolsAsChar=0");
  } else if (common::EqualsIgnoreAsciiCase(id, "ODBC")) {
    const std::string dsn = params.Value("DataSource");
    if (!dsn.empty()) {
      b.Attribute("DSN", dsn);
    } else if (!odbc_driver.empty()) {
      b.Driver(odbc_driver);
    } else {
      throw DatabaseError(
          "The ODBC connection parameters name neither a data source (DataSource) nor a driver "
          "(ODBCDriver)");
    }
    server_and_login();
  } else {
    throw DatabaseError("Driver \"" + id + "\" is not an ODBC driver");
  }

  std::string advanced = params.Value("ODBCAdvanced");
  size_t start = advanced.find_first_not_of("; ");
  if (start != std::string::npos) b.Raw(std::string_view(advanced).substr(start));
  return b.Take();
}

}  // namespace pools
