// The file methods of TServerModule1: files kept in folders below the application folder.
//
// Two families: the "Upload" folder (UploadFile, DownLoadFile, CheckUpload; compressed
// payloads) and folders named by the client (PostData, ReadData, DeleteData, FindFiles;
// payloads as they are). Every client path is resolved through the file system inside the
// application folder (client_path.h); nothing outside it is read or written. The server's own
// files there (server_files.h) are refused like a path outside and never listed.
//
// Uploads never destroy data: UploadFile and PostData write into a temporary file in the target
// folder and replace the target only once every byte is written and synced, so a payload that
// fails to decode, a full disk or a lost connection leaves the previous file as it was. The
// writer holds an exclusive flock on its temporary file from its creation to its rename, so that
// the start-up sweep (upload_sweep.h) of any server sharing the folder can tell a file in
// progress from one a killed server left behind.
//
// Threads: a FileStore holds only its folder and is used by one session at a time; different
// stores work on the same folders concurrently with no lock of their own (each replacement is
// one atomic rename).
#ifndef DATASERVER_SERVICE_FILE_STORE_H_
#define DATASERVER_SERVICE_FILE_STORE_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.h"
#include "common/error.h"
#include "common/variant.h"
#include "service/payload_codec.h"
#include "service/server_files.h"

namespace service {

// File failures that end a call with an error (UploadFile, DownLoadFile).
class EFileStoreError : public common::Error {
 public:
  explicit EFileStoreError(const std::string& message)
      : common::Error("EFileStoreError", message) {}
};

// The system calls whose failures the store turns into its documented outcomes. Tests derive
// from it to make a write run out of space or a deletion fail; the default calls the system.
// Implementations must be safe to call from several threads.
class FileIo {
 public:
  virtual ~FileIo() = default;
  virtual ssize_t Write(int fd, const void* data, size_t size);
  virtual int Rename(const char* from, const char* to);
  virtual int Unlink(const char* path);

  static FileIo& System();
};

class FileStore {
 public:
  // `app_folder` ends with "/". `io` (not owned) must outlive the store; null means the system.
  // `max_payload` bounds what a compressed upload may inflate to, within `budget` (not owned,
  // may be null). `own_files` (not owned, may be null) names the server's own files; the
  // temporary files of uploads are refused either way.
  explicit FileStore(std::string app_folder, FileIo* io = nullptr,
                     size_t max_payload = kDefaultMaxPayloadSize,
                     const ServerFiles* own_files = nullptr,
                     common::MemoryBudget* budget = nullptr);

  // Stores the decompressed payload as Upload/<FileName>. False when the payload is not a byte
  // array, is not valid compressed data, or cannot be written (the old file is kept). Throws
  // EFileStoreError when the file cannot be created there, EClientPathError for a name outside
  // the folder or one of the server's own.
  bool UploadFile(const common::Variant& FileOV, const std::string& FileName);

  // The compressed content of Upload/<FileName>, with Size set to its length; null (and Size
  // untouched) when there is no such file. Throws EFileStoreError when it cannot be read,
  // EClientPathError for a name outside the folder or one of the server's own.
  common::Variant DownLoadFile(const std::string& FileName, int32_t& Size);

  // The files of the Upload folder as parallel "|"-joined lists of names, last-write local
  // times "YYYYMMDDHHNN" and sizes; returns their number. The server's own files and links that
  // lead outside the folder are not listed; an Upload folder that leads outside lists nothing.
  int32_t CheckUpload(std::string& FileName, std::string& FileTime, std::string& Size);

  // The bytes of <FilePath>/<FileName>, uncompressed; null when there is no such file; a read
  // failure goes to ErrMsg and leaves the result unassigned.
  common::Variant ReadData(const std::string& FilePath, const std::string& FileName,
                           std::string& ErrMsg);

  // Creates <FilePath> with its parents and stores the payload's bytes as <FileName> in it.
  // Failures go to ErrMsg.
  void PostData(const common::Variant& FileOV, const std::string& FilePath,
                const std::string& FileName, std::string& ErrMsg);

  // Deletes <FilePath>/<FileName> if it exists; a failure goes to ErrMsg.
  void DeleteData(const std::string& FilePath, const std::string& FileName, std::string& ErrMsg);

  // The names in <FilesDir> matching APropty, each followed by CR LF, in the ANSI code page, as
  // an uncompressed byte array, without the server's own files. Throws EClientPathError for a
  // folder outside or of the server's own.
  common::Variant FindFiles(const std::string& FilesDir, const std::string& APropty);

  const std::string& app_folder() const { return app_folder_; }

 private:
  // The server's own files now (only the upload temporaries when the store was given none).
  // Each call reads DataBase.CFG and the backup setting: a method takes one and uses it for all
  // its paths and listings.
  OwnFileSnapshot OwnFiles() const;
  // The resolved path of a client's name. Throws EClientPathError for a name outside the folder
  // or one of the server's own (`own`).
  std::string ClientPath(const OwnFileSnapshot& own,
                         std::initializer_list<std::string_view> parts) const;
  // The names ListFolder gives for `folder` (a resolved path) less those a client may not see.
  std::vector<std::string> ListForClient(const OwnFileSnapshot& own, const std::string& folder,
                                         const std::string& pattern) const;

  std::string app_folder_;
  FileIo* io_;
  size_t max_payload_;
  const ServerFiles* own_files_;
  common::MemoryBudget* budget_;
};

// The names (not directories) in `folder` that match `pattern`, in directory order; empty when
// the folder does not exist. Patterns: "*" any run, "?" one character, ASCII letters match
// either case; "*" and "*.*" match every name, and "name.*" also matches "name".
std::vector<std::string> ListFolder(const std::string& folder, const std::string& pattern);
bool MatchesFilePattern(std::string_view name, std::string_view pattern);

}  // namespace service

#endif  // DATASERVER_SERVICE_FILE_STORE_H_
