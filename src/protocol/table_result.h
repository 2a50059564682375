// Table results: a method result that is a table (data type 23) travels as a table object and
// blocks of rows instead of a value in the parameter row.
//
// Table object (no blanks):
//   {"table":[{"fields":[<command>,false,<row handle>,0,true]},{"columns":[<count>,<column>,...]}]}
//   column = ["<name>",<DataType>,<SubType>,<Precision>,<Scale>,<Size>,<Flags>,<Direction>]
// Rows block: {"data":[<count>,<bytes>]}, the bytes holding whole rows, value after value in
// the parameter value encoding. The count is -n when the rows ran out while the block was
// filled, +n when the block stopped at its size limit, and 0 for a table without rows
// ({"data":[0]}, the first block) or a later block that finds no row ({"data":[0,]}).
//
// Thread use: one connection's thread.
#ifndef DATASERVER_PROTOCOL_TABLE_RESULT_H_
#define DATASERVER_PROTOCOL_TABLE_RESULT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "protocol/json_stream_writer.h"

namespace protocol {

struct TableColumn {
  std::u16string Name;
  int32_t DataType = 0;
  int32_t SubType = 0;
  int64_t Precision = 0;
  int32_t Scale = 0;
  int32_t Size = 0;
  int32_t Flags = 0;
  int32_t Direction = 0;
};

// A table with its rows already encoded (each row the concatenated values of its columns).
class TableResult {
 public:
  TableResult(int32_t row_handle, std::vector<TableColumn> columns, std::vector<common::Bytes> rows)
      : row_handle_(row_handle), columns_(std::move(columns)), rows_(std::move(rows)) {}

  int32_t row_handle() const { return row_handle_; }
  const std::vector<TableColumn>& columns() const { return columns_; }
  bool ended() const { return ended_; }

  // The table object, for the execute reply of command `command_handle`.
  void WriteTableObject(TRDBJSonStreamWriter& writer, int32_t command_handle) const;
  // The next rows block, holding whole rows until at least `min_size` bytes are collected
  // (a row started below it is completed). Flushes the writer first when fewer than 128 bytes
  // are left in its buffer; does not flush after the block.
  void WriteRowsBlock(TRDBJSonStreamWriter& writer, size_t min_size);

 private:
  int32_t row_handle_;
  std::vector<TableColumn> columns_;
  std::vector<common::Bytes> rows_;
  size_t next_row_ = 0;
  bool first_block_ = true;
  bool ended_ = false;
  common::Bytes block_;
};

// The database-properties table (RSMetadata.GetDatabase): 17 columns, one row.
TableResult DatabasePropertiesTable(int32_t row_handle);

}  // namespace protocol

#endif  // DATASERVER_PROTOCOL_TABLE_RESULT_H_
