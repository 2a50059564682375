#include "storage/mem_table.h"

#include <gtest/gtest.h>

#include "storage/dataset_stream.h"
#include "storage/stream_test_util.h"

namespace storage {
namespace {

using testing::LE;

common::Bytes Save(const TDAMemManager& m, int version = -1) {
  TDAResOptions options;
  options.StoreVersion = version;
  common::Bytes out;
  SaveToStream(m, out, &options);
  return out;
}

std::vector<std::string> Names(const common::Bytes& stream) {
  return TDABinStorage::OpenRead(stream)->DictionaryNames();
}

bool Has(const std::vector<std::string>& names, const std::string& n) {
  return std::find(names.begin(), names.end(), n) != names.end();
}

TDAMemColumn& FullColumn(TDAMemTable& t) {
  TDAMemColumn& c = t.Columns().Add("PRICE", DataType::dtFmtBCD);
  c.SourceName = "price";
  c.SourceID = 3;
  c.Precision = 12;
  c.Scale = 2;
  c.Size = 8;
  c.SetAttributes(TDADataAttributes::FromBits(0xFFFF));
  c.AutoIncrement = false;  // differs from the attributes' caAutoInc
  c.AutoIncrementSeed = 5;
  c.AutoIncrementStep = -1;
  c.Caption = "Price";
  c.Expression = "QTY*2";
  c.SetOptions(TDADataOptions::FromBits(0xFD));  // all but coUnique
  c.OriginTabName = "ITEMS";
  c.OriginColName = "ITEM_PRICE";
  c.SourceDataType = DataType::dtDouble;
  c.SourcePrecision = 15;
  c.SourceScale = 3;
  c.SourceSize = 9;
  c.SourceDataTypeName = "NUMERIC";
  c.SourceGenerator = "GEN_PRICE";
  return c;
}

void ExpectSameColumn(const TDAMemColumn& a, const TDAMemColumn& b) {
  EXPECT_EQ(a.Name(), b.Name());
  EXPECT_EQ(a.SourceName, b.SourceName);
  EXPECT_EQ(a.SourceID, b.SourceID);
  EXPECT_EQ(a.DataType, b.DataType);
  EXPECT_EQ(a.Precision, b.Precision);
  EXPECT_EQ(a.Scale, b.Scale);
  EXPECT_EQ(a.Size, b.Size);
  EXPECT_EQ(a.Attributes(), b.Attributes());
  EXPECT_EQ(a.AutoIncrement, b.AutoIncrement);
  EXPECT_EQ(a.AutoIncrementSeed, b.AutoIncrementSeed);
  EXPECT_EQ(a.AutoIncrementStep, b.AutoIncrementStep);
  EXPECT_EQ(a.Caption, b.Caption);
  EXPECT_EQ(a.Expression, b.Expression);
  EXPECT_EQ(a.Options(), b.Options());
  EXPECT_EQ(a.OriginTabName, b.OriginTabName);
  EXPECT_EQ(a.OriginColName, b.OriginColName);
  EXPECT_EQ(a.SourceDataType, b.SourceDataType);
  EXPECT_EQ(a.SourcePrecision, b.SourcePrecision);
  EXPECT_EQ(a.SourceScale, b.SourceScale);
  EXPECT_EQ(a.SourceSize, b.SourceSize);
  EXPECT_EQ(a.SourceDataTypeName, b.SourceDataTypeName);
  EXPECT_EQ(a.SourceGenerator, b.SourceGenerator);
}

TEST(MemTable, ColumnsKeepEveryPropertyThroughAStream) {
  TDAMemManager m;
  TDAMemTable& t = m.AddTable("T");
  const TDAMemColumn& c = FullColumn(t);
  const common::Bytes stream = Save(m);
  EXPECT_TRUE(Has(Names(stream), "SourceDirectory"));
  TDAMemManager back;
  LoadFromStream(back, stream);
  ExpectSameColumn(back.Tables()[0].Columns()[0], c);
}

TEST(MemTable, OlderVersionsStoreLessOfAColumn) {
  TDAMemManager m;
  TDAMemTable& t = m.AddTable("T");
  FullColumn(t);
  // Before version 7 the attributes "Base" and "Expr" are not stored.
  TDAMemManager v6;
  LoadFromStream(v6, Save(m, 6));
  EXPECT_FALSE(v6.Tables()[0].Columns()[0].Attributes().Has(TDADataAttribute::caBase));
  EXPECT_TRUE(v6.Tables()[0].Columns()[0].Attributes().Has(TDADataAttribute::caVirtual));
  // Version 1 keeps only the origin column, as "OriginName".
  TDAMemManager plain;
  FullColumn(plain.AddTable("T")).SourceDataType = DataType::dtUnknown;
  const common::Bytes v1 = Save(plain, 1);
  EXPECT_TRUE(Has(Names(v1), "OriginName"));
  EXPECT_FALSE(Has(Names(v1), "OriginTabName"));
  TDAMemManager back;
  LoadFromStream(back, v1);
  EXPECT_EQ(back.Tables()[0].Columns()[0].OriginColName, "ITEM_PRICE");
  EXPECT_EQ(back.Tables()[0].Columns()[0].OriginTabName, "");
}

TEST(MemTable, ColumnPropertiesThatFollowOthersAreNotStored) {
  TDAMemManager m;
  TDAMemTable& t = m.AddTable("T");
  TDAMemColumn& c = t.Columns().Add("ID", DataType::dtInt32);
  c.Caption = "ID";                      // same as the name
  c.SourceDataType = DataType::dtInt32;  // same as the data type
  c.SetAttributes({TDADataAttribute::caAutoInc});
  c.AutoIncrement = true;  // follows caAutoInc
  c.SourceName = "src";    // the origin column falls back to it
  const common::Bytes stream = Save(m);
  const auto names = Names(stream);
  for (const char* absent : {"Caption", "SourceDataType", "AutoIncrement", "OAllowNull"}) {
    EXPECT_FALSE(Has(names, absent)) << absent;
  }
  TDAMemManager back;
  LoadFromStream(back, stream);
  const TDAMemColumn& b = back.Tables()[0].Columns()[0];
  EXPECT_TRUE(b.AutoIncrement);
  EXPECT_EQ(b.OriginColName, "src");
  EXPECT_EQ(b.SourceDataType, DataType::dtUnknown);
}

TEST(MemTable, AttributesAndOptionsStayInStep) {
  TDAMemTable t;
  TDAMemColumn& c = t.Columns().Add("ID", DataType::dtInt32);
  c.SetAttributes({TDADataAttribute::caReadOnly});
  EXPECT_FALSE(c.Options().Has(TDADataOption::coAllowNull));
  EXPECT_TRUE(c.Options().Has(TDADataOption::coReadOnly));
  c.SetOptions(TDADataOptions(c.Options()).Include(TDADataOption::coUnique));
  ASSERT_EQ(t.Constraints().size(), 1u);
  auto* unique = dynamic_cast<TDAMemUniqueConstraint*>(&t.Constraints()[0]);
  ASSERT_NE(unique, nullptr);
  EXPECT_EQ(unique->ColumnNames, "ID");
  c.SetOptions(TDADataOptions(c.Options()).Exclude(TDADataOption::coUnique));
  EXPECT_EQ(t.Constraints().size(), 0u);
}

TEST(MemTable, ConstraintsViewsAndRelationsRoundTrip) {
  TDAMemManager m;
  TDAMemTable& t = m.AddTable("T");
  t.Columns().Add("ID", DataType::dtInt32);
  t.EnforceConstraints = true;
  auto& pk = t.Constraints().Add<TDAMemUniqueConstraint>();
  pk.SetName("PK");
  pk.ColumnNames = "ID";
  pk.Options = {TDASortOption::soPrimary, TDASortOption::soUnique};
  pk.Message = "duplicate";
  auto& fk = t.Constraints().Add<TDAMemForeignKeyConstraint>();
  fk.ColumnNames = "ID";
  fk.RelatedTableName = "P";
  fk.RelatedColumnNames = "PID";
  fk.DeleteRule = TDAMemConstraintRule::crNullify;
  fk.AcceptRejectRule = TDAMemConstraintARRule::arNone;
  fk.FieldValueRequired = true;
  fk.Enforce = false;
  fk.CheckTime = TDAMemCheckTime::ctAtColumnChange;
  auto& check = t.Constraints().Add<TDAMemCheckConstraint>();
  check.Expression = "ID > 0";
  check.Rely = false;

  TDAMemView& v = t.Views().Add("V");
  v.Active = true;
  v.SourceView = "BASE";
  auto& sort = v.Mechanisms().Add<TDAMemMechSort>();
  sort.Active = true;
  sort.Columns = "ID";
  sort.Options = {TDASortOption::soDescending};
  v.Mechanisms().Add<TDAMemMechRowState>().States = {TDAMemRowState::rsInserted,
                                                     TDAMemRowState::rsModified};
  v.Mechanisms().Add<TDAMemMechRange>().TopColumnCount = 2;
  v.Mechanisms().Add<TDAMemMechFilter>().Options = {TDAExpressionOption::ekPartial};
  v.Mechanisms().Add<TDAMemMechError>();
  v.Mechanisms().Add<TDAMemMechDetails>().ParentRelation = "R";
  v.Mechanisms().Add<TDAMemMechChilds>();
  v.Mechanisms().Add<TDAMemMechMaster>().ChildRelation = "R";
  v.Mechanisms().Add<TDAMemMechParent>();
  v.Mechanisms().Add<TDAMemMechDistinct>().ColumnCount = 1;
  TDAMemAggregate& sum = v.Aggregates().Add("S");
  sum.Expression = "SUM(ID)";
  sum.GroupingLevel = 1;
  sum.Active = true;
  t.Views().Add("Own").Creator = &m;  // a dataset's own view: never stored

  m.AddTable("P").Columns().Add("PID", DataType::dtInt32);
  TDAMemRelation& r = m.Relations().Add("R");
  r.ParentTable = "P";
  r.ParentColumnNames = "PID";
  r.ParentKeyConstraint = "PK";
  r.ChildTable = "T";
  r.ChildColumnNames = "ID";
  r.ChildKeyConstraint = "FK";
  r.Nested = true;

  const common::Bytes stream = Save(m);
  TDAMemManager back;
  const TDALoadResult loaded = LoadFromStream(back, stream);
  // T is the child of a relation: the first root table is P.
  EXPECT_EQ(loaded.table->Name(), "P");
  const TDAMemTable& bt = back.Tables()[0];
  EXPECT_TRUE(bt.EnforceConstraints);
  ASSERT_EQ(bt.Constraints().size(), 3u);
  const auto* bpk = dynamic_cast<const TDAMemUniqueConstraint*>(&bt.Constraints()[0]);
  ASSERT_NE(bpk, nullptr);
  EXPECT_EQ(bpk->Name(), "PK");
  EXPECT_EQ(bpk->Options, pk.Options);
  EXPECT_EQ(bpk->Message, "duplicate");
  EXPECT_TRUE(bpk->Enforce);
  const auto* bfk = dynamic_cast<const TDAMemForeignKeyConstraint*>(&bt.Constraints()[1]);
  ASSERT_NE(bfk, nullptr);
  EXPECT_FALSE(bfk->Enforce);
  EXPECT_EQ(bfk->DeleteRule, TDAMemConstraintRule::crNullify);
  EXPECT_EQ(bfk->AcceptRejectRule, TDAMemConstraintARRule::arNone);
  EXPECT_EQ(bfk->CheckTime, TDAMemCheckTime::ctAtColumnChange);
  EXPECT_TRUE(bfk->FieldValueRequired);
  const auto* bcheck = dynamic_cast<const TDAMemCheckConstraint*>(&bt.Constraints()[2]);
  ASSERT_NE(bcheck, nullptr);
  EXPECT_FALSE(bcheck->Rely);

  ASSERT_EQ(bt.Views().size(), 1u);
  const TDAMemView& bv = bt.Views()[0];
  EXPECT_TRUE(bv.Active);
  EXPECT_EQ(bv.SourceView, "BASE");
  ASSERT_EQ(bv.Mechanisms().Items().size(), 10u);
  EXPECT_TRUE(bv.Mechanisms().Items()[0]->Active);
  EXPECT_EQ(dynamic_cast<const TDAMemMechRowState&>(*bv.Mechanisms().Items()[1]).States.bits(),
            (TDAMemRowStates{TDAMemRowState::rsInserted, TDAMemRowState::rsModified}).bits());
  EXPECT_EQ(dynamic_cast<const TDAMemMechDetails&>(*bv.Mechanisms().Items()[5]).ParentRelation,
            "R");
  EXPECT_EQ(dynamic_cast<const TDAMemMechDistinct&>(*bv.Mechanisms().Items()[9]).ColumnCount, 1);
  ASSERT_EQ(bv.Aggregates().Items().size(), 1u);
  EXPECT_TRUE(bv.Aggregates().Items()[0]->Active);
  EXPECT_EQ(bv.Aggregates().Items()[0]->Expression, "SUM(ID)");

  ASSERT_EQ(back.Relations().size(), 1u);
  const TDAMemRelation& br = back.Relations()[0];
  EXPECT_EQ(br.ParentTable, "P");
  EXPECT_EQ(br.ChildKeyConstraint, "FK");
  EXPECT_EQ(br.ParentColumnNames, "PID");
  EXPECT_TRUE(br.Nested);
  EXPECT_EQ(back.Tables()[0].NestedParentTable(), &back.Tables()[1]);

  // Saving the loaded model gives the same stream.
  common::Bytes again;
  SaveToStream(back, again);
  EXPECT_EQ(testing::ToHex(again), testing::ToHex(stream));
}

TEST(MemTable, EnforcementIsSwitchedOnOnlyWhenTheLoadIsComplete) {
  TDAMemManager m;
  TDAMemTable& t = m.AddTable("T");
  t.Columns().Add("ID", DataType::dtInt32);
  t.Constraints().Add<TDAMemUniqueConstraint>();
  for (int version : {11, 15}) {
    SCOPED_TRACE(version);
    TDAMemManager back;
    LoadFromStream(back, Save(m, version));
    EXPECT_TRUE(back.Tables()[0].EnforceConstraints);
    EXPECT_TRUE(back.Tables()[0].Constraints().Enforce);
    EXPECT_TRUE(back.Tables()[0].Constraints()[0].Enforce);
  }
}

TEST(MemTable, RowErrorsTravelWithTheirRows) {
  TDAMemManager m;
  TDAMemTable& t = m.AddTable("T");
  t.Columns().Add("ID", DataType::dtInt32);
  TDAMemRow* plain = t.NewRow(false);
  t.AppendFetchedRow(plain);
  plain->SetError(std::make_unique<EDAException>(3, "bad row", "Q1"));
  TDAMemRow* engine = t.NewRow(false);
  t.AppendFetchedRow(engine);
  engine->SetError(std::make_unique<EDADBEngineException>(
      9, "engine", "Q2",
      std::vector<TDADBError>{{1, 2, 3, "first", "obj", 4, 5}, {6, 0, 0, "second", "", 0, 7}}));
  for (int version : {15, 10, 8, 7}) {
    SCOPED_TRACE(version);
    TDAMemManager back;
    LoadFromStream(back, Save(m, version));
    const TDAMemTable& bt = back.Tables()[0];
    ASSERT_NE(bt.Row(0)->Error(), nullptr);
    EXPECT_EQ(bt.Row(0)->Error()->DACode(), 3);
    EXPECT_STREQ(bt.Row(0)->Error()->what(), "bad row");
    EXPECT_EQ(bt.Row(0)->Error()->DAObjName(), version >= 8 ? "Q1" : "");
    const auto* e = dynamic_cast<const EDADBEngineException*>(bt.Row(1)->Error());
    ASSERT_NE(e, nullptr);
    ASSERT_EQ(e->Errors().size(), 2u);
    EXPECT_EQ(e->Errors()[0], (TDADBError{1, 2, 3, "first", "obj", 4, 5}));
    EXPECT_EQ(e->Errors()[1].RowIndex, 7);
  }
}

TEST(MemTable, ItemsOfOneNameLoadIntoOneItem) {
  // Two columns under one name are one column: the second loads over the first.
  TDAMemManager dup;
  TDAMemTable& dt = dup.AddTable("T");
  dt.Columns().Add("A", DataType::dtInt32);
  dt.Columns().Add("A", DataType::dtWideString);
  TDAMemManager back;
  LoadFromStream(back, Save(dup));
  ASSERT_EQ(back.Tables()[0].Columns().size(), 1u);
  EXPECT_EQ(back.Tables()[0].Columns()[0].DataType, DataType::dtWideString);
}

}  // namespace
}  // namespace storage
