#include "service/server_module.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/datetime.h"
#include "common/text.h"

namespace service {
namespace {

namespace fs = std::filesystem;
using common::Variant;

std::string TypeName(common::DeclaredType t) {
  switch (t) {
    case common::DeclaredType::kString:
      return "string";
    case common::DeclaredType::kOleVariant:
      return "OleVariant";
    case common::DeclaredType::kInteger:
      return "Integer";
    case common::DeclaredType::kBoolean:
      return "Boolean";
    case common::DeclaredType::kDateTime:
      return "TDateTime";
  }
  return "?";
}

std::string ModeName(common::ParamMode m) {
  switch (m) {
    case common::ParamMode::kIn:
      return "in";
    case common::ParamMode::kConst:
      return "const";
    case common::ParamMode::kOut:
      return "out";
    case common::ParamMode::kVar:
      return "var";
  }
  return "?";
}

std::string Signature(const common::RemoteMethod& m) {
  std::string s = m.name + "(";
  for (size_t i = 0; i < m.params.size(); ++i) {
    if (i > 0) s += "; ";
    s += ModeName(m.params[i].mode) + " " + m.params[i].name + ": " + TypeName(m.params[i].type);
  }
  s += ")";
  if (m.result) s += ": " + TypeName(*m.result);
  return s;
}

TEST(ServerModuleCatalogue, ListsTheThirteenMethodsInDeclaredOrder) {
  const char* const expected[] = {
      "SQL2OleVariant(in SQLStr: string; out ErrMsg: string): OleVariant",
      "StoredProc(const StoredProcName: string; in InPutPack: OleVariant; out OutPutPack: "
      "OleVariant; out ErrMsg: string; in ResultDataSet: Boolean): OleVariant",
      "UpdateOleVariant(in UpdateTableName: string; in SourceOleVariant: OleVariant; out ErrMsg: "
      "string)",
      "UpdateSQL(in SQLList: OleVariant; out ErrMsg: string)",
      "ExecSQL(in SQLStr: string; out ErrMsg: string)",
      "GetServerDateTime(out Reg: Integer): TDateTime",
      "UploadFile(in FileOV: OleVariant; in FileName: string): Boolean",
      "DownLoadFile(in FileName: string; out Size: Integer): OleVariant",
      "CheckUpload(out FileName: string; out FileTime: string; out Size: string): Integer",
      "ReadData(in FilePath: string; in FileName: string; out ErrMsg: string): OleVariant",
      "PostData(in FileOV: OleVariant; in FilePath: string; in FileName: string; out ErrMsg: "
      "string)",
      "DeleteData(in FilePath: string; in FileName: string; out ErrMsg: string)",
      "FindFiles(in FilesDir: string; in APropty: string): OleVariant",
  };
  const std::vector<common::RemoteMethod>& methods = TServerModule1Methods();
  ASSERT_EQ(methods.size(), std::size(expected));
  ASSERT_EQ(methods.size(), kServerMethodCount);
  for (size_t i = 0; i < methods.size(); ++i) EXPECT_EQ(Signature(methods[i]), expected[i]);
  EXPECT_EQ(Signature(methods[static_cast<size_t>(ServerMethod::kFindFiles)]), expected[12]);
}

// An application folder with its Upload folder, the context, and the pool bound to the class as
// start-up binds it.
class ServerModuleTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/servermodule-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    app_ = tmpl;
    fs::create_directory(app_ / "Upload");
    context_.app_folder = app_.string() + "/";
    pool_.SetInstanceClass(ServerModuleInstanceClass(context_));
  }
  void TearDown() override { fs::remove_all(app_); }

  Variant Call(ServerMethod method, std::vector<Variant>& args) {
    common::RemoteInstance* instance = class_.CreateInstance();
    Variant result;
    try {
      instance->Invoke(static_cast<size_t>(method), args, result);
    } catch (...) {
      class_.DestroyInstance(instance);
      throw;
    }
    class_.DestroyInstance(instance);
    return result;
  }

  fs::path app_;
  ServiceContext context_;
  pools::TPoolManager pool_;
  TServerModule1Class class_{pool_};
};

TEST_F(ServerModuleTest, ClassLendsInstancesFromThePool) {
  EXPECT_EQ(class_.Name(), "TServerModule1");
  EXPECT_EQ(&class_.Methods(), &TServerModule1Methods());
  EXPECT_EQ(class_.Lifecycle(), common::InstanceLifecycle::kSession);

  common::RemoteInstance* a = class_.CreateInstance();
  common::RemoteInstance* b = class_.CreateInstance();
  EXPECT_NE(a, b);  // two sessions at once never share an instance
  EXPECT_EQ(pool_.InUseCount(), 2u);
  class_.DestroyInstance(a);
  class_.DestroyInstance(b);
  EXPECT_EQ(pool_.InUseCount(), 0u);
  EXPECT_EQ(class_.CreateInstance(), a);  // the same session calling again: same object
  EXPECT_EQ(pool_.Count(), 2u);
}

TEST_F(ServerModuleTest, CreateInstanceFailsWhenThePoolBuildsAnotherClass) {
  struct Other : pools::TPersistent {};
  pool_.SetInstanceClass(pools::TInstanceClass::Of<Other>("TOther"));
  EXPECT_THROW(class_.CreateInstance(), common::Error);
  EXPECT_EQ(pool_.InUseCount(), 0u);

  pools::TPoolManager empty;
  TServerModule1Class unbound(empty);
  try {
    unbound.CreateInstance();
    FAIL() << "no error";
  } catch (const common::Error& e) {
    EXPECT_STREQ(e.what(), "Not specify class of instance!");
  }
}

