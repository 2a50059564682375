// Convenience calls for the thirteen remote methods of TServerModule1, on a connected
// client::Connection. Each method is prepared on its first call and its command kept for later
// calls; texts are UTF-8; payloads are byte-array variants (payload.h packs and unpacks them).
// A failure the method reports in ErrMsg is returned, not thrown; a call error (an error reply)
// throws RemoteError.
//
// Thread use: as the Connection (one thread at a time).
#ifndef DATASERVER_CLIENT_SERVER_MODULE1_H_
#define DATASERVER_CLIENT_SERVER_MODULE1_H_

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "client/connection.h"
#include "common/variant.h"

namespace client {

inline constexpr char kServerModuleClass[] = "TServerModule1";

struct DataResult {
  common::Variant data;  // the result (a payload, or null/unassigned)
  std::string err_msg;   // empty on success
};

struct StoredProcResult {
  common::Variant data;      // the dataset when ResultDataSet was true
  common::Variant out_pack;  // packed output parameters
  std::string err_msg;
};

struct ServerDateTime {
  double date_time = 0;  // days since 1899-12-30, the server's local time
  int32_t reg = 0;       // the server's maximum client connections
};

struct DownloadResult {
  common::Variant data;  // compressed file bytes, or null when there is no such file
  int32_t size = 0;      // the file's length (0 when there is none)
};

struct UploadList {
  int32_t count = 0;
  std::string file_names;  // "|"-joined
  std::string file_times;
  std::string sizes;
};

class ServerModule1 {
 public:
  explicit ServerModule1(Connection& connection) : connection_(connection) {}
  // Closes the commands it prepared.
  ~ServerModule1();
  ServerModule1(const ServerModule1&) = delete;
  ServerModule1& operator=(const ServerModule1&) = delete;

  DataResult SQL2OleVariant(std::string_view sql);
  StoredProcResult StoredProc(std::string_view name, const common::Variant& in_pack,
                              bool result_dataset);
  std::string UpdateOleVariant(std::string_view table, const common::Variant& source);
  std::string UpdateSQL(const common::Variant& sql_list);
  std::string ExecSQL(std::string_view sql);
  ServerDateTime GetServerDateTime();
  bool UploadFile(const common::Variant& file, std::string_view file_name);
  DownloadResult DownLoadFile(std::string_view file_name);
  UploadList CheckUpload();
  DataResult ReadData(std::string_view file_path, std::string_view file_name);
  std::string PostData(const common::Variant& file, std::string_view file_path,
                       std::string_view file_name);
  std::string DeleteData(std::string_view file_path, std::string_view file_name);
  common::Variant FindFiles(std::string_view files_dir, std::string_view pattern);

  // The raw call: prepares `method` once and executes it with `inputs` by ordinal.
  ExecuteResult Call(const std::string& method, const std::vector<common::Variant>& inputs);

 private:
  Connection& connection_;
  std::map<std::string, Command> commands_;
};

// UTF-8 text as a string argument, and a string result as UTF-8.
common::Variant Text(std::string_view utf8);
std::string TextOf(const common::Variant& value);

}  // namespace client

#endif  // DATASERVER_CLIENT_SERVER_MODULE1_H_
