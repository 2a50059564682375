// Paths built from client input, kept inside the application folder.
//
// Clients name files and folders relative to the application folder, with "\" or "/" as
// separators. The parts of a name are joined as the methods concatenate them, then resolved
// lexically: empty and "." components vanish, ".." removes the component before it. A name
// that would leave the folder (".." above it, a drive-qualified name such as "C:\x", a NUL
// character) is refused. A leading separator is no escape: appended to the folder it stays
// inside, as plain concatenation always did.
//
// Threads: pure functions.
#ifndef DATASERVER_SERVICE_CLIENT_PATH_H_
#define DATASERVER_SERVICE_CLIENT_PATH_H_

#include <initializer_list>
#include <string>
#include <string_view>

#include "common/error.h"

namespace service {

class EClientPathError : public common::Error {
 public:
  explicit EClientPathError(const std::string& message)
      : common::Error("EClientPathError", message) {}
};

// `app_folder` ends with "/"; `parts` are joined with separators between them (UTF-8). Returns
// app_folder followed by the resolved relative path (a name that resolves to nothing gives
// app_folder itself). Throws EClientPathError for a name that leaves the folder.
std::string ResolveClientPath(std::string_view app_folder,
                              std::initializer_list<std::string_view> parts);

}  // namespace service

#endif  // DATASERVER_SERVICE_CLIENT_PATH_H_
