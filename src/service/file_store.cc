#include "service/file_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
#include <optional>

#include "common/text.h"
#include "service/client_path.h"

namespace service {
namespace {

constexpr size_t kCopyPiece = size_t{1} << 20;  // files move to and from memory 1 MiB at a time
// mkstemp's pattern: the six X become letters and digits (IsUploadTempName).
constexpr char kTempPattern[] = "XXXXXX";
static_assert(sizeof kTempPattern - 1 == kUploadTempRandomLength);
// A temporary file unlinked by another server's start-up sweep between its creation and its lock
// is made again; more than a few such races in a row would mean something else is deleting.
constexpr int kTempCreateAttempts = 8;

std::string ErrnoText(int err) { return std::strerror(err); }

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

// A file exists when the name resolves to something that is not a folder.
bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::string ParentFolder(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// Reads a whole regular file into `out`. Returns the failure's message, empty on success.
std::string ReadWholeFile(const std::string& path, common::Bytes& out) {
  // O_NONBLOCK: a FIFO left in a folder must not hang the connection thread.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return "Cannot open file " + Quoted(path) + ". " + ErrnoText(errno);
  struct stat st {};
  std::string error;
  if (::fstat(fd, &st) != 0) {
    error = "Cannot open file " + Quoted(path) + ". " + ErrnoText(errno);
  } else if (!S_ISREG(st.st_mode)) {
    error = "Cannot open file " + Quoted(path) + ". Not a regular file";
  } else if (st.st_size > std::numeric_limits<int32_t>::max()) {
    error = "File " + Quoted(path) + " is too large to transfer (" + std::to_string(st.st_size) +
            " bytes)";
  } else {
    out.clear();
    // Room for the whole file plus the piece that finds its end: no reallocation on the way.
    out.reserve(static_cast<size_t>(st.st_size) + kCopyPiece);
    for (;;) {
      const size_t old_size = out.size();
      if (old_size > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        error = "File " + Quoted(path) + " is too large to transfer";
        break;
      }
      out.resize(old_size + kCopyPiece);
      const ssize_t n = ::read(fd, out.data() + old_size, kCopyPiece);
      if (n < 0 && errno == EINTR) {
        out.resize(old_size);
        continue;
      }
      if (n < 0) {
        out.resize(old_size);
        error = "Read error on file " + Quoted(path) + ". " + ErrnoText(errno);
        break;
      }
      out.resize(old_size + static_cast<size_t>(n));
      if (n == 0) break;
    }
  }
  ::close(fd);
  return error;
}

// A file that replaces `target` only when Commit succeeds. The bytes go to a hidden temporary
// file in the target's folder; Commit syncs it and renames it over the target in one step.
// Until then, and whenever anything fails, the target is untouched and the temporary file is
// removed.
class ReplacingFile {
 public:
  ReplacingFile(FileIo& io, std::string target) : io_(io), target_(std::move(target)) {}
  ~ReplacingFile() { Discard(); }
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  // Creates the temporary file and locks it. Returns the failure's message, empty on success.
  std::string Create() {
    struct stat st {};
    mode_t mode = 0644;
    if (::stat(target_.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) return "Cannot create file " + Quoted(target_) + ". Is a directory";
      mode = st.st_mode & 07777;  // a replaced file keeps its permissions
    }
    for (int attempt = 0; attempt < kTempCreateAttempts; ++attempt) {
      temp_ = ParentFolder(target_) + "/" + kUploadTempPrefix + kTempPattern;
      fd_ = ::mkostemp(temp_.data(), O_CLOEXEC);
      if (fd_ < 0) {
        const int err = errno;
        temp_.clear();
        return "Cannot create file " + Quoted(target_) + ". " + ErrnoText(err);
      }
      // The lock tells a sweep that this file is in progress. A sweep that got in first (between
      // mkostemp and flock) has unlinked the file under its own lock: the link count shows it.
      int locked;
      while ((locked = ::flock(fd_, LOCK_EX)) != 0 && errno == EINTR) {
      }
      struct stat own {};
      if (locked == 0 && ::fstat(fd_, &own) == 0 && own.st_nlink > 0) {
        ::fchmod(fd_, mode);
        return {};
      }
      ::close(fd_);
      fd_ = -1;
      temp_.clear();
    }
    return "Cannot create file " + Quoted(target_) + ". Its temporary file kept disappearing";
  }

  std::string Write(common::ByteSpan data) {
    size_t pos = 0;
    while (pos < data.size()) {
      const size_t piece = std::min(kCopyPiece, data.size() - pos);
      const ssize_t n = io_.Write(fd_, data.data() + pos, piece);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        const int err = n < 0 ? errno : EIO;
        return "Cannot write file " + Quoted(target_) + ". " + ErrnoText(err);
      }
      pos += static_cast<size_t>(n);
    }
    return {};
  }

  std::string Commit() {
    if (::fsync(fd_) != 0) return "Cannot write file " + Quoted(target_) + ". " + ErrnoText(errno);
    // Renamed while still locked: a sweep must never take the finished file for a leftover.
    if (io_.Rename(temp_.c_str(), target_.c_str()) != 0) {
      return "Cannot create file " + Quoted(target_) + ". " + ErrnoText(errno);
    }
    temp_.clear();
    // The bytes are synced and in place: a failing close loses nothing.
    ::close(fd_);
    fd_ = -1;
    return {};
  }

 private:
  // Unlinked before the close: the lock is held until the name is gone.
  void Discard() {
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  FileIo& io_;
  std::string target_;
  std::string temp_;
  int fd_ = -1;
};

bool IsPatternSeparator(char c) { return c == '/' || c == '\\'; }

char FoldAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

bool GlobMatch(std::string_view name, std::string_view pattern) {
  size_t n = 0;
  size_t p = 0;
  size_t star = std::string_view::npos;
  size_t star_n = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      star_n = n;
    } else if (p < pattern.size() &&
               (pattern[p] == '?' || FoldAscii(pattern[p]) == FoldAscii(name[n]))) {
      ++p;
      ++n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++star_n;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::string FormatLocalMinute(time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min);
  return buf;
}

}  // namespace

ssize_t FileIo::Write(int fd, const void* data, size_t size) { return ::write(fd, data, size); }
int FileIo::Rename(const char* from, const char* to) { return ::rename(from, to); }
int FileIo::Unlink(const char* path) { return ::unlink(path); }

FileIo& FileIo::System() {
  static FileIo io;
  return io;
}

bool MatchesFilePattern(std::string_view name, std::string_view pattern) {
  if (pattern.empty()) return false;
  if (pattern == "*" || pattern == "*.*") return true;
  if (GlobMatch(name, pattern)) return true;
  // "name.*" also matches a name without any extension.
  if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == ".*" &&
      name.find('.') == std::string_view::npos) {
    return GlobMatch(name, pattern.substr(0, pattern.size() - 2));
  }
  return false;
}

std::vector<std::string> ListFolder(const std::string& folder, const std::string& pattern) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return names;
  const std::string prefix = (!folder.empty() && folder.back() == '/') ? folder : folder + "/";
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    bool is_dir = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
      struct stat st {};
      is_dir = ::stat((prefix + entry->d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    if (is_dir || !MatchesFilePattern(name, pattern)) continue;
    names.emplace_back(name);
  }
  ::closedir(dir);
  return names;
}

FileStore::FileStore(std::string app_folder, FileIo* io, size_t max_payload,
                     const ServerFiles* own_files, common::MemoryBudget* budget)
    : app_folder_(std::move(app_folder)),
      io_(io != nullptr ? io : &FileIo::System()),
      max_payload_(max_payload),
      own_files_(own_files),
      budget_(budget) {}

OwnFileSnapshot FileStore::OwnFiles() const {
  return own_files_ != nullptr ? own_files_->Snapshot() : OwnFileSnapshot{};
}

std::string FileStore::ClientPath(const OwnFileSnapshot& own,
                                  std::initializer_list<std::string_view> parts) const {
  std::string path = ResolveClientPath(app_folder_, parts);
  if (own.Contains(path)) {
    std::string joined;
    for (std::string_view part : parts) joined.append(joined.empty() ? "" : "/").append(part);
    throw EClientPathError("Path \"" + joined + "\" is reserved for the server");
  }
  return path;
}

std::vector<std::string> FileStore::ListForClient(const OwnFileSnapshot& own,
                                                  const std::string& folder,
                                                  const std::string& pattern) const {
  std::vector<std::string> names = ListFolder(folder, pattern);
  const std::string root = RealFolder(app_folder_);
  std::erase_if(names, [&](const std::string& name) {
    // Seen the way a client's name is resolved: a link shows what it leads to.
    std::string path = JoinPath(folder, name);
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      path = RealPath(path);
      if (path.empty() || !IsWithinFolder(path, root)) return true;
    }
    return own.Contains(path);
  });
  return names;
}

