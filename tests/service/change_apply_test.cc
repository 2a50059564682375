#include "service/change_apply.h"

#include <gtest/gtest.h>

#include <functional>

#include "pools/db_test_support.h"
#include "storage/dataset_stream.h"

namespace service {
namespace {

using common::DataType;
using common::Variant;
using storage::TDADataAttribute;
using storage::TDADataOption;
using storage::TDAMemColumn;
using storage::TDAMemRow;
using storage::TDAMemTable;

// A client's table T: ID the auto-increment key (read-only), NAME text, NOTE a memo (not
// searchable), CALC a computed column, FULL named after its origin column "full_name".
// Two fetched rows: (1, 'a', 'n1', 10, 'f1') and (2, NULL, NULL, 20, NULL).
class RowStatements : public ::testing::Test {
 public:
  void SetUp() override {
    conn_.Params().Set("DriverID", "SQLite");
    conn_.Params().Set("Database", ":memory:");
    conn_.Open();

    m_.Clear();
    m_.UpdatesRegistry = true;
    t_ = &m_.AddTable("T");
    TDAMemColumn& id = t_->Columns().Add("ID", DataType::dtInt32);
    id.SetAttributes({TDADataAttribute::caSearchable, TDADataAttribute::caReadOnly,
                      TDADataAttribute::caAutoInc});
    id.SetOptions({TDADataOption::coInUpdate, TDADataOption::coInWhere, TDADataOption::coInKey,
                   TDADataOption::coReadOnly});
    Searchable(t_->Columns().Add("NAME", DataType::dtWideString));
    t_->Columns().Add("NOTE", DataType::dtWideMemo);
    TDAMemColumn& calc = t_->Columns().Add("CALC", DataType::dtInt32);
    calc.SetAttributes({TDADataAttribute::caSearchable, TDADataAttribute::caReadOnly,
                        TDADataAttribute::caAllowNull});
    calc.SetOptions(
        {TDADataOption::coInWhere, TDADataOption::coAllowNull, TDADataOption::coReadOnly});
    TDAMemColumn& full = Searchable(t_->Columns().Add("FULL", DataType::dtWideString));
    full.OriginColName = "full_name";

    Fetch({Variant::Integer(1), Variant::String(u"a"), Variant::String(u"n1"), Variant::Integer(10),
           Variant::String(u"f1")});
    Fetch({Variant::Integer(2), Variant::Null(), Variant::Null(), Variant::Integer(20),
           Variant::Null()});
  }

  static TDAMemColumn& Searchable(TDAMemColumn& c) {
    c.SetAttributes({TDADataAttribute::caSearchable, TDADataAttribute::caAllowNull});
    return c;
  }

  void Fetch(const std::vector<Variant>& values) {
    TDAMemRow* row = t_->NewRow(false);
    for (size_t i = 0; i < values.size(); ++i) row->SetValue(i, values[i]);
    t_->AppendFetchedRow(row);
  }

  void Edit(size_t row, size_t column, const Variant& value) {
    TDAMemRow* r = t_->Row(row);
    r->BeginEdit();
    r->SetValue(column, value);
    r->EndEdit();
  }

  // The statement of the first journalled row, built from the stream a client would send.
  RowStatement Statement(pools::SqlDialect dialect = {}) {
    common::Bytes stream;
    storage::SaveToStream(m_, stream);
    const storage::TDAChangeSet set = storage::TDAChangeSet::Load(stream);
    if (set.Changes().empty()) throw std::runtime_error("no change");
    return BuildRowStatement(set.Changes()[0], set.Columns(), "\"T\"", conn_, dialect);
  }

  static std::vector<Variant> Values(const RowStatement& st) {
    std::vector<Variant> v;
    for (const pools::DbParam& p : st.params) v.push_back(p.value);
    return v;
  }

