#include "host/app_folder.h"

#include <filesystem>
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

}  // namespace host
