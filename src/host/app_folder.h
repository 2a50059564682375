// The application folder: where CONFIG.CFG, DataBase.CFG, Upload, BackupData and the clients'
// folders live. It is the executable's folder unless "--app-dir DIR" names another, always
// absolute and with a trailing "/", so that every file is addressed as folder + name.
//
// Threads: fixed once during start-up, before any other thread exists; read-only afterwards.
#ifndef DATASERVER_HOST_APP_FOLDER_H_
#define DATASERVER_HOST_APP_FOLDER_H_

#include <optional>
#include <string>
#include <vector>

namespace host {

// The running executable's full path (from /proc/self/exe). Throws common::Error when the
// platform does not tell.
std::string ExecutablePath();

// `app_dir` made absolute (relative to the working directory) and normalised, with a trailing
// "/"; without `app_dir`, the executable's folder. Throws common::Error when the folder does not
// exist.
std::string ResolveApplicationFolder(const std::optional<std::string>& app_dir);

// The files the process has mapped (its executable and shared libraries, from /proc/self/maps)
// that lie in `folder` or below it: what the server runs from when the application folder is
// the executable's folder. Real paths, each once; empty when the platform does not tell.
std::vector<std::string> LoadedFilesIn(const std::string& folder);

}  // namespace host

#endif  // DATASERVER_HOST_APP_FOLDER_H_
