// The ODBC connection strings of the ODBC-family drivers, built from a DataBase.CFG parameter
// list:
//   "MSSQL"  Driver={FreeTDS, or "ODBCDriver"};Server;Port;Database;UID;PWD and, for
//            "OSAuthent=Yes", Trusted_Connection=Yes (integrated authentication)
//   "MSAcc"  Driver={"ODBCDriver", default the Access driver's own name};DBQ=file;UID;PWD
//   "PG"     Driver={PostgreSQL Unicode, or "ODBCDriver"};Server;Port;Database;UID;PWD;
//            BoolsAsChar=0 (booleans come back as booleans, not as text)
//   "ODBC"   DSN="DataSource" or Driver={"ODBCDriver"} (one is required), then
//            Server;Port;Database;UID;PWD where given
// Every form ends with "ODBCAdvanced" as it is (extra key=value; pairs the driver takes).
// DataBase.CFG's "User_Name" and "Password" become UID and PWD. Parameters left empty are left
// out. A value holding ";", "{" or "}" or spaces at either end is put in braces ("}" doubled),
// so no value can smuggle in another key.
#ifndef DATASERVER_POOLS_ODBC_CONNECTION_STRING_H_
#define DATASERVER_POOLS_ODBC_CONNECTION_STRING_H_

#include <string>
#include <string_view>

#include "pools/connection_params.h"

namespace pools {

inline constexpr char kDefaultMssqlOdbcDriver[] = "FreeTDS";
inline constexpr char kDefaultPgOdbcDriver[] = "PostgreSQL Unicode";
inline constexpr char kDefaultAccessOdbcDriver[] = "Microsoft Access Driver (*.mdb, *.accdb)";

// Whether "DriverID" names a driver reached through ODBC.
bool IsOdbcDriverId(std::string_view driver_id);

// Throws DatabaseError for a DriverID outside the ODBC family and for an "ODBC" list with
// neither "DataSource" nor "ODBCDriver".
std::string BuildOdbcConnectionString(const ConnectionParams& params);

// One attribute value as the connection string carries it.
std::string QuoteOdbcValue(std::string_view value);

}  // namespace pools

#endif  // DATASERVER_POOLS_ODBC_CONNECTION_STRING_H_
