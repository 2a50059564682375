#include "dataclient/dump_command.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "storage/dataset_stream.h"

namespace dataclient {
namespace {

using json = nlohmann::ordered_json;

common::Bytes ChangeSet() {
  storage::TDAMemManager m;
  m.UpdatesRegistry = true;
  storage::TDAMemTable& t = m.AddTable("T");
  t.Columns().Add("ID", storage::DataType::dtInt32);
  t.Columns().Add("NAME", storage::DataType::dtWideString);
  storage::TDAMemRow* a = t.NewRow(false);
  a->SetValue(0, common::Variant::Integer(1));
  a->SetValue(1, common::Variant::String(u"表"));
  t.AppendFetchedRow(a);
  a->BeginEdit();
  a->SetValue(1, common::Variant::Null());
  a->EndEdit();
  common::Bytes out;
  storage::SaveToStream(m, out);
  return out;
}

common::Bytes Compress(const common::Bytes& in) {
  uLongf size = compressBound(static_cast<uLong>(in.size()));
  common::Bytes out(size);
  EXPECT_EQ(
      compress2(out.data(), &size, in.data(), static_cast<uLong>(in.size()), Z_DEFAULT_COMPRESSION),
      Z_OK);
  out.resize(size);
  return out;
}

struct DumpRun {
  int code;
  std::string out;
  std::string err;
};

DumpRun Dump(const std::vector<std::string>& args, const common::Bytes& stdin_bytes = {}) {
  std::istringstream in(std::string(stdin_bytes.begin(), stdin_bytes.end()));
  std::ostringstream out;
  std::ostringstream err;
  CommandIo io{in, out, err};
  const int code = RunDump(args, io);
  return {code, out.str(), err.str()};
}

TEST(Dump, ShowsHeaderDictionaryObjectsRowsAndJournal) {
  const common::Bytes stream = ChangeSet();
  const json j = DumpStream(stream);
  EXPECT_EQ(j["header"]["magic"], "ADBS");
  EXPECT_EQ(j["header"]["version"], 15);
  EXPECT_EQ(j["header"]["size"], stream.size());
  EXPECT_EQ(j["dictionary"][0], "Manager");
  EXPECT_TRUE(j["manager"]["properties"]["UpdatesRegistry"]);
  const json& t = j["manager"]["tables"][0];
  EXPECT_EQ(t["properties"]["Name"], "T");
  EXPECT_EQ(t["columns"][1]["DataType"], "dtWideString");
  EXPECT_EQ(t["columns"][0]["Options"], json::parse(R"(["coAllowNull","coInUpdate","coInWhere"])"));
  const json& row = t["rows"][0];
  EXPECT_EQ(row["RowID"], 0);
  EXPECT_EQ(row["RowState"], "rsModified");
  EXPECT_EQ(row["ChangeNumber"], 0);
  EXPECT_EQ(row["Original"]["ID"], 1);
  EXPECT_EQ(row["Original"]["NAME"], "表");
  EXPECT_TRUE(row["Current"]["NAME"].is_null());
  EXPECT_FALSE(row.contains("Proposed"));
  EXPECT_EQ(j["manager"]["journal"]["SavePoint"], 1);
  EXPECT_EQ(j["manager"]["journal"]["Changes"][0]["TabID"], 0);
}

TEST(Dump, ValuesAppearInTheirTypedForms) {
  storage::TDAMemManager m;
  storage::TDAMemTable& t = m.AddTable("T");
  const std::pair<storage::DataType, common::Variant> values[] = {
      {storage::DataType::dtBoolean, common::Variant::Boolean(true)},
      {storage::DataType::dtUInt64, common::Variant::UInt64(18446744073709551615ULL)},
      {storage::DataType::dtDouble, common::Variant::Double(0.5)},
      {storage::DataType::dtCurrency, common::Variant::Currency(123456)},
      {storage::DataType::dtFmtBCD, common::Variant::String(u"-12.30")},
      {storage::DataType::dtDate, common::Variant::Date(36526)},
      {storage::DataType::dtTime, common::Variant::String(u"12:34:56.789")},
      {storage::DataType::dtDateTime, common::Variant::String(u"2000-01-01 12:34:56.789")},
      {storage::DataType::dtBlob, common::Variant::ByteArray({0xDE, 0xAD})},
      {storage::DataType::dtGUID,
       common::Variant::String(u"{6F9619FF-8B86-D011-B42D-00CF4FC964FF}")},
  };
  for (const auto& [type, value] : values) {
    t.Columns().Add(std::string(common::DataTypeName(type)), type);
  }
  storage::TDAMemRow* r = t.NewRow(false);
  for (size_t i = 0; i < std::size(values); ++i) r->SetValue(i, values[i].second);
  t.AppendFetchedRow(r);
  common::Bytes stream;
  storage::SaveToStream(m, stream);
  const json v = DumpStream(stream)["manager"]["tables"][0]["rows"][0]["Original"];
  EXPECT_EQ(v["dtBoolean"], true);
  EXPECT_EQ(v["dtUInt64"], 18446744073709551615ULL);
  EXPECT_EQ(v["dtDouble"], 0.5);
  EXPECT_EQ(v["dtCurrency"], "12.3456");
  EXPECT_EQ(v["dtFmtBCD"], "-12.30");
  EXPECT_EQ(v["dtDate"], "2000-01-01");
  EXPECT_EQ(v["dtTime"], "12:34:56.789");
  EXPECT_EQ(v["dtDateTime"], "2000-01-01 12:34:56.789");
  EXPECT_EQ(v["dtBlob"], "dead");
  EXPECT_EQ(v["dtGUID"], "{6F9619FF-8B86-D011-B42D-00CF4FC964FF}");
}

TEST(Dump, ReadsCompressedOrPlainStreamsFromAFileOrStandardInput) {
  const common::Bytes stream = ChangeSet();
  const std::string path = ::testing::TempDir() + "dump_test_stream.bin";
  {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(stream.data()),
            static_cast<std::streamsize>(stream.size()));
  }
  const DumpRun plain = Dump({path});
  ASSERT_EQ(plain.code, 0) << plain.err;
  const DumpRun piped = Dump({"--compact", "-"}, Compress(stream));
  ASSERT_EQ(piped.code, 0) << piped.err;
  json a = json::parse(plain.out);
  json b = json::parse(piped.out);
  EXPECT_FALSE(a["header"]["compressed"]);
  EXPECT_TRUE(b["header"]["compressed"]);
  a["header"].erase("compressed");
  b["header"].erase("compressed");
  EXPECT_EQ(a, b);
  EXPECT_EQ(piped.out.find('\n'), piped.out.size() - 1);
  std::remove(path.c_str());
}

TEST(Dump, MalformedInputExitsNonZeroWithTheStorageError) {
  common::Bytes truncated = ChangeSet();
  truncated.resize(100);
  const DumpRun bad = Dump({"-"}, truncated);
  EXPECT_EQ(bad.code, 1);
  EXPECT_EQ(bad.err, "[DataAccess][Store]-710. Invalid binary storage format\n");
  EXPECT_TRUE(bad.out.empty());

  const DumpRun foreign =
      Dump({"-"}, common::Bytes{'n', 'o', 't', ' ', 'a', ' ', 's', 't', 'r', 'e', 'a', 'm'});
  EXPECT_EQ(foreign.code, 1);
  EXPECT_EQ(foreign.err, "[DataAccess][Store]-710. Invalid binary storage format\n");

  common::Bytes broken = Compress(ChangeSet());
  broken.resize(broken.size() / 2);
  const DumpRun inflate = Dump({"-"}, broken);
  EXPECT_EQ(inflate.code, 1);
  EXPECT_NE(inflate.err.find("compressed data"), std::string::npos) << inflate.err;

  EXPECT_EQ(Dump({"/nonexistent/stream"}).code, 1);
  EXPECT_EQ(Dump({}).code, 2);
  EXPECT_EQ(Dump({"a", "b"}).code, 2);
  EXPECT_EQ(Dump({"--bogus"}).code, 2);
}

TEST(Dump, RecognisesZlibHeadersAndLimitsInflation) {
  EXPECT_TRUE(LooksCompressed(common::Bytes{0x78, 0x9C}));
  EXPECT_TRUE(LooksCompressed(common::Bytes{0x78, 0x01}));
  EXPECT_FALSE(LooksCompressed(common::Bytes{'A', 'D'}));
  EXPECT_FALSE(LooksCompressed(common::Bytes{0x78}));
  const common::Bytes zeros(100000, 0);
  EXPECT_THROW(Inflate(Compress(zeros), 1000), std::runtime_error);
  EXPECT_EQ(Inflate(Compress(zeros)).size(), zeros.size());
}

}  // namespace
}  // namespace dataclient
