#include "service/client_path.h"

#include <vector>

namespace service {
namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool IsDriveQualified(std::string_view component) {
  return component.size() >= 2 && component[1] == ':' &&
         ((component[0] >= 'A' && component[0] <= 'Z') ||
          (component[0] >= 'a' && component[0] <= 'z'));
}

}  // namespace

std::string ResolveClientPath(std::string_view app_folder,
                              std::initializer_list<std::string_view> parts) {
  std::string joined;
  bool first = true;
  for (std::string_view part : parts) {
    if (!first) joined += '/';
    joined.append(part);
    first = false;
  }
  if (joined.find('\0') != std::string::npos) {
    throw EClientPathError("Path contains a NUL character");
  }

  std::vector<std::string_view> components;
  std::string_view rest(joined);
  bool first_component = true;
  while (!rest.empty()) {
    size_t end = 0;
    while (end < rest.size() && !IsSeparator(rest[end])) ++end;
    const std::string_view c = rest.substr(0, end);
    rest.remove_prefix(end < rest.size() ? end + 1 : end);
    if (c.empty() || c == ".") continue;
    if (first_component && IsDriveQualified(c)) {
      throw EClientPathError("Path \"" + joined + "\" leaves the application folder");
    }
    first_component = false;
    if (c == "..") {
      if (components.empty()) {
        throw EClientPathError("Path \"" + joined + "\" leaves the application folder");
      }
      components.pop_back();
      continue;
    }
    components.push_back(c);
  }

  std::string result(app_folder);
  for (size_t i = 0; i < components.size(); ++i) {
    if (i > 0) result += '/';
    result.append(components[i]);
  }
  return result;
}

}  // namespace service
