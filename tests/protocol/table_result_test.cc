#include "protocol/table_result.h"

#include <gtest/gtest.h>

#include "memory_channel.h"

namespace protocol {
namespace {

using test::MemoryChannel;

std::vector<common::Bytes> Rows(size_t count, size_t size) {
  std::vector<common::Bytes> rows;
  for (size_t i = 0; i < count; ++i) {
    common::Bytes row(size, static_cast<uint8_t>(0x20 + (size - 1 < 31 ? size - 1 : 0)));
    rows.push_back(row);
  }
  return rows;
}

TEST(TableResult, TableObjectNamesCommandRowHandleAndColumns) {
  TableColumn c;
  c.Name = u"N";
  c.DataType = 6;
  c.Precision = 1ll << 40;
  TableResult table(2, {c}, {});
  MemoryChannel channel;
  TRDBJSonStreamWriter writer(channel);
  table.WriteTableObject(writer, 5);
  writer.Flush();
  EXPECT_EQ(
      channel.output_text(),
      R"({"table":[{"fields":[5,false,2,0,true]},{"columns":[1,["N",6,0,1099511627776,0,0,0,0]]}]})");
}

TEST(TableResult, RowsBlocksFillToTheMinimumSizeWithWholeRows) {
  struct Case {
    size_t rows;
    size_t row_size;
    size_t min_size;
    std::vector<std::string> blocks;  // count of each block, as written
  } cases[] = {
      {0, 0, 100, {"0]}", "0,]}"}},                  // no rows: [0], then [0,]
      {3, 10, 100, {"-30,", "0,]}"}},                // all fit: the rows ran out
      {10, 10, 35, {"40,", "40,", "-20,", "0,]}"}},  // a row started below 35 is completed
      {4, 10, 40, {"40,", "0,]}"}},                  // exactly at the limit: more may follow
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rows);
    TableResult table(1, {}, Rows(c.rows, c.row_size));
    MemoryChannel channel;
    TRDBJSonStreamWriter writer(channel);
    for (const std::string& expected : c.blocks) {
      channel.ClearOutput();
      table.WriteRowsBlock(writer, c.min_size);
      writer.Flush();
      EXPECT_EQ(channel.output_text().substr(0, 9 + expected.size()),
                std::string(R"({"data":[)") + expected);
    }
    EXPECT_TRUE(table.ended());
  }
}

TEST(TableResult, NearlyFullWriterIsFlushedBeforeABlock) {
  TableResult table(1, {}, Rows(1, 4));
  MemoryChannel channel;
  TRDBJSonStreamWriter writer(channel, 1024);
  writer.WriteRaw(std::string(1024 - 100, 'x'));
  table.WriteRowsBlock(writer, 100);
  EXPECT_EQ(channel.write_sizes(), std::vector<size_t>{924});
  writer.Flush();
  EXPECT_EQ(channel.writes().back().size(), std::string(R"({"data":[-4,)").size() + 4 + 2);
}

TEST(TableResult, DatabasePropertiesHaveSeventeenColumnsAndOneRow) {
  TableResult table = DatabasePropertiesTable(1);
  ASSERT_EQ(table.columns().size(), 17u);
  EXPECT_EQ(table.columns()[0].Name, u"QuoteChar");
  EXPECT_EQ(table.columns()[16].Name, u"SupportsCatalogFunctions");
  MemoryChannel channel;
  TRDBJSonStreamWriter writer(channel);
  table.WriteRowsBlock(writer, 30720);
  writer.Flush();
  EXPECT_EQ(channel.output_text().substr(0, 13), R"({"data":[-37,)");
}

}  // namespace
}  // namespace protocol
