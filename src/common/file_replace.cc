#include "common/file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace common {

int ReplaceFileContents(const std::string& path, std::string_view bytes) {
  mode_t mode = 0644;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;
  std::string temp = path + ".XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  ::fchmod(fd, mode);
  int err = 0;
  size_t pos = 0;
  while (err == 0 && pos < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + pos, bytes.size() - pos);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : EIO;
    } else {
      pos += static_cast<size_t>(n);
    }
  }
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(temp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) ::unlink(temp.c_str());
  return err;
}

}  // namespace common
