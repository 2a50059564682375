#include "storage/result_writer.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "storage/dataset_stream.h"
#include "storage/stream_test_util.h"

namespace storage {
namespace {

using testing::Hex;
using testing::LE;
using testing::ToHex;

// Rows held in memory, each value as its stored bytes (nullopt for null).
class VectorSource : public TDARowSource {
 public:
  using Row = std::vector<std::optional<common::Bytes>>;
  explicit VectorSource(std::vector<Row> rows, bool know_count = true)
      : rows_(std::move(rows)), know_count_(know_count) {}

  bool Next(std::span<StoredValue> values) override {
    if (next_ == rows_.size()) return false;
    const Row& row = rows_[next_++];
    for (size_t i = 0; i < row.size() && i < values.size(); ++i) {
      if (row[i]) values[i] = StoredValue::Of(*row[i]);
    }
    return true;
  }
  std::optional<uint64_t> RowCountHint() const override {
    return know_count_ ? std::optional<uint64_t>(rows_.size()) : std::nullopt;
  }

 private:
  std::vector<Row> rows_;
  bool know_count_;
  size_t next_ = 0;
};

// A row source that fails after some rows, as a lost database connection would.
class FailingSource : public TDARowSource {
 public:
  bool Next(std::span<StoredValue> values) override {
    if (++calls_ > 3) throw std::runtime_error("connection lost");
    values[0] = StoredValue::Of(one_, 4);
    return true;
  }

 private:
  int calls_ = 0;
  uint8_t one_[4] = {1, 0, 0, 0};
};

TEST(ResultWriter, WritesTheResultExampleFromACursor) {
  TDAMemTable t;
  t.SetName("T");
  t.Columns().Add("ID", DataType::dtInt32);
  VectorSource rows({{LE<int32_t>(1)}});
  common::Bytes out;
  EXPECT_EQ(WriteResultStream(t, rows, out), 1u);
  EXPECT_EQ(ToHex(out), ToHex(testing::ResultExampleBytes()));
}

// One column per data type that carries a value (and a reference column, which carries none).
struct AllTypes {
  TDAMemManager manager;
  TDAMemTable* table;
  std::vector<VectorSource::Row> rows;

