#include "protocol/table_result.h"

#include "protocol/method_table.h"
#include "protocol/param_value.h"

namespace protocol {
namespace {

constexpr size_t kFlushBelow = 128;

void AppendString(common::Bytes& row, std::u16string_view text) {
  const size_t e = EncodedStringLength(text);
  // Column values of this table are short: the 0x20 + n form, or 0x10 with a 2-byte length.
  if (e < 32) {
    row.push_back(static_cast<uint8_t>(kNegativeHeader + e));
  } else {
    row.push_back(kCompleteHeader);
    common::AppendBE<uint16_t>(row, static_cast<uint16_t>(e));
  }
  const size_t at = row.size();
  row.resize(at + e);
  EncodeStringBytes(text, row.data() + at);
}

void AppendInt32(common::Bytes& row, int32_t value) {
  uint8_t encoded[kMaxScalarSize];
  const size_t n = EncodeInt32(encoded, value);
  row.insert(row.end(), encoded, encoded + n);
}

void AppendBoolean(common::Bytes& row, bool value) {
  row.push_back(value ? kPositiveHeader : kNegativeHeader);
}

}  // namespace

void TableResult::WriteTableObject(TRDBJSonStreamWriter& writer, int32_t command_handle) const {
  writer.WriteRaw(kTableLiteral);
  writer.WriteRaw(kFieldsLiteral);
  writer.WriteInt(command_handle);
  writer.WriteRaw(",false,");
  writer.WriteInt(row_handle_);
  writer.WriteRaw(",0,true]},");
  writer.WriteRaw(kColumnsLiteral);
  writer.WriteInt(static_cast<int32_t>(columns_.size()));
  for (const TableColumn& c : columns_) {
    writer.WriteRaw(",[");
    writer.WriteString(c.Name);
    writer.WriteValueSeparator();
    writer.WriteInt(c.DataType);
    writer.WriteValueSeparator();
    writer.WriteInt(c.SubType);
    writer.WriteValueSeparator();
    writer.WriteLong(c.Precision);
    writer.WriteValueSeparator();
    writer.WriteInt(c.Scale);
    writer.WriteValueSeparator();
    writer.WriteInt(c.Size);
    writer.WriteValueSeparator();
    writer.WriteInt(c.Flags);
    writer.WriteValueSeparator();
    writer.WriteInt(c.Direction);
    writer.WriteArrayEnd();
  }
  writer.WriteRaw("]}]}");
}

void TableResult::WriteRowsBlock(TRDBJSonStreamWriter& writer, size_t min_size) {
  const bool first = first_block_;
  first_block_ = false;
  if (first && rows_.empty()) {
    ended_ = true;
    writer.WriteEmptyDataBlock();
    return;
  }
  if (writer.buffer_size() - writer.buffered() < kFlushBelow) writer.Flush();
  block_.clear();
  while (next_row_ < rows_.size() && block_.size() < min_size) {
    const common::Bytes& row = rows_[next_row_++];
    block_.insert(block_.end(), row.begin(), row.end());
  }
  if (block_.empty()) {
    ended_ = true;
    writer.WriteDataBlock(0, {});
    return;
  }
  // Stopping at the limit says "+n" even when no row follows; the next block then finds none.
  const bool ran_out = block_.size() < min_size;
  if (ran_out) ended_ = true;
  const auto n = static_cast<int64_t>(block_.size());
  writer.WriteDataBlock(ran_out ? -n : n, block_);
}

TableResult DatabasePropertiesTable(int32_t row_handle) {
  struct Property {
    const char16_t* name;
    int32_t data_type;
    int32_t size;
  };
  static constexpr Property kColumns[] = {
      {u"QuoteChar", kDataTypeWideString, 16},
      {u"ProcedureQuoteChar", kDataTypeWideString, 16},
      {u"MaxCommands", kDataTypeInteger, 0},
      {u"SupportsTransactions", kDataTypeBoolean, 0},
      {u"SupportsNestedTransactions", kDataTypeBoolean, 0},
      {u"SupportsRowSetSize", kDataTypeBoolean, 0},
      {u"ProductVersion", kDataTypeWideString, 128},
      {u"ProductName", kDataTypeWideString, 128},
      {u"QuotePrefix", kDataTypeWideString, 16},
      {u"QuoteSuffix", kDataTypeWideString, 16},
      {u"SupportsLowerCaseIdentifiers", kDataTypeBoolean, 0},
      {u"SupportsUpperCaseIdentifiers", kDataTypeBoolean, 0},
      {u"SupportsSPReturnCode", kDataTypeBoolean, 0},
      {u"SupportsParameterMetadata", kDataTypeBoolean, 0},
      // Three columns under one name: clients take the first.
      {u"SupportsCatalogFunctions", kDataTypeBoolean, 0},
      {u"SupportsCatalogFunctions", kDataTypeBoolean, 0},
      {u"SupportsCatalogFunctions", kDataTypeBoolean, 0},
  };
  std::vector<TableColumn> columns;
  for (const Property& p : kColumns) {
    TableColumn c;
    c.Name = p.name;
    c.DataType = p.data_type;
    c.Size = p.size;
    columns.push_back(std::move(c));
  }
  common::Bytes row;
  AppendString(row, u"\"");  // QuoteChar
  AppendString(row, u"\"");  // ProcedureQuoteChar
  AppendInt32(row, 2147483647);
  AppendBoolean(row, false);
  AppendBoolean(row, false);
  AppendBoolean(row, false);
  AppendString(row, u"2008");
  AppendString(row, u"RemoteDB");
  AppendString(row, u"\"");  // QuotePrefix
  AppendString(row, u"\"");  // QuoteSuffix
  for (int i = 0; i < 7; ++i) AppendBoolean(row, false);
  std::vector<common::Bytes> rows;
  rows.push_back(std::move(row));
  return TableResult(row_handle, std::move(columns), std::move(rows));
}

}  // namespace protocol
