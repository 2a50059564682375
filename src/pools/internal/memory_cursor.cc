#include "pools/internal/memory_cursor.h"

#include "common/text.h"
#include "pools/database_error.h"
#include "pools/internal/value_text.h"

namespace pools::internal {

using common::DataType;

std::unique_ptr<MemoryCursor> MemoryCursor::ReadAll(Cursor& source) {
  std::unique_ptr<MemoryCursor> out(new MemoryCursor(source.Columns()));
  const int n = source.ColumnCount();
  while (source.Next()) {
    std::vector<Cell> row(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
      if (source.IsNull(i)) continue;
      Cell& cell = row[static_cast<size_t>(i)];
      switch (source.Columns()[static_cast<size_t>(i)].data_type) {
        case DataType::dtBoolean:
          cell = source.GetBool(i);
          break;
        case DataType::dtSByte:
        case DataType::dtInt16:
        case DataType::dtInt32:
        case DataType::dtInt64:
          cell = source.GetInt64(i);
          break;
        case DataType::dtByte:
        case DataType::dtUInt16:
        case DataType::dtUInt32:
        case DataType::dtUInt64:
          cell = source.GetUInt64(i);
          break;
        case DataType::dtSingle:
        case DataType::dtDouble:
        case DataType::dtExtended:
          cell = source.GetDouble(i);
          break;
        case DataType::dtCurrency:
        case DataType::dtBCD:
        case DataType::dtFmtBCD:
        case DataType::dtGUID:
          cell = std::string(source.GetText(i));
          break;
        case DataType::dtDate:
        case DataType::dtTime:
        case DataType::dtDateTime:
        case DataType::dtDateTimeStamp:
          cell = source.GetTimeStamp(i);
          break;
        case DataType::dtByteString:
        case DataType::dtBlob:
        case DataType::dtHBlob:
        case DataType::dtHBFile: {
          common::ByteSpan b = source.GetBytes(i);
          cell = common::Bytes(b.begin(), b.end());
          break;
        }
        default:
          cell = std::u16string(source.GetWideText(i));
          break;
      }
    }
    out->rows_.push_back(std::move(row));
  }
  return out;
}

bool MemoryCursor::Next() {
  if (next_ > rows_.size()) return false;
  ++next_;
  return next_ <= rows_.size();
}

const MemoryCursor::Cell& MemoryCursor::At(int column) {
  CheckColumn(column);
  if (next_ == 0 || next_ > rows_.size()) throw DatabaseError("The cursor is not on a row");
  return rows_[next_ - 1][static_cast<size_t>(column)];
}

template <typename T>
const T& MemoryCursor::As(int column, std::string_view target) {
  const Cell& cell = At(column);
  if (const T* v = std::get_if<T>(&cell)) return *v;
  ThrowConversionError(Columns()[static_cast<size_t>(column)], "", target);
}

bool MemoryCursor::IsNull(int column) { return std::holds_alternative<std::monostate>(At(column)); }

bool MemoryCursor::GetBool(int column) { return As<bool>(column, "a boolean"); }

int64_t MemoryCursor::GetInt64(int column) {
  const Cell& cell = At(column);
  if (auto* u = std::get_if<uint64_t>(&cell); u && *u <= static_cast<uint64_t>(INT64_MAX)) {
    return static_cast<int64_t>(*u);
  }
  return As<int64_t>(column, "an integer");
}

uint64_t MemoryCursor::GetUInt64(int column) {
  const Cell& cell = At(column);
  if (auto* i = std::get_if<int64_t>(&cell); i && *i >= 0) return static_cast<uint64_t>(*i);
  return As<uint64_t>(column, "an unsigned integer");
}

double MemoryCursor::GetDouble(int column) {
  const Cell& cell = At(column);
  if (auto* i = std::get_if<int64_t>(&cell)) return static_cast<double>(*i);
  if (auto* u = std::get_if<uint64_t>(&cell)) return static_cast<double>(*u);
  return As<double>(column, "a number");
}

std::string_view MemoryCursor::GetText(int column) {
  const Cell& cell = At(column);
  if (auto* s = std::get_if<std::string>(&cell)) return *s;
  if (auto* w = std::get_if<std::u16string>(&cell)) {
    scratch_ = common::Utf16ToUtf8(*w);
    return scratch_;
  }
  ThrowConversionError(Columns()[static_cast<size_t>(column)], "", "text");
}

std::u16string_view MemoryCursor::GetWideText(int column) {
  const Cell& cell = At(column);
  if (auto* w = std::get_if<std::u16string>(&cell)) return *w;
  if (auto* s = std::get_if<std::string>(&cell)) {
    wide_scratch_ = common::Utf8ToUtf16(*s);
    return wide_scratch_;
  }
  ThrowConversionError(Columns()[static_cast<size_t>(column)], "", "text");
}

common::ByteSpan MemoryCursor::GetBytes(int column) { return As<common::Bytes>(column, "bytes"); }

TimeStamp MemoryCursor::GetTimeStamp(int column) { return As<TimeStamp>(column, "a date or time"); }

}  // namespace pools::internal
