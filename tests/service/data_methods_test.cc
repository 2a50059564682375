#include "service/data_methods.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <latch>
#include <thread>

#include "common/datetime.h"
#include "data_test_support.h"
#include "pools/database_error.h"
#include "service/param_packing.h"

namespace service {
namespace {

using common::Variant;
using storage::TDADataAttribute;
using storage::TDADataOption;
using testing::Engine;
using testing::LoadResult;
using testing::ServerHarness;

std::u16string U16(std::string_view utf8) { return common::Utf8ToUtf16(utf8); }

// A tmpfs of a given size, mounted on a folder of its own for as long as the object lives
// (mounting needs root, which the tests have in CI; elsewhere mounted() is false).
class SmallFileSystem {
 public:
  explicit SmallFileSystem(const std::string& size) {
    char folder[] = "/tmp/ds-small-fs-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
      why_ = "no folder to mount on";
      return;
    }
    folder_ = folder;
    if (::mount("tmpfs", folder, "tmpfs", 0, ("size=" + size).c_str()) != 0) {
      why_ = std::string("a tmpfs cannot be mounted here: ") + std::strerror(errno);
      return;
    }
    mounted_ = true;
  }
  ~SmallFileSystem() {
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
    if (!folder_.empty()) ::rmdir(folder_.c_str());
  }
  bool mounted() const { return mounted_; }
  const std::string& why() const { return why_; }

  // A harness whose database folder is on this file system.
  std::unique_ptr<testing::ServerHarness> Harness(Engine engine) const {
    const char* before = std::getenv("TMPDIR");
    const std::string saved = before != nullptr ? before : "";
    ::setenv("TMPDIR", folder_.c_str(), 1);
    auto harness = std::make_unique<testing::ServerHarness>(engine);
    if (before != nullptr) {
      ::setenv("TMPDIR", saved.c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
    return harness;
  }

 private:
  std::string folder_;
  std::string why_;
  bool mounted_ = false;
};

// The database methods against each engine: a table "items" with an auto-increment key, a
// unique code, Chinese text, a decimal, a date-time and a blob, three rows.
class DataMethods : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    h_ = std::make_unique<ServerHarness>(GetParam());
    if (!h_->available()) GTEST_SKIP() << pools::testing::kPgSkipMessage;
    items_ = testing::CreateItemsTable(*h_);
  }
  void TearDown() override {
    if (h_->available()) {
      EXPECT_TRUE(h_->Idle()) << "a pooled object was not given back";
    }
  }

  Variant Query(const std::string& sql, std::u16string* err = nullptr) {
    std::vector<Variant> args = {Variant::String(U16(sql)), Variant()};
    Variant result = h_->Call(ServerMethod::kSQL2OleVariant, args);
    if (err != nullptr) *err = args[1].text();
    return result;
  }
  std::u16string Exec(const std::string& sql) {
    std::vector<Variant> args = {Variant::String(U16(sql)), Variant()};
    h_->Call(ServerMethod::kExecSQL, args);
    return args[1].text();
  }
  std::u16string UpdateSql(const Variant& payload) {
    std::vector<Variant> args = {payload, Variant::String(u"stale")};
    h_->Call(ServerMethod::kUpdateSQL, args);
    return args[1].text();
  }
  std::u16string Apply(const Variant& change_set, const std::string& table) {
    std::vector<Variant> args = {Variant::String(U16(table)), change_set, Variant()};
    h_->Call(ServerMethod::kUpdateOleVariant, args);
    return args[2].text();
  }
  testing::LoadedResult Load(const std::string& sql) {
    std::u16string err;
    Variant v = Query(sql, &err);
    if (!err.empty()) throw std::runtime_error(common::Utf16ToUtf8(err));
    return LoadResult(v);
  }
  std::string AllItems() { return testing::AllItemsQuery(items_); }