bool FileStore::UploadFile(const common::Variant& FileOV, const std::string& FileName) {
  const std::string target = ClientPath(OwnFiles(), {"Upload", FileName});
  ReplacingFile file(*io_, target);
  if (std::string error = file.Create(); !error.empty()) throw EFileStoreError(error);
  try {
    std::optional<common::Bytes> stream = ByteArrayToStream(FileOV);
    if (!stream) return false;
    DecompressStreamInPlace(*stream, max_payload_, budget_);
    if (!file.Write(*stream).empty()) return false;
    return file.Commit().empty();
  } catch (const std::exception&) {
    return false;
  }
}

common::Variant FileStore::DownLoadFile(const std::string& FileName, int32_t& Size) {
  const std::string path = ClientPath(OwnFiles(), {"Upload", FileName});
  if (!FileExists(path)) return common::Variant::Null();
  common::Bytes stream;
  if (std::string error = ReadWholeFile(path, stream); !error.empty()) {
    throw EFileStoreError(error);
  }
  Size = static_cast<int32_t>(stream.size());
  CompressStreamInPlace(stream, 2);
  return StreamToByteArray(std::move(stream));
}

int32_t FileStore::CheckUpload(std::string& FileName, std::string& FileTime, std::string& Size) {
  FileName.clear();
  FileTime.clear();
  Size.clear();
  // One look at the server's own files serves the folder and its listing.
  const OwnFileSnapshot own = OwnFiles();
  std::string folder;
  try {
    folder = ClientPath(own, {"Upload"});
  } catch (const EClientPathError&) {
    return 0;  // an Upload folder that leads outside lists nothing
  }
  const std::vector<std::string> names = ListForClient(own, folder, "*.*");
  for (const std::string& name : names) {
    FileName += "|" + name;
    // Looked up again: a file removed since the listing keeps its place with size 0 and no time,
    // so that the three lists stay parallel.
    struct stat st {};
    if (::stat((folder + "/" + name).c_str(), &st) == 0) {
      Size += "|" + std::to_string(static_cast<int64_t>(st.st_size));
      FileTime += "|" + FormatLocalMinute(st.st_mtime);
    } else {
      Size += "|0";
      FileTime += "|";
    }
  }
  if (!FileName.empty()) {
    FileName.erase(0, 1);
    Size.erase(0, 1);
    FileTime.erase(0, 1);
  }
  return static_cast<int32_t>(names.size());
}

