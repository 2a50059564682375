#include "client/server_module1.h"

#include "common/text.h"

namespace client {

common::Variant Text(std::string_view utf8) {
  return common::Variant::String(common::Utf8ToUtf16(utf8));
}

std::string TextOf(const common::Variant& value) {
  return common::Utf16ToUtf8(value.ToText().value_or(std::u16string()));
}

ServerModule1::~ServerModule1() {
  if (!connection_.is_open()) return;
  for (const auto& [name, command] : commands_) {
    try {
      connection_.CommandClose(command.handle);
    } catch (...) {
      // The connection is gone; its commands went with it.
    }
  }
}

ExecuteResult ServerModule1::Call(const std::string& method,
                                  const std::vector<common::Variant>& inputs) {
  auto it = commands_.find(method);
  if (it == commands_.end()) {
    it = commands_
             .emplace(method,
                      connection_.PrepareMethod(std::string(kServerModuleClass) + "." + method))
             .first;
  }
  return connection_.Execute(it->second, inputs);
}

DataResult ServerModule1::SQL2OleVariant(std::string_view sql) {
  ExecuteResult r = Call("SQL2OleVariant", {Text(sql)});
  return {r.values.at(2), TextOf(r.values.at(1))};
}

StoredProcResult ServerModule1::StoredProc(std::string_view name, const common::Variant& in_pack,
                                           bool result_dataset) {
  ExecuteResult r = Call("StoredProc", {Text(name), in_pack, common::Variant(), common::Variant(),
                                        common::Variant::Boolean(result_dataset)});
  return {r.values.at(5), r.values.at(2), TextOf(r.values.at(3))};
}

std::string ServerModule1::UpdateOleVariant(std::string_view table, const common::Variant& source) {
  return TextOf(Call("UpdateOleVariant", {Text(table), source}).values.at(2));
}

std::string ServerModule1::UpdateSQL(const common::Variant& sql_list) {
  return TextOf(Call("UpdateSQL", {sql_list}).values.at(1));
}

std::string ServerModule1::ExecSQL(std::string_view sql) {
  return TextOf(Call("ExecSQL", {Text(sql)}).values.at(1));
}

ServerDateTime ServerModule1::GetServerDateTime() {
  ExecuteResult r = Call("GetServerDateTime", {});
  ServerDateTime t;
  t.reg = static_cast<int32_t>(r.values.at(0).ToInt64().value_or(0));
  t.date_time = r.values.at(1).ToDouble().value_or(0);
  return t;
}

bool ServerModule1::UploadFile(const common::Variant& file, std::string_view file_name) {
  return Call("UploadFile", {file, Text(file_name)}).values.at(2).ToBool().value_or(false);
}

DownloadResult ServerModule1::DownLoadFile(std::string_view file_name) {
  ExecuteResult r = Call("DownLoadFile", {Text(file_name)});
  return {r.values.at(2), static_cast<int32_t>(r.values.at(1).ToInt64().value_or(0))};
}

UploadList ServerModule1::CheckUpload() {
  ExecuteResult r = Call("CheckUpload", {});
  UploadList list;
  list.file_names = TextOf(r.values.at(0));
  list.file_times = TextOf(r.values.at(1));
  list.sizes = TextOf(r.values.at(2));
  list.count = static_cast<int32_t>(r.values.at(3).ToInt64().value_or(0));
  return list;
}

DataResult ServerModule1::ReadData(std::string_view file_path, std::string_view file_name) {
  ExecuteResult r = Call("ReadData", {Text(file_path), Text(file_name)});
  return {r.values.at(3), TextOf(r.values.at(2))};
}

std::string ServerModule1::PostData(const common::Variant& file, std::string_view file_path,
                                    std::string_view file_name) {
  return TextOf(Call("PostData", {file, Text(file_path), Text(file_name)}).values.at(3));
}

std::string ServerModule1::DeleteData(std::string_view file_path, std::string_view file_name) {
  return TextOf(Call("DeleteData", {Text(file_path), Text(file_name)}).values.at(2));
}

common::Variant ServerModule1::FindFiles(std::string_view files_dir, std::string_view pattern) {
  return Call("FindFiles", {Text(files_dir), Text(pattern)}).values.at(2);
}

}  // namespace client
