#include "host/app_folder.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "common/error.h"

namespace host {

namespace fs = std::filesystem;

std::string ExecutablePath() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) throw common::Error("Cannot find the executable's path: " + ec.message());
  return exe.string();
}

std::string ResolveApplicationFolder(const std::optional<std::string>& app_dir) {
  fs::path folder;
  if (app_dir) {
    if (app_dir->empty()) throw common::Error("The application folder name is empty");
    std::error_code ec;
    folder = fs::absolute(*app_dir, ec);
    if (ec) throw common::Error("Application folder \"" + *app_dir + "\": " + ec.message());
  } else {
    folder = fs::path(ExecutablePath()).parent_path();
  }
  folder = folder.lexically_normal();
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    throw common::Error("Application folder \"" + folder.string() + "\" does not exist");
  }
  std::string result = folder.string();
  if (result.empty() || result.back() != '/') result += '/';
  return result;
}

std::vector<std::string> LoadedFilesIn(const std::string& folder) {
  std::error_code ec;
  const fs::path real = fs::canonical(folder, ec);
  std::vector<std::string> files;
  if (ec) return files;
  const std::string prefix = real.string() == "/" ? "/" : real.string() + "/";
  // Each line: address perms offset dev inode [path]; the path starts at the first "/".
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    const size_t slash = line.find('/');
    if (slash == std::string::npos) continue;
    std::string path = line.substr(slash);
    if (path.compare(0, prefix.size(), prefix) != 0) continue;
    if (std::find(files.begin(), files.end(), path) == files.end()) files.push_back(path);
  }
  return files;
}

}  // namespace host
