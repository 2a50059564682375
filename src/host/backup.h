// The database backup ("手动备份" and the automatic schedule): a SQL Server backup statement run
// by the database server, or a copy of the Access database file.
//
// Backup files, one per day of the month (dd = 01..31, the current local day):
//   "MSSQL"  folder + separator + dd + database + ".SQLbak"   written by the database server
//   "MSAcc"  folder + "/" + dd + "data.mdb"                     the copy, made here
// where folder is the backup folder field and database the connection's "Database" parameter.
// The SQL Server file name is a path on the database server's machine: its separator is "\"
// when the folder text is a Windows path, "/" otherwise. Other drivers have no backup.
//
// The copy of an Access file ("MSAcc"):
//   +---------------------------+----------------------------------------------+
//   | the database file's bytes | its size mod 2^32, uint32 little-endian (4)  |
//   +---------------------------+----------------------------------------------+
// copied in chunks of 1 MiB from a source opened for shared reading and writing (the database
// stays in use meanwhile).
//
// Threads: everything runs on the calling (user-interface) thread and blocks it until the
// backup ends; remote calls on connection threads go on, sharing the pools with it.
#ifndef DATASERVER_HOST_BACKUP_H_
#define DATASERVER_HOST_BACKUP_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "common/datetime.h"
#include "pools/da_conn_pool.h"
#include "pools/da_query_pool.h"

namespace host {

inline constexpr size_t kBackupChunkSize = 1048576;
inline constexpr char kDriverMssql[] = "MSSQL";
inline constexpr char kDriverAccess[] = "MSAcc";
// The second status bar panel after a backup: this text followed directly by the file name.
inline constexpr char kBackupDonePrefix[] = "已生成备份文件:";

// Whether `folder` names a folder of a Windows machine ("D:\Bak", "\\host\share"): such a
// folder can be handed to a database server but cannot be made on this machine.
bool IsWindowsPath(std::string_view folder);

// The backup file of `driver` (see above); empty for a driver without backup.
std::string BackupFileName(std::string_view driver, std::string_view folder, int day,
                           std::string_view database);

// BACKUP DATABASE "database" TO DISK='file'. A quote character inside either is doubled, so
// an unusual name cannot end the identifier or the text early.
std::string BackupStatement(std::string_view database, std::string_view file_name);

// Copies `source` to `target` followed by the 4-byte size (see above). The copy is written
// beside the target and takes the target's name only when complete, so a failed copy leaves an
// older backup of that name as it was. Throws common::Error with the system's reason.
void CopyDatabaseFile(const std::string& source, const std::string& target);

// The status bar after a successful backup.
struct BackupStatus {
  std::string time;  // first panel: "yy-mm-dd hh:mm"
  std::string file;  // second panel: kBackupDonePrefix + the backup file's full name
};

std::string StatusBarTime(const common::DateTimeParts& now);

// Backs up the database of DataBase.CFG now:
//   1. takes a connection and a query object from the pools and binds them;
//   2. makes the backup folder with its missing parents (a relative folder is taken from the
//      application folder; a Windows path is left to the database server);
//   3. by the connection's driver: runs the backup statement, or gives the connection back at
//      once and copies the file, or (another driver) does nothing;
//   4. the status to show.
// Every pooled object taken is given back on every path. Any failure (no connection, a folder
// that cannot be made, an empty folder field, the statement refused, a copy that fails) ends it
// silently with nullopt, as does a driver without backup. `now` is the local date and time.
std::optional<BackupStatus> BackupDatabase(pools::TDAConnectionPool& connections,
                                           pools::TDAQueryPool& queries, const std::string& folder,
                                           const std::string& app_folder,
                                           const common::DateTimeParts& now);

}  // namespace host

#endif  // DATASERVER_HOST_BACKUP_H_