  std::unique_ptr<ServerHarness> h_;
  std::string items_;
};

TEST_P(DataMethods, QueryGivesEveryRowAsACompressedDatasetStream) {
  std::u16string err = u"x";
  const Variant v = Query(AllItems(), &err);
  EXPECT_EQ(err, u"");
  ASSERT_TRUE(v.IsByteArray());
  ASSERT_GE(v.bytes().size(), 2u);
  EXPECT_EQ(v.bytes()[0], 0x78);  // zlib at the default level
  EXPECT_EQ(v.bytes()[1], 0x9C);

  const testing::LoadedResult r = LoadResult(v);
  ASSERT_EQ(r.table->RowCount(), 3u);
  ASSERT_EQ(r.table->Columns().size(), 7u);
  EXPECT_EQ(r.table->Name(), items_);  // every column comes from one table
  EXPECT_EQ(r.Text(0, "code"), "A-1");
  EXPECT_EQ(r.Value(0, "name"), Variant::String(u"苹果"));
  EXPECT_EQ(r.Value(0, "price").ToDouble(), 1.5);
  EXPECT_EQ(r.Value(1, "price").ToDouble(), 2.25);
  EXPECT_EQ(r.Value(0, "qty").ToInt64(), 3);
  EXPECT_EQ(r.Value(0, "at"), Variant::Date(common::EncodeDateTime(2024, 1, 2, 3, 4, 5)));
  EXPECT_EQ(r.Value(0, "data"), Variant::ByteArray({1, 2}));
  for (const char* null_column : {"qty", "at", "data"}) {
    SCOPED_TRACE(null_column);
    EXPECT_TRUE(r.Value(1, null_column).IsNull());
  }
  EXPECT_TRUE(r.Value(2, "name").IsNull());

  const storage::TDAMemColumnList& cols = r.table->Columns();
  const storage::TDAMemColumn& id = cols[r.ColumnIndex("id")];
  EXPECT_TRUE(id.Options().Has(TDADataOption::coInKey));
  EXPECT_TRUE(id.Attributes().Has(TDADataAttribute::caSearchable));
  EXPECT_EQ(id.OriginColName, "id");
  const storage::TDAMemColumn& code = cols[r.ColumnIndex("code")];
  EXPECT_FALSE(code.Attributes().Has(TDADataAttribute::caAllowNull));
  EXPECT_FALSE(code.Options().Has(TDADataOption::coInKey));
  EXPECT_EQ(code.Size, 20);
  const storage::TDAMemColumn& price = cols[r.ColumnIndex("price")];
  EXPECT_EQ(price.DataType, common::DataType::dtFmtBCD);
  EXPECT_EQ(price.Precision, 10);
  EXPECT_EQ(price.Scale, 2);
  const storage::TDAMemColumn& data = cols[r.ColumnIndex("data")];
  EXPECT_TRUE(data.Attributes().Has(TDADataAttribute::caBlobData));
  EXPECT_FALSE(data.Attributes().Has(TDADataAttribute::caSearchable));
}

TEST_P(DataMethods, EmptyResultCarriesTheColumnsAndNoRow) {
  const testing::LoadedResult r = Load(AllItems() + " LIMIT 0");
  EXPECT_EQ(r.table->Columns().size(), 7u);
  EXPECT_EQ(r.table->RowCount(), 0u);
}

TEST_P(DataMethods, ExpressionsAndRepeatedNamesGetReadOnlyUniqueColumns) {
  const testing::LoadedResult r = Load("SELECT a.id, b.id, a.qty * 2 AS twice FROM " + items_ +
                                       " a JOIN " + items_ + " b ON b.id = a.id ORDER BY a.id");
  ASSERT_EQ(r.table->Columns().size(), 3u);
  EXPECT_EQ(r.table->Columns()[0].Name(), "id");
  EXPECT_EQ(r.table->Columns()[1].Name(), "id_1");
  const storage::TDAMemColumn& twice = r.table->Columns()[2];
  EXPECT_TRUE(twice.Attributes().Has(TDADataAttribute::caReadOnly));
  EXPECT_FALSE(twice.Options().Has(TDADataOption::coInUpdate));
  EXPECT_EQ(r.Value(0, "twice").ToInt64(), 6);
}

// SQLite lets a column hold values of any storage class; the query still gives every value as
// the database holds it, in a column retyped to one that carries them all (numbers as their
// exact text, texts and blobs as bytes where a column holds both).
TEST_P(DataMethods, ColumnsHoldingMixedStorageClassesGiveEveryValueUnaltered) {
  if (GetParam() != Engine::kSQLite) GTEST_SKIP() << "only SQLite types values, not columns";
  ASSERT_EQ(Exec("CREATE TABLE mixed (u, i INTEGER, b BOOLEAN, t TEXT, n NUMERIC(10,2));"
                 "INSERT INTO mixed VALUES (7, 1, 1, 'x', 1.5);"
                 "INSERT INTO mixed VALUES ('text', 2.5, 'yes', x'0102', 'abc');"
                 "INSERT INTO mixed VALUES (2.5, 9007199254740993, 0, 'y', 2);"
                 "CREATE TABLE log (v);"),
            u"");
  const testing::LoadedResult r = Load("SELECT u, i, b, t, n FROM mixed ORDER BY rowid");
  ASSERT_EQ(r.table->RowCount(), 3u);
  struct Case {
    const char* column;
    std::vector<std::string> texts;
  } cases[] = {
      {"u", {"7", "text", "2.5"}},
      {"i", {"1", "2.5", "9007199254740993"}},
      {"b", {"1", "yes", "0"}},
      {"n", {"1.5", "abc", "2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.column);
    for (size_t row = 0; row < c.texts.size(); ++row)
      EXPECT_EQ(r.Text(row, c.column), c.texts[row]);
  }
  EXPECT_EQ(r.Value(0, "t"), Variant::ByteArray({'x'}));
  EXPECT_EQ(r.Value(1, "t"), Variant::ByteArray({0x01, 0x02}));
  EXPECT_EQ(r.Value(2, "t"), Variant::ByteArray({'y'}));

  // A text whose result is not its only statement is never run twice: the mismatch is an error.
  std::u16string err;
  Query("INSERT INTO log VALUES (1); SELECT u FROM mixed ORDER BY rowid", &err);
  EXPECT_NE(err.find(u"Cannot convert value \"text\""), std::u16string::npos)
      << common::Utf16ToUtf8(err);
  EXPECT_EQ(Load("SELECT COUNT(*) AS n FROM log").Text(0, "n"), "1");
}

TEST_P(DataMethods, DatabaseFailuresReachErrMsgUnchanged) {
  struct Case {
    const char* name;
    std::string sql;
  };
  const Case cases[] = {
      {"SyntaxError", "SELEKT 1"},
      {"MissingTable", "SELECT * FROM no_such_table_here"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string expected = h_->MessageOf(c.sql);
    ASSERT_NE(expected, "<no error>");
    std::u16string err;
    EXPECT_TRUE(Query(c.sql, &err).IsEmpty());
    EXPECT_EQ(common::Utf16ToUtf8(err), expected);
    EXPECT_EQ(common::Utf16ToUtf8(Exec(c.sql)), expected);
    EXPECT_EQ(common::Utf16ToUtf8(UpdateSql(testing::CompressedPayload(c.sql))), expected);
    EXPECT_TRUE(h_->Idle());
  }
}

TEST_P(DataMethods, ExecSqlCommitsOrRollsBackAsAWhole) {
  EXPECT_EQ(Exec("UPDATE " + items_ + " SET qty = 10 WHERE code = 'A-1'"), u"");
  EXPECT_EQ(h_->Scalar("SELECT qty FROM " + items_ + " WHERE code = 'A-1'"), "10");

  const std::string duplicate = "INSERT INTO " + items_ + " (code, name) VALUES ('A-1', 'again')";
  const std::string expected = h_->MessageOf(duplicate);
  EXPECT_EQ(common::Utf16ToUtf8(Exec(duplicate)), expected);
  EXPECT_EQ(h_->Scalar("SELECT COUNT(*) FROM " + items_), "3");

  // A statement that changed rows before the failing one is undone with it.
  const std::string batch = "UPDATE " + items_ + " SET qty = 99; " + duplicate;
  EXPECT_NE(Exec(batch), u"");
  EXPECT_EQ(h_->Scalar("SELECT COUNT(*) FROM " + items_ + " WHERE qty = 99"), "0");
}

TEST_P(DataMethods, UpdateSqlRunsItsLinesAsOneCommandText) {
  // One statement over three lines, in each line-break style.
  for (const char* br : {"\r\n", "\n", "\r"}) {
    SCOPED_TRACE(::testing::PrintToString(br));
    const std::string text =
        "UPDATE " + items_ + std::string(br) + "SET qty = qty + 1" + br + "WHERE code = 'A-1'" + br;
    EXPECT_EQ(UpdateSql(testing::CompressedPayload(text)), u"");
  }
  EXPECT_EQ(h_->Scalar("SELECT qty FROM " + items_ + " WHERE code = 'A-1'"), "6");

  // Two statements on separate lines both run.
  const std::string two = "UPDATE " + items_ + " SET qty = 1 WHERE code = 'B-2';\r\nUPDATE " +
                          items_ + " SET qty = 2 WHERE code = 'C-3';";
  EXPECT_EQ(UpdateSql(testing::CompressedPayload(two)), u"");
  EXPECT_EQ(h_->Rows("SELECT qty FROM " + items_ + " ORDER BY id"),
            (std::vector<std::vector<std::string>>{{"6"}, {"1"}, {"2"}}));
}

TEST_P(DataMethods, UpdateSqlTextIsDecodedByItsByteOrderMark) {
  const std::u16string name = u"茶杯 №1";
  const std::string utf8 = common::Utf16ToUtf8(name);
  const std::string before = "UPDATE " + items_ + " SET name = '";
  const std::string after = "' WHERE code = 'B-2'";
  auto utf16 = [&](bool big_endian) {
    std::string out = big_endian ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t c : U16(before) + name + U16(after)) {
      const char hi = static_cast<char>(c >> 8), lo = static_cast<char>(c & 0xFF);
      out += big_endian ? std::string{hi, lo} : std::string{lo, hi};
    }
    return out;
  };
  struct Case {
    const char* name;
    const char* code_page;  // the ANSI code page in force
    std::string payload;
  };
  const Case cases[] = {
      {"Utf8Bom", "UTF-8", "\xEF\xBB\xBF" + before + utf8 + after},
      {"Utf8BomUnderGbk", "GBK", "\xEF\xBB\xBF" + before + utf8 + after},
      {"Utf16LE", "GBK", utf16(false)},
      {"Utf16BE", "GBK", utf16(true)},
      {"AnsiGbk", "GBK", before + common::CodePage("GBK").FromUtf16(u"茶杯 ") + "?1" + after},
  };
  const std::string original_code_page = common::AnsiCodePage().name();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(common::SetAnsiCodePage(c.code_page));
    EXPECT_EQ(UpdateSql(testing::CompressedPayload(c.payload)), u"");
    const std::string expected =
        std::string(c.name) == "AnsiGbk" ? common::Utf16ToUtf8(u"茶杯 ?1") : utf8;
    EXPECT_EQ(h_->Scalar("SELECT name FROM " + items_ + " WHERE code = 'B-2'"), expected);
  }
  common::SetAnsiCodePage(original_code_page);
}

TEST_P(DataMethods, MalformedPayloadsAreCallErrors) {
  common::Bytes no_journal;
  {
    // A dataset stream that is no change set: saved without its journal.
    testing::LoadedResult r = Load(AllItems());
    storage::TDAResOptions options;
    options.StoreItems = {storage::TDAStoreItem::siMeta, storage::TDAStoreItem::siData};
    storage::SaveToStream(*r.manager, no_journal, &options);
  }
  struct Case {
    const char* name;
    Variant payload;
    bool for_update_sql;  // UpdateSQL takes any decompressed bytes as text
  };
  const Case cases[] = {
      {"Null", Variant::Null(), true},
      {"String", Variant::String(u"UPDATE x SET y = 1"), true},
      {"ArrayOfVariants", Variant::VariantArrayOf({Variant::Integer(1)}), true},
      {"NotZlib", Variant::ByteArray({'A', 'D', 'B', 'S', 0, 0}), true},
      {"NoDatasetStream", testing::CompressedPayload(std::string_view("not a dataset stream")),
       false},
      {"TruncatedStream",
       testing::CompressedPayload(common::Bytes(no_journal.begin(), no_journal.begin() + 40)),
       false},
      {"NoJournal", testing::CompressedPayload(no_journal), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Variant> apply = {Variant::String(U16(items_)), c.payload, Variant::String(u"x")};
    EXPECT_THROW(h_->Call(ServerMethod::kUpdateOleVariant, apply), common::Error);
    EXPECT_EQ(apply[2], Variant::String(u""));
    if (c.for_update_sql) {
      std::vector<Variant> update = {c.payload, Variant::String(u"x")};
      EXPECT_THROW(h_->Call(ServerMethod::kUpdateSQL, update), common::Error);
      EXPECT_EQ(update[1], Variant::String(u""));
    }
    EXPECT_TRUE(h_->Idle());
  }
  EXPECT_EQ(h_->Scalar("SELECT COUNT(*) FROM " + items_), "3");
}

TEST_P(DataMethods, ChangeSetIsAppliedInTheOrderOfTheChanges) {
  testing::LoadedResult r = Load(AllItems());
  storage::TDAMemTable& t = *r.table;
  // Meanwhile another user changes a column this client does not touch.
  h_->Exec("UPDATE " + items_ + " SET qty = 42 WHERE code = 'A-1'");

  storage::TDAMemRow* first = t.Row(0);
  first->BeginEdit();
  first->SetValue(r.ColumnIndex("name"), Variant::String(u"红苹果"));
  first->EndEdit();
  t.Row(1)->Delete();
  // The deleted code is taken again by an insert made after the delete.
  storage::TDAMemRow* added = t.NewRow(false);
  added->SetValue(r.ColumnIndex("code"), Variant::String(u"B-2"));
  added->SetValue(r.ColumnIndex("name"), Variant::String(u"新香蕉"));
  added->SetValue(r.ColumnIndex("price"), Variant::Custom(common::kVarFmtBcd, u"9.99"));
  added->SetValue(r.ColumnIndex("at"), Variant::Date(common::EncodeDateTime(2025, 5, 6, 7, 8, 9)));
  added->SetValue(r.ColumnIndex("data"), Variant::ByteArray({0xFF, 0x00, 0x7F}));
  t.AppendRow(added);

  EXPECT_EQ(Apply(testing::ChangeSetPayload(r), items_), u"");
  const testing::LoadedResult after = Load(AllItems());
  ASSERT_EQ(after.table->RowCount(), 3u);
  EXPECT_EQ(after.Value(0, "name"), Variant::String(u"红苹果"));
  EXPECT_EQ(after.Value(0, "qty").ToInt64(), 42);  // only the changed column was written
  EXPECT_EQ(after.Text(1, "code"), "C-3");
  EXPECT_EQ(after.Text(2, "code"), "B-2");
  EXPECT_EQ(after.Value(2, "name"), Variant::String(u"新香蕉"));
  EXPECT_EQ(after.Value(2, "price").ToDouble(), 9.99);
  EXPECT_EQ(after.Value(2, "at"), Variant::Date(common::EncodeDateTime(2025, 5, 6, 7, 8, 9)));
  EXPECT_EQ(after.Value(2, "data"), Variant::ByteArray({0xFF, 0x00, 0x7F}));
  EXPECT_GT(after.Value(2, "id").ToInt64().value_or(0), 3);  // the database gave the key
}

TEST_P(DataMethods, FailedRowsKeepTheirMessagesAndTheOthersAreCommitted) {
  testing::LoadedResult r = Load(AllItems());
  storage::TDAMemTable& t = *r.table;
  const size_t qty = r.ColumnIndex("qty");
  auto edit = [&](size_t row, int64_t value) {
    t.Row(row)->BeginEdit();
    t.Row(row)->SetValue(qty, Variant::Int64(value));
    t.Row(row)->EndEdit();
  };
  edit(0, 100);
  storage::TDAMemRow* duplicate = t.NewRow(false);
  duplicate->SetValue(r.ColumnIndex("code"), Variant::String(u"A-1"));
  t.AppendRow(duplicate);
  edit(1, 200);
  edit(2, 300);
  // Row 2 vanishes before the changes arrive.
  h_->Exec("DELETE FROM " + items_ + " WHERE code = 'C-3'");

  const std::string insert_error =
      h_->MessageOf("INSERT INTO " + items_ + " (code) VALUES ('A-1')");
  const std::u16string err = Apply(testing::ChangeSetPayload(r), items_);
  // In row order: the vanished row 2, then the inserted row (which the rows list last).
  const std::string vanished =
      "Update command updated [0] instead of [1] record. Possible reasons: update table does "
      "not have PK or row identifier, record has been changed/deleted by another user";
  EXPECT_EQ(common::Utf16ToUtf8(err), vanished + insert_error);
  EXPECT_EQ(h_->Rows("SELECT code, qty FROM " + items_ + " ORDER BY id"),
            (std::vector<std::vector<std::string>>{{"A-1", "100"}, {"B-2", "200"}}));
}

TEST_P(DataMethods, RowsWithoutKeyAreFoundByEveryComparableColumn) {
  const std::string notes = h_->Table("notes");
  h_->Exec("CREATE TABLE " + notes + " (a INTEGER, b VARCHAR(10), memo TEXT)");
  h_->Exec("INSERT INTO " + notes + " VALUES (1, 'x', 'long text')");
  h_->Exec("INSERT INTO " + notes + " VALUES (NULL, 'y', 'long text')");
  h_->Exec("INSERT INTO " + notes + " VALUES (NULL, 'z', NULL)");
  testing::LoadedResult r = Load("SELECT a, b, memo FROM " + notes + " ORDER BY b");
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_FALSE(r.table->Columns()[i].Options().Has(TDADataOption::coInKey));
  }
  r.table->Row(1)->Delete();  // a IS NULL AND b = 'y'
  storage::TDAMemRow* z = r.table->Row(2);
  z->BeginEdit();
  z->SetValue(0, Variant::Integer(3));
  z->EndEdit();
  EXPECT_EQ(Apply(testing::ChangeSetPayload(r), notes), u"");
  EXPECT_EQ(h_->Rows("SELECT a, b FROM " + notes + " ORDER BY b"),
            (std::vector<std::vector<std::string>>{{"1", "x"}, {"3", "z"}}));
}

TEST_P(DataMethods, RowThatHitsSeveralRowsIsUndone) {
  const std::string dup = h_->Table("dup");
  h_->Exec("CREATE TABLE " + dup + " (a INTEGER, b VARCHAR(10))");
  h_->Exec("INSERT INTO " + dup + " VALUES (1, 'x')");
  h_->Exec("INSERT INTO " + dup + " VALUES (1, 'x')");
  h_->Exec("INSERT INTO " + dup + " VALUES (2, 'y')");
  testing::LoadedResult r = Load("SELECT a, b FROM " + dup + " ORDER BY a");
  for (size_t row : {size_t{0}, size_t{2}}) {
    r.table->Row(row)->BeginEdit();
    r.table->Row(row)->SetValue(1, Variant::String(row == 0 ? u"z" : u"w"));
    r.table->Row(row)->EndEdit();
  }
  // Row 0 cannot be told from its twin: its update fails and changes neither of them.
  EXPECT_EQ(common::Utf16ToUtf8(Apply(testing::ChangeSetPayload(r), dup)),
            "Update command updated [2] instead of [1] record. Possible reasons: update table "
            "does not have PK or row identifier, record has been changed/deleted by another user");
  EXPECT_EQ(h_->Rows("SELECT a, b FROM " + dup + " ORDER BY a, b"),
            (std::vector<std::vector<std::string>>{{"1", "x"}, {"1", "x"}, {"2", "w"}}));
}

TEST_P(DataMethods, ChangeSetWithoutChangesChangesNothing) {
  // A result as it came: its journal lists no change.
  std::u16string err;
  const Variant unchanged = Query(AllItems(), &err);
  h_->Exec("UPDATE " + items_ + " SET qty = 5");
  EXPECT_EQ(Apply(unchanged, items_), u"");
  EXPECT_EQ(h_->Scalar("SELECT COUNT(*) FROM " + items_ + " WHERE qty = 5"), "3");
}

TEST_P(DataMethods, TableNamesThatAreNoIdentifiersAreRefused) {
  testing::LoadedResult r = Load(AllItems());
  r.table->Row(0)->Delete();
  const Variant payload = testing::ChangeSetPayload(r);
  for (const std::string& name : {std::string(), "\"" + items_ + "\"; DELETE FROM " + items_,
                                  items_ + ".", std::string("\"unclosed")}) {
    SCOPED_TRACE(name);
    std::vector<Variant> args = {Variant::String(U16(name)), payload, Variant()};
    EXPECT_THROW(h_->Call(ServerMethod::kUpdateOleVariant, args), common::Error);
  }
  EXPECT_EQ(h_->Scalar("SELECT COUNT(*) FROM " + items_), "3");
  // A name the client quoted itself is taken as written.
  EXPECT_EQ(Apply(payload, "\"" + items_ + "\""), u"");
  EXPECT_EQ(h_->Scalar("SELECT COUNT(*) FROM " + items_), "2");
}

TEST_P(DataMethods, LargeResultKeepsEveryRow) {
  constexpr int kRows = 100000;
  const std::string sql =
      h_->is_pg()
          ? "SELECT g AS n, 'row ' || g AS label, g * 0.5 AS half FROM generate_series(1, 100000) g"
          : "WITH RECURSIVE s(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM s WHERE n < 100000) "
            "SELECT n, 'row ' || n AS label, n * 0.5 AS half FROM s";
  const testing::LoadedResult r = Load(sql);
  ASSERT_EQ(r.table->RowCount(), static_cast<size_t>(kRows));
  for (size_t row : {size_t{0}, size_t{4999}, size_t{kRows - 1}}) {
    SCOPED_TRACE(row);
    EXPECT_EQ(r.Value(row, "n").ToInt64(), static_cast<int64_t>(row + 1));
    EXPECT_EQ(r.Text(row, "label"), "row " + std::to_string(row + 1));
    EXPECT_EQ(r.Value(row, "half").ToDouble(), (row + 1) * 0.5);
  }
}

TEST_P(DataMethods, ThirtyCallersWorkWhileFiftyWait) {
  // Each call holds its connection for a while (little CPU: the machine has few cores), and all
  // start together, so that 50 callers wait on the pools.
  const std::string slow =
      h_->is_pg()
          ? "SELECT 1 AS s, (SELECT COUNT(*) FROM " + items_ +
                ") AS n FROM (SELECT pg_sleep(0.2)) w"
          : "WITH RECURSIVE s(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM s WHERE n < 20000) "
            "SELECT MAX(n) AS s, (SELECT COUNT(*) FROM " +
                items_ + ") AS n FROM s";
  constexpr int kCallers = 80;
  std::latch start(kCallers);
  std::atomic<int> ok{0};
  std::atomic<int> max_busy{0};
  std::vector<std::string> failures(kCallers);
  std::vector<std::thread> threads;
  for (int i = 0; i < kCallers; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      try {
        std::u16string err;
        const Variant v = Query(slow, &err);
        const int busy = h_->connections().BusyCount();
        int seen = max_busy.load();
        while (busy > seen && !max_busy.compare_exchange_weak(seen, busy)) {
        }
        if (!err.empty()) {
          failures[i] = common::Utf16ToUtf8(err);
        } else if (LoadResult(v).Value(0, "n").ToInt64() != 3) {
          failures[i] = "wrong count";
        } else {
          ++ok;
        }
      } catch (const std::exception& e) {
        failures[i] = e.what();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kCallers; ++i) EXPECT_EQ(failures[i], "") << "caller " << i;
  EXPECT_EQ(ok.load(), kCallers);
  EXPECT_LE(h_->connections().Count(), pools::kPoolCapacity);
  EXPECT_GT(max_busy.load(), 1);
}

// --- Stored procedures ------------------------------------------------------------------------

Variant Element(std::u16string name, Variant value, TFieldType type, TParamType direction) {
  return testing::PackedParam(std::move(name), std::move(value), type, direction);
}

struct ProcCall {
  Variant result;
  Variant output;
  std::u16string err;
};

ProcCall CallProc(ServerHarness& h, const std::string& name, Variant input, bool result_set) {
  std::vector<Variant> args = {Variant::String(U16(name)), std::move(input), Variant::Integer(9),
                               Variant::String(u"stale"), Variant::Boolean(result_set)};
  ProcCall c;
  c.result = h.Call(ServerMethod::kStoredProc, args);
  c.output = args[2];
  c.err = args[3].text();
  return c;
}

TEST_P(DataMethods, StoredProceduresWithPackedParameters) {
  if (!h_->is_pg()) {
    const ProcCall c = CallProc(*h_, "anything", Variant::Null(), true);
    EXPECT_EQ(c.err, u"SQLite databases have no stored procedures");
    EXPECT_TRUE(c.result.IsEmpty());
    EXPECT_TRUE(c.output.IsEmpty());
    return;
  }
  const std::string suffix = "_" + std::to_string(getpid());
  const std::string calc = "calc" + suffix, total = "total" + suffix, list = "list" + suffix;
  h_->Exec("CREATE OR REPLACE FUNCTION " + calc +
           "(a integer, OUT doubled integer, INOUT c integer) AS $$ BEGIN doubled := a * 2; "
           "c := c + 1; END $$ LANGUAGE plpgsql");
  h_->Exec("CREATE OR REPLACE PROCEDURE " + total + "(INOUT n integer) AS $$ BEGIN SELECT " +
           "COUNT(*) INTO n FROM " + items_ + "; END $$ LANGUAGE plpgsql");
  h_->Exec("CREATE OR REPLACE FUNCTION " + list + "(below integer) RETURNS TABLE(code text, " +
           "name text) AS $$ SELECT code::text, name::text FROM " + items_ +
           " WHERE id < below ORDER BY id $$ LANGUAGE sql");

  const Variant in_out = Variant::VariantArrayOf(
      {Element(u"a", Variant::Integer(21), TFieldType::ftInteger, TParamType::ptInput),
       Element(u"doubled", Variant::Null(), TFieldType::ftInteger, TParamType::ptOutput),
       Element(u"c", Variant::Integer(7), TFieldType::ftInteger, TParamType::ptInputOutput)});
  for (bool result_set : {false, true}) {
    SCOPED_TRACE(result_set);
    const ProcCall c = CallProc(*h_, calc, in_out, result_set);
    EXPECT_EQ(c.err, u"");
    // Only the output parameter comes back; the in-out one is passed in but not returned.
    EXPECT_EQ(c.output, Variant::VariantArrayOf({Variant::VariantArrayOf(
                            {Variant::String(u"doubled"), Variant::Integer(42),
                             Variant::ShortInt(3), Variant::ShortInt(2), Variant::Integer(0),
                             Variant::Integer(0), Variant::Integer(0)})}));
    if (result_set) {
      const testing::LoadedResult r = LoadResult(c.result);
      ASSERT_EQ(r.table->RowCount(), 1u);
      EXPECT_EQ(r.Value(0, "doubled").ToInt64(), 42);
      EXPECT_EQ(r.Value(0, "c").ToInt64(), 8);
    } else {
      EXPECT_TRUE(c.result.IsEmpty());
    }
  }

  // A result set with inputs only: OutPutPack stays unassigned, not an empty array.
  const ProcCall rows = CallProc(
      *h_, list,
      Variant::VariantArrayOf(
          {Element(u"below", Variant::Integer(3), TFieldType::ftUnknown, TParamType::ptInput)}),
      true);
  EXPECT_EQ(rows.err, u"");
  EXPECT_TRUE(rows.output.IsEmpty());
  const testing::LoadedResult r = LoadResult(rows.result);
  ASSERT_EQ(r.table->RowCount(), 2u);
  EXPECT_EQ(r.Value(0, "name"), Variant::String(u"苹果"));
  EXPECT_EQ(r.Text(1, "code"), "B-2");

  // A procedure called with a null list: no parameters at all, so the database refuses it by
  // its own message (the procedure needs one); the objects are back in their pools.
  const ProcCall none = CallProc(*h_, total, Variant::Null(), false);
  EXPECT_NE(none.err, u"");
  EXPECT_TRUE(h_->Idle());
  const ProcCall counted = CallProc(
      *h_, total,
      Variant::VariantArrayOf(
          {Element(u"n", Variant::Integer(0), TFieldType::ftInteger, TParamType::ptInputOutput)}),
      false);
  EXPECT_EQ(counted.err, u"");

  const ProcCall missing = CallProc(*h_, "no_such_proc" + suffix, Variant::Null(), false);
  EXPECT_NE(missing.err.find(U16("no_such_proc" + suffix)), std::u16string::npos);
  EXPECT_TRUE(missing.result.IsEmpty());
  EXPECT_TRUE(missing.output.IsEmpty());

  for (const std::string& drop : {"FUNCTION " + calc, "PROCEDURE " + total, "FUNCTION " + list}) {
    h_->Exec("DROP " + drop);
  }
}

TEST_P(DataMethods, PooledProcedureObjectsStartEachCallAfresh) {
  // One stored-procedure object serves every call in turn.
  ASSERT_EQ(h_->procs().Count(), 0);
  const Variant two = Variant::VariantArrayOf(
      {Element(u"a", Variant::Integer(1), TFieldType::ftInteger, TParamType::ptInput),
       Element(u"b", Variant::Integer(2), TFieldType::ftInteger, TParamType::ptInput)});
  CallProc(*h_, "p", two, false);
  ASSERT_EQ(h_->procs().Count(), 1);
  CallProc(*h_, "p", Variant::Null(), false);
  EXPECT_EQ(h_->procs().Count(), 1);
  // The object given back holds the parameters of the last call only: none.
  pools::TDAStoredProc* proc = h_->procs().Lock();
  ASSERT_NE(proc, nullptr);
  EXPECT_TRUE(proc->Params().empty());
  h_->procs().UnLock(proc);
}

TEST_P(DataMethods, MalformedParameterListsAreCallErrors) {
  const Variant cases[] = {
      Variant::VariantArrayOf({Variant::VariantArrayOf({Variant::String(u"only a name")})}),
      Variant::VariantArrayOf({Variant::VariantArrayOf(
          {Variant::String(u"a"), Variant::Integer(1), Variant::String(u"three")})}),
      Variant::VariantArrayOf({Variant::VariantArrayOf(
          {Variant::String(u"a"), Variant::Integer(1), Variant::Integer(3), Variant::Null()})}),
  };
  for (const Variant& input : cases) {
    SCOPED_TRACE(common::DebugString(input));
    std::vector<Variant> args = {Variant::String(u"p"), input, Variant(), Variant(),
                                 Variant::Boolean(false)};
    EXPECT_THROW(h_->Call(ServerMethod::kStoredProc, args), EPackedParamsError);
    EXPECT_EQ(args[3], Variant::String(u""));
    EXPECT_TRUE(h_->Idle());
  }
}

// When the database ends the transaction itself during a change set (SQLite on a full file, a
// serialization failure, a connection the server terminates), ErrMsg carries the database's own
// first error, not the failure of a COMMIT or ROLLBACK that followed, and no row is applied
// outside the transaction: both updated rows are applied together or not at all.
TEST_P(DataMethods, TransactionEndedByTheDatabaseKeepsTheDatabaseError) {
  struct Provocation {
    const char* name;
    Engine engine;
    // Prepares the pool's connection (the one the apply will use) or the database, and may
    // start a helper that acts while the apply waits; returns it (or an empty thread).
    std::function<std::thread(int64_t backend_pid)> provoke;
    const char* expected;  // part of the database's own message
    // When set, the SQLite file lives on a file system of this size (a tmpfs).
    const char* file_system_size = nullptr;
  };
  // The backend of the pool's only connection on PostgreSQL, to wait for or to terminate.
  auto pool_connection_pid = [this]() -> int64_t {
    pools::PooledConnection conn(h_->connections());
    if (!h_->is_pg()) return 0;
    pools::TDAQuery q;
    q.SetConnection(conn.get());
    q.SetSQLText("SELECT pg_backend_pid()");
    q.Open();
    return q.Result().Next() ? q.Result().GetInt64(0) : 0;
  };
  // Holds A-1 locked on the test's own connection; the helper waits until the apply's backend
  // waits for that lock, then runs `then` and ends the transaction.
  auto lock_a1_until_waited = [this](int64_t pid, std::string then) {
    h_->admin().StartTransaction();
    h_->Exec("UPDATE " + items_ + " SET price = 7 WHERE code = 'A-1'");
    return std::thread([this, pid, then] {
      const std::string waiting =
          "SELECT count(*) FROM pg_stat_activity WHERE pid = " + std::to_string(pid) +
          " AND wait_event_type = 'Lock'";
      for (int i = 0; i < 400; ++i) {
        h_->Exec("SELECT pg_stat_clear_snapshot()");
        if (h_->Scalar(waiting) == "1") break;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
      }
      if (!then.empty()) h_->Exec(then + std::to_string(pid) + ")");
      h_->admin().Commit();
    });
  };
  const Provocation cases[] = {
      {"SQLite file at its page limit", Engine::kSQLite,
       [this](int64_t) {
         pools::PooledConnection conn(h_->connections());
         pools::TDAQuery q;
         q.SetConnection(conn.get());
         q.SetSQLText("PRAGMA page_count");
         q.Open();
         const int64_t pages = q.Result().Next() ? q.Result().GetInt64(0) : 0;
         q.Close();
         // The limit lives on this connection, which the apply borrows next.
         q.SetSQLText("PRAGMA max_page_count = " + std::to_string(pages));
         q.Open();
         return std::thread();
       },
       "database or disk is full"},
      {"SQLite file system full", Engine::kSQLite, [](int64_t) { return std::thread(); },
       "database or disk is full", "160k"},
      {"PostgreSQL serialization failure", Engine::kPostgreSQL,
       [&](int64_t pid) {
         pools::PooledConnection conn(h_->connections());
         pools::TDAQuery q;
         q.SetConnection(conn.get());
         q.SetSQLText("SET SESSION CHARACTERISTICS AS TRANSACTION ISOLATION LEVEL REPEATABLE READ");
         q.Execute();
         conn.reset();
         return lock_a1_until_waited(pid, "");
       },
       "could not serialize access"},
      {"PostgreSQL backend terminated", Engine::kPostgreSQL,
       [&](int64_t pid) { return lock_a1_until_waited(pid, "SELECT pg_terminate_backend("); },
       "terminating connection due to administrator command"},
  };
  for (const Provocation& c : cases) {
    if (c.engine != GetParam()) continue;
    SCOPED_TRACE(c.name);
    std::unique_ptr<SmallFileSystem> small;
    if (c.file_system_size != nullptr) {
      small = std::make_unique<SmallFileSystem>(c.file_system_size);
      if (!small->mounted()) {
        std::printf("[ SKIPPED  ] %s: %s\n", c.name, small->why().c_str());
        continue;
      }
    }
    h_ = small ? small->Harness(GetParam()) : std::make_unique<ServerHarness>(GetParam());
    items_ = testing::CreateItemsTable(*h_);
    testing::LoadedResult r = Load(AllItems());
    storage::TDAMemTable& t = *r.table;
    const size_t qty = r.ColumnIndex("qty");
    // Journal order: B-2, then A-1 (which the PostgreSQL cases hold locked), then a new row
    // whose blob needs pages the SQLite file may not take.
    for (size_t row : {size_t{1}, size_t{0}}) {
      t.Row(row)->BeginEdit();
      t.Row(row)->SetValue(qty, Variant::Int64(static_cast<int64_t>(100 + row)));
      t.Row(row)->EndEdit();
    }
    storage::TDAMemRow* added = t.NewRow(false);
    added->SetValue(r.ColumnIndex("code"), Variant::String(u"D-4"));
    added->SetValue(r.ColumnIndex("data"), Variant::ByteArray(common::Bytes(256 * 1024, 0x5A)));
    t.AppendRow(added);
    const Variant change_set = testing::ChangeSetPayload(r);

    ASSERT_EQ(h_->connections().Count(), 1);  // the apply borrows the one the case prepares
    std::thread helper = c.provoke(pool_connection_pid());
    // The failure may also end the call (a COMMIT that finds the disk full is the first error
    // then): either way the caller learns the database's own words.
    std::string err;
    try {
      err = common::Utf16ToUtf8(Apply(change_set, items_));
    } catch (const std::exception& e) {
      err = e.what();
    }
    if (helper.joinable()) helper.join();

    EXPECT_NE(err.find(c.expected), std::string::npos) << err;
    EXPECT_EQ(err.find("no transaction"), std::string::npos) << err;
    const auto rows =
        h_->Rows("SELECT code, qty FROM " + items_ + " WHERE code IN ('A-1', 'B-2') ORDER BY code");
    ASSERT_EQ(rows.size(), 2u);
    const bool a_applied = rows[0][1] == "100", b_applied = rows[1][1] == "101";
    EXPECT_EQ(a_applied, b_applied) << "a row was applied outside the transaction";
    EXPECT_EQ(h_->Scalar("SELECT count(*) FROM " + items_ + " WHERE code = 'D-4'"), "0");
    if (small) {
      EXPECT_EQ(h_->Scalar("PRAGMA integrity_check"), "ok");
      EXPECT_TRUE(h_->Idle());
      h_ = std::make_unique<ServerHarness>(GetParam());  // off the small file system first
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, DataMethods,
                         ::testing::Values(Engine::kSQLite, Engine::kPostgreSQL),
                         [](const auto& info) { return testing::EngineName(info.param); });

// --- One engine is enough -----------------------------------------------------------------------

class SqliteDataMethods : public ::testing::Test {
 protected:
  ServerHarness h_{Engine::kSQLite};
  void TearDown() override { EXPECT_TRUE(h_.Idle()); }
};

TEST_F(SqliteDataMethods, FailureWhileFetchingRowsGoesToErrMsg) {
  // The database fails at the 50,000th row: abs() of the smallest integer overflows.
  h_.Exec("CREATE TABLE n (v INTEGER)");
  h_.Exec(
      "INSERT INTO n WITH RECURSIVE s(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM s WHERE i < "
      "60000) SELECT i FROM s");
  std::vector<Variant> args = {
      Variant::String(u"SELECT abs(CASE WHEN v = 50000 THEN -9223372036854775807 - 1 ELSE v END) "
                      u"AS a FROM n"),
      Variant()};
  EXPECT_TRUE(h_.Call(ServerMethod::kSQL2OleVariant, args).IsEmpty());
  EXPECT_NE(args[1].text().find(u"integer overflow"), std::u16string::npos) << DebugString(args[1]);
}

TEST_F(SqliteDataMethods, NoConnectionIsReportedAsTheDatabaseFailure) {
  // DataBase.CFG names a database that cannot be opened.
  pools::ConnectionParams params;
  params.Set("DriverID", "SQLite");
  params.Set("Database", (h_.dir() / "missing" / "none.db").string());
  params.Set("OpenMode", "ReadWrite");
  params.SaveToFile(h_.dir() / pools::kDatabaseConfigFileName);

  std::vector<Variant> query = {Variant::String(u"SELECT 1"), Variant()};
  EXPECT_TRUE(h_.Call(ServerMethod::kSQL2OleVariant, query).IsEmpty());
  EXPECT_NE(query[1].text().find(u"No connection is assigned to the query"), std::u16string::npos);
  EXPECT_NE(query[1].text().find(u"cannot be opened"), std::u16string::npos)
      << DebugString(query[1]);

  std::vector<Variant> exec = {Variant::String(u"DELETE FROM t"), Variant()};
  EXPECT_THROW(h_.Call(ServerMethod::kExecSQL, exec), EDataMethodError);

  std::vector<Variant> update = {testing::CompressedPayload(std::string_view("DELETE FROM t")),
                                 Variant()};
  h_.Call(ServerMethod::kUpdateSQL, update);
  EXPECT_NE(update[1].text(), u"");

  std::vector<Variant> proc = {Variant::String(u"p"), Variant::Null(), Variant(), Variant(),
                               Variant::Boolean(true)};
  h_.Call(ServerMethod::kStoredProc, proc);
  EXPECT_NE(proc[3].text().find(u"No connection is assigned"), std::u16string::npos);

  // A change set with changes cannot be applied; one without changes needs no database.
  storage::TDAMemManager m;
  m.UpdatesRegistry = true;
  storage::TDAMemTable& t = m.AddTable("t");
  t.Columns().Add("id", common::DataType::dtInt32);
  t.AppendRow(t.NewRow(false));
  common::Bytes stream;
  storage::SaveToStream(m, stream);
  std::vector<Variant> apply = {Variant::String(u"t"), testing::CompressedPayload(stream),
                                Variant()};
  EXPECT_THROW(h_.Call(ServerMethod::kUpdateOleVariant, apply), EDataMethodError);
}

// The demo database that scripts/run-server.sh creates, served through the methods.
TEST_F(SqliteDataMethods, DemoDatabaseServesEveryKindOfColumn) {
  std::ifstream script(std::string(DATASERVER_SOURCE_DIR) + "/scripts/demo-db.sql");
  ASSERT_TRUE(script.good());
  h_.Exec(std::string(std::istreambuf_iterator<char>(script), std::istreambuf_iterator<char>()));

  std::vector<Variant> args = {Variant::String(u"SELECT * FROM customers ORDER BY id"), Variant()};
  const testing::LoadedResult customers = LoadResult(h_.Call(ServerMethod::kSQL2OleVariant, args));
  EXPECT_EQ(args[1], Variant::String(u""));
  ASSERT_EQ(customers.table->RowCount(), 5u);
  EXPECT_EQ(customers.table->Name(), "customers");
  const storage::TDAMemColumnList& c = customers.table->Columns();
  const std::pair<const char*, common::DataType> types[] = {
      {"id", common::DataType::dtInt64},      {"name", common::DataType::dtWideString},
      {"credit", common::DataType::dtFmtBCD}, {"created", common::DataType::dtDateTime},
      {"vip", common::DataType::dtBoolean},   {"photo", common::DataType::dtBlob},
  };
  for (const auto& [name, type] : types) {
    SCOPED_TRACE(name);
    EXPECT_EQ(c[customers.ColumnIndex(name)].DataType, type);
  }
  const storage::TDAMemColumn& id = c[customers.ColumnIndex("id")];
  EXPECT_TRUE(id.Attributes().Has(TDADataAttribute::caAutoInc));
  EXPECT_TRUE(id.Options().Has(TDADataOption::coInKey));
  EXPECT_EQ(customers.Value(0, "name"), Variant::String(u"张伟"));
  EXPECT_EQ(customers.Value(0, "credit").ToDouble(), 5000.0);
  EXPECT_EQ(customers.Value(3, "created"),
            Variant::Date(common::EncodeDateTime(2024, 2, 29, 8, 0, 0)));
  EXPECT_EQ(customers.Value(0, "vip"), Variant::Boolean(true));
  EXPECT_EQ(customers.Value(0, "photo").bytes().size(), 33u);
  EXPECT_TRUE(customers.Value(1, "photo").IsNull());

  // An order written back: the database numbers it; one breaking a check fails alone.
  args = {Variant::String(u"SELECT * FROM orders ORDER BY id"), Variant()};
  testing::LoadedResult orders = LoadResult(h_.Call(ServerMethod::kSQL2OleVariant, args));
  ASSERT_EQ(orders.table->RowCount(), 6u);
  for (int quantity : {4, 0}) {
    storage::TDAMemRow* row = orders.table->NewRow(false);
    row->SetValue(orders.ColumnIndex("customer_id"), Variant::Integer(2));
    row->SetValue(orders.ColumnIndex("product_code"), Variant::String(u"CUP-010"));
    row->SetValue(orders.ColumnIndex("quantity"), Variant::Integer(quantity));
    row->SetValue(orders.ColumnIndex("amount"), Variant::Custom(common::kVarFmtBcd, u"143.60"));
    row->SetValue(orders.ColumnIndex("ordered_at"),
                  Variant::Date(common::EncodeDateTime(2025, 1, 2, 3, 4, 5)));
    row->SetValue(orders.ColumnIndex("note"), Variant::String(u"加急"));
    orders.table->AppendRow(row);
  }
  std::vector<Variant> apply = {Variant::String(u"orders"), testing::ChangeSetPayload(orders),
                                Variant()};
  h_.Call(ServerMethod::kUpdateOleVariant, apply);
  EXPECT_EQ(common::Utf16ToUtf8(apply[2].text()), "CHECK constraint failed: quantity > 0");
  EXPECT_EQ(h_.Rows("SELECT id, quantity, amount, note FROM orders WHERE id > 6"),
            (std::vector<std::vector<std::string>>{{"7", "4", "143.6", "加急"}}));
}

TEST(DecodeSqlText, ByteOrderMarksSelectTheEncoding) {
  const std::string original = common::AnsiCodePage().name();
  ASSERT_TRUE(common::SetAnsiCodePage("GBK"));
  struct Case {
    const char* name;
    std::string bytes;
    std::string text;
  };
  const Case cases[] = {
      {"Utf8", "\xEF\xBB\xBF\xE4\xB8\xAD", "中"},
      {"Utf8Malformed",
       "\xEF\xBB\xBF\xFF"
       "a",
       "\xEF\xBF\xBD"
       "a"},
      {"Utf16LE", std::string("\xFF\xFE\x2D\x4E", 4), "中"},
      {"Utf16BE", std::string("\xFE\xFF\x4E\x2D", 4), "中"},
      {"Utf16OddLength",
       std::string("\xFF\xFE"
                   "a\0b",
                   5),
       "a\xEF\xBF\xBD"},
      {"AnsiGbk", "\xD6\xD0", "中"},
      {"Empty", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(DecodeSqlText(common::AsBytes(c.bytes)), c.text);
  }
  common::SetAnsiCodePage(original);
}

}  // namespace
}  // namespace service
