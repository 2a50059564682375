// Paths built from client input, kept inside the application folder.
//
// Clients name files and folders relative to the application folder, with "\" or "/" as
// separators. Every part a client gives must be relative: a part that begins with a separator
// ("/etc/passwd", "\\server\share") or with a drive ("C:\x", "C:x"), and any NUL character, is
// refused. The parts are joined and resolved through the file system, one component at a time,
// starting from the real application folder (its own symbolic links resolved):
//   - empty and "." components vanish;
//   - ".." goes to the parent of where the walk stands, which is always a real folder, so ".."
//     after a symbolic link climbs from where the link led; at the folder itself it is refused;
//   - a symbolic link is followed and must lead inside the folder; a link that leads nowhere is
//     refused as well;
//   - a component that does not exist is taken as written (a folder PostData will create).
// The result is the real path of what the name designates: inside the folder and free of
// symbolic links, so that the caller's checks and its use of the path see the same file.
//
// Threads: any; reads the file system only. A link replaced between the resolution and the use
// of the path is not guarded against: no file method creates links, only the operator can.
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
// the real application folder followed by the resolved relative path (a name that resolves to
// nothing gives the real folder with a trailing "/"). Throws EClientPathError for a name that
// leaves the folder. A folder that does not exist is taken as written, and so are the names in
// it.
std::string ResolveClientPath(std::string_view app_folder,
                              std::initializer_list<std::string_view> parts);

// The real path of `path` (its symbolic links resolved), or empty when it cannot be resolved
// (a broken link, a loop, a name that does not exist).
std::string RealPath(const std::string& path);

// `app_folder` with its symbolic links resolved and without a trailing "/" ("/" stays "/"); as
// written (less the trailing "/") when it does not exist.
std::string RealFolder(std::string_view app_folder);

// Whether `path` is `folder` or lies below it (both absolute, without trailing "/"), compared
// byte for byte as the file system compares names.
bool IsWithinFolder(std::string_view path, std::string_view folder);

// `folder` followed by "/" and `name` ("/" is not doubled).
std::string JoinPath(std::string_view folder, std::string_view name);

}  // namespace service

#endif  // DATASERVER_SERVICE_CLIENT_PATH_H_
