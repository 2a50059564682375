#include "pools/odbc_connection_string.h"

#include <gtest/gtest.h>

#include "pools/database_error.h"

namespace pools {
namespace {

struct StringCase {
  const char* label;
  const char* config;  // DataBase.CFG text
  const char* expected;
};

class OdbcConnectionString : public ::testing::TestWithParam<StringCase> {};

TEST_P(OdbcConnectionString, BuildsTheDriversString) {
  const StringCase& c = GetParam();
  EXPECT_EQ(BuildOdbcConnectionString(ConnectionParams::Parse(c.config)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    DriverIds, OdbcConnectionString,
    ::testing::Values(
        StringCase{
            "MssqlLogin",
            "DriverID=MSSQL\r\nUser_Name=sa\r\nPassword=pw\r\nServer=db1\r\nDatabase=Sales\r\n",
            "Driver={FreeTDS};Server=db1;Database=Sales;UID=sa;PWD=pw"},
        StringCase{"MssqlIntegratedAuthentication",
                   "DriverID=MSSQL\r\nOSAuthent=Yes\r\nServer=db1\r\nDatabase=Sales\r\n",
                   "Driver={FreeTDS};Server=db1;Database=Sales;Trusted_Connection=Yes"},
        StringCase{"MssqlOsAuthentNoIsIgnored",
                   "DriverID=MSSQL\r\nOSAuthent=No\r\nDatabase=Sales\r\n",
                   "Driver={FreeTDS};Database=Sales"},
        StringCase{"MssqlOwnDriverPortAndExtras",
                   "DriverID=MSSQL\r\nODBCDriver=ODBC Driver 18 for SQL Server\r\nServer=db1\r\n"
                   "Port=1433\r\nDatabase=Sales\r\nODBCAdvanced=;Encrypt=no;TrustServerCertificate="
                   "yes\r\n",
                   "Driver={ODBC Driver 18 for SQL Server};Server=db1;Port=1433;Database=Sales;"
                   "Encrypt=no;TrustServerCertificate=yes"},
        StringCase{
            "Access", "DriverID=MSAcc\r\nUser_Name=Admin\r\nDatabase=/data/shop.mdb\r\n",
            "Driver={Microsoft Access Driver (*.mdb, *.accdb)};DBQ=/data/shop.mdb;UID=Admin"},
        StringCase{"AccessNamedDriver",
                   "DriverID=MSAcc\r\nODBCDriver=MDBTools\r\nDatabase=/data/shop.mdb\r\n",
                   "Driver={MDBTools};DBQ=/data/shop.mdb"},
        StringCase{"PostgreSql",
                   "DriverID=PG\r\nServer=127.0.0.1\r\nPort=5432\r\nDatabase=dstest\r\n"
                   "User_Name=dstest\r\nPassword=dstest\r\n",
                   "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=5432;Database=dstest;"
                   "UID=dstest;PWD=dstest;BoolsAsChar=0"},
        StringCase{"OdbcDataSource", "DriverID=ODBC\r\nDataSource=Shop\r\nUser_Name=u\r\n",
                   "DSN=Shop;UID=u"},
        StringCase{"OdbcDriverWithExtras",
                   "DriverID=ODBC\r\nODBCDriver=SQLite3\r\nDatabase=/tmp/"
                   "o.db\r\nODBCAdvanced=Timeout=2000\r\n",
                   "Driver={SQLite3};Database=/tmp/o.db;Timeout=2000"},
        StringCase{"DriverIdIgnoresCase", "DriverID=pg\r\nDatabase=x\r\n",
                   "Driver={PostgreSQL Unicode};Database=x;BoolsAsChar=0"},
        // Values that would end the attribute or start another one travel in braces.
        StringCase{"SpecialValuesAreBraced",
                   "DriverID=PG\r\nDatabase=a;Driver={Evil}\r\nPassword= p}w \r\nUser_Name=x=y\r\n",
                   "Driver={PostgreSQL Unicode};Database={a;Driver={Evil}}};UID=x=y;PWD={ p}}w };"
                   "BoolsAsChar=0"}),
    [](const ::testing::TestParamInfo<StringCase>& info) { return std::string(info.param.label); });

TEST(OdbcConnectionStringErrors, NameWhatIsMissing) {
  struct Case {
    const char* config;
    const char* message;
  };
  const Case cases[] = {
      {"DriverID=ODBC\r\nDatabase=x\r\n",
       "The ODBC connection parameters name neither a data source (DataSource) nor a driver "
       "(ODBCDriver)"},
      {"DriverID=SQLite\r\n", "Driver \"SQLite\" is not an ODBC driver"},
      {"", "Driver \"\" is not an ODBC driver"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.config);
    try {
      BuildOdbcConnectionString(ConnectionParams::Parse(c.config));
      ADD_FAILURE() << "built";
    } catch (const DatabaseError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

}  // namespace
}  // namespace pools