common::Variant FileStore::ReadData(const std::string& FilePath, const std::string& FileName,
                                    std::string& ErrMsg) {
  ErrMsg.clear();
  std::string path;
  try {
    path = ClientPath(OwnFiles(), {FilePath, FileName});
  } catch (const EClientPathError& e) {
    ErrMsg = e.what();
    return common::Variant();
  }
  if (!FileExists(path)) return common::Variant::Null();
  common::Bytes stream;
  if (std::string error = ReadWholeFile(path, stream); !error.empty()) {
    ErrMsg = error;
    return common::Variant();
  }
  return StreamToByteArray(std::move(stream));
}

void FileStore::PostData(const common::Variant& FileOV, const std::string& FilePath,
                         const std::string& FileName, std::string& ErrMsg) {
  ErrMsg.clear();
  try {
    const OwnFileSnapshot own = OwnFiles();
    const std::string folder = ClientPath(own, {FilePath});
    const std::string target = ClientPath(own, {FilePath, FileName});
    // A folder that cannot be made shows up as the failure to create the file in it.
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);

    std::optional<common::Bytes> stream = ByteArrayToStream(FileOV);
    if (!stream) {
      ErrMsg = "The data for file " + Quoted(target) + " is not a byte array";
      return;
    }
    ReplacingFile file(*io_, target);
    std::string error = file.Create();
    if (error.empty()) error = file.Write(*stream);
    if (error.empty()) error = file.Commit();
    ErrMsg = error;
  } catch (const std::exception& e) {
    ErrMsg = e.what();
  }
}

void FileStore::DeleteData(const std::string& FilePath, const std::string& FileName,
                           std::string& ErrMsg) {
  ErrMsg.clear();
  std::string path;
  try {
    path = ClientPath(OwnFiles(), {FilePath, FileName});
  } catch (const EClientPathError& e) {
    ErrMsg = e.what();
    return;
  }
  if (!FileExists(path)) return;
  if (io_->Unlink(path.c_str()) != 0) {
    ErrMsg = "Cannot delete file " + Quoted(path) + ". " + ErrnoText(errno);
  }
}

common::Variant FileStore::FindFiles(const std::string& FilesDir, const std::string& APropty) {
  // A pattern may carry folders of its own ("sub\*.txt"); they belong to the folder searched.
  std::string_view pattern(APropty);
  std::string_view pattern_dir;
  for (size_t i = pattern.size(); i > 0; --i) {
    if (IsPatternSeparator(pattern[i - 1])) {
      pattern_dir = pattern.substr(0, i - 1);
      pattern = pattern.substr(i);
      break;
    }
  }
  const OwnFileSnapshot own = OwnFiles();
  const std::string folder = ClientPath(own, {FilesDir, pattern_dir});
  std::string text;
  const common::CodePage& ansi = common::AnsiCodePage();
  for (const std::string& name : ListForClient(own, folder, std::string(pattern))) {
    text += ansi.FromUtf8(name);
    text += "\r\n";
  }
  return StreamToByteArray(common::Bytes(text.begin(), text.end()));
}

}  // namespace service
