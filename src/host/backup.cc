#include "host/backup.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "common/bytes.h"
#include "common/error.h"
#include "common/text.h"

namespace host {
namespace {

namespace fs = std::filesystem;

std::string SystemReason(const std::string& what, const std::string& path, int error) {
  return what + " \"" + path + "\": " + std::strerror(error);
}

// An open file descriptor, closed on every path.
class File {
 public:
  explicit File(int fd) : fd_(fd) {}
  ~File() { Close(); }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  int fd() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // False (errno set) when closing reports a failed write.
  bool Close() {
    if (fd_ < 0) return true;
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// The platform's "open for reading, others may read and write meanwhile". POSIX files carry no
// sharing modes, so a plain read-only open already allows it.
int OpenSharedForReading(const std::string& path) {
  return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Quote characters doubled inside a quoted SQL identifier or text.
std::string Doubled(std::string_view text, char quote) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    out += c;
    if (c == quote) out += quote;
  }
  return out;
}

std::string TwoDigits(int value) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02d", value % 100);
  return buf;
}

bool EndsWithSeparator(std::string_view folder) {
  return !folder.empty() && (folder.back() == '/' || folder.back() == '\\');
}

// The backup folder as a path of this machine; relative folders are taken from the
// application folder (the working folder means nothing to the server).
fs::path LocalFolder(const std::string& folder, const std::string& app_folder) {
  fs::path path(folder);
  if (path.is_relative()) path = fs::path(app_folder) / path;
  return path.lexically_normal();
}

}  // namespace

bool IsWindowsPath(std::string_view folder) {
  if (folder.find('\\') != std::string_view::npos) return true;
  const bool drive =
      folder.size() >= 2 && folder[1] == ':' &&
      ((folder[0] >= 'A' && folder[0] <= 'Z') || (folder[0] >= 'a' && folder[0] <= 'z'));
  return drive;
}

std::string BackupFileName(std::string_view driver, std::string_view folder, int day,
                           std::string_view database) {
  std::string name;
  if (common::EqualsIgnoreAsciiCase(driver, kDriverMssql)) {
    name = TwoDigits(day) + std::string(database) + ".SQLbak";
  } else if (common::EqualsIgnoreAsciiCase(driver, kDriverAccess)) {
    name = TwoDigits(day) + "data.mdb";
  } else {
    return {};
  }
  const char separator = IsWindowsPath(folder) ? '\\' : '/';
  std::string file(folder);
  if (!EndsWithSeparator(folder)) file += separator;
  return file + name;
}

std::string BackupStatement(std::string_view database, std::string_view file_name) {
  return "BACKUP DATABASE \"" + Doubled(database, '"') + "\" TO DISK='" + Doubled(file_name, '\'') +
         "'";
}

void CopyDatabaseFile(const std::string& source, const std::string& target) {
  File in(OpenSharedForReading(source));
  if (!in.valid()) throw common::Error(SystemReason("Cannot open file", source, errno));

  // Written beside the target, then renamed over it: an older backup survives a failed copy.
  const std::string part = target + ".part";
  File out(::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!out.valid()) throw common::Error(SystemReason("Cannot create file", part, errno));
  auto discard = [&part](const std::string& reason) {
    ::unlink(part.c_str());
    throw common::Error(reason);
  };

  const std::unique_ptr<uint8_t[]> chunk(new uint8_t[kBackupChunkSize]);
  uint64_t size = 0;
  for (;;) {
    const ssize_t n = ::read(in.fd(), chunk.get(), kBackupChunkSize);
    if (n < 0) {
      if (errno == EINTR) continue;
      discard(SystemReason("Cannot read file", source, errno));
    }
    if (n == 0) break;
    if (!WriteAll(out.fd(), chunk.get(), static_cast<size_t>(n))) {
      discard(SystemReason("Cannot write file", part, errno));
    }
    size += static_cast<uint64_t>(n);
  }
  uint8_t trailer[4];
  common::StoreLE<uint32_t>(trailer, static_cast<uint32_t>(size));
  if (!WriteAll(out.fd(), trailer, sizeof trailer) || ::fsync(out.fd()) != 0 || !out.Close()) {
    discard(SystemReason("Cannot write file", part, errno));
  }
  if (::rename(part.c_str(), target.c_str()) != 0) {
    discard(SystemReason("Cannot replace file", target, errno));
  }
}

std::string StatusBarTime(const common::DateTimeParts& now) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d-%02d-%02d %02d:%02d", now.year % 100, now.month % 100,
                now.day % 100, now.hour % 100, now.minute % 100);
  return buf;
}

std::optional<BackupStatus> BackupDatabase(pools::TDAConnectionPool& connections,
                                           pools::TDAQueryPool& queries, const std::string& folder,
                                           const std::string& app_folder,
                                           const common::DateTimeParts& now) {
  try {
    // 1. Released in the reverse order on every path: the query first, then the connection.
    pools::PooledConnection connection(connections);
    pools::PooledQuery query(queries);
    if (!connection) return std::nullopt;  // nothing to back up without a database
    if (query) query->SetConnection(connection.get());

    // 2. The folder and its parents. A Windows path names a folder of the database server's
    //    machine: nothing can be made for it here.
    if (folder.empty()) return std::nullopt;
    const bool windows_path = IsWindowsPath(folder);
    fs::path local_folder;
    if (!windows_path) {
      local_folder = LocalFolder(folder, app_folder);
      std::error_code ec;
      fs::create_directories(local_folder, ec);
      if (ec || !fs::is_directory(local_folder)) return std::nullopt;
    }

    // 3. By driver.
    const std::string driver = connection->DriverName();
    std::string file;
    if (common::EqualsIgnoreAsciiCase(driver, kDriverMssql)) {
      if (!query) return std::nullopt;
      const std::string database = connection->Params().Value("Database");
      file = BackupFileName(driver, folder, now.day, database);
      query->SetSQLText(BackupStatement(database, file));
      query->Execute();
    } else if (common::EqualsIgnoreAsciiCase(driver, kDriverAccess)) {
      if (windows_path) return std::nullopt;
      fs::path source(connection->Params().Value("Database"));
      if (source.empty()) return std::nullopt;
      if (source.is_relative() && !connection->BaseFolder().empty()) {
        source = connection->BaseFolder() / source;
      }
      connection.reset();  // the copy needs no connection: give it back at once
      file = BackupFileName(driver, local_folder.string(), now.day, "");
      CopyDatabaseFile(source.string(), file);
    } else {
      return std::nullopt;
    }

    // 4.
    return BackupStatus{StatusBarTime(now), kBackupDonePrefix + file};
  } catch (const std::exception&) {
    // A failed backup is reported to nobody; the guards have given everything back.
    return std::nullopt;
  }
}

}  // namespace host
