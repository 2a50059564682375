// The application folder: where CONFIG.CFG, DataBase.CFG, Upload, BackupData and the clients'
// folders live. It is the executable's folder unless "--app-dir DIR" names another, always
// absolute and with a trailing "/", so that every file is addressed as folder + name.
//
// Threads: fixed once during start-up, before any other thread exists; read-only afterwards.
#ifndef DATASERVER_HOST_APP_FOLDER_H_
#define DATASERVER_HOST_APP_FOLDER_H_

#include <optional>
#include <string>

namespace host {

// The running executable's full path (from /proc/self/exe). Throws common::Error when the
// platform does not tell.
std::string ExecutablePath();

// `app_dir` made absolute (relative to the working directory) and normalised, with a trailing
// "/"; without `app_dir`, the executable's folder. Throws common::Error when the folder does not
// exist.
std::string ResolveApplicationFolder(const std::optional<std::string>& app_dir);

}  // namespace host

#endif  // DATASERVER_HOST_APP_FOLDER_H_
