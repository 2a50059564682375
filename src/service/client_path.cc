#include "service/client_path.h"

#include <sys/stat.h>

#include <cstdlib>
#include <memory>

namespace service {
namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool IsDriveQualified(std::string_view part) {
  return part.size() >= 2 && part[1] == ':' &&
         ((part[0] >= 'A' && part[0] <= 'Z') || (part[0] >= 'a' && part[0] <= 'z'));
}

[[noreturn]] void Leaves(const std::string& joined) {
  throw EClientPathError("Path \"" + joined + "\" leaves the application folder");
}

}  // namespace

std::string RealPath(const std::string& path) {
  const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr),
                                                         &std::free);
  return real ? std::string(real.get()) : std::string();
}

std::string RealFolder(std::string_view app_folder) {
  std::string folder(app_folder);
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  std::string real = RealPath(folder);
  return real.empty() ? folder : real;
}

bool IsWithinFolder(std::string_view path, std::string_view folder) {
  if (path.substr(0, folder.size()) != folder) return false;
  return path.size() == folder.size() || folder == "/" || path[folder.size()] == '/';
}

std::string JoinPath(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (path.empty() || path.back() != '/') path += '/';
  path.append(name);
  return path;
}

std::string ResolveClientPath(std::string_view app_folder,
                              std::initializer_list<std::string_view> parts) {
  std::string joined;
  bool first = true;
  bool absolute = false;
  for (std::string_view part : parts) {
    if (!first) joined += '/';
    joined.append(part);
    first = false;
    absolute = absolute || (!part.empty() && IsSeparator(part[0])) || IsDriveQualified(part);
  }
  if (joined.find('\0') != std::string::npos) {
    throw EClientPathError("Path contains a NUL character");
  }
  if (absolute) Leaves(joined);

  const std::string root = RealFolder(app_folder);
  // Invariant: `current` is inside `root` and, up to its last existing component, real.
  std::string current = root;
  std::string_view rest(joined);
  while (!rest.empty()) {
    size_t end = 0;
    while (end < rest.size() && !IsSeparator(rest[end])) ++end;
    const std::string_view c = rest.substr(0, end);
    rest.remove_prefix(end < rest.size() ? end + 1 : end);
    if (c.empty() || c == ".") continue;
    if (c == "..") {
      if (current == root) Leaves(joined);
      // `current` is absolute and below `root`, so it has a "/" before its last component.
      const size_t slash = current.rfind('/');
      current.resize(slash == 0 ? 1 : slash);
      continue;
    }
    std::string next = JoinPath(current, c);
    struct stat st {};
    if (::lstat(next.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      next = RealPath(next);
      if (next.empty()) {
        throw EClientPathError("Path \"" + joined + "\" leads through a broken symbolic link");
      }
      if (!IsWithinFolder(next, root)) Leaves(joined);
    }
    current = std::move(next);
  }
  return current == root ? JoinPath(root, "") : current;
}

}  // namespace service