  AllTypes() {
    manager.UpdatesRegistry = true;
    table = &manager.AddTable("Result");
    const std::pair<DataType, const char*> columns[] = {
        {DataType::dtBoolean, "01 00"},
        {DataType::dtSByte, "FE"},
        {DataType::dtInt16, "02 00"},
        {DataType::dtInt32, "03 00 00 00"},
        {DataType::dtInt64, "04 00 00 00 00 00 00 00"},
        {DataType::dtByte, "05"},
        {DataType::dtUInt16, "06 00"},
        {DataType::dtUInt32, "07 00 00 00"},
        {DataType::dtUInt64, "08 00 00 00 00 00 00 00"},
        {DataType::dtSingle, "00 00 80 3F"},
        {DataType::dtDouble, "00 00 00 00 00 00 F8 3F"},
        {DataType::dtExtended, "00 00 00 00 00 00 00 80 FF 3F"},
        {DataType::dtCurrency, "40 E2 01 00 00 00 00 00"},
        {DataType::dtBCD,
         "05 02 12 34 50 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
         "00 00 00 00 00 00 00 00 00 00"},
        {DataType::dtFmtBCD,
         "0C 02 00 00 00 00 01 50 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
         "00 00 00 00 00 00 00 00 00 00 00 00"},
        {DataType::dtDateTime, "80 4A 06 6B C2 AF CC 42"},
        {DataType::dtTime, "95 2C B3 02"},
        {DataType::dtDate, "08 24 0B 00"},
        {DataType::dtDateTimeStamp, "D0 07 01 00 02 00 03 00 04 00 05 00 7B 00 00 00"},
        {DataType::dtTimeIntervalFull,
         "01 0A 00 00 00 03 00 00 00 04 00 00 00 05 00 00 00 06 00 00 00 15 03 00 00"},
        {DataType::dtTimeIntervalYM,
         "FF 07 00 00 00 01 00 00 00 02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {DataType::dtTimeIntervalDS,
         "01 0A 00 00 00 03 00 00 00 04 00 00 00 05 00 00 00 06 00 00 00 15 03 00 00"},
        {DataType::dtAnsiString, "41 42"},
        {DataType::dtWideString, "41 00 42 00"},
        {DataType::dtByteString, "00 01"},
        {DataType::dtBlob, "FF FE"},
        {DataType::dtMemo, "6D"},
        {DataType::dtWideMemo, "68 88"},
        {DataType::dtXML, "3C 00"},
        {DataType::dtHBlob, ""},
        {DataType::dtHMemo, "68"},
        {DataType::dtWideHMemo, "41 00"},
        {DataType::dtHBFile, "01"},
        {DataType::dtRowSetRef, ""},
        {DataType::dtGUID, "FF 19 96 6F 86 8B 11 D0 B4 2D 00 CF 4F C9 64 FF"},
        {DataType::dtObject, ""},
    };
    for (const auto& [type, value] : columns) {
      table->Columns().Add("C" + std::to_string(table->Columns().size()), type);
    }
    // Row 0: every value; row 1: every value null; row 2: every other value.
    VectorSource::Row all;
    VectorSource::Row some;
    for (size_t i = 0; i < std::size(columns); ++i) {
      const bool has = columns[i].first != DataType::dtRowSetRef;
      all.push_back(has ? std::optional(Hex(columns[i].second)) : std::nullopt);
      some.push_back(has && i % 2 == 0 ? std::optional(Hex(columns[i].second)) : std::nullopt);
    }
    rows = {all, VectorSource::Row(std::size(columns)), some};
    for (const auto& row : rows) {
      TDAMemRow* r = table->NewRow(false);
      for (size_t i = 0; i < row.size(); ++i) {
        if (row[i]) r->SetData(i, StoredValue::Of(*row[i]));
      }
      table->AppendFetchedRow(r);
    }
  }
};

TEST(ResultWriter, WritesWhatSavingTheSameTableWrites) {
  for (int version : {2, 3, 4, 9, 10, 11, 15}) {
    SCOPED_TRACE(version);
    AllTypes model;
    TDAResOptions options;
    options.StoreVersion = version;
    common::Bytes saved;
    SaveToStream(model.manager, saved, &options);
    // The streamed result keeps no rows in a table.
    model.table->ClearRows();
    VectorSource rows(model.rows);
    common::Bytes streamed;
    EXPECT_EQ(WriteResultStream(*model.table, rows, streamed, &options), 3u);
    EXPECT_EQ(ToHex(streamed), ToHex(saved));
  }
}

TEST(ResultWriter, AnEmptyResultHasAnEmptyRowList) {
  AllTypes model;
  model.table->ClearRows();
  common::Bytes saved;
  SaveToStream(model.manager, saved);
  VectorSource none(std::vector<VectorSource::Row>{});
  common::Bytes streamed;
  EXPECT_EQ(WriteResultStream(*model.table, none, streamed), 0u);
  EXPECT_EQ(ToHex(streamed), ToHex(saved));
}

TEST(ResultWriter, ColumnsArePreparedWhenTheFirstRowArrives) {
  TDAMemTable no_columns;
  VectorSource empty(std::vector<VectorSource::Row>{});
  common::Bytes out;
  EXPECT_NO_THROW(WriteResultStream(no_columns, empty, out));
  VectorSource one(std::vector<VectorSource::Row>(1));
  try {
    WriteResultStream(no_columns, one, out);
    FAIL();
  } catch (const EDAException& e) {
    EXPECT_EQ(e.DACode(), kDAErrNoColumns);
  }
  TDAMemTable unknown;
  unknown.Columns().Add("U", DataType::dtUnknown);
  VectorSource again(std::vector<VectorSource::Row>(1));
  try {
    WriteResultStream(unknown, again, out);
    FAIL();
  } catch (const EDAException& e) {
    EXPECT_EQ(e.DACode(), kDAErrColumnTypeUnknown);
  }
}

TEST(ResultWriter, AFailedWriteLeavesTheOutputAsItWas) {
  TDAMemTable t;
  t.Columns().Add("ID", DataType::dtInt32);
  t.Columns().Add("S", DataType::dtWideString);
  t.Columns().Add("D", DataType::dtBCD);
  const common::Bytes before = {9, 9};
  struct Case {
    const char* name;
    VectorSource::Row row;
  };
  const Case cases[] = {
      {"ShortFixedValue", {Hex("01 00"), std::nullopt, std::nullopt}},
      {"OddWideText", {std::nullopt, Hex("41"), std::nullopt}},
      {"DecimalPrecisionAbove64", {std::nullopt, std::nullopt, Hex("41 00")}},
      {"DecimalShorterThanItsPrecision", {std::nullopt, std::nullopt, Hex("05 02 12")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    common::Bytes out = before;
    VectorSource rows({c.row});
    EXPECT_THROW(WriteResultStream(t, rows, out), std::invalid_argument);
    EXPECT_EQ(out, before);
  }
  common::Bytes out = before;
  FailingSource failing;
  EXPECT_THROW(WriteResultStream(t, failing, out), std::runtime_error);
  EXPECT_EQ(out, before);
}

TEST(ResultWriter, SizesTheOutputOnceForAKnownNumberOfRows) {
  TDAMemTable t;
  t.Columns().Add("ID", DataType::dtInt32);
  t.Columns().Add("S", DataType::dtAnsiString);
  std::vector<VectorSource::Row> rows;
  for (int i = 0; i < 5000; ++i) {
    rows.push_back({LE<int32_t>(i), common::Bytes(40, static_cast<uint8_t>('a' + i % 26))});
  }
  for (bool known : {true, false}) {
    SCOPED_TRACE(known);
    VectorSource source(rows, known);
    common::Bytes out;
    WriteResultStream(t, source, out);
    const double ratio = static_cast<double>(out.capacity()) / static_cast<double>(out.size());
    if (known) {
      EXPECT_LE(ratio, 1.2);
    } else {
      EXPECT_LE(ratio, 1.6);
    }
    TDAMemManager m;
    const TDALoadResult r = LoadFromStream(m, out);
    ASSERT_EQ(r.table->RowCount(), 5000u);
    EXPECT_EQ(r.table->Row(4999)->RowID(), 4999u);
  }
}

// Chunked output: the same bytes as one buffer, however values fall across chunk ends, and
// little room beyond them while the length is unknown.
TEST(ResultWriter, ChunkedOutputHoldsTheSameBytesWithLittleRoomBeyond) {
  TDAMemTable t;
  t.Columns().Add("ID", DataType::dtInt32);
  t.Columns().Add("B", DataType::dtBlob);
  struct Case {
    const char* name;
    int rows;
    size_t blob_every;  // a 300 KB value in every n-th row (0: none)
  };
  const Case cases[] = {
      {"OneRow", 1, 0}, {"ManySmallRows", 40000, 0}, {"ValuesLargerThanAChunk", 60, 7}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<VectorSource::Row> rows;
    for (int i = 0; i < c.rows; ++i) {
      const bool big = c.blob_every != 0 && i % c.blob_every == 0;
      rows.push_back(
          {LE<int32_t>(i), common::Bytes(big ? 300000 : 40 + i % 13, static_cast<uint8_t>(i))});
    }
    VectorSource contiguous_source(rows, false);
    common::Bytes contiguous;
    WriteResultStream(t, contiguous_source, contiguous);

    VectorSource chunked_source(rows, false);
    common::ChunkedBytes chunked;
    chunked.chunks.push_back({7, 7, 7});  // what was there before stays as it was
    EXPECT_EQ(WriteResultStream(t, chunked_source, chunked), static_cast<uint64_t>(c.rows));
    ASSERT_GE(chunked.chunks.size(), 2u);
    EXPECT_EQ(chunked.chunks[0], (common::Bytes{7, 7, 7}));
    chunked.chunks.erase(chunked.chunks.begin());
    EXPECT_EQ(chunked.Join(), contiguous);
    if (c.rows > 1) {
      EXPECT_GT(chunked.chunks.size(), 1u);
    }
    if (c.rows == 40000) {
      size_t held = 0;
      for (const common::Bytes& chunk : chunked.chunks) held += chunk.capacity();
      EXPECT_LE(static_cast<double>(held), 1.2 * static_cast<double>(contiguous.size()));
    }
  }
}

TEST(ResultWriter, ChunkedOutputFailureRemovesTheChunksItAdded) {
  TDAMemTable t;
  t.Columns().Add("ID", DataType::dtInt32);
  common::ChunkedBytes out;
  out.chunks.push_back({9, 9});
  FailingSource failing;
  EXPECT_THROW(WriteResultStream(t, failing, out), std::runtime_error);
  ASSERT_EQ(out.chunks.size(), 1u);
  EXPECT_EQ(out.chunks[0], (common::Bytes{9, 9}));
}

TEST(ResultWriter, TakesTheManagersPropertiesAndTheStoreItems) {
  TDAMemManager m;
  m.UpdatesRegistry = true;
  m.Locale = 2052;
  TDAMemTable& t = m.AddTable("T");
  t.Columns().Add("ID", DataType::dtInt32);
  TDAMemRow* r = t.NewRow(false);
  r->SetData(0, StoredValue::Of(LE<int32_t>(1)));
  t.AppendFetchedRow(r);
  for (const TDAStoreItems items :
       {TDAStoreItems{TDAStoreItem::siMeta, TDAStoreItem::siData, TDAStoreItem::siDelta},
        TDAStoreItems{TDAStoreItem::siMeta, TDAStoreItem::siDelta},
        TDAStoreItems{TDAStoreItem::siData}}) {
    SCOPED_TRACE(items.bits());
    TDAResOptions options;
    options.StoreItems = items;
    common::Bytes saved;
    SaveToStream(m, saved, &options);
    VectorSource rows({{LE<int32_t>(1)}});
    common::Bytes streamed;
    WriteResultStream(t, rows, streamed, &options);
    EXPECT_EQ(ToHex(streamed), ToHex(saved));
  }
}

}  // namespace
}  // namespace storage
