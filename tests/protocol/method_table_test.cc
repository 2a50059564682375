#include "protocol/method_table.h"

#include <gtest/gtest.h>

#include "common/text.h"
#include "fake_class.h"
#include "protocol/rdb_error.h"

namespace protocol {
namespace {

class MethodTableTest : public testing::Test {
 protected:
  MethodTableTest() {
    table_.AddClass(fake_);
    table_.AddBuiltins();
  }
  test::FakeClass fake_;
  MethodTable table_;
};

TEST_F(MethodTableTest, DescribesParametersInDeclaredOrderThenTheResult) {
  const MethodEntry* m = table_.Find("TSERVERMODULE1.SQL2OLEVARIANT");
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(m->params.size(), 3u);
  struct Expected {
    int32_t data_type;
    int32_t direction;
    std::u16string name;
  } expected[] = {{26, 1, u"SQLStr"}, {26, 2, u"ErrMsg"}, {35, 4, u"ReturnParameter"}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(m->params[i].DataType, expected[i].data_type);
    EXPECT_EQ(m->params[i].Direction, expected[i].direction);
    EXPECT_EQ(m->params[i].Name, expected[i].name);
    EXPECT_EQ(m->params[i].Flags, 0);
  }
  EXPECT_TRUE(m->has_output);
  EXPECT_FALSE(table_.Find("TSERVERMODULE1.TOUCH")->has_output);
  // Each declared type has its code.
  const MethodEntry* echo = table_.Find("TSERVERMODULE1.ECHO");
  std::vector<int32_t> types;
  for (const auto& p : echo->params) types.push_back(p.DataType);
  EXPECT_EQ(types, (std::vector<int32_t>{26, 6, 4, 11, 35, 26, 6, 4, 11, 35}));
  EXPECT_EQ(DirectionOf(common::ParamMode::kConst), 1);
  EXPECT_EQ(DirectionOf(common::ParamMode::kVar), 3);
  const MethodEntry* db = table_.Find("RSMETADATA.GETDATABASE");
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->params.front().DataType, kDataTypeTable);
  EXPECT_FALSE(db->needs_authorization);
}

TEST_F(MethodTableTest, LookupIgnoresCaseAndStopsAtTheFirstOtherToken) {
  std::string scanned;
  EXPECT_NE(table_.Lookup(u"tservermodule1.GETSERVERDATETIME"), nullptr);
  EXPECT_NE(table_.Lookup(u" TServerModule1.Echo(1, 2)", &scanned), nullptr);
  EXPECT_EQ(scanned, "TServerModule1.Echo");
  EXPECT_EQ(table_.Lookup(u"TServerModule1.Nope(1)", &scanned), nullptr);
  EXPECT_EQ(scanned, "TServerModule1.Nope");
  EXPECT_EQ(table_.Lookup(u"Echo"), nullptr);  // the class name is part of the key
}

TEST_F(MethodTableTest, CommandTypesSelectAServerMethodOrFail) {
  struct Case {
    std::u16string type;
    std::u16string text;
    std::u16string method_text;  // empty: code 30
  } cases[] = {
      {u"RemoteDB.ServerMethod", u"TServerModule1.Touch", u"TServerModule1.Touch"},
      {u"REMOTEDB.SERVERMETHOD", u"anything", u"anything"},
      {u"RemoteDB.ServerMethod", u"call X.Y", u"X.Y"},
      {u"Rdb.SQL", u"  CALL TServerModule1.ExecSQL", u""},
      {u"Rdb.SQL", u"call TServerModule1.Touch", u"TServerModule1.Touch"},
      {u"Rdb.SQL", u"call", u""},
      {u"Rdb.SQL", u"select 1", u""},
      {u"rdb.storedprocedure", u"TServerModule1.Touch", u"TServerModule1.Touch"},
      {u"Rdb.StoredProcedure", u"sp_who", u""},
      {u"Rdb.MetaData", u"getdatabase", u"RSMetadata.GetDatabase"},
      {u"Rdb.MetaData", u"GetProcedures x", u"RSMetadata.GetProcedures"},
      {u"Rdb.MetaData", u"GETPROCEDUREPARAMETERS(a,b)", u"RSMetadata.GetProcedureParameters"},
      {u"Rdb.MetaData", u"GetTables", u""},
      {u"rdb.metadata", u"GetDatabase", u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(common::Utf16ToUtf8(c.type + u" / " + c.text));
    if (c.method_text.empty()) {
      try {
        SelectCommand(c.type, c.text, table_);
        ADD_FAILURE() << "selected";
      } catch (const TRDBError& e) {
        EXPECT_EQ(e.code(), kCommandTypeErrorCode);
        EXPECT_EQ(e.what(), common::Utf16ToUtf8(c.type) + " is an unrecognized command type");
      }
    } else {
      EXPECT_EQ(SelectCommand(c.type, c.text, table_).method_text, c.method_text);
    }
  }
}

TEST(LiteralArguments, ReadsQuotedAndPlainValues) {
  EXPECT_TRUE(LiteralArguments(u"A.B").empty());
  EXPECT_TRUE(LiteralArguments(u"A.B()").empty());
  EXPECT_EQ(LiteralArguments(u"A.B( x , 'a, b' ,\"it\"\"s\", 12)"),
            (std::vector<std::u16string>{u"x", u"a, b", u"it\"s", u"12"}));
  EXPECT_EQ(LiteralArguments(u"A.B('open"), (std::vector<std::u16string>{u"open"}));
}

}  // namespace
}  // namespace protocol
