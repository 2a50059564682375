#include "service/server_module.h"

#include <memory>

#include "common/datetime.h"
#include "common/error.h"
#include "common/text.h"
#include "service/data_methods.h"

namespace service {
namespace {

using common::DeclaredType;
using common::ParamMode;
using common::RemoteMethod;
using common::RemoteParam;
using common::Variant;

std::vector<RemoteMethod> BuildCatalogue() {
  constexpr DeclaredType kStr = DeclaredType::kString;
  constexpr DeclaredType kOle = DeclaredType::kOleVariant;
  constexpr DeclaredType kInt = DeclaredType::kInteger;
  constexpr DeclaredType kBool = DeclaredType::kBoolean;
  constexpr DeclaredType kDate = DeclaredType::kDateTime;
  constexpr ParamMode kIn = ParamMode::kIn;
  constexpr ParamMode kConst = ParamMode::kConst;
  constexpr ParamMode kOut = ParamMode::kOut;
  return {
      {"SQL2OleVariant", {{"SQLStr", kStr, kIn}, {"ErrMsg", kStr, kOut}}, kOle},
      {"StoredProc",
       {{"StoredProcName", kStr, kConst},
        {"InPutPack", kOle, kIn},
        {"OutPutPack", kOle, kOut},
        {"ErrMsg", kStr, kOut},
        {"ResultDataSet", kBool, kIn}},
       kOle},
      {"UpdateOleVariant",
       {{"UpdateTableName", kStr, kIn}, {"SourceOleVariant", kOle, kIn}, {"ErrMsg", kStr, kOut}},
       std::nullopt},
      {"UpdateSQL", {{"SQLList", kOle, kIn}, {"ErrMsg", kStr, kOut}}, std::nullopt},
      {"ExecSQL", {{"SQLStr", kStr, kIn}, {"ErrMsg", kStr, kOut}}, std::nullopt},
      {"GetServerDateTime", {{"Reg", kInt, kOut}}, kDate},
      {"UploadFile", {{"FileOV", kOle, kIn}, {"FileName", kStr, kIn}}, kBool},
      {"DownLoadFile", {{"FileName", kStr, kIn}, {"Size", kInt, kOut}}, kOle},
      {"CheckUpload",
       {{"FileName", kStr, kOut}, {"FileTime", kStr, kOut}, {"Size", kStr, kOut}},
       kInt},
      {"ReadData",
       {{"FilePath", kStr, kIn}, {"FileName", kStr, kIn}, {"ErrMsg", kStr, kOut}},
       kOle},
      {"PostData",
       {{"FileOV", kOle, kIn},
        {"FilePath", kStr, kIn},
        {"FileName", kStr, kIn},
        {"ErrMsg", kStr, kOut}},
       std::nullopt},
      {"DeleteData",
       {{"FilePath", kStr, kIn}, {"FileName", kStr, kIn}, {"ErrMsg", kStr, kOut}},
       std::nullopt},
      {"FindFiles", {{"FilesDir", kStr, kIn}, {"APropty", kStr, kIn}}, kOle},
  };
}

// A string argument as UTF-8 (file names are UTF-8 on this platform). The dispatcher hands
// strings as OLE strings; other scalars are taken in their text form.
std::string Utf8Arg(const std::vector<Variant>& args, size_t index, const RemoteMethod& method) {
  std::optional<std::u16string> text = args[index].ToText();
  if (!text) {
    throw common::Error("Parameter " + method.params[index].name + " of " + method.name +
                        " must be a string");
  }
  return common::Utf16ToUtf8(*text);
}

// A string argument as the wire's UTF-16.
std::u16string TextArg(const std::vector<Variant>& args, size_t index, const RemoteMethod& method) {
  std::optional<std::u16string> text = args[index].ToText();
  if (!text) {
    throw common::Error("Parameter " + method.params[index].name + " of " + method.name +
                        " must be a string");
  }
  return std::move(*text);
}

bool BoolArg(const std::vector<Variant>& args, size_t index, const RemoteMethod& method) {
  std::optional<bool> flag = args[index].ToBool();
  if (!flag) {
    std::optional<int64_t> number = args[index].ToInt64();
    if (!number) {
      throw common::Error("Parameter " + method.params[index].name + " of " + method.name +
                          " must be a Boolean");
    }
    flag = *number != 0;
  }
  return *flag;
}

Variant StringOut(const std::string& utf8) { return Variant::String(common::Utf8ToUtf16(utf8)); }

}  // namespace

const std::vector<RemoteMethod>& TServerModule1Methods() {
  static const std::vector<RemoteMethod> kMethods = BuildCatalogue();
  return kMethods;
}

void TServerModule1::Invoke(size_t method_index, std::vector<Variant>& args, Variant& result) {
  const std::vector<RemoteMethod>& methods = TServerModule1Methods();
  if (method_index >= methods.size()) {
    throw common::Error("Method " + std::to_string(method_index) + " is not a method of " +
                        kServerModuleClassName);
  }
  const RemoteMethod& method = methods[method_index];
  if (args.size() != method.params.size()) {
    throw common::Error(method.name + " takes " + std::to_string(method.params.size()) +
                        " parameters, not " + std::to_string(args.size()));
  }

  // Built only by the file methods: the database methods need none.
  auto files = [this] {
    return FileStore(context_.app_folder, context_.file_io, context_.max_payload_size,
                     context_.server_files, context_.decompression_budget);
  };
  std::string err_msg;
  std::u16string error;
  // Out parameters are cleared on entry; a method that leaves with an error leaves them so.
  auto err_out = [&](size_t index) { args[index] = Variant::String(error); };
  switch (static_cast<ServerMethod>(method_index)) {
    case ServerMethod::kSQL2OleVariant: {
      const std::u16string sql = TextArg(args, 0, method);
      args[1] = Variant::String(u"");
      result = SQL2OleVariant(context_, sql, error);
      err_out(1);
      return;
    }

    case ServerMethod::kStoredProc: {
      const std::u16string name = TextArg(args, 0, method);
      const Variant input = args[1];
      const bool result_data_set = BoolArg(args, 4, method);
      Variant output;
      args[2] = Variant();
      args[3] = Variant::String(u"");
      result = StoredProc(context_, name, input, output, error, result_data_set);
      args[2] = std::move(output);
      err_out(3);
      return;
    }

    case ServerMethod::kUpdateOleVariant: {
      const std::u16string table = TextArg(args, 0, method);
      args[2] = Variant::String(u"");
      UpdateOleVariant(context_, table, args[1], error);
      err_out(2);
      return;
    }

    case ServerMethod::kUpdateSQL:
      args[1] = Variant::String(u"");
      UpdateSQL(context_, args[0], error);
      err_out(1);
      return;

    case ServerMethod::kExecSQL: {
      const std::u16string sql = TextArg(args, 0, method);
      args[1] = Variant::String(u"");
      ExecSQL(context_, sql, error);
      err_out(1);
      return;
    }

    case ServerMethod::kGetServerDateTime:
      args[0] = Variant::Integer(context_.max_client_connections.load());
      result = Variant::Date(common::NowLocal());
      return;

    case ServerMethod::kUploadFile:
      result = Variant::Boolean(files().UploadFile(args[0], Utf8Arg(args, 1, method)));
      return;

    case ServerMethod::kDownLoadFile: {
      // Size is written only when the file exists.
      int32_t size = 0;
      result = files().DownLoadFile(Utf8Arg(args, 0, method), size);
      if (!result.IsNull()) args[1] = Variant::Integer(size);
      return;
    }

    case ServerMethod::kCheckUpload: {
      std::string names, times, sizes;
      const int32_t count = files().CheckUpload(names, times, sizes);
      args[0] = StringOut(names);
      args[1] = StringOut(times);
      args[2] = StringOut(sizes);
      result = Variant::Integer(count);
      return;
    }

    case ServerMethod::kReadData:
      args[2] = StringOut("");
      result = files().ReadData(Utf8Arg(args, 0, method), Utf8Arg(args, 1, method), err_msg);
      args[2] = StringOut(err_msg);
      return;

    case ServerMethod::kPostData:
      args[3] = StringOut("");
      files().PostData(args[0], Utf8Arg(args, 1, method), Utf8Arg(args, 2, method), err_msg);
      args[3] = StringOut(err_msg);
      return;

    case ServerMethod::kDeleteData:
      args[2] = StringOut("");
      files().DeleteData(Utf8Arg(args, 0, method), Utf8Arg(args, 1, method), err_msg);
      args[2] = StringOut(err_msg);
      return;

    case ServerMethod::kFindFiles:
      result = files().FindFiles(Utf8Arg(args, 0, method), Utf8Arg(args, 1, method));
      return;
  }
}

pools::TInstanceClass ServerModuleInstanceClass(const ServiceContext& context) {
  return pools::TInstanceClass(kServerModuleClassName, [&context] {
    return std::unique_ptr<pools::TPersistent>(new TServerModule1(context));
  });
}

const std::string& TServerModule1Class::Name() const {
  static const std::string kName = kServerModuleClassName;
  return kName;
}

const std::vector<RemoteMethod>& TServerModule1Class::Methods() const {
  return TServerModule1Methods();
}

common::RemoteInstance* TServerModule1Class::CreateInstance() {
  pools::TPersistent* object = pool_.LockPoolObject();
  auto* instance = dynamic_cast<TServerModule1*>(object);
  if (instance == nullptr) {
    pool_.UnlockPoolObject(object);
    throw common::Error("The instance pool does not build " + Name() + " objects");
  }
  return instance;
}

void TServerModule1Class::DestroyInstance(common::RemoteInstance* instance) {
  pool_.UnlockPoolObject(dynamic_cast<TServerModule1*>(instance));
}

}  // namespace service
