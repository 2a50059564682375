// Replacing a small file's whole content so that readers see either the old file or the new
// one, never a half-written one: the bytes go to a temporary file in the same folder, which is
// synced and renamed over the target. A failure leaves the target as it was and removes the
// temporary file. An existing target's permission bits are kept.
#ifndef DATASERVER_COMMON_FILE_REPLACE_H_
#define DATASERVER_COMMON_FILE_REPLACE_H_

#include <string>
#include <string_view>

namespace common {

// Returns 0 on success, else the errno of the step that failed.
int ReplaceFileContents(const std::string& path, std::string_view bytes);

}  // namespace common

#endif  // DATASERVER_COMMON_FILE_REPLACE_H_
