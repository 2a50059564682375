#include "storage/result_writer.h"

#include <cstring>
#include <stdexcept>
#include <vector>

#include "storage/mem_manager.h"

namespace storage {
namespace {

const TDAResOptions& DefaultOptions() {
  static const TDAResOptions options;
  return options;
}

// How one column's value is encoded after its 16-bit index.
struct ColumnCode {
  enum Kind : uint8_t { kFixed, kVariable, kDecimal, kIndexOnly };
  uint16_t index;
  Kind kind;
  uint16_t fixed;
  bool wide;
  uint8_t index_le[2];  // the index as stored
};

// The columns in stream order: short values first, then the long ones.
std::vector<ColumnCode> StreamOrder(const TDAMemColumnList& columns) {
  if (columns.empty()) throw NoColumnsError();
  std::vector<ColumnCode> first;
  std::vector<ColumnCode> last;
  for (size_t i = 0; i < columns.size(); ++i) {
    const common::DataType t = columns[i].DataType;
    if (t == common::DataType::dtUnknown) throw ColumnTypeUnknownError(columns[i].Name());
    if (i > 0xFFFF) throw std::length_error("more than 65536 columns");
    ColumnCode c{static_cast<uint16_t>(i), ColumnCode::kFixed, 0, common::IsWideTextType(t), {}};
    common::StoreLE(c.index_le, c.index);
    const int ord = static_cast<int>(t);
    if (t == common::DataType::dtBCD || t == common::DataType::dtFmtBCD) {
      c.kind = ColumnCode::kDecimal;
    } else if (t == common::DataType::dtObject) {
      c.kind = ColumnCode::kIndexOnly;
    } else if (common::IsVariableLengthType(t)) {
      c.kind = ColumnCode::kVariable;
    } else {
      c.fixed = static_cast<uint16_t>(common::FixedValueSize(t));
    }
    if (common::IsLongType(t)) {
      last.push_back(c);
    } else if ((ord >= 1 && ord <= 24) || t == common::DataType::dtGUID ||
               t == common::DataType::dtObject) {
      first.push_back(c);
    }
    // Reference types carry no value; a result row has no parent row.
  }
  first.insert(first.end(), last.begin(), last.end());
  return first;
}

// Copies a fixed-size value; the common sizes get constant-size copies.
inline void CopyFixed(uint8_t* p, const uint8_t* v, size_t n) {
  switch (n) {
    case 1:
      p[0] = v[0];
      break;
    case 2:
      std::memcpy(p, v, 2);
      break;
    case 4:
      std::memcpy(p, v, 4);
      break;
    case 8:
      std::memcpy(p, v, 8);
      break;
    case 16:
      std::memcpy(p, v, 16);
      break;
    default:
      std::memcpy(p, v, n);
      break;
  }
}

// Encodes rows of version 4 and later straight into the output: room for the largest row the
// values can make is reserved, the row is written, and its actual length is kept.
class RowEncoder {
 public:
  RowEncoder(TDABinStorage& s, std::vector<ColumnCode> order) : s_(s), order_(std::move(order)) {
    max_fixed_ = 2 + 6 + 2 + 2;
    for (const ColumnCode& c : order_) {
      switch (c.kind) {
        case ColumnCode::kFixed:
          max_fixed_ += 2 + size_t{c.fixed};
          break;
        case ColumnCode::kDecimal:
          max_fixed_ += 2 + 1 + 34;
          break;
        case ColumnCode::kVariable:
          max_fixed_ += 2 + 4;
          variable_.push_back(c.index);
          break;
        case ColumnCode::kIndexOnly:
          max_fixed_ += 2;
          break;
      }
    }
  }

