#include "host/settings.h"

#include <algorithm>
#include <charconv>

#include "common/text.h"
#include "host/autostart.h"
#include "host/ini_file.h"

namespace host {
namespace {

constexpr char kConfig[] = "CONFIG";
constexpr char kBackup[] = "Backup";

bool IsValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    size_t len = 0;
    char32_t c = 0;
    if (b < 0x80) {
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      len = 2, c = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3, c = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4, c = b & 0x07;
    } else {
      return false;
    }
    if (i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      const auto cb = static_cast<unsigned char>(s[i + k]);
      if ((cb & 0xC0) != 0x80) return false;
      c = (c << 6) | (cb & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kMin[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

// How the file's text is encoded: UTF-8, or a code page for files from older installations.
class FileText {
 public:
  explicit FileText(const IniFile& ini) {
    if (ini.has_bom() || IsValidUtf8(ini.Serialize())) return;
    // The key name is ASCII, so it reads the same in any of these code pages.
    const std::optional<std::string> name = ini.Read(kConfig, "CodePage");
    if (name && common::CodePage::IsKnown(*name)) {
      page_.emplace(*name);
    } else {
      page_.emplace(common::AnsiCodePage().name());
    }
  }
  std::string Decode(const std::string& bytes) const {
    return page_ ? page_->ToUtf8(bytes) : bytes;
  }
  std::string Encode(const std::string& utf8) const { return page_ ? page_->FromUtf8(utf8) : utf8; }

 private:
  std::optional<common::CodePage> page_;
};

std::string ReadText(const IniFile& ini, const FileText& text, const char* section, const char* key,
                     const std::string& fallback) {
  const std::optional<std::string> value = ini.Read(section, key);
  return value ? text.Decode(*value) : fallback;
}

int ReadInt(const IniFile& ini, const char* section, const char* key, int fallback) {
  const std::optional<std::string> value = ini.Read(section, key);
  if (!value) return fallback;
  return ParseInteger(*value).value_or(fallback);
}

// A choice list: past the last choice selects the last one; below the first selects none.
int Choice(int value, int last) {
  if (value < 0) return -1;
  return std::min(value, last);
}

std::vector<std::string> SplitAddresses(std::string_view text) {
  constexpr std::string_view kSeparators = ", ;\t";
  std::vector<std::string> result;
  for (size_t start = text.find_first_not_of(kSeparators); start != std::string_view::npos;) {
    const size_t end = text.find_first_of(kSeparators, start);
    result.emplace_back(text.substr(start, end - start));
    start = text.find_first_not_of(kSeparators, end);
  }
  return result;
}

NetworkSettings ReadNetwork(const IniFile& ini) {
  NetworkSettings n;
  n.listen_addresses = SplitAddresses(ini.Read(kConfig, "ListenAddress").value_or(""));
  const auto non_negative = [&](const char* key, int32_t fallback) {
    return std::max(ReadInt(ini, kConfig, key, fallback), 0);
  };
  n.login_timeout = non_negative("LoginTimeout", n.login_timeout);
  n.max_pending_per_address = non_negative("MaxPendingPerAddress", n.max_pending_per_address);
  n.send_stall_timeout = non_negative("SendStallTimeout", n.send_stall_timeout);
  n.pre_login_limit = non_negative("PreLoginLimit", n.pre_login_limit);
  n.decompression_budget_mib = non_negative("DecompressionBudget", n.decompression_budget_mib);
  return n;
}

}  // namespace

std::optional<int32_t> ParseInteger(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) return std::nullopt;
  }
  int32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

ServerSettings LoadSettings(const std::string& app_folder) {
  const IniFile ini = IniFile::Load(app_folder + kSettingsFileName);
  const FileText text(ini);
  ServerSettings s;
  s.caption = ReadText(ini, text, kConfig, "Caption", kDefaultCaption);
  s.user_name = ReadText(ini, text, kConfig, "SVRUSERNAME", kDefaultUserName);
  s.password = ReadText(ini, text, kConfig, "SVRPASSWORD", kDefaultPassword);
  s.port = ReadText(ini, text, kConfig, "SVROPENPORT", kDefaultPort);
  s.autostart = ReadInt(ini, kConfig, "SVRStart", 1) != 0;
  s.code_page = ReadText(ini, text, kConfig, "CodePage", "");
  s.shutdown_timeout_seconds =
      std::clamp(ReadInt(ini, kConfig, "ShutdownTimeout", kDefaultShutdownTimeoutSeconds), 1,
                 kMaxShutdownTimeoutSeconds);
  s.network = ReadNetwork(ini);

  BackupSettings& b = s.backup;
  b.backup_type = Choice(ReadInt(ini, kBackup, "BackupType", 0), 4);
  b.minute = std::clamp(ReadInt(ini, kBackup, "EveryTime", 0), 0, 59);
  b.hour = std::clamp(ReadInt(ini, kBackup, "EveryDay", 0), 0, 23);
  b.weekday = Choice(ReadInt(ini, kBackup, "EveryWeek", 0), 6);
  b.day = std::clamp(ReadInt(ini, kBackup, "EveryMonth", 0), 1, 31);
  b.path = ReadText(ini, text, kBackup, "bakpath", app_folder + "BackupData");
  return s;
}

bool SaveBackupSettings(const std::string& app_folder, const BackupSettings& backup) {
  const std::string path = app_folder + kSettingsFileName;
  IniFile ini = IniFile::Load(path);
  const FileText text(ini);
  ini.Write(kBackup, "BackupType", std::to_string(backup.backup_type));
  ini.Write(kBackup, "EveryTime", std::to_string(backup.minute));
  ini.Write(kBackup, "EveryDay", std::to_string(backup.hour));
  ini.Write(kBackup, "EveryWeek", std::to_string(backup.weekday));
  ini.Write(kBackup, "EveryMonth", std::to_string(backup.day));
  ini.Write(kBackup, "bakpath", text.Encode(backup.path));
  return ini.Save(path);
}

bool SaveOnClose(const std::string& app_folder, const std::string& executable_path, bool autostart,
                 const BackupSettings& backup) {
  ApplyAutostart(autostart, executable_path, app_folder);
  return SaveBackupSettings(app_folder, backup);
}

}  // namespace host
