#include "service/result_stream.h"

#include <gtest/gtest.h>

#include "common/datetime.h"
#include "common/text.h"
#include "pools/database_error.h"
#include "storage/dataset_stream.h"

namespace service {
namespace {

using common::DataType;
using common::Variant;
using pools::ColumnDef;
using storage::TDADataAttribute;
using storage::TDADataOption;

ColumnDef Def(std::string name, DataType type, int32_t size = 0) {
  ColumnDef d;
  d.name = std::move(name);
  d.data_type = type;
  d.size = size;
  return d;
}

TEST(UniqueColumnNames, LaterColumnsGiveWayWithoutTakingAnotherColumnsName) {
  struct Case {
    const char* name;
    std::vector<std::string> in;
    std::vector<std::string> out;
  };
  const Case cases[] = {
      {"Distinct", {"ID", "NAME"}, {"ID", "NAME"}},
      {"Repeated", {"ID", "ID", "ID"}, {"ID", "ID_1", "ID_2"}},
      {"CaseOnly", {"id", "ID"}, {"id", "ID_1"}},
      {"SuffixTakenLater", {"ID", "ID", "ID_1"}, {"ID", "ID_2", "ID_1"}},
      {"Unnamed", {"", "Column2", ""}, {"Column1", "Column2", "Column3"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<ColumnDef> defs;
    for (const std::string& n : c.in) defs.push_back(Def(n, DataType::dtInt32));
    EXPECT_EQ(UniqueColumnNames(defs), c.out);
  }
}

TEST(DescribeResultColumn, GivesTheStreamsAttributesAndOptions) {
  using A = TDADataAttribute;
  using O = TDADataOption;
  struct Case {
    const char* name;
    ColumnDef def;
    storage::TDADataAttributes attributes;
    storage::TDADataOptions options;
  };
  ColumnDef key = Def("ID", DataType::dtInt32);
  key.nullable = false;
  key.in_key = true;
  key.auto_increment = true;
  key.origin_table = "t";
  key.origin_column = "id";
  ColumnDef text = Def("NAME", DataType::dtWideString, 50);
  text.source_type_name = "nchar(50)";
  ColumnDef long_text = Def("BODY", DataType::dtAnsiString, 4000);
  ColumnDef blob = Def("DATA", DataType::dtBlob);
  ColumnDef expression = Def("X", DataType::dtDouble);
  expression.read_only = true;
  const Case cases[] = {
      {"AutoIncrementKey",
       key,
       {A::caSearchable, A::caReadOnly, A::caAutoInc},
       {O::coReadOnly, O::coInUpdate, O::coInWhere, O::coInKey}},
      {"FixedText",
       text,
       {A::caSearchable, A::caAllowNull, A::caFixedLen},
       {O::coAllowNull, O::coInUpdate, O::coInWhere}},
      {"TextAboveInlineSize",
       long_text,
       {A::caSearchable, A::caAllowNull, A::caBlobData},
       {O::coAllowNull, O::coInUpdate, O::coInWhere}},
      {"Blob", blob, {A::caAllowNull, A::caBlobData}, {O::coAllowNull, O::coInUpdate}},
      {"Expression",
       expression,
       {A::caSearchable, A::caAllowNull, A::caReadOnly},
       {O::coAllowNull, O::coReadOnly, O::coInWhere}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    storage::TDAMemColumn column;
    DescribeResultColumn(c.def, column);
    EXPECT_EQ(column.Attributes().bits(), c.attributes.bits());
    EXPECT_EQ(column.Options().bits(), c.options.bits());
    EXPECT_EQ(column.DataType, c.def.data_type);
    EXPECT_EQ(column.Size, c.def.size);
    EXPECT_EQ(column.AutoIncrement, c.def.auto_increment);
    EXPECT_EQ(column.OriginTabName, c.def.origin_table);
    EXPECT_EQ(column.OriginColName, c.def.origin_column);
    EXPECT_EQ(column.SourceDataTypeName, c.def.source_type_name);
  }
}

// A cursor over values given in advance, read through the getter of each column's family as a
// driver's cursor is.
class ValuesCursor : public pools::Cursor {
 public:
  ValuesCursor(std::vector<ColumnDef> columns, std::vector<std::vector<Variant>> rows)
      : Cursor(std::move(columns)), rows_(std::move(rows)) {}

  bool Next() override { return ++row_ < rows_.size(); }
  bool IsNull(int c) override { return At(c).IsEmptyOrNull(); }
  bool GetBool(int c) override { return *At(c).ToBool(); }
  int64_t GetInt64(int c) override { return *At(c).ToInt64(); }
  uint64_t GetUInt64(int c) override { return static_cast<uint64_t>(*At(c).ToInt64()); }
  double GetDouble(int c) override { return *At(c).ToDouble(); }
  std::string_view GetText(int c) override {
    text_ = common::Utf16ToUtf8(*At(c).ToText());
    return text_;
  }
  std::u16string_view GetWideText(int c) override {
    wide_ = *At(c).ToText();
    return wide_;
  }
  common::ByteSpan GetBytes(int c) override { return At(c).bytes(); }
  pools::TimeStamp GetTimeStamp(int c) override {
    const Variant& v = At(c);
    if (v.type() == common::kVarDate) return pools::TimeStampFromDateTime(v.float_value());
    // Times of day arrive without a date; other texts are "y m d h n s".
    pools::TimeStamp ts;
    std::sscanf(common::Utf16ToUtf8(v.text()).c_str(), "%d %d %d %d %d %d", &ts.year, &ts.month,
                &ts.day, &ts.hour, &ts.minute, &ts.second);
    return ts;
  }

 private:
  const Variant& At(int c) { return rows_[row_][static_cast<size_t>(c)]; }

  std::vector<std::vector<Variant>> rows_;
  size_t row_ = static_cast<size_t>(-1);
  std::string text_;
  std::u16string wide_;
};

struct Loaded {
  storage::TDAMemManager manager;
  storage::TDAMemTable* table = nullptr;
};

std::unique_ptr<Loaded> Roundtrip(pools::Cursor& cursor) {
  common::Bytes stream;
  WriteCursorStream(cursor, stream);
  auto loaded = std::make_unique<Loaded>();
  loaded->table = storage::LoadFromStream(loaded->manager, stream).table;
  return loaded;
}

TEST(WriteCursorStream, EveryDataTypeKeepsItsValue) {
  ColumnDef decimal = Def("DEC", DataType::dtFmtBCD);
  decimal.precision = 10;
  decimal.scale = 2;
  const double when = common::EncodeDateTime(2024, 2, 29, 13, 14, 15, 678);
  struct Case {
    ColumnDef def;
    Variant in;   // what the driver gives
    Variant out;  // what the client reads
  };
  const std::vector<Case> cases = {
      {Def("B", DataType::dtBoolean), Variant::Boolean(true), Variant::Boolean(true)},
      {Def("I8", DataType::dtSByte), Variant::Integer(-128), Variant::ShortInt(-128)},
      {Def("I16", DataType::dtInt16), Variant::Integer(-32768), Variant::Smallint(-32768)},
      {Def("I32", DataType::dtInt32), Variant::Integer(INT32_MAX), Variant::Integer(INT32_MAX)},
      {Def("I64", DataType::dtInt64), Variant::Int64(INT64_MIN), Variant::Int64(INT64_MIN)},
      {Def("U8", DataType::dtByte), Variant::Integer(255), Variant::Byte(255)},
      {Def("U16", DataType::dtUInt16), Variant::Integer(65535), Variant::Word(65535)},
      {Def("U32", DataType::dtUInt32), Variant::Int64(4294967295), Variant::LongWord(4294967295u)},
      {Def("F4", DataType::dtSingle), Variant::Double(0.5), Variant::Single(0.5f)},
      {Def("F8", DataType::dtDouble), Variant::Double(-1.25e300), Variant::Double(-1.25e300)},
      {Def("F10", DataType::dtExtended), Variant::Double(3.5), Variant::Double(3.5)},
      {Def("CUR", DataType::dtCurrency), Variant::String(u"-12.34565"), Variant::Currency(-123457)},
      {decimal, Variant::String(u"-1234.5"), Variant::Custom(common::kVarFmtBcd, u"-1234.50")},
      {decimal, Variant::String(u"123456789012.125"),  // wider than declared: kept whole
       Variant::Custom(common::kVarFmtBcd, u"123456789012.125")},
      {Def("DT", DataType::dtDateTime), Variant::Date(when), Variant::Date(when)},
      {Def("D", DataType::dtDate), Variant::Date(when),
       Variant::Date(common::EncodeDateTime(2024, 2, 29))},
      {Def("T", DataType::dtTime), Variant::String(u"0 0 0 23 59 58"),
       Variant::Date(common::EncodeDateTime(1899, 12, 30, 23, 59, 58))},
      {Def("TS", DataType::dtDateTimeStamp), Variant::Date(when),
       Variant::Custom(common::kVarSqlTimeStamp, u"2024-02-29 13:14:15.678")},
      {Def("IV", DataType::dtTimeIntervalDS), Variant::String(u"-3 04:05:06.007"),
       Variant::Custom(common::kVarSqlInterval, u"-3 04:05:06.007")},
      {Def("W", DataType::dtWideString, 10), Variant::String(u"中文 ok"),
       Variant::String(u"中文 ok")},
      {Def("WM", DataType::dtWideMemo), Variant::String(u""), Variant::String(u"")},
      {Def("BIN", DataType::dtBlob), Variant::ByteArray({0, 1, 255}),
       Variant::ByteArray({0, 1, 255})},
      {Def("G", DataType::dtGUID), Variant::String(u"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}"),
       Variant::String(u"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.def.name + " " + common::DebugString(c.in));
    ValuesCursor cursor({c.def}, {{c.in}, {Variant::Null()}});
    const auto loaded = Roundtrip(cursor);
    ASSERT_EQ(loaded->table->RowCount(), 2u);
    EXPECT_EQ(loaded->table->Row(0)->GetValue(0), c.out);
    EXPECT_TRUE(loaded->table->Row(1)->GetValue(0).IsNull());
  }
}

TEST(WriteCursorStream, AnsiTextIsStoredInTheAnsiCodePage) {
  const std::string original = common::AnsiCodePage().name();
  ASSERT_TRUE(common::SetAnsiCodePage("GBK"));
  ValuesCursor cursor({Def("A", DataType::dtAnsiString, 10)},
                      {{Variant::String(u"中")}, {Variant::String(u"plain")}});
  const auto loaded = Roundtrip(cursor);
  common::SetAnsiCodePage(original);
  EXPECT_EQ(loaded->table->Row(0)->GetValue(0), Variant::AnsiString("\xD6\xD0"));
  EXPECT_EQ(loaded->table->Row(1)->GetValue(0), Variant::AnsiString("plain"));
}

TEST(WriteCursorStream, ValuesTheColumnCannotHoldAreDatabaseFailures) {
  struct Case {
    ColumnDef def;
    Variant value;
  };
  const Case cases[] = {
      {Def("I16", DataType::dtInt16), Variant::Integer(40000)},
      {Def("U8", DataType::dtByte), Variant::Integer(256)},
      {Def("DEC", DataType::dtFmtBCD), Variant::String(u"12abc")},
      {Def("CUR", DataType::dtCurrency), Variant::String(u"1e20")},
      {Def("DT", DataType::dtDateTime), Variant::String(u"2024 2 30 0 0 0")},
      {Def("G", DataType::dtGUID), Variant::String(u"{not-a-guid}")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.def.name);
    ValuesCursor cursor({c.def}, {{Variant::Null()}, {c.value}});
    common::Bytes out = {1, 2, 3};
    try {
      WriteCursorStream(cursor, out);
      ADD_FAILURE() << "no error";
    } catch (const pools::DatabaseError& e) {
      EXPECT_NE(std::string(e.what()).find("Column [" + c.def.name + "] of row 2"),
                std::string::npos)
          << e.what();
    }
    EXPECT_EQ(out, (common::Bytes{1, 2, 3}));  // nothing left behind
  }
}

TEST(BuildResultTable, NamesTheTableAfterItsOneOriginTable) {
  ColumnDef a = Def("A", DataType::dtInt32);
  a.origin_table = "orders";
  ColumnDef b = Def("B", DataType::dtInt32);
  b.origin_table = "customers";
  ColumnDef expr = Def("E", DataType::dtInt32);
  const std::pair<std::vector<ColumnDef>, std::string> cases[] = {
      {{a, expr}, "orders"},
      {{a, b}, "Table"},
      {{expr}, "Table"},
  };
  for (const auto& [defs, name] : cases) {
    SCOPED_TRACE(name);
    storage::TDAMemManager m;
    BuildResultTable(defs, m);
    ASSERT_EQ(m.Tables().size(), 1u);
    EXPECT_EQ(m.Tables()[0].Name(), name);
    EXPECT_TRUE(m.UpdatesRegistry);
  }
}

}  // namespace
}  // namespace service
