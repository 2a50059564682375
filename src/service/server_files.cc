#include "service/server_files.h"

#include <filesystem>
#include <system_error>

#include "common/text.h"
#include "pools/connection_params.h"
#include "service/client_path.h"

namespace service {
namespace {

namespace fs = std::filesystem;

bool IsAsciiAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// `path` made absolute against `base` when relative, with its existing part's links resolved
// and "." and ".." removed, as ResolveClientPath presents a path; empty when that fails.
std::string Canonical(const fs::path& path, const std::string& base) {
  std::error_code ec;
  fs::path absolute = path.is_absolute() || base.empty() ? path : fs::path(base) / path;
  fs::path result = fs::weakly_canonical(absolute, ec);
  if (ec) return {};
  std::string text = result.string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

// SQLite's files beside its database: the rollback journal and the write-ahead log with its
// shared-memory index.
constexpr const char* kSqliteSideFileSuffixes[] = {"-journal", "-wal", "-shm"};

}  // namespace

bool IsUploadTempName(std::string_view name) {
  const std::string_view prefix(kUploadTempPrefix);
  if (name.size() != prefix.size() + kUploadTempRandomLength) return false;
  if (name.substr(0, prefix.size()) != prefix) return false;
  for (char c : name.substr(prefix.size())) {
    if (!IsAsciiAlnum(c)) return false;
  }
  return true;
}

ServerFiles::ServerFiles(std::string app_folder) : app_folder_(std::move(app_folder)) {}

void ServerFiles::AddFile(const std::string& path) { files_.push_back(path); }

void ServerFiles::SetDatabaseConfig(std::string config_path) {
  database_config_ = std::move(config_path);
}

void ServerFiles::SetBackupFolderSource(std::function<std::string()> source) {
  backup_folder_source_ = std::move(source);
}

std::string ServerFiles::DatabaseFile() const {
  if (database_config_.empty()) return {};
  pools::ConnectionParams params;
  try {
    params = pools::ConnectionParams::LoadFromFile(database_config_);
  } catch (const std::exception&) {
    return {};  // no readable DataBase.CFG: no database file either
  }
  const std::string driver = params.Value("DriverID");
  if (!common::EqualsIgnoreAsciiCase(driver, "SQLite") &&
      !common::EqualsIgnoreAsciiCase(driver, "MSAcc")) {
    return {};
  }
  const std::string database = params.Value("Database");
  if (database.empty() || database == ":memory:") return {};
  // The connection pool opens a relative name against DataBase.CFG's folder.
  return Canonical(database, fs::path(database_config_).parent_path().string());
}

std::string ServerFiles::BackupFolder() const { return BackupFolderIn(RealFolder(app_folder_)); }

std::string ServerFiles::BackupFolderIn(const std::string& root) const {
  if (!backup_folder_source_) return {};
  const std::string folder = backup_folder_source_();
  if (folder.empty()) return {};
  const std::string real = Canonical(folder, "");
  if (real.empty() || real == root || !IsWithinFolder(real, root)) return {};
  return real;
}

OwnFileSnapshot ServerFiles::Snapshot() const {
  OwnFileSnapshot snapshot;
  const std::string root = RealFolder(app_folder_);
  for (const std::string& file : files_) {
    if (std::string real = Canonical(file, root); !real.empty()) {
      snapshot.files.push_back(std::move(real));
    }
  }
  if (const std::string database = DatabaseFile(); !database.empty()) {
    snapshot.files.push_back(database);
    for (const char* suffix : kSqliteSideFileSuffixes) snapshot.files.push_back(database + suffix);
  }
  snapshot.backup_folder = BackupFolderIn(root);
  return snapshot;
}

bool OwnFileSnapshot::Contains(std::string_view real_path) const {
  std::string_view path = real_path;
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const size_t slash = path.rfind('/');
  if (IsUploadTempName(slash == std::string_view::npos ? path : path.substr(slash + 1))) {
    return true;
  }
  for (const std::string& file : files) {
    if (path == file) return true;
  }
  return !backup_folder.empty() && IsWithinFolder(path, backup_folder);
}

}  // namespace service
