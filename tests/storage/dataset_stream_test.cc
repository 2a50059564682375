#include "storage/dataset_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "storage/stream_test_util.h"
#include "storage/value_codec.h"

namespace storage {
namespace {

using testing::ChangeSetExampleBytes;
using testing::Container;
using testing::Hex;
using testing::LE;
using testing::ResultExampleBytes;
using testing::ToHex;
using testing::Utf16;

common::Bytes Save(const TDAMemManager& m, const TDAResOptions* options = nullptr) {
  common::Bytes out;
  SaveToStream(m, out, options);
  return out;
}

// Loads `stream` and saves the model again with the default options.
common::Bytes Resave(const common::Bytes& stream, const TDAResOptions* options = nullptr) {
  TDAMemManager m;
  LoadFromStream(m, stream, options);
  return Save(m);
}

int LoadCode(const common::Bytes& stream, const TDAResOptions* options = nullptr) {
  try {
    TDAMemManager m;
    LoadFromStream(m, stream, options);
  } catch (const EDAException& e) {
    return e.DACode();
  }
  return 0;
}

std::string Hexed(const StoredValue& v) { return v.present ? ToHex(v.bytes()) : "null"; }

TEST(DatasetStream, WritesTheResultExampleByteForByte) {
  TDAMemManager m;
  testing::BuildResultExample(m);
  const common::Bytes expected = ResultExampleBytes();
  ASSERT_EQ(expected.size(), 532u);
  EXPECT_EQ(common::LoadLE<uint32_t>(expected.data() + 8), 106u);
  EXPECT_EQ(ToHex(Save(m)), ToHex(expected));
}

TEST(DatasetStream, WritesTheChangeSetExampleByteForByte) {
  TDAMemManager m;
  testing::BuildChangeSetExample(m);
  common::Bytes out;
  EXPECT_EQ(SaveToStream(m, out), 3u);
  const common::Bytes expected = ChangeSetExampleBytes();
  ASSERT_EQ(expected.size(), 1005u);
  EXPECT_EQ(common::LoadLE<uint32_t>(expected.data() + 8), 333u);
  EXPECT_EQ(ToHex(out), ToHex(expected));
}

TEST(DatasetStream, ReadsTheResultExampleBackIntoItsModel) {
  TDAMemManager m;
  const TDALoadResult r = LoadFromStream(m, ResultExampleBytes());
  EXPECT_TRUE(m.UpdatesRegistry);
  ASSERT_EQ(m.Tables().size(), 1u);
  ASSERT_EQ(r.table, &m.Tables()[0]);
  EXPECT_EQ(r.table->Name(), "T");
  ASSERT_EQ(r.table->Columns().size(), 1u);
  const TDAMemColumn& id = r.table->Columns()[0];
  EXPECT_EQ(id.Name(), "ID");
  EXPECT_EQ(id.DataType, DataType::dtInt32);
  EXPECT_EQ(id.Attributes(), TDADataAttributes{TDADataAttribute::caAllowNull});
  EXPECT_EQ(id.Options(), (TDADataOptions{TDADataOption::coAllowNull, TDADataOption::coInUpdate,
                                          TDADataOption::coInWhere}));
  ASSERT_EQ(r.table->RowCount(), 1u);
  const TDAMemRow* row = r.table->Row(0);
  EXPECT_EQ(row->RowID(), 0u);
  EXPECT_EQ(row->RowState(), TDAMemRowState::rsUnchanged);
  EXPECT_EQ(row->RowPriorState(), TDAMemRowState::rsDetached);
  EXPECT_EQ(row->GetValue(0), common::Variant::Integer(1));
  EXPECT_TRUE(r.journal_loaded);
  EXPECT_FALSE(r.cached_updates);
  EXPECT_EQ(ToHex(Save(m)), ToHex(ResultExampleBytes()));
}

TEST(DatasetStream, ReadsTheChangeSetExampleBackIntoItsModel) {
  TDAMemManager m;
  const TDALoadResult r = LoadFromStream(m, ChangeSetExampleBytes());
  ASSERT_NE(r.table, nullptr);
  EXPECT_TRUE(r.cached_updates);
  EXPECT_EQ(r.save_point, 3u);
  EXPECT_EQ(r.table->Columns()[1].Size, 10);
  ASSERT_EQ(r.table->RowCount(), 4u);
  const TDAMemRowState states[] = {TDAMemRowState::rsUnchanged, TDAMemRowState::rsModified,
                                   TDAMemRowState::rsInserted, TDAMemRowState::rsDeleted};
  for (uint32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(r.table->Row(i)->RowID(), i);
    EXPECT_EQ(r.table->Row(i)->RowState(), states[i]);
  }
  EXPECT_EQ(r.table->Row(1)->GetValue(1, TDAMemRowVersion::rvOriginal),
            common::Variant::String(u"B"));
  EXPECT_EQ(r.table->Row(1)->GetValue(1, TDAMemRowVersion::rvCurrent),
            common::Variant::String(u"C"));
  const auto& j = m.Journal();
  std::vector<std::pair<uint32_t, uint32_t>> changes;
  for (TDAMemRow* c = j.FirstChange(); c != nullptr; c = j.NextChange(c)) {
    changes.emplace_back(c->RowID(), c->ChangeNumber());
  }
  EXPECT_EQ(changes, (std::vector<std::pair<uint32_t, uint32_t>>{{1, 0}, {2, 1}, {3, 2}}));
  EXPECT_EQ(ToHex(Save(m)), ToHex(ChangeSetExampleBytes()));
}

// One column of each data type that carries a value, with two values of its layout.
struct TypeCase {
  DataType type;
  const char* a;
  const char* b;
};

class EveryDataType : public ::testing::TestWithParam<TypeCase> {};

// Rows in every state (and the version combinations they have) survive a save and a load
// with their values, byte for byte.
TEST_P(EveryDataType, RoundTripsInEveryRowState) {
  const TypeCase& c = GetParam();
  const common::Bytes a = Hex(c.a);
  const common::Bytes b = Hex(c.b);
  TDAMemManager m;
  m.UpdatesRegistry = true;
  TDAMemTable& t = m.AddTable("T");
  t.Columns().Add("K", DataType::dtInt32);
  t.Columns().Add("V", c.type);
  auto fetch = [&](int32_t k, const common::Bytes* v) {
    TDAMemRow* r = t.NewRow(false);
    r->SetData(0, StoredValue::Of(LE(k)));
    r->SetData(1, v != nullptr ? StoredValue::Of(*v) : StoredValue::Null());
    t.AppendFetchedRow(r);
    return r;
  };
  auto edit = [&](TDAMemRow* r, const common::Bytes* v) {
    r->BeginEdit();
    r->SetData(1, v != nullptr ? StoredValue::Of(*v) : StoredValue::Null());
  };
  fetch(0, &a);                        // unchanged
  fetch(1, nullptr);                   // unchanged, null
  TDAMemRow* modified = fetch(2, &a);  // modified a -> b
  edit(modified, &b);
  modified->EndEdit();
  TDAMemRow* to_null = fetch(3, &a);  // modified a -> null
  edit(to_null, nullptr);
  to_null->EndEdit();
  fetch(4, &b)->Delete();          // deleted
  TDAMemRow* gone = fetch(5, &a);  // modified, then deleted
  edit(gone, &b);
  gone->EndEdit();
  gone->Delete();
  TDAMemRow* editing = fetch(6, &a);  // modified and being edited again
  edit(editing, &b);
  editing->EndEdit();
  edit(editing, nullptr);
  TDAMemRow* inserted = t.NewRow(false);  // inserted
  inserted->SetData(0, StoredValue::Of(LE<int32_t>(7)));
  inserted->SetData(1, StoredValue::Of(b));
  t.AppendRow(inserted);

  const common::Bytes stream = Save(m);
  TDAMemManager back;
  const TDALoadResult r = LoadFromStream(back, stream);
  ASSERT_NE(r.table, nullptr);
  ASSERT_EQ(r.table->RowCount(), 8u);
  struct Expect {
    TDAMemRowState state;
    TDAMemRowState prior;
    const char* original;
    const char* current;
    const char* proposed;
  };
  const std::string A = ToHex(a), B = ToHex(b);
  const char* kA = A.c_str();
  const char* kB = B.c_str();
  const char* kNull = "null";
  const char* kNone = "none";
  const Expect expected[] = {
      {TDAMemRowState::rsUnchanged, TDAMemRowState::rsDetached, kA, kNone, kNone},
      {TDAMemRowState::rsUnchanged, TDAMemRowState::rsDetached, kNull, kNone, kNone},
      {TDAMemRowState::rsModified, TDAMemRowState::rsUnchanged, kA, kB, kNone},
      {TDAMemRowState::rsModified, TDAMemRowState::rsUnchanged, kA, kNull, kNone},
      {TDAMemRowState::rsDeleted, TDAMemRowState::rsDetached, kB, kNone, kNone},
      {TDAMemRowState::rsDeleted, TDAMemRowState::rsUnchanged, kA, kB, kNone},
      {TDAMemRowState::rsEditing, TDAMemRowState::rsModified, kA, kB, kNull},
      {TDAMemRowState::rsInserted, TDAMemRowState::rsDetached, kNone, kB, kNone},
  };
  for (uint32_t i = 0; i < 8; ++i) {
    SCOPED_TRACE(i);
    const TDAMemRow* row = r.table->Row(i);
    EXPECT_EQ(row->RowID(), i);
    EXPECT_EQ(RowStateName(row->RowState()), RowStateName(expected[i].state));
    EXPECT_EQ(RowStateName(row->RowPriorState()), RowStateName(expected[i].prior));
    auto version = [&](TDAMemRowVersion v) {
      return row->HasVersion(v) ? Hexed(row->Value(1, v)) : std::string("none");
    };
    EXPECT_EQ(version(TDAMemRowVersion::rvOriginal), expected[i].original);
    EXPECT_EQ(version(TDAMemRowVersion::rvCurrent), expected[i].current);
    EXPECT_EQ(version(TDAMemRowVersion::rvProposed), expected[i].proposed);
  }
  EXPECT_EQ(back.Journal().GetCount(), 6u);
  EXPECT_EQ(ToHex(Save(back)), ToHex(stream));
}

INSTANTIATE_TEST_SUITE_P(
    Values, EveryDataType,
    ::testing::Values(
        TypeCase{DataType::dtBoolean, "01 00", "00 00"}, TypeCase{DataType::dtSByte, "80", "7F"},
        TypeCase{DataType::dtInt16, "00 80", "FF 7F"},
        TypeCase{DataType::dtInt32, "01 00 00 00", "FF FF FF FF"},
        TypeCase{DataType::dtInt64, "01 02 03 04 05 06 07 08", "00 00 00 00 00 00 00 00"},
        TypeCase{DataType::dtByte, "00", "FF"}, TypeCase{DataType::dtUInt16, "01 00", "FF FF"},
        TypeCase{DataType::dtUInt32, "01 00 00 00", "FF FF FF FF"},
        TypeCase{DataType::dtUInt64, "FF FF FF FF FF FF FF FF", "01 00 00 00 00 00 00 00"},
        TypeCase{DataType::dtSingle, "00 00 80 3F", "00 00 C0 7F"},
        TypeCase{DataType::dtDouble, "00 00 00 00 00 00 F8 3F", "00 00 00 00 00 00 F8 7F"},
        TypeCase{DataType::dtExtended, "00 00 00 00 00 00 00 80 FF 3F",
                 "01 00 00 00 00 00 00 C0 FF 7F"},
        TypeCase{DataType::dtCurrency, "40 E2 01 00 00 00 00 00", "C0 1D FE FF FF FF FF FF"},
        TypeCase{DataType::dtBCD,
                 "01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                 "00 00 00 00 00 00 00",
                 "40 BF 12 34 56 78 90 12 34 56 78 90 12 34 56 78 90 12 34 56 78 90 12 34 56 78 90 "
                 "12 34 56 78 90 12 34"},
        TypeCase{DataType::dtFmtBCD,
                 "05 82 12 34 50 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                 "00 00 00 00 00 00 00",
                 "0C 02 00 00 00 00 01 50 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                 "00 00 00 00 00 00 00"},
        TypeCase{DataType::dtDateTime, "80 4A 06 6B C2 AF CC 42", "00 00 2C 84 5D 40 CB 42"},
        TypeCase{DataType::dtTime, "95 2C B3 02", "00 00 00 00"},
        TypeCase{DataType::dtDate, "08 24 0B 00", "01 00 00 00"},
        TypeCase{DataType::dtDateTimeStamp, "D0 07 01 00 02 00 03 00 04 00 05 00 7B 00 00 00",
                 "01 00 01 00 01 00 00 00 00 00 00 00 00 00 00 00"},
        TypeCase{DataType::dtTimeIntervalFull,
                 "FF 07 00 00 00 01 00 00 00 02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                 "01 0A 00 00 00 03 00 00 00 04 00 00 00 05 00 00 00 06 00 00 00 15 03 00 00"},
        TypeCase{DataType::dtTimeIntervalYM,
                 "01 07 00 00 00 01 00 00 00 02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                 "FF 01 00 00 00 09 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        TypeCase{DataType::dtTimeIntervalDS,
                 "01 0A 00 00 00 03 00 00 00 04 00 00 00 05 00 00 00 06 00 00 00 15 03 00 00",
                 "FF 04 00 00 00 00 00 00 00 02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        TypeCase{DataType::dtAnsiString, "41 42", ""},
        TypeCase{DataType::dtWideString, "41 00 42 00", ""},
        TypeCase{DataType::dtByteString, "00 01 02", ""}, TypeCase{DataType::dtBlob, "FF", ""},
        TypeCase{DataType::dtMemo, "6D 65 6D 6F", ""},
        TypeCase{DataType::dtWideMemo, "68 88 6D 00", ""}, TypeCase{DataType::dtXML, "3C 00", ""},
        TypeCase{DataType::dtHBlob, "", "00"}, TypeCase{DataType::dtHMemo, "68", "69"},
        TypeCase{DataType::dtWideHMemo, "", "41 00"}, TypeCase{DataType::dtHBFile, "01", "02"},
        TypeCase{DataType::dtGUID, "FF 19 96 6F 86 8B 11 D0 B4 2D 00 CF 4F C9 64 FF",
                 "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        TypeCase{DataType::dtObject, "", ""}),
    [](const auto& info) { return std::string(common::DataTypeName(info.param.type)); });

TEST(DatasetStream, NullsCostNothingAndEmptyTextIsNotNull) {
  TDAMemManager m;
  TDAMemTable& t = m.AddTable("T");
  t.Columns().Add("S", DataType::dtWideString);
  t.Columns().Add("I", DataType::dtInt32);
  TDAMemRow* nulls = t.NewRow(false);
  t.AppendFetchedRow(nulls);
  TDAMemRow* empty = t.NewRow(false);
  empty->SetData(0, StoredValue::Of(Utf16(u"")));
  t.AppendFetchedRow(empty);
  const common::Bytes stream = Save(m);
  // The all-null version is an empty object; the empty text is its index and a zero length.
  auto s = TDABinStorage::OpenRead(stream);
  const auto& names = s->DictionaryNames();
  const auto original = std::find(names.begin(), names.end(), "Original") - names.begin();
  const std::string id = ToHex(common::Bytes{static_cast<uint8_t>(original)});
  const std::string hex = ToHex(stream);
  EXPECT_NE(hex.find("FF " + id + " FE FE"), std::string::npos) << hex;
  EXPECT_NE(hex.find("FF " + id + " 00 00 00 00 00 00 FE FE"), std::string::npos) << hex;
  TDAMemManager back;
  const TDALoadResult r = LoadFromStream(back, stream);
  EXPECT_FALSE(r.table->Row(0)->Value(0).present);
  EXPECT_TRUE(r.table->Row(0)->HasVersion(TDAMemRowVersion::rvOriginal));
  EXPECT_TRUE(r.table->Row(1)->Value(0).present);
  EXPECT_EQ(r.table->Row(1)->GetValue(0), common::Variant::String(u""));
}

TEST(DatasetStream, AResultWithoutRowsIsStillAWholeContainer) {
  TDAMemManager m;
  m.UpdatesRegistry = true;
  m.AddTable("T").Columns().Add("ID", DataType::dtInt32);
  const common::Bytes stream = Save(m);
  const std::string hex = ToHex(stream);
  EXPECT_NE(hex.find("FF 0F FE FF 10 FE FE FE"), std::string::npos) << hex;  // ViewList, RowList
  const uint32_t d = common::LoadLE<uint32_t>(stream.data() + 8);
  auto s = TDABinStorage::OpenRead(stream);
  size_t dictionary = 0;
  for (const auto& n : s->DictionaryNames()) dictionary += 2 + 2 * n.size();
  EXPECT_EQ(stream.size(), d + dictionary);
  EXPECT_EQ(ToHex(Resave(stream)), hex);
}

TEST(DatasetStream, DefaultNamesAreNotWritten) {
  TDAMemManager m;
  TDAMemTable& t = m.AddTable("Table");
  t.Columns().Add("Column", DataType::dtInt32);
  const common::Bytes stream = Save(m);
  auto s = TDABinStorage::OpenRead(stream);
  for (const auto& n : s->DictionaryNames()) EXPECT_NE(n, "Name");
  TDAMemManager back;
  LoadFromStream(back, stream);
  EXPECT_EQ(back.Tables()[0].Name(), "Table");
  EXPECT_EQ(back.Tables()[0].Columns()[0].Name(), "Column");
}

TEST(DatasetStream, InsertedThenDeletedRowsLeaveNoTrace) {
  TDAMemManager with;
  testing::BuildResultExample(with);
  TDAMemRow* r = with.Tables()[0].NewRow(false);
  r->SetData(0, StoredValue::Of(LE<int32_t>(9)));
  with.Tables()[0].AppendRow(r);
  r->Delete();
  const common::Bytes stream = Save(with);
  auto s = TDABinStorage::OpenRead(stream);
  for (const auto& n : s->DictionaryNames()) {
    EXPECT_NE(n, "Change");
    EXPECT_NE(n, "rsInserted");
  }
  TDAMemManager back;
  const TDALoadResult loaded = LoadFromStream(back, stream);
  EXPECT_EQ(loaded.table->RowCount(), 1u);
  EXPECT_FALSE(back.Journal().HasChanges());
  // The change number it was given is spent.
  EXPECT_EQ(back.Journal().ChangeNumber(), 1u);
}

TEST(DatasetStream, DeltaOnlyWritesChangedRowsAndTheJournal) {
  TDAMemManager m;
  testing::BuildChangeSetExample(m);
  TDAResOptions delta;
  delta.StoreItems = {TDAStoreItem::siMeta, TDAStoreItem::siDelta};
  const common::Bytes stream = Save(m, &delta);
  TDAMemManager back;
  const TDALoadResult r = LoadFromStream(back, stream, &delta);
  ASSERT_EQ(r.table->RowCount(), 3u);
  EXPECT_EQ(r.table->Row(0)->RowID(), 1u);
  EXPECT_TRUE(r.cached_updates);
  EXPECT_EQ(back.Journal().GetCount(), 3u);
}

TEST(DatasetStream, LoadingWithoutDeltaAcceptsTheChanges) {
  TDAResOptions data;
  data.StoreItems = {TDAStoreItem::siMeta, TDAStoreItem::siData};
  TDAMemManager m;
  const TDALoadResult r = LoadFromStream(m, ChangeSetExampleBytes(), &data);
  EXPECT_FALSE(r.cached_updates);
  // Without siDelta the journal is not read, so there is nothing to accept: rows keep their
  // states.
  EXPECT_FALSE(m.Journal().HasChanges());
  EXPECT_EQ(r.table->RowCount(), 4u);
}

TEST(DatasetStream, TablesKeepTheirOwnJournalsWhenTheManagerKeepsNone) {
  TDAMemManager m;
  testing::BuildChangeSetExample(m);
  TDAMemManager own;
  TDAMemTable& t = own.AddTable("T");
  t.Columns().Add("ID", DataType::dtInt32);
  TDAMemRow* r = t.NewRow(false);
  r->SetData(0, StoredValue::Of(LE<int32_t>(5)));
  t.AppendRow(r);
  const common::Bytes stream = Save(own);
  TDAMemManager back;
  const TDALoadResult loaded = LoadFromStream(back, stream);
  EXPECT_FALSE(back.UpdatesRegistry);
  EXPECT_TRUE(loaded.cached_updates);
  EXPECT_EQ(loaded.table->Journal().GetCount(), 1u);
  EXPECT_EQ(ToHex(Save(back)), ToHex(stream));
}

TEST(DatasetStream, LoadsIntoAnExistingStructureWithoutMeta) {
  TDAResOptions data;
  data.StoreItems = {TDAStoreItem::siData, TDAStoreItem::siDelta};
  TDAMemManager source;
  testing::BuildChangeSetExample(source);
  const common::Bytes stream = Save(source, &data);
  TDAMemManager m;
  m.UpdatesRegistry = true;
  TDAMemTable& t = m.AddTable("Other");  // taken as the first table whatever its name
  t.Columns().Add("ID", DataType::dtInt32);
  t.Columns().Add("NAME", DataType::dtWideString);
  const TDALoadResult r = LoadFromStream(m, stream, &data);
  EXPECT_EQ(r.table, &t);
  EXPECT_EQ(t.Name(), "T");
  EXPECT_EQ(t.RowCount(), 4u);
  EXPECT_EQ(m.Journal().GetCount(), 3u);
}

TEST(DatasetStream, EveryStreamVersionReadsBackTheSameModel) {
  for (int v = 1; v <= 16; ++v) {
    SCOPED_TRACE(v);
    TDAMemManager m;
    // Version 1 has no ordinal for wide text.
    if (v == 1) {
      testing::BuildResultExample(m);
    } else {
      testing::BuildChangeSetExample(m);
    }
    TDAResOptions options;
    options.StoreVersion = v;
    const common::Bytes stream = Save(m, &options);
    EXPECT_EQ(common::LoadLE<uint16_t>(stream.data() + 4), v);
    EXPECT_EQ(ToHex(Resave(stream)),
              ToHex(v == 1 ? ResultExampleBytes() : ChangeSetExampleBytes()));
  }
}

TEST(DatasetStream, OlderVersionsUseTheirObjectNames) {
  struct Case {
    int version;
    std::vector<std::string> present;
    std::vector<std::string> absent;
  };
  const Case cases[] = {
      {4, {"TableRowList", "MemRow", "InlineDataSize"}, {"Row", "RowList", "rsModified"}},
      {9, {"TableRowList", "Row"}, {"RowList", "Changes"}},
      {10, {"RowList"}, {"Changes"}},
      {11, {"RowList", "Changes"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    TDAMemManager m;
    testing::BuildChangeSetExample(m);
    m.Tables()[0].Columns().InlineDataSize = 500;
    TDAResOptions options;
    options.StoreVersion = c.version;
    const common::Bytes stream = Save(m, &options);
    auto s = TDABinStorage::OpenRead(stream);
    const auto& names = s->DictionaryNames();
    for (const auto& n : c.present)
      EXPECT_NE(std::find(names.begin(), names.end(), n), names.end()) << n;
    for (const auto& n : c.absent)
      EXPECT_EQ(std::find(names.begin(), names.end(), n), names.end()) << n;
    TDAMemManager back;
    LoadFromStream(back, stream);
    EXPECT_EQ(back.Tables()[0].Columns().InlineDataSize, 500);
  }
}

TEST(DatasetStream, Version9RowListMayBeNamedTableRowListUpdates) {
  TDAMemManager m;
  testing::BuildChangeSetExample(m);
  TDAResOptions options;
  options.StoreVersion = 9;
  const common::Bytes stream = Save(m, &options);
  auto s = TDABinStorage::OpenRead(stream);
  std::vector<std::string> names = s->DictionaryNames();
  std::replace(names.begin(), names.end(), std::string("TableRowList"),
               std::string("TableRowList_Updates"));
  const uint32_t d = common::LoadLE<uint32_t>(stream.data() + 8);
  const common::Bytes body(stream.begin() + 12, stream.begin() + d);
  const common::Bytes renamed = Container(9, body, names);
  EXPECT_EQ(ToHex(Resave(renamed)), ToHex(ChangeSetExampleBytes()));
  // Only version 9 retries.
  EXPECT_EQ(LoadCode(Container(10, body, names)), kDAErrReadObject);
}

TEST(DatasetStream, NamesSpelledTwiceInTheDictionaryReadTheSame) {
  // A dictionary may hold a name in two spellings (the writer never does); every entry that
  // matches is that name.
  for (const char* extra : {"ROW", "original", "RowState", "Current"}) {
    SCOPED_TRACE(extra);
    const common::Bytes stream = ChangeSetExampleBytes();
    std::vector<std::string> names = TDABinStorage::OpenRead(stream)->DictionaryNames();
    names.push_back(extra);
    const uint32_t d = common::LoadLE<uint32_t>(stream.data() + 8);
    const common::Bytes body(stream.begin() + 12, stream.begin() + d);
    EXPECT_EQ(ToHex(Resave(Container(15, body, names))), ToHex(stream));
  }
}

TEST(DatasetStream, MissingStructureFailsNamingTheExpectedObject) {
  struct Case {
    const char* name;
    common::Bytes stream;
    const char* message;
  };
  const Case cases[] = {
      {"NoManager", Container(15, Hex("FF 00 FE"), {"Table"}),
       "[DataAccess][Store]-712. Cannot read [Manager] object"},
      {"NoTableList", Container(15, Hex("FF 00 FF 01 FE FE"), {"Manager", "Other"}),
       "[DataAccess][Store]-712. Cannot read [TableList] object"},
      {"NoColumnList",
       Container(15, Hex("FF 00 FF 01 FF 02 FF 03 FE"),
                 {"Manager", "TableList", "Table", "ConstraintList"}),
       "[DataAccess][Store]-712. Cannot read [ColumnList] object"},
      {"EmptyBody", Container(15, Hex(""), {}),
       "[DataAccess][Store]-712. Cannot read [<unknown>] object"},
      {"UnregisteredItem",
       Container(15, Hex("FF 00 FF 01 FF 02 FE FE FE"), {"Manager", "TableList", "Gadget"}),
       "[DataAccess][Store]-715. Class [Gadget] is not registered"},
      {"ItemOfAnotherClass",
       Container(15, Hex("FF 00 FF 01 FF 02 FE FE FE"), {"Manager", "TableList", "Column"}),
       "[DataAccess][Store]-712. Cannot read [Table] object"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      TDAMemManager m;
      LoadFromStream(m, c.stream);
      ADD_FAILURE() << "loaded";
    } catch (const EDAException& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

TEST(DatasetStream, TruncatedStreamsFailAtEveryLength) {
  for (const common::Bytes& full : {ResultExampleBytes(), ChangeSetExampleBytes()}) {
    for (size_t n = 0; n < full.size(); ++n) {
      const common::Bytes cut(full.begin(), full.begin() + static_cast<ptrdiff_t>(n));
      EXPECT_NE(LoadCode(cut), 0) << "length " << n;
    }
  }
}

TEST(DatasetStream, CorruptBytesLoadOrFailCleanly) {
  const common::Bytes full = ChangeSetExampleBytes();
  const uint8_t replacements[] = {0x00, 0x01, 0x7F, 0xFE, 0xFF};
  for (size_t i = 12; i < full.size(); ++i) {
    for (uint8_t to : replacements) {
      common::Bytes bad = full;
      bad[i] = to;
      try {
        TDAMemManager m;
        LoadFromStream(m, bad);
        common::Bytes again;
        SaveToStream(m, again);
      } catch (const EDAException&) {
      } catch (const std::exception& e) {
        ADD_FAILURE() << "byte " << i << " = " << int{to} << ": " << e.what();
      }
    }
  }
}

// Names of the hand-made streams below, with their ids.
const std::vector<std::string> kNames = {
    "Manager",  "UpdatesRegistry", "TableList",      "Table",     "ColumnList", "Column",
    "dtInt32",  "ConstraintList",  "ViewList",       "RowList",   "Row",        "RowID",
    "Original", "RelationList",    "UpdatesJournal", "SavePoint", "Changes",    "Change",
    "TabID",    "ChangeNumber",    "DataType"};

// A manager keeping the journal, one table with an Int32 column, the rows and the changes.
common::Bytes HandMade(const char* rows, const char* changes) {
  common::Bytes body = Hex(R"(
      FF 00 01 00 01 FF 02 FF 03
      FF 04 FF 05 14 00 06 00 FE FE FF 07 FE FF 08 FE
      FF 09)");
  const common::Bytes r = Hex(rows);
  body.insert(body.end(), r.begin(), r.end());
  const common::Bytes middle = Hex("FE FE FE FF 0D FE FF 0E 0F 00 09 00 00 00 FF 10");
  body.insert(body.end(), middle.begin(), middle.end());
  const common::Bytes c = Hex(changes);
  body.insert(body.end(), c.begin(), c.end());
  const common::Bytes end = Hex("FE FE FE");
  body.insert(body.end(), end.begin(), end.end());
  return Container(15, body, kNames);
}

TEST(DatasetStream, JournalEntriesWithoutTheirRowsAreIgnored) {
  const common::Bytes stream = HandMade("FF 0A 0B 00 00 00 00 00 FF 0C 00 00 01 00 00 00 FE FE",
                                        R"(FF 11 12 00 05 00 00 00 0B 00 00 00 00 00 FE
         FF 11 0B 00 00 00 00 00 FE
         FF 11 12 00 00 00 00 00 0B 00 07 00 00 00 FE
         FF 11 12 00 00 00 00 00 0B 00 00 00 00 00 13 00 04 00 00 00 FE
         FF 11 12 00 00 00 00 00 0B 00 00 00 00 00 13 00 05 00 00 00 FE)");
  TDAMemManager m;
  const TDALoadResult r = LoadFromStream(m, stream);
  ASSERT_NE(r.table, nullptr);
  // No table 5, no table -1, no row 7, and the second entry of row 0: all ignored.
  EXPECT_EQ(m.Journal().GetCount(), 1u);
  EXPECT_EQ(m.Journal().FirstChange()->ChangeNumber(), 4u);
  EXPECT_EQ(m.Journal().ChangeNumber(), 9u);
  EXPECT_TRUE(r.cached_updates);
}

TEST(DatasetStream, RowsOutOfRowIDOrderAreStillFound) {
  const common::Bytes stream =
      HandMade("FF 0A 0B 00 05 00 00 00 FE FF 0A 0B 00 02 00 00 00 FE FF 0A FE",
               "FF 11 12 00 00 00 00 00 0B 00 02 00 00 00 13 00 00 00 00 00 FE");
  TDAMemManager m;
  const TDALoadResult r = LoadFromStream(m, stream);
  EXPECT_FALSE(r.table->RowsOrderedByID());
  EXPECT_EQ(r.table->NextRowID(), 6u);
  ASSERT_NE(r.table->FindRow(2), nullptr);
  EXPECT_EQ(r.table->Row(2)->RowID(), TDAMemRow::kNoRowID);
  EXPECT_EQ(m.Journal().FirstChange(), r.table->FindRow(2));
}

TEST(DatasetStream, ALoadStaysWithinItsMemoryBudget) {
  TDAResOptions tight;
  tight.MaxModelBytes = 1000;
  TDAMemManager m;
  testing::BuildChangeSetExample(m);
  for (int i = 0; i < 50; ++i) {
    TDAMemRow* r = m.Tables()[0].NewRow(false);
    m.Tables()[0].AppendFetchedRow(r);
  }
  const common::Bytes stream = Save(m);
  EXPECT_EQ(LoadCode(stream, &tight), kDAErrInvalidFormat);
  EXPECT_EQ(LoadCode(stream), 0);
}

TEST(DatasetStream, NestingDeeperThanTheLimitFails) {
  // Generic lists may hold lists; a stream cannot make the loader recurse without bound.
  common::Bytes body;
  for (int i = 0; i < 40; ++i) body.insert(body.end(), {0xFF, 0x00});
  body.insert(body.end(), 40, 0xFE);
  const common::Bytes stream = Container(15, body, {"List"});
  auto s = TDABinStorage::OpenRead(stream);
  try {
    s->LoadObject();
    FAIL();
  } catch (const EDAException& e) {
    EXPECT_EQ(e.DACode(), kDAErrInvalidFormat);
  }
}

TEST(DatasetStream, VisibleRowsReplaceTheTablesRows) {
  TDAMemManager m;
  testing::BuildChangeSetExample(m);
  TDAMemTable& t = m.Tables()[0];
  TDAMemView& view = t.Views().Add("Visible");
  view.Creator = &m;  // the dataset's own view: not stored itself
  view.Rows() = {t.Row(2), t.Row(0)};
  TDAResOptions visible;
  visible.StoreItems = {TDAStoreItem::siMeta, TDAStoreItem::siData, TDAStoreItem::siDelta,
                        TDAStoreItem::siVisible};
  common::Bytes out;
  SaveToStream(m, out, &visible, &view);
  TDAMemManager back;
  const TDALoadResult r = LoadFromStream(back, out);
  ASSERT_EQ(r.table->RowCount(), 2u);
  EXPECT_EQ(r.table->Row(0)->RowID(), 2u);
  EXPECT_EQ(r.table->Row(1)->RowID(), 0u);
  EXPECT_EQ(r.table->Views().size(), 0u);
  // Without siVisible the view changes nothing.
  EXPECT_EQ(ToHex(Save(m)), ToHex(ChangeSetExampleBytes()));
}

}  // namespace
}  // namespace storage
