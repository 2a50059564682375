#include "service/upload_sweep.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "service/client_path.h"
#include "service/server_files.h"

namespace service {
namespace {

// A descriptor closed when the guard goes.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

class Sweep {
 public:
  Sweep(const UploadSweepLimits& limits, std::vector<std::string>& removed)
      : limits_(limits), removed_(removed) {}

  // Skips the folder with this device and inode.
  void Skip(dev_t dev, ino_t ino) {
    skip_ = {dev, ino};
    has_skip_ = true;
  }

  // `dir` is an open folder at `path`, `depth` levels below the application folder.
  void Folder(int dir, const std::string& path, int depth) {
    // Names first, then the work: the listing's own descriptor is not held while descending.
    std::vector<std::pair<std::string, unsigned char>> entries;
    {
      const int listing = ::dup(dir);
      if (listing < 0) return;
      DIR* d = ::fdopendir(listing);
      if (d == nullptr) {
        ::close(listing);
        return;
      }
      while (const dirent* e = ::readdir(d)) {
        const std::string_view name(e->d_name);
        if (name == "." || name == "..") continue;
        if (++seen_ > limits_.max_entries) break;
        entries.emplace_back(std::string(name), e->d_type);
      }
      ::closedir(d);
    }
    for (const auto& [name, type] : entries) {
      if (type == DT_DIR || type == DT_UNKNOWN) {
        if (depth < limits_.max_depth) Subfolder(dir, path, name, depth + 1);
      }
      if ((type == DT_REG || type == DT_UNKNOWN) && IsUploadTempName(name)) {
        RemoveIfStale(dir, path, name);
      }
    }
  }

 private:
  void Subfolder(int dir, const std::string& path, const std::string& name, int depth) {
    // O_NOFOLLOW: a link to a folder, inside or outside, is never entered.
    Fd sub(::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (sub.get() < 0) return;
    struct stat st {};
    if (::fstat(sub.get(), &st) != 0) return;
    if (has_skip_ && st.st_dev == skip_.first && st.st_ino == skip_.second) return;
    Folder(sub.get(), JoinPath(path, name), depth);
  }

  void RemoveIfStale(int dir, const std::string& path, const std::string& name) {
    Fd file(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) return;
    struct stat st {};
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) return;  // an upload in progress
    // Still the file that was locked under that name (not renamed away and replaced meanwhile).
    struct stat now {};
    if (::fstatat(dir, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || now.st_dev != st.st_dev ||
        now.st_ino != st.st_ino) {
      return;
    }
    // Unlinked under the lock: a writer that locks after this sees its file gone and starts over.
    if (::unlinkat(dir, name.c_str(), 0) == 0) removed_.push_back(JoinPath(path, name));
  }

  const UploadSweepLimits& limits_;
  std::vector<std::string>& removed_;
  size_t seen_ = 0;
  std::pair<dev_t, ino_t> skip_{};
  bool has_skip_ = false;
};

}  // namespace

std::vector<std::string> SweepUploadLeftovers(const std::string& app_folder,
                                              const std::string& skip_folder,
                                              const UploadSweepLimits& limits) {
  std::vector<std::string> removed;
  const std::string root = RealFolder(app_folder);
  Fd dir(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return removed;
  Sweep sweep(limits, removed);
  struct stat st {};
  if (!skip_folder.empty() && ::stat(skip_folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    sweep.Skip(st.st_dev, st.st_ino);
  }
  sweep.Folder(dir.get(), root, 0);
  return removed;
}

}  // namespace service
