// What the server keeps for itself in the application folder, out of every file method's reach:
// the settings (CONFIG.CFG), the connection parameters (DataBase.CFG), the database file those
// name with its SQLite side files, the executable and libraries the process runs from the
// folder, the backup folder with everything in it, and the temporary files of uploads.
//
// The host knows which files are its own and fills this object at start-up; the file store asks
// it about every path a client names and every name it lists. Paths are compared as the file
// system compares them (byte for byte), after resolving symbolic links on both sides, so that
// "./DataBase.CFG", "Upload/../DataBase.CFG" and a link to it are one file. The database file
// and the backup folder are looked up afresh at each question: DataBase.CFG and CONFIG.CFG may
// be changed while the server runs.
//
// Threads: filled on the start-up thread before any connection thread exists; afterwards only
// read (Owns), from any number of connection threads at once.
#ifndef DATASERVER_SERVICE_SERVER_FILES_H_
#define DATASERVER_SERVICE_SERVER_FILES_H_

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace service {

// The temporary file of an upload in progress is kUploadTempPrefix followed by six letters or
// digits (mkstemp's pattern), in the target's folder.
inline constexpr char kUploadTempPrefix[] = ".dataserver-upload-";
inline constexpr size_t kUploadTempRandomLength = 6;

// Whether `name` (one component, no folder) is the name of an upload's temporary file.
bool IsUploadTempName(std::string_view name);

// The server's own files as they are at one moment: their real paths and the backup folder.
struct OwnFileSnapshot {
  std::vector<std::string> files;  // links resolved
  std::string backup_folder;       // empty when none is protected

  // Whether `real_path` (absolute, links resolved) is one of the files or in the backup folder.
  bool Contains(std::string_view real_path) const;
};

class ServerFiles {
 public:
  // `app_folder` ends with "/".
  explicit ServerFiles(std::string app_folder);

  // A file of the server's own: absolute, or relative to the application folder.
  void AddFile(const std::string& path);
  // The DataBase.CFG whose "Database" names the database file (for the drivers that keep the
  // database in a file: SQLite, relative to the application folder, and Access).
  void SetDatabaseConfig(std::string config_path);
  // Asked at every check for the backup folder (absolute, or relative to the working folder as
  // the backup writes it). The folder is protected only when it lies below the application
  // folder; the folder itself or one above it would shut out every client.
  void SetBackupFolderSource(std::function<std::string()> source);

  // The own files now: DataBase.CFG and the backup folder's source are read afresh. One
  // snapshot serves a whole listing.
  OwnFileSnapshot Snapshot() const;

  // Whether `real_path` (absolute, symbolic links resolved, as ResolveClientPath returns it) is
  // one of the server's own files or lies in its backup folder: Snapshot().Contains(real_path).
  bool Owns(const std::string& real_path) const { return Snapshot().Contains(real_path); }

  // The database file DataBase.CFG names now, its links resolved; empty when there is none.
  std::string DatabaseFile() const;
  // The backup folder, its links resolved; empty when it is not protected.
  std::string BackupFolder() const;

 private:
  // BackupFolder, with the application folder's real path at hand.
  std::string BackupFolderIn(const std::string& root) const;

  std::string app_folder_;
  std::vector<std::string> files_;
  std::string database_config_;
  std::function<std::string()> backup_folder_source_;
};

}  // namespace service

#endif  // DATASERVER_SERVICE_SERVER_FILES_H_
