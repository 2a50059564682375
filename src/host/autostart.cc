#include "host/autostart.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "common/file_replace.h"

namespace host {
namespace {

// One argument of an Exec key: quoted when needed, with the characters that are special inside
// quotes escaped by a backslash, and "%" doubled (field codes).
std::string ExecArgument(const std::string& arg) {
  const bool needs_quotes =
      arg.empty() || arg.find_first_of(" \t\n\"'\\><~|&;$*?#()`=") != std::string::npos;
  std::string out;
  if (needs_quotes) out += '"';
  for (char c : arg) {
    if (needs_quotes && (c == '"' || c == '`' || c == '$' || c == '\\')) out += '\\';
    if (c == '%') out += '%';
    out += c;
  }
  if (needs_quotes) out += '"';
  return out;
}

// A string value of a desktop entry: backslashes and line breaks escaped.
std::string EntryValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string AutostartEntryPath() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (config != nullptr && config[0] == '/') {
    base = config;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
    base = std::string(home) + "/.config";
  } else {
    return {};
  }
  return base + "/autostart/dataserver.desktop";
}

std::string AutostartEntryText(const std::string& executable_path, const std::string& app_folder) {
  const std::string exec = ExecArgument(executable_path) + " --app-dir " + ExecArgument(app_folder);
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=dataserver\n"
         "Exec=" +
         EntryValue(exec) +
         "\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

bool ApplyAutostart(bool enabled, const std::string& executable_path, const std::string& app_folder,
                    const std::string& entry_path) {
  if (entry_path.empty()) return false;
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!enabled) {
    fs::remove(entry_path, ec);
    return !ec;
  }
  fs::create_directories(fs::path(entry_path).parent_path(), ec);
  if (ec) return false;
  if (common::ReplaceFileContents(entry_path, AutostartEntryText(executable_path, app_folder)) != 0) {
    return false;
  }
  return true;
}

bool ApplyAutostart(bool enabled, const std::string& executable_path,
                    const std::string& app_folder) {
  return ApplyAutostart(enabled, executable_path, app_folder, AutostartEntryPath());
}

}  // namespace host
