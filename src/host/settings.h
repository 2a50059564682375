// The settings file CONFIG.CFG in the application folder.
//
//   [CONFIG]   maintained by hand, only read: Caption, SVRUSERNAME, SVRPASSWORD, SVROPENPORT,
//              SVRStart, the optional CodePage (the ANSI code page, e.g. GBK),
//              ShutdownTimeout (seconds the process's stop may take, 1..3600, default 10), and
//              what guards the service against strangers: ListenAddress, LoginTimeout,
//              MaxPendingPerAddress, SendStallTimeout, PreLoginLimit, DecompressionBudget
//   [Backup]   written at every close of the console: BackupType, EveryTime (minute),
//              EveryDay (hour), EveryWeek, EveryMonth (day of month), bakpath
//
// A missing file or key, or a non-integer where an integer belongs, gives the default. The file
// is created only by the first write. Text is UTF-8; a file that is not valid UTF-8 (one copied
// from an older installation) is read and written in its CodePage, else in the ANSI code page.
//
// Threads: used on the start-up / console thread only.
#ifndef DATASERVER_HOST_SETTINGS_H_
#define DATASERVER_HOST_SETTINGS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

inline constexpr char kSettingsFileName[] = "CONFIG.CFG";
inline constexpr char kDefaultCaption[] = "数据服务器3.3";
inline constexpr char kDefaultUserName[] = "admin";
inline constexpr char kDefaultPassword[] = "tulip";
inline constexpr char kDefaultPort[] = "211";
inline constexpr int kDefaultShutdownTimeoutSeconds = 10;
inline constexpr int kMaxShutdownTimeoutSeconds = 3600;

// The automatic-backup fields as the console holds them: ranges already applied, so they are
// what the next close writes back.
struct BackupSettings {
  int backup_type = 0;  // "BackupType": 0..4 ("不备份" .. "每月"), -1 = no choice selected
  int minute = 0;       // "EveryTime": 0..59
  int hour = 0;         // "EveryDay": 0..23
  int weekday = 0;      // "EveryWeek": 0..6 (0 = Sunday), -1 = no choice selected
  int day = 1;          // "EveryMonth": 1..31
  std::string path;     // "bakpath"; default application folder + "BackupData"
};

// How the service meets the network ("CONFIG" section). Negative numbers count as 0.
struct NetworkSettings {
  // "ListenAddress": addresses (or host names) separated by commas, semicolons or blanks;
  // empty = every IPv4 and IPv6 address.
  std::vector<std::string> listen_addresses;
  int32_t login_timeout = 60;            // "LoginTimeout": seconds to log in, 0 = no limit
  int32_t max_pending_per_address = 32;  // "MaxPendingPerAddress": 0 = no limit
  int32_t send_stall_timeout = 300;      // "SendStallTimeout": seconds, 0 = none
  // "PreLoginLimit": bytes a frame, a data block or a decoded frame may have before login;
  // 0 = the caps of logged-in clients apply from the start.
  int32_t pre_login_limit = 1 << 20;
  // "DecompressionBudget": MiB all decoded frames in flight may hold together; 0 = a quarter
  // of the physical memory.
  int32_t decompression_budget_mib = 0;
};

struct ServerSettings {
  std::string caption = kDefaultCaption;
  std::string user_name = kDefaultUserName;
  std::string password = kDefaultPassword;
  // Kept as text: a port that is no integer fails when the service starts, not here.
  std::string port = kDefaultPort;
  bool autostart = true;  // "SVRStart": the "开机运行" check box
  std::string code_page;  // "CodePage"; empty when absent
  // "ShutdownTimeout": how long the stop at the process's end may take before it is cut short.
  int shutdown_timeout_seconds = kDefaultShutdownTimeoutSeconds;
  NetworkSettings network;
  BackupSettings backup;
};

// Decimal integer text with an optional sign, blanks around it allowed; nullopt for anything
// else, and for values outside 32 bits.
std::optional<int32_t> ParseInteger(std::string_view text);

// Reads CONFIG.CFG of `app_folder` (which ends with "/").
ServerSettings LoadSettings(const std::string& app_folder);

// Writes the six keys of the "Backup" section, leaving every other byte of the file as it was.
// False when the file cannot be written.
bool SaveBackupSettings(const std::string& app_folder, const BackupSettings& backup);

// What closing the console window saves, in order: the autostart entry following the check box
// (silently skipped without rights), then the "Backup" section. Returns whether the section was
// written.
bool SaveOnClose(const std::string& app_folder, const std::string& executable_path, bool autostart,
                 const BackupSettings& backup);

}  // namespace host

#endif  // DATASERVER_HOST_SETTINGS_H_
