// Resolves arbitrary client names against a real application folder with links in it: the
// result is either refused or inside the real folder, with no "." or ".." component left and no
// symbolic link on the way.
//   <tmp>/app/sub/            <tmp>/outside/
//   <tmp>/app/in   -> sub     <tmp>/app/out -> ../outside    <tmp>/app/up -> ..
//   <tmp>/app/loop -> loop
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "service/client_path.h"

namespace {

// The temporary root, removed when the run ends.
std::string& Root() {
  static std::string root;
  return root;
}

void RemoveRoot() {
  std::error_code ignored;
  std::filesystem::remove_all(Root(), ignored);
}

// The real application folder, made once for the whole run.
const std::string& AppFolder() {
  static const std::string folder = [] {
    char tmpl[] = "/tmp/fuzz-client-path-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) __builtin_trap();
    const std::string root = Root() = tmpl;
    std::atexit(RemoveRoot);
    ::mkdir((root + "/app").c_str(), 0755);
    ::mkdir((root + "/app/sub").c_str(), 0755);
    ::mkdir((root + "/outside").c_str(), 0755);
    if (::symlink("sub", (root + "/app/in").c_str()) != 0 ||
        ::symlink("../outside", (root + "/app/out").c_str()) != 0 ||
        ::symlink("..", (root + "/app/up").c_str()) != 0 ||
        ::symlink("loop", (root + "/app/loop").c_str()) != 0) {
      __builtin_trap();
    }
    return service::RealFolder(root + "/app") + "/";
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('|');
  const std::string_view folder = input.substr(0, split);
  const std::string_view name = split == std::string_view::npos ? "" : input.substr(split + 1);
  const std::string& app = AppFolder();
  std::string path;
  try {
    path = service::ResolveClientPath(app, {folder, name});
  } catch (const service::EClientPathError&) {
    return 0;
  }
  if (path.compare(0, app.size(), app) != 0) __builtin_trap();
  const std::string rest = "/" + path.substr(app.size()) + "/";
  if (rest.find("/../") != std::string::npos || rest.find("/./") != std::string::npos ||
      rest.find('\\') != std::string::npos || rest.find('\0') != std::string::npos) {
    __builtin_trap();
  }
  // No link is left on the way: every existing prefix of the result is real.
  for (size_t end = path.find('/', app.size());; end = path.find('/', end + 1)) {
    struct stat st {};
    if (::lstat(path.substr(0, end).c_str(), &st) == 0 && S_ISLNK(st.st_mode)) __builtin_trap();
    if (end == std::string::npos) break;
  }
  return 0;
}