  pools::TDAConnection conn_;
  storage::TDAMemManager m_;
  TDAMemTable* t_ = nullptr;
};

TEST_F(RowStatements, UpdateSetsOnlyTheChangedWritableColumns) {
  struct Case {
    const char* name;
    std::function<void(RowStatements&)> edit;
    std::string sql;
    std::vector<Variant> params;
  };
  const std::vector<Case> cases = {
      {"OneColumn",
       [](RowStatements& f) { f.Edit(0, 1, Variant::String(u"b")); },
       "UPDATE \"T\" SET \"NAME\" = ? WHERE \"ID\" = ?",
       {Variant::String(u"b"), Variant::Integer(1)}},
      {"OriginNameAndNullValue",
       [](RowStatements& f) {
         f.Edit(0, 4, Variant::Null());
         f.Edit(0, 2, Variant::String(u"n2"));
       },
       "UPDATE \"T\" SET \"NOTE\" = ?, \"full_name\" = ? WHERE \"ID\" = ?",
       {Variant::String(u"n2"), Variant::Null(), Variant::Integer(1)}},
      {"ReadOnlyColumnsAreNotWritten",
       [](RowStatements& f) {
         f.Edit(0, 3, Variant::Integer(99));
         f.Edit(0, 0, Variant::Integer(7));
       },
       "",
       {}},
      {"ChangedBackToTheOldValue",
       [](RowStatements& f) {
         f.Edit(0, 1, Variant::String(u"z"));
         f.Edit(0, 1, Variant::String(u"a"));
       },
       "",
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();  // a fresh model: the journal lists this case's row only
    c.edit(*this);
    const RowStatement st = Statement();
    EXPECT_EQ(st.verb, "Update");
    EXPECT_EQ(st.sql, c.sql);
    EXPECT_EQ(Values(st), c.params);
  }
}

TEST_F(RowStatements, InsertNamesTheColumnsWithValues) {
  TDAMemRow* row = t_->NewRow(false);
  row->SetValue(0, Variant::Integer(5));
  row->SetValue(1, Variant::String(u"new"));
  row->SetValue(3, Variant::Integer(50));  // read-only, computed: never written
  t_->AppendRow(row);

  pools::SqlDialect explicit_ids;
  RowStatement st = Statement(explicit_ids);
  EXPECT_EQ(st.verb, "Insert");
  EXPECT_EQ(st.sql, "INSERT INTO \"T\" (\"ID\", \"NAME\") VALUES (?, ?)");
  EXPECT_EQ(Values(st), (std::vector<Variant>{Variant::Integer(5), Variant::String(u"new")}));
  ASSERT_EQ(st.params.size(), 2u);
  EXPECT_EQ(st.params[1].data_type, DataType::dtWideString);  // typed from the column

  pools::SqlDialect generated_ids;
  generated_ids.explicit_auto_inc_values = false;
  st = Statement(generated_ids);
  EXPECT_EQ(st.sql, "INSERT INTO \"T\" (\"NAME\") VALUES (?)");
}

TEST_F(RowStatements, InsertWithoutValuesAddsARowOfDefaults) {
  t_->AppendRow(t_->NewRow(false));
  using Form = pools::SqlDialect::DefaultRow;
  const std::pair<Form, std::string> cases[] = {
      {Form::kDefaultValues, "INSERT INTO \"T\" DEFAULT VALUES"},
      {Form::kValuesDefault, "INSERT INTO \"T\" (\"ID\") VALUES (DEFAULT)"},
      {Form::kValuesNull, "INSERT INTO \"T\" (\"ID\") VALUES (NULL)"},
  };
  for (const auto& [form, sql] : cases) {
    SCOPED_TRACE(sql);
    pools::SqlDialect dialect;
    dialect.default_row = form;
    const RowStatement st = Statement(dialect);
    EXPECT_EQ(st.sql, sql);
    EXPECT_TRUE(st.params.empty());
  }
}

TEST_F(RowStatements, KeyConditionUsesKeysElseEveryComparableColumn) {
  t_->Row(1)->Delete();
  RowStatement st = Statement();
  EXPECT_EQ(st.verb, "Delete");
  EXPECT_EQ(st.sql, "DELETE FROM \"T\" WHERE \"ID\" = ?");
  EXPECT_EQ(Values(st), std::vector<Variant>{Variant::Integer(2)});
  EXPECT_FALSE(st.may_match_several);

  // Without a key: the searchable columns marked coInWhere (NOTE is no such column), a null
  // old value matched with IS NULL.
  storage::TDADataOptions options = t_->Columns()[0].Options();
  t_->Columns()[0].SetOptions(options.Exclude(TDADataOption::coInKey));
  st = Statement();
  EXPECT_EQ(st.sql,
            "DELETE FROM \"T\" WHERE \"ID\" = ? AND \"NAME\" IS NULL AND \"CALC\" = ? AND "
            "\"full_name\" IS NULL");
  EXPECT_EQ(Values(st), (std::vector<Variant>{Variant::Integer(2), Variant::Integer(20)}));
  EXPECT_TRUE(st.may_match_several);

  // Nothing to find the row by: the row's statement cannot be built.
  for (size_t i = 0; i < t_->Columns().size(); ++i) {
    t_->Columns()[i].SetAttributes(
        t_->Columns()[i].Attributes().Exclude(TDADataAttribute::caSearchable));
  }
  EXPECT_THROW(Statement(), EApplyError);
}

TEST_F(RowStatements, NullOldKeyValueIsMatchedWithIsNull) {
  Fetch({Variant::Null(), Variant::String(u"keyless"), Variant::Null(), Variant::Null(),
         Variant::Null()});
  Edit(2, 1, Variant::String(u"found"));
  const RowStatement st = Statement();
  EXPECT_EQ(st.sql, "UPDATE \"T\" SET \"NAME\" = ? WHERE \"ID\" IS NULL");
  EXPECT_EQ(Values(st), std::vector<Variant>{Variant::String(u"found")});
}

TEST(QuoteTableName, QuotesEachPartOrRefusesWhatIsNoName) {
  pools::TDAConnection conn;
  conn.Params().Set("DriverID", "SQLite");
  conn.Params().Set("Database", ":memory:");
  conn.Open();
  const std::pair<std::string, std::string> quoted[] = {
      {"orders", "\"orders\""},
      {"main.orders", "\"main\".\"orders\""},
      {"Order Details", "\"Order Details\""},
      {"we\"ird", "\"we\"\"ird\""},
      {"\"My Table\"", "\"My Table\""},
      {"[dbo].[x]", "[dbo].[x]"},
      {"\"a\"\"b\".c", "\"a\"\"b\".\"c\""},
  };
  for (const auto& [name, expected] : quoted) {
    SCOPED_TRACE(name);
    EXPECT_EQ(QuoteTableName(conn, name), expected);
  }
  for (const char* bad :
       {"", ".", "a.", ".a", "a..b", "\"x", "\"x\"y", "\"\"", "\"t\"; DROP TABLE t"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(QuoteTableName(conn, bad), EApplyError);
  }
}

TEST(AffectedRowsMessage, NamesTheCommandAndTheCount) {
  struct Case {
    const char* verb;
    int64_t count;
    const char* last;
    const char* text;
  };
  const Case cases[] = {
      {"Update", 0, "",
       "Update command updated [0] instead of [1] record. Possible reasons: update table does not "
       "have PK or row identifier, record has been changed/deleted by another user"},
      {"Delete", 2, "",
       "Delete command deleted [2] instead of [1] record. Possible reasons: update "
       "table does not have PK or row identifier, record has been "
       "changed/deleted by another user"},
      {"Insert", 0, "NOTICE: rule skipped it",
       "Insert command inserted [0] instead of [1] record. Possible reasons: NOTICE: rule skipped "
       "it"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.verb);
    EXPECT_EQ(AffectedRowsMessage(c.verb, c.count, c.last), c.text);
  }
}

}  // namespace
}  // namespace service