  void Write(uint32_t row_id, std::span<const StoredValue> values) {
    if (!names_entered_) EnterNames();
    size_t max = max_fixed_;
    for (uint16_t i : variable_) max += values[i].size;
    uint8_t* const base = s_.ReserveRaw(max);
    uint8_t* p = base;
    p[0] = 0xFF;
    p[1] = row_;
    common::StoreLE(p + 2, row_id_name_);
    common::StoreLE(p + 4, row_id);
    p[8] = 0xFF;
    p[9] = original_;
    p += 10;
    for (const ColumnCode& c : order_) {
      const StoredValue& v = values[c.index];
      if (!v.present) continue;
      std::memcpy(p, &c.index_le, 2);
      p += 2;
      if (c.kind == ColumnCode::kFixed) [[likely]] {
        if (v.size < c.fixed) throw std::invalid_argument("value shorter than its type's size");
        CopyFixed(p, v.data, c.fixed);
        p += c.fixed;
        continue;
      }
      switch (c.kind) {
        case ColumnCode::kFixed:
          break;
        case ColumnCode::kVariable:
          if (c.wide && v.size % 2 != 0) throw std::invalid_argument("wide text of odd length");
          common::StoreLE(p, v.size);
          if (v.size != 0) std::memcpy(p + 4, v.data, v.size);
          p += 4 + size_t{v.size};
          break;
        case ColumnCode::kDecimal: {
          if (v.size < 1) throw std::invalid_argument("decimal value without its record");
          const size_t n = (size_t{v.data[0]} + 1) / 2 + 2;
          if (n > 34 || n > v.size) throw std::invalid_argument("decimal precision above 64");
          p[0] = static_cast<uint8_t>(n);
          std::memcpy(p + 1, v.data, n);
          p += 1 + n;
          break;
        }
        case ColumnCode::kIndexOnly:
          break;
      }
    }
    p[0] = 0xFE;
    p[1] = 0xFE;
    s_.CommitRaw(static_cast<size_t>(p + 2 - base));
  }

 private:
  void EnterNames() {
    const uint32_t version = s_.StreamVersion();
    const uint16_t row = s_.EnterName((version == 3 || version == 4) ? "MemRow" : "Row");
    row_id_name_ = s_.EnterName("RowID");
    const uint16_t original = s_.EnterName("Original");
    if (row > 253 || original > 253) throw StoreError(kDAErrDictOverflow);
    row_ = static_cast<uint8_t>(row);
    original_ = static_cast<uint8_t>(original);
    names_entered_ = true;
  }