TEST_F(ServerModuleTest, DatabaseMethodsFailAsCallsWithoutDatabasePools) {
  const std::pair<ServerMethod, size_t> methods[] = {{ServerMethod::kSQL2OleVariant, 2},
                                                     {ServerMethod::kStoredProc, 5},
                                                     {ServerMethod::kUpdateOleVariant, 3},
                                                     {ServerMethod::kUpdateSQL, 2},
                                                     {ServerMethod::kExecSQL, 2}};
  for (const auto& [method, arity] : methods) {
    const std::string name = TServerModule1Methods()[static_cast<size_t>(method)].name;
    SCOPED_TRACE(name);
    std::vector<Variant> args(arity, Variant::String(u"select 1"));
    if (method == ServerMethod::kStoredProc) args[4] = Variant::Boolean(true);
    try {
      Call(method, args);
      FAIL() << "no error";
    } catch (const common::Error& e) {
      EXPECT_EQ(std::string(e.what()), "The database pools of this server are not set up");
    }
  }
  EXPECT_EQ(pool_.InUseCount(), 0u);
}

TEST_F(ServerModuleTest, GetServerDateTimeGivesLocalTimeAndConnectionLimit) {
  context_.max_client_connections = 250;
  std::vector<Variant> args(1);
  const double before = common::NowLocal();
  const Variant result = Call(ServerMethod::kGetServerDateTime, args);
  const double after = common::NowLocal();
  EXPECT_EQ(args[0], Variant::Integer(250));
  ASSERT_EQ(result.type(), common::kVarDate);
  EXPECT_GE(result.float_value(), before - 1.0 / 86400);
  EXPECT_LE(result.float_value(), after + 1.0 / 86400);
}

TEST_F(ServerModuleTest, FileMethodsWorkThroughInvoke) {
  // UploadFile then DownLoadFile.
  common::Bytes payload = {'h', 'e', 'l', 'l', 'o'};
  CompressStreamInPlace(payload, 2);
  std::vector<Variant> upload = {StreamToByteArray(payload), Variant::String(u"报告.txt")};
  EXPECT_EQ(Call(ServerMethod::kUploadFile, upload), Variant::Boolean(true));
  EXPECT_TRUE(fs::exists(app_ / "Upload" / "报告.txt"));

  std::vector<Variant> download = {Variant::String(u"报告.txt"), Variant()};
  std::optional<common::Bytes> got = ByteArrayToStream(Call(ServerMethod::kDownLoadFile, download));
  ASSERT_TRUE(got.has_value());
  DecompressStreamInPlace(*got);
  EXPECT_EQ(*got, (common::Bytes{'h', 'e', 'l', 'l', 'o'}));
  EXPECT_EQ(download[1], Variant::Integer(5));

  std::vector<Variant> missing = {Variant::String(u"nope"), Variant()};
  EXPECT_TRUE(Call(ServerMethod::kDownLoadFile, missing).IsNull());
  EXPECT_TRUE(missing[1].IsEmpty());  // Size not written

  std::vector<Variant> check(3);
  EXPECT_EQ(Call(ServerMethod::kCheckUpload, check), Variant::Integer(1));
  EXPECT_EQ(check[0], Variant::String(u"报告.txt"));
  EXPECT_EQ(check[2], Variant::String(u"5"));
  EXPECT_EQ(check[1].text().size(), 12u);

  // PostData, ReadData, FindFiles, DeleteData; ErrMsg arrives stale and leaves empty.
  std::vector<Variant> post = {Variant::ByteArray({1, 2, 3}), Variant::String(u"a\\b"),
                               Variant::String(u"f.bin"), Variant::String(u"stale")};
  EXPECT_TRUE(Call(ServerMethod::kPostData, post).IsEmpty());
  EXPECT_EQ(post[3], Variant::String(u""));

  std::vector<Variant> read = {Variant::String(u"a/b"), Variant::String(u"f.bin"),
                               Variant::String(u"stale")};
  EXPECT_EQ(Call(ServerMethod::kReadData, read), Variant::ByteArray({1, 2, 3}));
  EXPECT_EQ(read[2], Variant::String(u""));

  std::vector<Variant> find = {Variant::String(u"a\\b"), Variant::String(u"*.*")};
  EXPECT_EQ(Call(ServerMethod::kFindFiles, find),
            Variant::ByteArray({'f', '.', 'b', 'i', 'n', '\r', '\n'}));

  std::vector<Variant> del = {Variant::String(u"a\\b"), Variant::String(u"f.bin"),
                              Variant::String(u"stale")};
  Call(ServerMethod::kDeleteData, del);
  EXPECT_EQ(del[2], Variant::String(u""));
  EXPECT_FALSE(fs::exists(app_ / "a" / "b" / "f.bin"));

  // A refused path reaches the client through ErrMsg where the method has one.
  std::vector<Variant> escape = {Variant::String(u".."), Variant::String(u"x"), Variant()};
  EXPECT_TRUE(Call(ServerMethod::kReadData, escape).IsEmpty());
  EXPECT_NE(escape[2].text(), u"");
}

TEST_F(ServerModuleTest, MalformedInvocationsAreCallErrors) {
  std::vector<Variant> two(2);
  EXPECT_THROW(Call(static_cast<ServerMethod>(13), two), common::Error);
  std::vector<Variant> one(1, Variant::String(u"x"));
  EXPECT_THROW(Call(ServerMethod::kFindFiles, one), common::Error);
  std::vector<Variant> array_name = {Variant::ByteArray({1}), Variant::ByteArray({1})};
  EXPECT_THROW(Call(ServerMethod::kUploadFile, array_name), common::Error);
  EXPECT_EQ(pool_.InUseCount(), 0u);
}

}  // namespace
}  // namespace service
