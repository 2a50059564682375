// Start at log-on, as an XDG autostart entry: ~/.config/autostart/dataserver.desktop (or under
// $XDG_CONFIG_HOME) starting the executable with its application folder.
//
// Applying it never fails loudly: without rights (or without a home) nothing changes and
// nothing is reported, as the platform's start-at-log-on setting behaves.
//
// Threads: start-up / console thread.
#ifndef DATASERVER_HOST_AUTOSTART_H_
#define DATASERVER_HOST_AUTOSTART_H_

#include <string>

namespace host {

// The entry's path for the current user; empty when neither XDG_CONFIG_HOME nor HOME is set.
std::string AutostartEntryPath();

// The desktop entry that starts `executable_path` with "--app-dir `app_folder`".
std::string AutostartEntryText(const std::string& executable_path, const std::string& app_folder);

// Writes the entry when `enabled` (replacing an older one), removes it otherwise (absence is
// fine). Returns whether the entry now matches `enabled`; never throws.
bool ApplyAutostart(bool enabled, const std::string& executable_path, const std::string& app_folder,
                    const std::string& entry_path);
bool ApplyAutostart(bool enabled, const std::string& executable_path,
                    const std::string& app_folder);

}  // namespace host

#endif  // DATASERVER_HOST_AUTOSTART_H_