  TDABinStorage& s_;
  std::vector<ColumnCode> order_;
  std::vector<uint16_t> variable_;
  size_t max_fixed_ = 0;
  bool names_entered_ = false;
  uint8_t row_ = 0;
  uint8_t original_ = 0;
  uint16_t row_id_name_ = 0;
};

// Streams before version 4 key values by the column's name: the general value writer.
void WriteOldRow(TDABinStorage& s, const TDAMemColumnList& columns,
                 const std::vector<ColumnCode>& order, uint32_t row_id,
                 std::span<const StoredValue> values) {
  const uint32_t version = s.StreamVersion();
  s.WriteObjectBegin(version == 3 ? "MemRow" : "Row");
  s.WriteLongWord("RowID", row_id, 0xFFFFFFFF);
  s.WriteObjectBegin("Original");
  for (const ColumnCode& c : order) {
    s.WriteValue(columns[c.index].Name(), c.index, columns[c.index].DataType, values[c.index]);
  }
  s.WriteObjectEnd();
  s.WriteObjectEnd();
}

uint64_t WriteRows(TDABinStorage& s, const TDAMemTable& table, TDARowSource& rows) {
  const TDAMemColumnList& columns = table.Columns();
  std::vector<StoredValue> values(columns.size());
  std::vector<ColumnCode> order;
  std::unique_ptr<RowEncoder> encoder;
  const auto hint = rows.RowCountHint();
  s.BeginRowList(hint.value_or(0));
  uint64_t count = 0;
  for (;;) {
    std::fill(values.begin(), values.end(), StoredValue::Null());
    if (!rows.Next(values)) break;
    if (count == 0) {
      // Preparing the columns happens before the first row, as for a table.
      order = StreamOrder(columns);
      if (s.StreamVersion() >= 4) encoder = std::make_unique<RowEncoder>(s, order);
    }
    if (count >= 0xFFFFFFFF) throw std::length_error("too many rows for one stream");
    const auto row_id = static_cast<uint32_t>(count);
    if (encoder != nullptr) {
      encoder->Write(row_id, values);
    } else {
      WriteOldRow(s, columns, order, row_id, values);
    }
    s.RowWritten();
    ++count;
  }
  s.EndRowList();
  return count;
}

void WriteEmptyJournal(TDABinStorage& s) {
  s.WriteObjectBegin("UpdatesJournal");
  if (s.StreamVersion() >= 11) {
    s.WriteObjectBegin("Changes", TDAStorageObjectStyle::osFlatArray);
    s.WriteObjectEnd("Changes", TDAStorageObjectStyle::osFlatArray);
  }
  s.WriteObjectEnd("UpdatesJournal");
}

// Writes the result into the opened writer and closes it.
uint64_t WriteResult(TDABinStorage& s, const TDAMemTable& table, TDARowSource& rows) {
  uint64_t count = 0;
  TDAMemManager defaults;
  defaults.UpdatesRegistry = true;
  const TDAMemManager& manager = table.Manager() != nullptr ? *table.Manager() : defaults;
  const bool delta = s.HasStoreItem(TDAStoreItem::siDelta);

  s.WriteObjectBegin("Manager");
  manager.WriteProperties(s);
  s.WriteObjectBegin("TableList", TDAStorageObjectStyle::osTypedArray);
  s.WriteObjectBegin("Table");
  table.WriteStructure(s, std::max(table.TabID(), 0));
  if (s.HasStoreItem(TDAStoreItem::siData) || delta) {
    const uint32_t version = s.StreamVersion();
    const std::string_view list = version >= 10 ? "RowList" : "TableRowList";
    s.WriteObjectBegin(list, TDAStorageObjectStyle::osFlatArray);
    // Fetched rows are unchanged: a save of changes alone has none of them.
    if (s.HasStoreItem(TDAStoreItem::siData)) count = WriteRows(s, table, rows);
    s.WriteObjectEnd(list, TDAStorageObjectStyle::osFlatArray);
  }
  if (!manager.UpdatesRegistry && delta) WriteEmptyJournal(s);
  s.WriteObjectEnd("Table");
  s.WriteObjectEnd("TableList", TDAStorageObjectStyle::osTypedArray);
  if (s.HasStoreItem(TDAStoreItem::siMeta)) {
    s.WriteObjectBegin("RelationList", TDAStorageObjectStyle::osTypedArray);
    s.WriteObjectEnd("RelationList", TDAStorageObjectStyle::osTypedArray);
  }
  if (manager.UpdatesRegistry && delta) WriteEmptyJournal(s);
  s.WriteObjectEnd("Manager");
  s.Close();
  return count;
}

}  // namespace

uint64_t WriteResultStream(const TDAMemTable& table, TDARowSource& rows, common::Bytes& out,
                           const TDAResOptions* options) {
  if (options == nullptr) options = &DefaultOptions();
  ResolveStorageFormat(options);
  const size_t start = out.size();
  try {
    return WriteResult(*TDABinStorage::OpenWrite(out, options), table, rows);
  } catch (...) {
    out.resize(start);
    throw;
  }
}

uint64_t WriteResultStream(const TDAMemTable& table, TDARowSource& rows, common::ChunkedBytes& out,
                           const TDAResOptions* options) {
  if (options == nullptr) options = &DefaultOptions();
  ResolveStorageFormat(options);
  const size_t start = out.chunks.size();
  try {
    return WriteResult(*TDABinStorage::OpenWrite(out, options), table, rows);
  } catch (...) {
    out.chunks.resize(start);
    throw;
  }
}

}  // namespace storage
