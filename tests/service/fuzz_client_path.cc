// Resolves arbitrary client names: the result is either refused or inside the folder, with no
// "." or ".." component left.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "service/client_path.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('|');
  const std::string_view folder = input.substr(0, split);
  const std::string_view name = split == std::string_view::npos ? "" : input.substr(split + 1);
  const std::string app = "/srv/app/";
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
  return 0;
}
