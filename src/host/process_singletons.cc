#include "host/process_singletons.h"

#include "host/app_folder.h"
#include "host/settings.h"
#include "service/upload_sweep.h"

namespace host {

ProcessSingletons::ProcessSingletons(const std::string& app_folder)
    : server_files(app_folder),
      connection_pool(kDatabasePoolCapacity, app_folder + pools::kDatabaseConfigFileName) {
  server_files.AddFile(app_folder + kSettingsFileName);
  server_files.AddFile(app_folder + pools::kDatabaseConfigFileName);
  server_files.SetDatabaseConfig(app_folder + pools::kDatabaseConfigFileName);
  for (const std::string& file : LoadedFilesIn(app_folder)) server_files.AddFile(file);
  // Read again at each check: the console may move the backup folder while the server runs.
  server_files.SetBackupFolderSource([app_folder] { return LoadSettings(app_folder).backup.path; });

  // Before any client can upload: what a killed server left is removed now.
  upload_leftovers_removed = service::SweepUploadLeftovers(app_folder, server_files.BackupFolder());

  context.app_folder = app_folder;
  context.server_files = &server_files;
  context.connection_pool = &connection_pool;
  context.query_pool = &query_pool;
  context.stored_proc_pool = &stored_proc_pool;
  instance_pool.SetInstanceClass(service::ServerModuleInstanceClass(context));
}

std::string ProcessSingletons::UploadSweepReport() const {
  if (upload_leftovers_removed.empty()) return {};
  std::string text = "Removed " + std::to_string(upload_leftovers_removed.size()) +
                     " temporary file(s) of interrupted uploads:";
  for (const std::string& path : upload_leftovers_removed) text += " " + path;
  return text;
}

}  // namespace host
