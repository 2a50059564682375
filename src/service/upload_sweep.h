// The start-up sweep of the temporary files that uploads of a killed server left behind.
//
// An upload writes `.dataserver-upload-XXXXXX` beside its target and holds an exclusive flock on
// it until the rename (file_store.h). A server killed in between leaves the file with no lock
// on it. The sweep walks the folders the file methods write (the application folder and the
// folders below it: Upload and the clients' folders), without following symbolic links and
// within a bound of depth and entries, and removes each regular file with that exact name whose
// lock it can take at once. A file locked by another server sharing the folder is an upload in
// progress and stays; every other name stays too.
//
// Threads: runs on the start-up thread; safe beside other processes working in the folder.
#ifndef DATASERVER_SERVICE_UPLOAD_SWEEP_H_
#define DATASERVER_SERVICE_UPLOAD_SWEEP_H_

#include <cstddef>
#include <string>
#include <vector>

namespace service {

struct UploadSweepLimits {
  int max_depth = 16;            // folders below the application folder
  size_t max_entries = 200'000;  // directory entries looked at in all
};

// Removes the stale upload files below `app_folder` (which ends with "/"); returns their paths.
// `skip_folder` (absolute, links resolved; may be empty) is not entered: the backup folder.
std::vector<std::string> SweepUploadLeftovers(const std::string& app_folder,
                                              const std::string& skip_folder = {},
                                              const UploadSweepLimits& limits = {});

}  // namespace service

#endif  // DATASERVER_SERVICE_UPLOAD_SWEEP_H_
